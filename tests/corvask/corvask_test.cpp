#include "corvask/corvask.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// What the library told one connection, with a way to wait for it.
struct Connection {
    std::mutex mutex;
    std::condition_variable changed;
    std::function<int(AioHandle*, char*, int)> onRead = [](AioHandle*, char*, int n) { return n; };
    std::function<void(AioBuffer*)> onWrite;
    std::string received;
    std::vector<int> readLengths;
    std::vector<AioBuffer*> written;
    int closes = 0;
    int releasesAtClose = -1;
    AioHandle* handle = nullptr;
    int peer = -1;

    template <class Predicate>
    bool WaitFor(Predicate predicate)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 30s, [&] { return predicate(); });
    }
};

std::atomic<int> releases{0};

void CountRelease(void*) { ++releases; }

int OnRead(AioHandle* handle, void* context, char* data, int length)
{
    auto* c = static_cast<Connection*>(context);
    int result = c->onRead(handle, data, length);
    std::lock_guard lock(c->mutex);
    c->readLengths.push_back(length);
    c->received.append(data, static_cast<size_t>(length));
    c->changed.notify_all();
    return result;
}

void OnWrite(AioBuffer* buffer, void* context)
{
    auto* c = static_cast<Connection*>(context);
    if (c->onWrite)
        c->onWrite(buffer);
    std::lock_guard lock(c->mutex);
    c->written.push_back(buffer);
    c->changed.notify_all();
}

void OnClose(AioHandle*, void* context)
{
    auto* c = static_cast<Connection*>(context);
    std::lock_guard lock(c->mutex);
    ++c->closes;
    c->releasesAtClose = releases.load();
    c->changed.notify_all();
}

// Registers one end of a socket pair; the test keeps the other as the peer.
void Register(Connection& c)
{
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    c.peer = ends[1];
    timeval limit{30, 0};
    ::setsockopt(c.peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ASSERT_EQ(RegisterHandleForAIO(ends[0], OnClose, OnRead, OnWrite, &c, &c.handle), c.handle);
    ASSERT_NE(c.handle, nullptr);
}

// Closes the library's side and waits for the close handler.
void Finish(Connection& c)
{
    AIOClose(c.handle);
    EXPECT_TRUE(c.WaitFor([&] { return c.closes == 1; }));
    ::close(c.peer);
}

std::string Pattern(size_t length, size_t from = 0)
{
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>('a' + (from + i) % 23);
    return text;
}

std::string ReadExactly(int fd, size_t length)
{
    std::string text(length, '\0');
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, text.data() + done, length - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    return text;
}

void WriteAll(int fd, const std::string& text)
{
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// A TCP socket bound to a free loopback port, not yet listening.
int BindLoopback(int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

TEST(Corvask, ReadBufferGrowsAndShrinksBack)
{
    Connection c;
    const std::string data = Pattern(19156);
    size_t consumed = 0;
    bool windowsMatch = true;
    c.onRead = [&](AioHandle*, char* bytes, int length) {
        windowsMatch &= std::string(bytes, length) == data.substr(consumed, length);
        int result = 0;
        if (length == 9728 && consumed == 0)
            result = 9728 - 300;  // leaves 300 bytes in the 9728-byte block
        else if (consumed != 0 && length == 9728)
            result = length;
        consumed += result;
        return result;
    };
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    c.peer = ends[1];
    WriteAll(c.peer, data);  // all there before the first read
    ASSERT_NE(RegisterHandleForAIO(ends[0], OnClose, OnRead, OnWrite, &c, &c.handle), nullptr);
    ASSERT_TRUE(c.WaitFor([&] { return c.readLengths.size() == 5; }));
    EXPECT_EQ(c.readLengths, (std::vector<int>{2048, 4608, 9728, 8192, 9728}));
    EXPECT_TRUE(windowsMatch);
    EXPECT_EQ(consumed, data.size());
    Finish(c);
}

TEST(Corvask, ReadHandlerResults)
{
    Connection c;
    c.onRead = [](AioHandle*, char* bytes, int) { return bytes[0] == 'x' ? -1 : 1 << 30; };
    Register(c);
    WriteAll(c.peer, "abc");
    ASSERT_TRUE(c.WaitFor([&] { return c.readLengths.size() == 1; }));
    WriteAll(c.peer, "defg");  // the oversized count consumed exactly "abc"
    ASSERT_TRUE(c.WaitFor([&] { return c.readLengths.size() == 2; }));
    EXPECT_EQ(c.received, "abcdefg");
    EXPECT_EQ(c.readLengths[1], 4);

    WriteAll(c.peer, "x");  // -1 closes
    ASSERT_TRUE(c.WaitFor([&] { return c.closes == 1; }));
    char byte;
    EXPECT_EQ(::read(c.peer, &byte, 1), 0);  // the library shut its side down
    EXPECT_EQ(c.readLengths.size(), 3u);
    ::close(c.peer);
}

TEST(Corvask, PeerCloseDropsQueuedWritesBeforeTheCloseHandler)
{
    Connection c;
    Register(c);
    const std::string block(1 << 20, 'q');  // far more than the socket takes
    int before = releases.load();
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(WriteAIO(c.handle, block.data(), block.size(), CountRelease), 1);
    EXPECT_EQ(AIOGetOutstandingWriteCount(c.handle), 4);
    ::close(c.peer);
    ASSERT_TRUE(c.WaitFor([&] { return c.closes == 1; }));
    EXPECT_EQ(c.releasesAtClose - before, 4);
    EXPECT_TRUE(c.written.empty());
}

TEST(Corvask, WriteAfterPeerResetFailsThenCloses)
{
    int port;
    int listener = BindLoopback(port);
    ASSERT_EQ(::listen(listener, 1), 0);
    int socket = ConnectToHost("127.0.0.1", port);
    ASSERT_GE(socket, 0);
    int peer = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    Connection c;
    ASSERT_NE(RegisterHandleForAIO(socket, OnClose, OnRead, OnWrite, &c, &c.handle), nullptr);
    // A buffer held back keeps the handle from being done meanwhile.
    AioBuffer* held = GetAIOBuffer(c.handle);
    linger reset{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(peer);
    testing::internal::CaptureStdout();
    int result = 1;
    for (int tries = 0; tries < 200 && result == 1; ++tries) {
        AioBuffer* buffer = GetAIOBuffer(c.handle);
        std::memcpy(buffer->data, "ihave <a@b>\r\n", 13);
        result = WriteAIOBuffer(buffer, 13);
        if (result == 1)
            std::this_thread::sleep_for(10ms);  // the reset is still on its way
    }
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(output.rfind("WRITE FAILED: ", 0), 0u) << output;
    EXPECT_GT(std::atoi(output.c_str() + 14), 0);
    {
        std::lock_guard lock(c.mutex);
        EXPECT_EQ(c.closes, 0);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteAIOBuffer(held, 0), 0);  // the connection is closing
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(c.WaitFor([&] { return c.closes == 1; }));
}

// A sparse file with known bytes at `offset`.
struct TempFile {
    std::string path;
    int fd = -1;
    TempFile(uint64_t offset, const std::string& bytes)
    {
        char name[] = "/tmp/corvask-XXXXXX";
        fd = ::mkstemp(name);
        path = name;
        ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    }
    ~TempFile()
    {
        ::close(fd);
        ::unlink(path.c_str());
    }
};

AioBuffer* HeadAndTail(AioHandle* handle, const std::string& head, const std::string& tail)
{
    AioBuffer* buffer = GetAIOBuffer(handle);
    auto* block = reinterpret_cast<AioTransmitBuffers*>(buffer->data);
    char* text = buffer->data + sizeof(AioTransmitBuffers);
    std::memcpy(text, head.data(), head.size());
    std::memcpy(text + head.size(), tail.data(), tail.size());
    *block = AioTransmitBuffers{text, static_cast<uint32_t>(head.size()), text + head.size(),
                                static_cast<uint32_t>(tail.size())};
    return buffer;
}

TEST(Corvask, WritesAndTransmissionsArriveInOrder)
{
    const uint64_t high = (uint64_t{5} << 30) + 7;  // above 4 GiB
    const std::string article = Pattern(3 << 20);   // larger than the socket buffer
    TempFile file(high, article);
    Connection c;
    Register(c);

    std::string expected;
    AioBuffer* first = HeadAndTail(c.handle, "takethis <1@x>\r\n", "\r\n.\r\n");
    ASSERT_EQ(AIOTransmitBuffer(first, file.fd, high + 100, 3000), 1);
    expected += "takethis <1@x>\r\n" + article.substr(100, 3000) + "\r\n.\r\n";

    // Bits above 39 of the position are not part of it.
    AioBuffer* large = HeadAndTail(c.handle, "", "\r\n.\r\n");
    ASSERT_EQ(AIOTransmitBuffer(large, file.fd, high | (uint64_t{0xab} << 40), article.size()), 1);
    expected += article + "\r\n.\r\n";

    std::string copied = Pattern(5000, 3);
    ASSERT_EQ(WriteAIO(c.handle, copied.data(), copied.size(), AIO_COPY_DATA), 1);
    expected += copied;
    copied.assign(copied.size(), '!');  // the library sends its own copy

    ASSERT_EQ(AIOTransmit(c.handle, file.fd, high + 1, 10), 1);
    expected += article.substr(1, 10);

    AioTransmitBuffers block{"HEAD ", 5, " TAIL", 5};
    int before = releases.load();
    ASSERT_EQ(AIOTransmitEx(c.handle, file.fd, high, 4, &block, CountRelease), 1);
    expected += "HEAD " + article.substr(0, 4) + " TAIL";

    EXPECT_EQ(ReadExactly(c.peer, expected.size()), expected);
    ASSERT_TRUE(c.WaitFor([&] { return c.written.size() == 5; }));
    EXPECT_EQ(c.written[0], first);
    EXPECT_EQ(c.written[1], large);
    EXPECT_EQ(releases.load() - before, 1);
    EXPECT_EQ(AIOGetOutstandingWriteCount(c.handle), 0);

    // A range past the end of the file would send a short article.
    testing::internal::CaptureStdout();
    EXPECT_EQ(AIOTransmit(c.handle, file.fd, high + article.size() - 10, 20), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("WRITE FAILED: ", 0), 0u);
    EXPECT_TRUE(c.WaitFor([&] { return c.closes == 1; }));
    ::close(c.peer);
}

TEST(Corvask, TransmissionToAClosedPeerRaisesNoSignal)
{
    TempFile file(0, Pattern(4096));
    Connection c;
    Register(c);
    AioBuffer* held = GetAIOBuffer(c.handle);  // keeps the handle until the end
    ::close(c.peer);
    testing::internal::CaptureStdout();
    // Without a head the file range is the first thing sent (unless the
    // worker has already seen the peer go); SIGPIPE would end this process.
    EXPECT_EQ(AIOTransmit(c.handle, file.fd, 0, 4096), 0);
    EXPECT_EQ(WriteAIOBuffer(held, 0), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("WRITE FAILED: "), std::string::npos);
    EXPECT_TRUE(c.WaitFor([&] { return c.closes == 1; }));
}

TEST(Corvask, FreeListKeepsAtMost51Records)
{
    Connection c;
    Register(c);
    std::vector<AioBuffer*> drain;  // empties the free list
    for (int i = 0; i < 60; ++i)
        drain.push_back(GetAIOBuffer(c.handle));
    std::vector<AioBuffer*> released;
    for (int i = 0; i < 61; ++i)
        released.push_back(GetAIOBuffer(c.handle));
    // Completions come in order; when the 61st runs, the first 60 are back.
    std::vector<AioBuffer*> retaken;
    c.onWrite = [&](AioBuffer* buffer) {
        if (buffer == released.back())
            for (int i = 0; i < 52; ++i)
                retaken.push_back(GetAIOBuffer(c.handle));
    };
    for (AioBuffer* buffer : released)
        ASSERT_EQ(WriteAIOBuffer(buffer, 1), 1);
    ASSERT_TRUE(c.WaitFor([&] { return c.written.size() == 61; }));
    c.onWrite = nullptr;
    ASSERT_EQ(retaken.size(), 52u);
    for (int i = 0; i < 51; ++i)
        EXPECT_EQ(retaken[i], released[50 - i]) << i;  // last pushed comes first
    EXPECT_EQ(std::set<AioBuffer*>(retaken.begin(), retaken.begin() + 51).count(retaken[51]), 0u);

    for (AioBuffer* buffer : drain)
        WriteAIOBuffer(buffer, 1);
    for (AioBuffer* buffer : retaken)
        WriteAIOBuffer(buffer, 1);
    EXPECT_TRUE(c.WaitFor([&] { return c.written.size() == 61 + 60 + 52; }));
    Finish(c);
}

TEST(Corvask, HundredsOfConnectionsEcho)
{
    constexpr int kCount = 300;
    std::vector<Connection> connections(kCount);
    for (Connection& c : connections) {
        c.onRead = [](AioHandle* handle, char* bytes, int length) {
            if (length < 8)
                return 0;
            AioBuffer* buffer = GetAIOBuffer(handle);
            std::memcpy(buffer->data, bytes, 8);
            WriteAIOBuffer(buffer, 8);
            return 8;
        };
        Register(c);
    }
    for (int i = 0; i < kCount; ++i) {
        char text[9];
        std::snprintf(text, sizeof text, "%03d-", i);
        WriteAll(connections[i].peer, text);
        WriteAll(connections[i].peer, "ok\r\n");
    }
    for (int i = 0; i < kCount; ++i) {
        char text[9];
        std::snprintf(text, sizeof text, "%03d-ok\r\n", i);
        EXPECT_EQ(ReadExactly(connections[i].peer, 8), text);
        ::close(connections[i].peer);
    }
    for (Connection& c : connections)
        EXPECT_TRUE(c.WaitFor([&] { return c.closes == 1 && c.written.size() == 1; }));
}

Connection* changedTo = nullptr;

int OnReadChanged(AioHandle* handle, void* context, char* data, int length)
{
    changedTo = static_cast<Connection*>(context);
    return OnRead(handle, context, data, length);
}

TEST(Corvask, ChangeAIOAndRegistrationFailures)
{
    Connection c;
    Connection other;
    Register(c);
    EXPECT_EQ(ChangeAIO(nullptr, OnClose, OnRead, &c), 0);
    ASSERT_EQ(ChangeAIO(c.handle, OnClose, OnReadChanged, &other), 1);
    WriteAll(c.peer, "hello");
    ASSERT_TRUE(other.WaitFor([&] { return other.received == "hello"; }));
    EXPECT_EQ(changedTo, &other);
    EXPECT_TRUE(c.received.empty());
    AIOClose(c.handle);
    EXPECT_TRUE(other.WaitFor([&] { return other.closes == 1; }));
    ::close(c.peer);

    // Only sockets can be registered; nothing is stored then.
    AioHandle* kept = reinterpret_cast<AioHandle*>(&c);
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    EXPECT_EQ(RegisterHandleForAIO(pipeEnds[0], OnClose, OnRead, OnWrite, &c, &kept), nullptr);
    EXPECT_EQ(kept, reinterpret_cast<AioHandle*>(&c));
    EXPECT_EQ(RegisterHandleForAIO(-1, OnClose, OnRead, OnWrite, &c, &kept), nullptr);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

int GetOption(int fd, int level, int name)
{
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(fd, level, name, &value, &length);
    return value;
}

long TimeoutMs(int fd, int name)
{
    timeval time{};
    socklen_t length = sizeof time;
    ::getsockopt(fd, SOL_SOCKET, name, &time, &length);
    return time.tv_sec * 1000 + time.tv_usec / 1000;
}

TEST(Corvask, ConnectToHostSetsOptionsAndReportsFailure)
{
    int port;
    int listener = BindLoopback(port);
    EXPECT_EQ(ConnectToHost("127.0.0.1", port), -1);  // bound, not listening: refused
    ASSERT_EQ(::listen(listener, 2), 0);

    int socket = ConnectToHost("localhost", port);
    ASSERT_GE(socket, 0);
    EXPECT_NE(GetOption(socket, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_NE(GetOption(socket, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(TimeoutMs(socket, SO_RCVTIMEO), 120000);
    EXPECT_EQ(TimeoutMs(socket, SO_SNDTIMEO), 60000);
    EXPECT_NE(::fcntl(socket, F_GETFD) & FD_CLOEXEC, 0);
    ::close(socket);
    EXPECT_EQ(ConnectToHost(nullptr, port), -1);
    ::close(listener);
}

int ThreadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    return -1;
}

// The accept test binds any address, so it runs where only a private loopback exists.
bool EnterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return up;
}

bool CanEnterPrivateNetwork()
{
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(::unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

constexpr int kAcceptPort = 1119;
std::atomic<int> admissions{0};
std::atomic<int> connectionSocket{-1};
std::atomic<int> connectionAdmitted{0};
std::string admittedPeer;

int Admit(uint32_t address, const char* peer)
{
    if (++admissions != 1)
        return 0;
    admittedPeer = peer;
    return address == htonl(INADDR_LOOPBACK) ? 7 : 0;
}

void Connected(int socket, const char*, int admitted)
{
    connectionAdmitted = admitted;
    connectionSocket = socket;
}

int ConnectLoopback()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(kAcceptPort);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

#define CHECK_OR_EXIT(condition)                                   \
    if (!(condition)) {                                            \
        std::fprintf(stderr, "failed: %s\n", #condition);          \
        std::_Exit(1);                                             \
    }

// Runs in a child process of its own: AsyncShutdown stops the library for good.
void AcceptThenShutDown()
{
    CHECK_OR_EXIT(EnterPrivateNetwork());
    CHECK_OR_EXIT(AcceptIncomingConnections(Admit, Connected, kAcceptPort) == 1);
    int first = -1;
    for (int tries = 0; tries < 3000 && first < 0; ++tries) {
        first = ConnectLoopback();
        if (first < 0)
            std::this_thread::sleep_for(10ms);  // the accept thread is still starting
    }
    CHECK_OR_EXIT(first >= 0);
    int refused = ConnectLoopback();
    char byte;
    CHECK_OR_EXIT(::read(refused, &byte, 1) == 0);  // the second admission said no
    for (int tries = 0; tries < 3000 && connectionSocket < 0; ++tries)
        std::this_thread::sleep_for(10ms);
    CHECK_OR_EXIT(connectionSocket >= 0 && connectionAdmitted == 7);
    CHECK_OR_EXIT(admittedPeer == "127.0.0.1");
    CHECK_OR_EXIT(GetOption(connectionSocket, IPPROTO_TCP, TCP_NODELAY) != 0);
    CHECK_OR_EXIT(TimeoutMs(connectionSocket, SO_SNDTIMEO) == 30000);
    CHECK_OR_EXIT(TimeoutMs(connectionSocket, SO_RCVTIMEO) == 60000);

    Connection c;
    Register(c);
    int threads = ThreadCount();
    AsyncShutdown();
    CHECK_OR_EXIT(ThreadCount() == threads - 2);  // the worker and the accept thread
    CHECK_OR_EXIT(ConnectLoopback() < 0);
    WriteAll(c.peer, "late");
    std::this_thread::sleep_for(200ms);
    std::lock_guard lock(c.mutex);
    CHECK_OR_EXIT(c.readLengths.empty());
    std::_Exit(0);
}

TEST(Corvask, AcceptIncomingConnectionsAndAsyncShutdown)
{
    if (!CanEnterPrivateNetwork())
        GTEST_SKIP() << "no private network namespace here";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(AcceptThenShutDown(), testing::ExitedWithCode(0), "");
}

}  // namespace
