// Writes and file transmissions. Each is queued on its handle and sent as the
// non-blocking socket takes data: the caller's thread makes the first
// attempt, the worker continues when the socket becomes writable. Every
// completion is posted, so write handlers run on the worker in order.
#include "corvask/internal.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace corvask {

namespace {

constexpr uint64_t kPositionMask = (uint64_t{1} << 40) - 1;

enum SendResult { kSent, kBlocked, kFailed };

// sendfile has no MSG_NOSIGNAL: a caller's thread gets SIGPIPE held back
// (and a raised one taken) around it. The worker blocks every signal.
ssize_t SendFileRange(int socket, int file, off_t* offset, size_t count)
{
    if (OnWorker())
        return ::sendfile(socket, file, offset, count);
    sigset_t pipe;
    sigset_t old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &old);
    ssize_t n = ::sendfile(socket, file, offset, count);
    int error = errno;
    if (n < 0 && error == EPIPE && !sigismember(&old, SIGPIPE)) {
        timespec none{};
        ::sigtimedwait(&pipe, nullptr, &none);
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

// Sends what the socket takes of the record's head, file range and tail.
SendResult ContinueTransfer(BufferRecord* record, int socket)
{
    const uint64_t fileEnd = uint64_t{record->headLength} + record->fileLength;
    const uint64_t total = fileEnd + record->tailLength;
    while (record->sent < total) {
        ssize_t n;
        if (record->sent < record->headLength) {
            int more = record->headLength < total ? MSG_MORE : 0;
            n = ::send(socket, record->head + record->sent, record->headLength - record->sent,
                       MSG_NOSIGNAL | more);
        } else if (record->sent < fileEnd) {
            auto offset = static_cast<off_t>(record->position + (record->sent - record->headLength));
            n = SendFileRange(socket, record->file, &offset, fileEnd - record->sent);
            if (n == 0) {
                errno = ENODATA;  // the file ends inside the range: never send a short article
                return kFailed;
            }
        } else {
            uint64_t done = record->sent - fileEnd;
            n = ::send(socket, record->tail + done, record->tailLength - done, MSG_NOSIGNAL);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? kBlocked : kFailed;
        }
        record->sent += static_cast<uint64_t>(n);
    }
    return kSent;
}

void Enqueue(AioHandle* handle, BufferRecord* record)
{
    record->next = nullptr;
    if (handle->writeTail != nullptr)
        handle->writeTail->next = record;
    else
        handle->writeHead = record;
    handle->writeTail = record;
}

// Under writeLock: watch for writability only while writes wait.
void WantWritable(AioHandle* handle, bool want)
{
    if (handle->wantWritable == want)
        return;
    handle->wantWritable = want;
    epoll_event event{};
    event.events = want ? EPOLLIN | EPOLLRDHUP | EPOLLOUT : EPOLLIN | EPOLLRDHUP;
    event.data.ptr = handle;
    ::epoll_ctl(epollFd, EPOLL_CTL_MOD, handle->socket, &event);
}

// Under writeLock: queues the write and makes the first attempt when no
// earlier write is waiting.
bool TryStart(AioHandle* handle, BufferRecord* record, int& error)
{
    if (handle->closing.load()) {
        error = EPIPE;
        return false;
    }
    ++handle->pendingIo;
    ++handle->pendingWrites;
    if (handle->writeHead != nullptr) {
        Enqueue(handle, record);
        return true;
    }
    switch (ContinueTransfer(record, handle->socket)) {
    case kSent:
        Post(kWriteDone, record);  // under writeLock, so completions keep their order
        return true;
    case kBlocked:
        Enqueue(handle, record);
        WantWritable(handle, true);
        return true;
    case kFailed:
        break;
    }
    error = errno;
    --handle->pendingIo;
    --handle->pendingWrites;
    return false;
}

int FailWrite(BufferRecord* record, int error)
{
    AioHandle* handle = record->pub.handle;
    MarkClosing(handle);
    FinishIfDone(ReleaseBuffer(record));
    std::printf("WRITE FAILED: %u\n", static_cast<unsigned>(error));
    std::fflush(stdout);
    return 0;
}

void SetTransmission(BufferRecord* record, int file, uint64_t position, uint32_t length,
                     const AioTransmitBuffers* buffers)
{
    record->file = file;
    record->position = position & kPositionMask;
    record->fileLength = length;
    if (buffers != nullptr) {
        record->head = buffers->head;
        record->headLength = buffers->headLength;
        record->tail = buffers->tail;
        record->tailLength = buffers->tailLength;
    }
}

}  // namespace

int StartWrite(BufferRecord* record)
{
    AioHandle* handle = record->pub.handle;
    record->operation = kWrite;
    record->sent = 0;
    int error = 0;
    bool started;
    {
        std::lock_guard lock(handle->writeLock);
        started = TryStart(handle, record, error);
    }
    // Failed only after the lock is let go: the release may free the handle.
    return started ? 1 : FailWrite(record, error);
}

bool FlushWrites(AioHandle* handle)
{
    bool failed = false;
    {
        std::lock_guard lock(handle->writeLock);
        while (BufferRecord* record = handle->writeHead) {
            SendResult result = ContinueTransfer(record, handle->socket);
            if (result != kSent) {
                failed = result == kFailed;
                break;
            }
            handle->writeHead = record->next;
            if (handle->writeHead == nullptr)
                handle->writeTail = nullptr;
            Post(kWriteDone, record);
        }
        if (handle->writeHead == nullptr)
            WantWritable(handle, false);
    }
    if (failed)
        Teardown(handle);
    return !failed;
}

void CompleteWrite(BufferRecord* record)
{
    AioHandle* handle = record->pub.handle;
    if (!handle->closing.load() && handle->writeHandler != nullptr)
        handle->writeHandler(&record->pub, handle->context.load());
    --handle->pendingIo;
    --handle->pendingWrites;
    FinishIfDone(ReleaseBuffer(record));
}

}  // namespace corvask

using namespace corvask;

extern "C" {

int WriteAIOBuffer(AioBuffer* buffer, uint32_t length)
{
    BufferRecord* record = RecordOf(buffer);
    if (length > buffer->size)
        return FailWrite(record, EINVAL);  // would send bytes beyond the block
    record->head = buffer->data;
    record->headLength = length;
    return StartWrite(record);
}

int WriteAIO(AioHandle* handle, const void* data, uint32_t length, AioReleaseFunction mode)
{
    if (handle == nullptr)
        return 0;
    BufferRecord* record = TakeBuffer(handle);
    if (mode != AIO_COPY_DATA) {
        SubstituteData(record, static_cast<char*>(const_cast<void*>(data)), length, mode);
    } else if (length > record->pub.size) {
        auto* copy = static_cast<char*>(std::malloc(size_t{length} + 1));
        if (copy == nullptr)
            return FailWrite(record, ENOMEM);
        std::memcpy(copy, data, length);
        SubstituteData(record, copy, length + 1, std::free);
    } else {
        std::memcpy(record->pub.data, data, length);  // fits the record's own block
    }
    record->head = record->pub.data;
    record->headLength = length;
    return StartWrite(record);
}

int AIOTransmit(AioHandle* handle, int file, uint64_t position, uint32_t length)
{
    if (handle == nullptr)
        return 0;
    BufferRecord* record = TakeBuffer(handle);
    SetTransmission(record, file, position, length, nullptr);
    return StartWrite(record);
}

int AIOTransmitEx(AioHandle* handle, int file, uint64_t position, uint32_t length,
                  AioTransmitBuffers* buffers, AioReleaseFunction release)
{
    if (handle == nullptr)
        return 0;
    BufferRecord* record = TakeBuffer(handle);
    SubstituteData(record, reinterpret_cast<char*>(buffers), sizeof *buffers, release);
    SetTransmission(record, file, position, length, buffers);
    return StartWrite(record);
}

int AIOTransmitBuffer(AioBuffer* buffer, int file, uint64_t position, uint32_t length)
{
    SetTransmission(RecordOf(buffer), file, position, length,
                    reinterpret_cast<const AioTransmitBuffers*>(buffer->data));
    return StartWrite(RecordOf(buffer));
}

}  // extern "C"
