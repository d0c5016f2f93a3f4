// Records and procedures shared by the library's own source files; nothing
// here is visible outside libcorvask.
#pragma once

#include "corvask/corvask.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace corvask {

enum Operation { kWrite = 1, kRead = 2 };

// A buffer record: the public part first, so a caller's AioBuffer pointer is
// the record itself.
struct BufferRecord {
    AioBuffer pub;
    int operation;
    // AIO_COPY_DATA while data is the record's own block; otherwise how the
    // caller's block is disposed of, with the own block parked meanwhile.
    AioReleaseFunction release;
    char* ownData;
    uint32_t ownSize;
    BufferRecord* next;  // free list, or the handle's write queue

    // What a write or transmission sends (head, file range, tail) and how
    // many of those bytes have gone out.
    const char* head;
    uint32_t headLength;
    int file;
    uint64_t position;
    uint32_t fileLength;
    const char* tail;
    uint32_t tailLength;
    uint64_t sent;
};

inline BufferRecord* RecordOf(AioBuffer* buffer) { return reinterpret_cast<BufferRecord*>(buffer); }

enum CloseState { kOpen, kClosing, kClosed };

}  // namespace corvask

struct AioHandle {
    std::atomic<AioReadHandler> readHandler{nullptr};
    std::atomic<AioCloseHandler> closeHandler{nullptr};
    AioWriteHandler writeHandler = nullptr;
    int socket = -1;
    std::atomic<void*> context{nullptr};

    int buffersHeld = 0;                    // under the pool lock
    int closeState = corvask::kOpen;        // under the pool lock
    std::atomic<int> pendingIo{0};          // the read plus writes not yet completed
    std::atomic<int> pendingWrites{0};
    std::atomic<bool> closing{false};

    corvask::BufferRecord* readBuffer = nullptr;  // worker only
    bool tornDown = false;                        // worker only

    std::mutex writeLock;  // orders sends on the socket; guards the queue below
    corvask::BufferRecord* writeHead = nullptr;
    corvask::BufferRecord* writeTail = nullptr;
    bool wantWritable = false;
};

namespace corvask {

extern int epollFd;

// True on the worker thread.
bool OnWorker();

// Buffer pool (pool.cpp). ReleaseBuffer returns the handle when that release
// made it done: its close handler is then due (see FinishIfDone).
BufferRecord* TakeBuffer(AioHandle* handle);
AioHandle* ReleaseBuffer(BufferRecord* record);
// Lends the record a caller's block in place of its own until it is released.
void SubstituteData(BufferRecord* record, char* data, uint32_t size, AioReleaseFunction release);
// Calls the close handler of a done handle on the worker (now, or posted).
void FinishIfDone(AioHandle* done);
// Worker only: runs the close handler and frees the handle once no buffer is held.
void CallCloseHandler(AioHandle* handle);
void FreeHandle(AioHandle* handle);

// Sets closing and shuts the socket down; the worker then tears the handle down.
void MarkClosing(AioHandle* handle);

// Worker loop (corvask.cpp): completed writes and done handles are posted
// to the worker so their handlers run there, in order.
enum PacketKind { kWriteDone, kHandleDone };
void Post(PacketKind kind, void* item);

// Writes (write.cpp).
int StartWrite(BufferRecord* record);
void CompleteWrite(BufferRecord* record);
// Worker only: continues queued writes; false when that tore the handle down.
bool FlushWrites(AioHandle* handle);
void Teardown(AioHandle* handle);

// Accept threads (net.cpp), stopped by AsyncShutdown.
void StopAcceptThreads();
// Starts a thread that takes no asynchronous signals (they belong to the host program).
bool StartQuietThread(pthread_t* thread, void* (*body)(void*), void* argument);

}  // namespace corvask
