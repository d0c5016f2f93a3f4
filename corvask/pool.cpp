// The pool of buffer records and the accounting that decides when a closing
// handle is done: every buffer taken counts on its handle until released.
#include "corvask/internal.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace corvask {

namespace {

constexpr uint32_t kBlockSize = 2048;
constexpr int kFreeListLimit = 50;  // a release pushes while the list holds this many or fewer

constinit std::mutex poolLock;
constinit BufferRecord* freeHead = nullptr;
constinit int freeCount = 0;

bool IsOwnBlock(const BufferRecord* record) { return record->release == AIO_COPY_DATA; }

void DeleteRecord(BufferRecord* record)
{
    std::free(record->pub.data);
    delete record;
}

}  // namespace

BufferRecord* TakeBuffer(AioHandle* handle)
{
    BufferRecord* record;
    {
        std::lock_guard lock(poolLock);
        ++handle->buffersHeld;
        record = freeHead;
        if (record != nullptr) {
            freeHead = record->next;
            --freeCount;
        }
    }
    if (record == nullptr) {
        record = new BufferRecord{};
        record->pub.data = static_cast<char*>(std::malloc(kBlockSize));
        record->pub.size = kBlockSize;
        record->release = AIO_COPY_DATA;
    }
    if (!IsOwnBlock(record)) {
        std::fputs("buffer bof\n", stdout);
        std::fflush(stdout);
    }
    char* data = record->pub.data;
    uint32_t size = record->pub.size;
    *record = BufferRecord{};
    record->pub = AioBuffer{data, size, 0, handle};
    record->release = AIO_COPY_DATA;
    record->file = -1;
    return record;
}

void SubstituteData(BufferRecord* record, char* data, uint32_t size, AioReleaseFunction release)
{
    record->ownData = record->pub.data;
    record->ownSize = record->pub.size;
    record->pub.data = data;
    record->pub.size = size;
    record->release = release;
}

AioHandle* ReleaseBuffer(BufferRecord* record)
{
    // The caller's release function runs outside the pool lock: it may take
    // locks of its own that another thread holds while it takes a buffer.
    if (!IsOwnBlock(record)) {
        if (record->release != AIO_KEEP_DATA)
            record->release(record->pub.data);
        record->pub.data = record->ownData;
        record->pub.size = record->ownSize;
        record->release = AIO_COPY_DATA;
    }
    AioHandle* handle = record->pub.handle;
    AioHandle* done = nullptr;
    bool freeHandle = false;
    bool freeRecord = false;
    {
        std::lock_guard lock(poolLock);
        if (--handle->buffersHeld == 0) {
            if (handle->closeState == kOpen && handle->closing.load()) {
                handle->closeState = kClosing;
                done = handle;
            } else if (handle->closeState == kClosed) {
                freeHandle = true;  // a buffer taken while the close handler ran
            }
        }
        if (freeCount > kFreeListLimit) {
            freeRecord = true;
        } else {
            record->next = freeHead;
            freeHead = record;
            ++freeCount;
        }
    }
    if (freeRecord)
        DeleteRecord(record);
    if (freeHandle)
        FreeHandle(handle);
    return done;
}

void FinishIfDone(AioHandle* done)
{
    if (done == nullptr)
        return;
    if (OnWorker())
        CallCloseHandler(done);
    else
        Post(kHandleDone, done);
}

void CallCloseHandler(AioHandle* handle)
{
    // Called without the pool lock: the close handler may wait for a lock
    // whose holder is taking a buffer.
    handle->closeHandler.load()(handle, handle->context.load());
    bool unused;
    {
        std::lock_guard lock(poolLock);
        handle->closeState = kClosed;
        unused = handle->buffersHeld == 0;
    }
    if (unused)
        FreeHandle(handle);
}

void FreeHandle(AioHandle* handle)
{
    // Closed only now, so the descriptor number is not reused while a
    // caller may still write to it.
    ::close(handle->socket);
    delete handle;
}

}  // namespace corvask
