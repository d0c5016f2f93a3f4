// Sockets of the server: thin wrappers over the socket calls, so that no
// other folder makes them.
#include "platform/socket.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

bool SetOption(int fd, int level, int name)
{
    int on = 1;
    return ::setsockopt(fd, level, name, &on, sizeof on) == 0;
}

}  // namespace

UniqueFd NewTcpSocket()
{
    return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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

bool SendAll(int fd, const void* data, size_t length)
{
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

void SendWithoutWaiting(int fd, const void* data, size_t length)
{
    (void)::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t ReceiveSome(int fd, void* buffer, size_t length)
{
    ssize_t received;
    do {
        received = ::recv(fd, buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    return received;
}

bool ResolveHost(const char* host, std::vector<uint32_t>* addresses)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &list) != 0)
        return false;
    addresses->clear();
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next)
        addresses->push_back(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(list);
    return true;
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
