// Sockets of the server: thin wrappers over the socket calls, so that no
// other folder makes them.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

bool SetOption(int fd, int level, int name)
{
    int on = 1;
    return ::setsockopt(fd, level, name, &on, sizeof on) == 0;
}

// The addresses of `host` in `family`, in the resolver's order, each taken
// out of its socket address by `take`.
template <class Address, class Take>
bool Resolve(const char* host, int family, std::vector<Address>* addresses, Take take)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &list) != 0)
        return false;
    addresses->clear();
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next)
        addresses->push_back(take(ai->ai_addr));
    ::freeaddrinfo(list);
    return true;
}

}  // namespace

UniqueFd NewTcpSocket(int family)
{
    return UniqueFd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

bool ParseNetAddress(const char* text, NetAddress* address)
{
    NetAddress parsed;
    if (::inet_pton(AF_INET, text, &parsed.v4) != 1) {
        parsed.family = AF_INET6;
        if (::inet_pton(AF_INET6, text, &parsed.v6) != 1)
            return false;
    }
    parsed.port = address->port;
    *address = parsed;
    return true;
}

void FormatNetAddress(const NetAddress& address, char* text, size_t size)
{
    const void* bytes = address.family == AF_INET6 ? static_cast<const void*>(&address.v6) : &address.v4;
    if (size == 0 || ::inet_ntop(address.family, bytes, text, static_cast<socklen_t>(size)) == nullptr)
        if (size > 0)
            text[0] = '\0';
}

void FormatNetPeer(const NetAddress& address, char* text, size_t size)
{
    char host[INET6_ADDRSTRLEN];
    FormatNetAddress(address, host, sizeof host);
    const char* format = address.family == AF_INET6 ? "[%s]:%u" : "%s:%u";
    std::snprintf(text, size, format, host, static_cast<unsigned>(address.port));
}

socklen_t ToSocketAddress(const NetAddress& address, sockaddr_storage* out)
{
    *out = {};
    if (address.family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(out);
        in->sin_family = AF_INET;
        in->sin_port = htons(address.port);
        in->sin_addr.s_addr = address.v4;
        return sizeof *in;
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(address.port);
    in6->sin6_addr = address.v6;
    return sizeof *in6;
}

bool IsLoopback(const NetAddress& address)
{
    if (address.family == AF_INET)
        return (ntohl(address.v4) >> 24) == 127;
    return IN6_IS_ADDR_LOOPBACK(&address.v6);
}

bool BindNetAddress(int fd, const NetAddress& address)
{
    if (address.family == AF_INET6) {
        int off = 0;  // dual stack: "::" takes IPv4 peers too
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    sockaddr_storage socketAddress;
    const socklen_t length = ToSocketAddress(address, &socketAddress);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0;
}

UniqueFd AcceptNetPeer(int listener, NetAddress* peer)
{
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    UniqueFd fd(::accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC));
    if (!fd)
        return fd;
    *peer = NetAddress{};
    if (from.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(from);
        peer->port = ntohs(in6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            std::memcpy(&peer->v4, in6.sin6_addr.s6_addr + 12, sizeof peer->v4);
        } else {
            peer->family = AF_INET6;
            peer->v6 = in6.sin6_addr;
        }
    } else {
        const auto& in = reinterpret_cast<const sockaddr_in&>(from);
        peer->port = ntohs(in.sin_port);
        peer->v4 = in.sin_addr.s_addr;
    }
    return fd;
}

bool ResolveHost6(const char* host, std::vector<in6_addr>* addresses)
{
    return Resolve(host, AF_INET6, addresses,
                   [](const sockaddr* a) { return reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr; }) &&
           !addresses->empty();
}

bool ReverseLookup6(const in6_addr& address, char* name, size_t size)
{
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_addr = address;
    return ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), sizeof peer, name, static_cast<socklen_t>(size), nullptr,
                         0, NI_NAMEREQD) == 0;
}

bool BindSocket(int fd, const sockaddr_in& address)
{
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool ListenSocket(int fd, int backlog)
{
    return ::listen(fd, backlog) == 0;
}

bool ConnectSocket(int fd, const sockaddr_in& address)
{
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool LocalAddress(int fd, sockaddr_in* address)
{
    socklen_t length = sizeof *address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(address), &length) == 0;
}

UniqueFd AcceptSocket(int listener, sockaddr_in* peer)
{
    socklen_t length = sizeof *peer;
    return UniqueFd(::accept4(listener, reinterpret_cast<sockaddr*>(peer), &length, SOCK_CLOEXEC));
}

bool SetNoDelay(int fd)
{
    return SetOption(fd, IPPROTO_TCP, TCP_NODELAY);
}

bool SetReuseAddress(int fd)
{
    return SetOption(fd, SOL_SOCKET, SO_REUSEADDR);
}

bool SetKeepAlive(int fd)
{
    return SetOption(fd, SOL_SOCKET, SO_KEEPALIVE);
}

bool SetTimeouts(int fd, long milliseconds)
{
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

namespace {
// Relaxed: only the statistics read them, and a count a moment late is fine.
std::atomic<uint64_t> bytesSent{0};
std::atomic<uint64_t> bytesReceived{0};
}  // namespace

void CountBytesSent(uint64_t count)
{
    bytesSent.fetch_add(count, std::memory_order_relaxed);
}
void CountBytesReceived(uint64_t count)
{
    bytesReceived.fetch_add(count, std::memory_order_relaxed);
}
uint64_t SocketBytesSent()
{
    return bytesSent.load(std::memory_order_relaxed);
}
uint64_t SocketBytesReceived()
{
    return bytesReceived.load(std::memory_order_relaxed);
}

bool SendAll(int fd, const void* data, size_t length)
{
    CountBytesSent(length);
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t sent = ::send(fd, next, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        next += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool SendAllV(int fd, iovec* pieces, int count)
{
    while (count > 0 && pieces->iov_len == 0) {
        ++pieces;
        --count;
    }
    while (count > 0) {
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(std::min(count, IOV_MAX));
        ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        auto left = static_cast<size_t>(sent);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (left > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

void SendWithoutWaiting(int fd, const void* data, size_t length)
{
    const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0)
        CountBytesSent(static_cast<uint64_t>(sent));
}

namespace {

constexpr int64_t kPromptNanoseconds = 100000;  // a sleep shorter than this was prompt
std::atomic<int64_t> pollNanoseconds{30000};    // how long a prompt read polls
std::atomic<int> pollers{0};

int64_t MonotonicNanoseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// A polling thread holds a processor; one is always left for the rest.
bool TakePollerPlace()
{
    static const int limit = static_cast<int>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN))) - 1;
    int now = pollers.load(std::memory_order_relaxed);
    while (now < limit)
        if (pollers.compare_exchange_weak(now, now + 1, std::memory_order_relaxed))
            return true;
    return false;
}

// The polling part of a prompt read: the count, 0 or -1 when the socket
// answered, or -2 when nothing came within the time.
ssize_t PollReceive(int fd, void* buffer, size_t length, int flags)
{
    const int64_t until = MonotonicNanoseconds() + pollNanoseconds.load(std::memory_order_relaxed);
    ssize_t received;
    do {
        received = ::recv(fd, buffer, length, flags | MSG_DONTWAIT);
        if (received >= 0 || (errno != EAGAIN && errno != EINTR))
            return received;
    } while (MonotonicNanoseconds() < until);
    return -2;
}

// A prompt read: polls with recv(`flags`) into `buffer` when `*prompt`;
// what a poll without MSG_PEEK took is the answer, else `read` is called,
// timed when it may sleep.
ssize_t PromptRead(int fd, bool* prompt, void* buffer, size_t length, int flags, ssize_t (*read)(void*), void* context)
{
    if (*prompt && pollNanoseconds.load(std::memory_order_relaxed) > 0 && TakePollerPlace()) {
        const ssize_t polled = PollReceive(fd, buffer, length, flags);
        pollers.fetch_sub(1, std::memory_order_relaxed);
        if (polled > 0 && (flags & MSG_PEEK) == 0)
            bytesReceived.fetch_add(static_cast<uint64_t>(polled), std::memory_order_relaxed);
        if (polled != -2 && ((flags & MSG_PEEK) == 0 || polled <= 0))
            return polled;
        // A peer slower than the poll sleeps at once next time, and polls
        // again only once a sleep has shown it prompt.
        if (polled == -2)
            *prompt = false;
        return read(context);
    }
    const int64_t start = MonotonicNanoseconds();
    const ssize_t received = read(context);
    *prompt = MonotonicNanoseconds() - start < kPromptNanoseconds;
    return received;
}

struct PlainRead {
    int fd;
    void* buffer;
    size_t length;
};

}  // namespace

void SetPromptPoll(int microseconds)
{
    pollNanoseconds.store(int64_t{std::max(microseconds, 0)} * 1000, std::memory_order_relaxed);
}

ssize_t ReceivePrompt(int fd, void* buffer, size_t length, bool* prompt)
{
    PlainRead plain{fd, buffer, length};
    return PromptRead(
        fd, prompt, buffer, length, 0,
        [](void* context) {
            auto* p = static_cast<PlainRead*>(context);
            return ReceiveSome(p->fd, p->buffer, p->length);
        },
        &plain);
}

ssize_t ReadPrompt(int fd, bool* prompt, ssize_t (*read)(void* context), void* context)
{
    char byte;
    return PromptRead(fd, prompt, &byte, 1, MSG_PEEK, read, context);
}

ssize_t ReceiveSome(int fd, void* buffer, size_t length)
{
    ssize_t received;
    do {
        received = ::recv(fd, buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    if (received > 0)
        bytesReceived.fetch_add(static_cast<uint64_t>(received), std::memory_order_relaxed);
    return received;
}

bool ResolveHost(const char* host, std::vector<uint32_t>* addresses)
{
    return Resolve(host, AF_INET, addresses,
                   [](const sockaddr* a) { return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr; });
}

bool ReverseLookup(uint32_t address, char* name, size_t size)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;
    return ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), sizeof peer, name, static_cast<socklen_t>(size), nullptr,
                         0, NI_NAMEREQD) == 0;
}

bool SendDatagram(const char* path, const void* data, size_t length)
{
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t pathLength = std::min(std::strlen(path), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path, path, pathLength);
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0';
    return ::sendto(fd.get(), data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + pathLength)) >= 0;
}

namespace {

bool LocalSocketAddress(const char* path, sockaddr_un* addr)
{
    *addr = {};
    addr->sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof addr->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr->sun_path, path, length);
    return true;
}

// True when a socket file is at `path` and a process listens on it.
bool LocalSocketLive(const sockaddr_un& addr)
{
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

UniqueFd ListenLocal(const char* path, int backlog)
{
    sockaddr_un addr;
    if (!LocalSocketAddress(path, &addr))
        return UniqueFd();
    struct stat info {};
    if (::lstat(path, &info) == 0) {
        if (!S_ISSOCK(info.st_mode) || LocalSocketLive(addr)) {
            errno = EADDRINUSE;
            return UniqueFd();
        }
        ::unlink(path);
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return UniqueFd();
    // Made with the umask's mode; only the owner may connect from here on.
    if (::chmod(path, 0600) != 0 || ::listen(fd.get(), backlog) != 0) {
        const int error = errno;
        ::unlink(path);
        errno = error;
        return UniqueFd();
    }
    return fd;
}

UniqueFd ConnectLocal(const char* path)
{
    sockaddr_un addr;
    if (!LocalSocketAddress(path, &addr))
        return UniqueFd();
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return UniqueFd();
    return fd;
}

UniqueFd AcceptLocal(int listener)
{
    return UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}
