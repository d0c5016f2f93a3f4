// Opening connections: a blocking connect to a host, and accept threads that
// admit peers through the caller's functions until the library shuts down.
#include "corvask/internal.h"
#include "platform/unique_fd.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace corvask {

namespace {

constexpr int kListenBacklog = 25;
constexpr auto kAcceptBackOff = std::chrono::milliseconds(250);

struct Acceptor {
    AioAdmitFunction admit;
    AioConnectionFunction connection;
    int port;
    int listenFd;  // published under acceptLock once listening
    pthread_t thread;
};

constinit std::mutex acceptLock;
constinit std::atomic<bool> bAcceptStop{false};
constinit std::vector<Acceptor*>* acceptors = nullptr;  // kept to the end

void SetOption(int fd, int level, int name, int value)
{
    ::setsockopt(fd, level, name, &value, sizeof value);
}

void SetTimeout(int fd, int name, int milliseconds)
{
    timeval time{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, name, &time, sizeof time);
}

UniqueFd Listen(int port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return fd;
    SetOption(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::listen(fd.get(), kListenBacklog) != 0)
        fd.reset();
    return fd;
}

void Admit(const Acceptor& acceptor, UniqueFd peer, const sockaddr_in& address)
{
    auto* bytes = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    int admitted = acceptor.admit(address.sin_addr.s_addr, text);
    if (admitted == 0)
        return;
    SetOption(peer.get(), IPPROTO_TCP, TCP_NODELAY, 1);
    SetTimeout(peer.get(), SO_SNDTIMEO, 30000);
    SetTimeout(peer.get(), SO_RCVTIMEO, 60000);
    acceptor.connection(peer.release(), text, admitted);
}

void* AcceptLoop(void* argument)
{
    auto* acceptor = static_cast<Acceptor*>(argument);
    UniqueFd listener = Listen(acceptor->port);
    if (!listener)
        return nullptr;
    {
        // StopAcceptThreads shuts the published socket down and closes it.
        std::lock_guard lock(acceptLock);
        if (bAcceptStop.load())
            return nullptr;
        acceptor->listenFd = listener.release();
    }
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        UniqueFd peer(::accept4(acceptor->listenFd, reinterpret_cast<sockaddr*>(&address),
                                &length, SOCK_CLOEXEC));
        if (bAcceptStop.load())
            return nullptr;
        if (!peer) {
            std::this_thread::sleep_for(kAcceptBackOff);  // no busy loop on EMFILE
            continue;
        }
        Admit(*acceptor, std::move(peer), address);
    }
}

}  // namespace

void StopAcceptThreads()
{
    std::vector<Acceptor*> stopping;
    {
        std::lock_guard lock(acceptLock);
        bAcceptStop.store(true);
        if (acceptors != nullptr)
            stopping.swap(*acceptors);
        for (Acceptor* acceptor : stopping)
            if (acceptor->listenFd >= 0)
                ::shutdown(acceptor->listenFd, SHUT_RDWR);  // ends a blocked accept
    }
    for (Acceptor* acceptor : stopping) {
        ::pthread_join(acceptor->thread, nullptr);
        if (acceptor->listenFd >= 0)
            ::close(acceptor->listenFd);
        delete acceptor;
    }
}

}  // namespace corvask

using namespace corvask;

namespace corvask {

// A connected socket to the address, bound first to the family's any
// address; an invalid descriptor when either fails.
UniqueFd ConnectTo(const addrinfo& to, int port)
{
    UniqueFd fd(::socket(to.ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage any{};
    any.ss_family = static_cast<sa_family_t>(to.ai_family);
    const socklen_t anyLength = to.ai_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&any), anyLength) != 0)
        return {};
    sockaddr_storage address{};
    std::memcpy(&address, to.ai_addr, std::min<size_t>(to.ai_addrlen, sizeof address));
    const uint16_t networkPort = htons(static_cast<uint16_t>(port));
    if (to.ai_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = networkPort;
    else
        reinterpret_cast<sockaddr_in&>(address).sin_port = networkPort;
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), to.ai_addrlen) != 0)
        return {};
    return fd;
}

}  // namespace corvask

extern "C" {

// Every address of the host in the resolver's order, IPv4 and IPv6, until one
// takes the connection.
int ConnectToHost(const char* host, int port)
{
    if (host == nullptr)
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0)
        return -1;
    UniqueFd fd;
    for (const addrinfo* ai = found; ai != nullptr && !fd; ai = ai->ai_next)
        if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6)
            fd = ConnectTo(*ai, port);
    ::freeaddrinfo(found);
    if (!fd)
        return -1;
    SetTimeout(fd.get(), SO_RCVTIMEO, 120000);
    SetTimeout(fd.get(), SO_SNDTIMEO, 60000);
    SetOption(fd.get(), SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);
    return fd.release();
}

int AcceptIncomingConnections(AioAdmitFunction admit, AioConnectionFunction connection, int port)
{
    auto* acceptor = new Acceptor{admit, connection, port, -1, {}};
    std::lock_guard lock(acceptLock);
    if (bAcceptStop.load() || !StartQuietThread(&acceptor->thread, AcceptLoop, acceptor)) {
        delete acceptor;
        return 0;
    }
    if (acceptors == nullptr)
        acceptors = new std::vector<Acceptor*>();
    acceptors->push_back(acceptor);
    return 1;
}

}  // extern "C"
