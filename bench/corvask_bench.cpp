// Throughput of the I/O worker: streamed-article transmissions (a command
// line, a 3 KB range of a store-like file, the closing dot line) over 20
// loopback connections, several in flight on each, drained by a reader thread.
#include "corvask/corvask.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kConnections = 20;
constexpr int kInFlight = 4;
constexpr uint32_t kArticle = 3072;
constexpr uint64_t kFileSize = 4 << 20;
constexpr const char kTail[] = "\r\n.\r\n";

struct Run {
    int file = -1;
    std::atomic<long> toStart{0};
    std::atomic<long> completed{0};
    long target = 0;
    std::atomic<uint64_t> sentBytes{0};
    std::mutex mutex;
    std::condition_variable done;
};

Run run;

void StartOne(AioHandle* handle)
{
    long number = run.toStart.fetch_sub(1);
    if (number <= 0)
        return;
    AioBuffer* buffer = GetAIOBuffer(handle);
    char* text = buffer->data + sizeof(AioTransmitBuffers);
    int headLength = std::snprintf(text, 64, "takethis <%ld@bench.example>\r\n", number);
    std::memcpy(text + headLength, kTail, 5);
    *reinterpret_cast<AioTransmitBuffers*>(buffer->data) =
        AioTransmitBuffers{text, static_cast<uint32_t>(headLength), text + headLength, 5};
    uint64_t position = (static_cast<uint64_t>(number) * 7919 * kArticle) % (kFileSize - kArticle);
    run.sentBytes += headLength + kArticle + 5;
    AIOTransmitBuffer(buffer, run.file, position, kArticle);
}

void OnWrite(AioBuffer* buffer, void*)
{
    StartOne(buffer->handle);
    if (++run.completed == run.target) {
        std::lock_guard lock(run.mutex);
        run.done.notify_all();
    }
}

int OnRead(AioHandle*, void*, char*, int length) { return length; }
void OnClose(AioHandle*, void*) {}

// Reads everything the peers receive until they are shut down.
void Drain(std::vector<int> peers)
{
    int poll = ::epoll_create1(EPOLL_CLOEXEC);
    for (int fd : peers) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(poll, EPOLL_CTL_ADD, fd, &event);
    }
    std::vector<char> bytes(1 << 16);
    epoll_event events[kConnections];
    size_t open = peers.size();
    while (open > 0) {
        int n = ::epoll_wait(poll, events, kConnections, -1);
        for (int i = 0; i < n; ++i) {
            if (::read(events[i].data.fd, bytes.data(), bytes.size()) <= 0) {
                ::epoll_ctl(poll, EPOLL_CTL_DEL, events[i].data.fd, nullptr);
                --open;
            }
        }
    }
    ::close(poll);
}

void BM_TransmitArticles(benchmark::State& state)
{
    char path[] = "/tmp/corvask-bench-XXXXXX";
    run.file = ::mkstemp(path);
    ::unlink(path);
    std::string block(kFileSize, 'x');
    for (size_t i = 0; i < block.size(); i += 80)
        block[i] = '\n';
    if (::pwrite(run.file, block.data(), block.size(), 0) != static_cast<ssize_t>(block.size())) {
        state.SkipWithError("cannot write the article file");
        return;
    }

    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener, kConnections);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<AioHandle*> handles(kConnections);
    std::vector<int> peers;
    for (AioHandle*& handle : handles) {
        int socket = ConnectToHost("127.0.0.1", ntohs(address.sin_port));
        peers.push_back(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        RegisterHandleForAIO(socket, OnClose, OnRead, OnWrite, nullptr, &handle);
    }
    ::close(listener);
    std::thread reader(Drain, peers);

    const long batch = state.range(0);
    uint64_t bytes = 0;
    for (auto _ : state) {
        run.completed = 0;
        run.sentBytes = 0;
        run.target = batch;
        run.toStart = batch;
        for (AioHandle* handle : handles)
            for (int i = 0; i < kInFlight; ++i)
                StartOne(handle);
        std::unique_lock lock(run.mutex);
        run.done.wait(lock, [] { return run.completed.load() >= run.target; });
        bytes += run.sentBytes;
    }
    state.SetItemsProcessed(state.iterations() * batch);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));

    for (AioHandle* handle : handles)
        AIOClose(handle);
    for (int fd : peers)
        ::shutdown(fd, SHUT_RDWR);
    reader.join();
    for (int fd : peers)
        ::close(fd);
    ::close(run.file);
}

BENCHMARK(BM_TransmitArticles)->Arg(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
