// The library's worker: one thread waits on an epoll instance for every
// registered socket, reads into each handle's growing buffer, continues
// queued writes, and runs every handler. Caller threads reach it through the
// posted list (completed writes, done handles) and an eventfd.
#include "corvask/internal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace corvask {

constinit int epollFd = -1;

namespace {

constexpr uint32_t kShrinkSize = 8192;
constexpr uint32_t kShrinkBelow = 8000;
constexpr int kEventBatch = 64;
constexpr auto kErrorBackOff = std::chrono::milliseconds(250);

struct Packet {
    PacketKind kind;
    void* item;
};

constinit int wakeFd = -1;
constinit pthread_t workerThread{};
constinit bool bWorkerStarted = false;
constinit std::atomic<bool> bStop{false};
constinit std::once_flag stopOnce;
thread_local bool tOnWorker = false;

constinit std::mutex postLock;
constinit std::vector<Packet>* posted = nullptr;  // allocated once, kept to the end

void Wake()
{
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
}

bool PostedPending()
{
    std::lock_guard lock(postLock);
    return !posted->empty();
}

// Runs what was posted up to now; what the handlers post meanwhile waits for
// the next round, so that sockets are served in between.
void DrainPosted(std::vector<Packet>& batch)
{
    {
        std::lock_guard lock(postLock);
        batch.swap(*posted);
    }
    for (const Packet& packet : batch) {
        if (bStop.load())
            break;
        if (packet.kind == kWriteDone)
            CompleteWrite(static_cast<BufferRecord*>(packet.item));
        else
            CallCloseHandler(static_cast<AioHandle*>(packet.item));
    }
    batch.clear();
}

// Removes the consumed bytes from the front of the read buffer, shrinking a
// grown block that now holds little, and grows a full one.
bool ConsumeRead(BufferRecord* record, uint32_t consumed)
{
    AioBuffer& buffer = record->pub;
    buffer.used -= consumed;
    if (consumed != 0) {
        if (buffer.size > kShrinkSize && buffer.used < kShrinkBelow) {
            char* block = static_cast<char*>(std::malloc(kShrinkSize));
            if (block == nullptr)
                return false;
            std::memcpy(block, buffer.data + consumed, buffer.used);
            std::free(buffer.data);
            buffer.data = block;
            buffer.size = kShrinkSize;
        } else {
            std::memmove(buffer.data, buffer.data + consumed, buffer.used);
        }
    }
    if (buffer.used == buffer.size) {
        uint32_t size = 2 * buffer.size + 512;
        char* block = static_cast<char*>(std::realloc(buffer.data, size));
        if (block == nullptr)
            return false;
        buffer.data = block;
        buffer.size = size;
    }
    return true;
}

// One read per readiness report keeps the connections taking turns.
void ReadOnce(AioHandle* handle)
{
    AioBuffer& buffer = handle->readBuffer->pub;
    ssize_t n = ::recv(handle->socket, buffer.data + buffer.used, buffer.size - buffer.used, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        Teardown(handle);
        return;
    }
    buffer.used += static_cast<uint32_t>(n);
    int result = handle->readHandler.load()(handle, handle->context.load(), buffer.data,
                                            static_cast<int>(buffer.used));
    // Any negative count closes: subtracting one would run past the buffer.
    if (result < 0 || handle->closing.load() ||
        !ConsumeRead(handle->readBuffer, std::min(static_cast<uint32_t>(result), buffer.used)))
        Teardown(handle);
}

void ServiceSocket(AioHandle* handle, uint32_t events)
{
    if (handle->closing.load()) {
        Teardown(handle);
        return;
    }
    if ((events & EPOLLOUT) && !FlushWrites(handle))
        return;
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        ReadOnce(handle);
}

void* WorkerMain(void*)
{
    tOnWorker = true;
    std::vector<Packet> batch;
    epoll_event events[kEventBatch];
    for (;;) {
        int n = ::epoll_wait(epollFd, events, kEventBatch, PostedPending() ? 0 : -1);
        if (bStop.load())
            break;
        if (n < 0) {
            if (errno != EINTR)
                std::this_thread::sleep_for(kErrorBackOff);
            continue;
        }
        for (int i = 0; i < n && !bStop.load(); ++i) {
            auto* handle = static_cast<AioHandle*>(events[i].data.ptr);
            if (handle == nullptr) {
                uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(wakeFd, &count, sizeof count);
            } else {
                ServiceSocket(handle, events[i].events);
            }
        }
        DrainPosted(batch);
    }
    return nullptr;
}

void StopWorker()
{
    bStop.store(true);
    Wake();
    ::pthread_join(workerThread, nullptr);
}

__attribute__((constructor)) void CorvaskLoad()
{
    posted = new std::vector<Packet>();
    posted->reserve(256);
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    if (epollFd >= 0 && wakeFd >= 0 && ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) == 0 &&
        StartQuietThread(&workerThread, WorkerMain, nullptr)) {
        bWorkerStarted = true;
        return;
    }
    // Without a worker nothing may be registered: RegisterHandleForAIO then fails.
    if (epollFd >= 0)
        ::close(epollFd);
    epollFd = -1;
}

}  // namespace

bool OnWorker() { return tOnWorker; }

void Post(PacketKind kind, void* item)
{
    bool wasEmpty;
    {
        std::lock_guard lock(postLock);
        wasEmpty = posted->empty();
        posted->push_back(Packet{kind, item});
    }
    // The worker drains the list after every round, so it needs no wake-up.
    if (wasEmpty && !OnWorker())
        Wake();
}

void MarkClosing(AioHandle* handle)
{
    // Nothing of the handle is touched after the exchange: once the worker
    // sees closing it may free the handle.
    int socket = handle->socket;
    if (!handle->closing.exchange(true))
        ::shutdown(socket, SHUT_RDWR);  // wakes the worker, which tears down
}

void Teardown(AioHandle* handle)
{
    if (handle->tornDown)
        return;
    handle->tornDown = true;
    MarkClosing(handle);
    ::epoll_ctl(epollFd, EPOLL_CTL_DEL, handle->socket, nullptr);
    BufferRecord* queued;
    {
        std::lock_guard lock(handle->writeLock);
        queued = handle->writeHead;
        handle->writeHead = handle->writeTail = nullptr;
    }
    // Writes not yet on the wire are dropped without their write handler;
    // the read buffer goes last, since it keeps the handle from being done.
    while (queued != nullptr) {
        BufferRecord* next = queued->next;
        --handle->pendingIo;
        --handle->pendingWrites;
        ReleaseBuffer(queued);
        queued = next;
    }
    BufferRecord* read = handle->readBuffer;
    handle->readBuffer = nullptr;
    --handle->pendingIo;
    FinishIfDone(ReleaseBuffer(read));
}

bool StartQuietThread(pthread_t* thread, void* (*body)(void*), void* argument)
{
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    bool started = ::pthread_create(thread, nullptr, body, argument) == 0;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

}  // namespace corvask

using namespace corvask;

extern "C" {

AioHandle* RegisterHandleForAIO(int socket, AioCloseHandler closeHandler,
                                AioReadHandler readHandler, AioWriteHandler writeHandler,
                                void* context, AioHandle** where)
{
    struct stat status;
    if (epollFd < 0 || ::fstat(socket, &status) != 0 || !S_ISSOCK(status.st_mode))
        return nullptr;
    int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0)
        return nullptr;
    auto* handle = new AioHandle;
    handle->closeHandler = closeHandler;
    handle->readHandler = readHandler;
    handle->writeHandler = writeHandler;
    handle->socket = socket;
    handle->context = context;
    handle->readBuffer = TakeBuffer(handle);
    handle->readBuffer->operation = kRead;
    handle->pendingIo = 1;
    // Stored before the socket is watched: the first read (and handler) may
    // follow at once on the worker.
    AioHandle* previous = nullptr;
    if (where != nullptr) {
        previous = *where;
        *where = handle;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = handle;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, socket, &event) != 0) {
        if (where != nullptr)
            *where = previous;
        ReleaseBuffer(handle->readBuffer);
        ::fcntl(socket, F_SETFL, flags);
        delete handle;
        return nullptr;
    }
    return handle;
}

int ChangeAIO(AioHandle* handle, AioCloseHandler closeHandler, AioReadHandler readHandler,
              void* context)
{
    if (handle == nullptr)
        return 0;
    std::lock_guard lock(handle->writeLock);  // orders the change before a teardown
    handle->closeHandler = closeHandler;
    handle->readHandler = readHandler;
    handle->context = context;
    return 1;
}

AioBuffer* GetAIOBuffer(AioHandle* handle)
{
    return handle == nullptr ? nullptr : &TakeBuffer(handle)->pub;
}

int AIOGetOutstandingWriteCount(AioHandle* handle)
{
    if (handle == nullptr)
        return 0;
    std::lock_guard lock(handle->writeLock);  // orders the look before a teardown
    return handle->pendingWrites.load();
}

void AIOClose(AioHandle* handle)
{
    if (handle != nullptr)
        MarkClosing(handle);
}

void AsyncShutdown(void)
{
    if (!bWorkerStarted)
        return;
    if (OnWorker()) {
        // A handler cannot wait for its own thread: the worker stops after it.
        bStop.store(true);
        return;
    }
    std::call_once(stopOnce, [] {
        StopWorker();
        StopAcceptThreads();
    });
}

}  // extern "C"
