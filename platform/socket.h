// Sockets of the server: TCP listeners, accepted and loopback connections,
// their options, sends and receives, host name look-ups and the datagram to
// the service manager. Sends never raise SIGPIPE; interrupted sends and
// receives (EINTR) are restarted. A failure returns false (or -1, or an
// invalid descriptor) with errno set.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/unique_fd.h"

// A new TCP socket of `family` (AF_INET or AF_INET6), close-on-exec.
UniqueFd NewTcpSocket(int family = AF_INET);

// A peer or listening address of either family. An IPv4 peer reaching an
// IPv6 socket (::ffff:a.b.c.d) is kept as IPv4, so the rules for IPv4
// addresses hold for it.
struct NetAddress {
    int family = AF_INET;  // AF_INET or AF_INET6
    uint32_t v4 = 0;       // network byte order
    in6_addr v6{};
    uint16_t port = 0;  // host byte order
};

// Reads an IPv4 or IPv6 literal ("::" and "0.0.0.0" included); false for
// anything else.
bool ParseNetAddress(const char* text, NetAddress* address);

// The address as text, without the port ("192.0.2.1", "2001:db8::1").
void FormatNetAddress(const NetAddress& address, char* text, size_t size);

// "a.b.c.d:port", or "[v6]:port" so the port cannot be read as part of an
// IPv6 address.
void FormatNetPeer(const NetAddress& address, char* text, size_t size);

// The address and its port as a socket address; returns its length.
socklen_t ToSocketAddress(const NetAddress& address, sockaddr_storage* out);

// True for 127.0.0.0/8 and ::1.
bool IsLoopback(const NetAddress& address);

// Binds to the address; an IPv6 socket bound to "::" also takes IPv4.
bool BindNetAddress(int fd, const NetAddress& address);

// The next connection on `listener` of either family (close-on-exec).
UniqueFd AcceptNetPeer(int listener, NetAddress* peer);

// The IPv6 addresses of `host` in the resolver's order; false when the
// look-up fails or finds none.
bool ResolveHost6(const char* host, std::vector<in6_addr>* addresses);

// The name registered for the IPv6 address, cut to `size` - 1 bytes.
bool ReverseLookup6(const in6_addr& address, char* name, size_t size);

bool BindSocket(int fd, const sockaddr_in& address);
bool ListenSocket(int fd, int backlog);
bool ConnectSocket(int fd, const sockaddr_in& address);

// The socket's own address.
bool LocalAddress(int fd, sockaddr_in* address);

// The next connection on `listener` (close-on-exec), its peer in *peer.
UniqueFd AcceptSocket(int listener, sockaddr_in* peer);

// TCP_NODELAY, SO_REUSEADDR and SO_KEEPALIVE switched on.
bool SetNoDelay(int fd);
bool SetReuseAddress(int fd);
bool SetKeepAlive(int fd);

// Receive and send time-outs of `milliseconds` each.
bool SetTimeouts(int fd, long milliseconds);

// Sends all `length` bytes, blocking as needed.
bool SendAll(int fd, const void* data, size_t length);

// Sends the `count` pieces in order, blocking as needed; they are used up as
// they go out (their bases and lengths change).
bool SendAllV(int fd, iovec* pieces, int count);

// Sends what the socket takes at once, without blocking; the rest is dropped.
void SendWithoutWaiting(int fd, const void* data, size_t length);

// Receives up to `length` bytes: the count, 0 at the end of the stream, or -1.
ssize_t ReceiveSome(int fd, void* buffer, size_t length);

// ReceiveSome for a peer that may answer at once. When `*prompt` is set (its
// bytes came quickly the last time) the socket is polled for a few
// microseconds before the thread sleeps, so that the peer's send finds it
// awake: a lock-step peer (IHAVE, one ARTICLE at a time) otherwise pays a
// wake-up on each side of every round trip. At most one thread fewer than
// the machine has processors polls at once. `*prompt` is cleared when the
// poll finds nothing, and set again when a read that slept waited briefly.
ssize_t ReceivePrompt(int fd, void* buffer, size_t length, bool* prompt);

// How long prompt reads poll, in microseconds (30 until set); 0 turns
// polling off, so every read sleeps at once.
void SetPromptPoll(int microseconds);

// ReceivePrompt for a reader of another layer on the socket (TLS): the poll
// only looks for bytes, then `read(context)` reads them. When the peek finds
// the end of the stream or an error, that is the answer (0 or -1).
ssize_t ReadPrompt(int fd, bool* prompt, ssize_t (*read)(void* context), void* context);

// Bytes sent and received through these calls and SendFileRange since
// start, for the statistics. CountBytesSent and CountBytesReceived add
// what went through elsewhere (TLS).
uint64_t SocketBytesSent();
uint64_t SocketBytesReceived();
void CountBytesSent(uint64_t count);
void CountBytesReceived(uint64_t count);

// The IPv4 addresses (network byte order) of `host` in the resolver's order;
// false when the look-up fails.
bool ResolveHost(const char* host, std::vector<uint32_t>* addresses);

// The name registered for the IPv4 address (network byte order), cut to
// `size` - 1 bytes; false when there is none.
bool ReverseLookup(uint32_t address, char* name, size_t size);

// Sends one datagram to the Unix socket at `path` ('@' starts an abstract
// name).
bool SendDatagram(const char* path, const void* data, size_t length);

// Local stream sockets (the control socket). A path longer than a socket
// address holds is refused with ENAMETOOLONG.
//
// Binds and listens on `path`, mode 0600. A socket file nobody listens on
// (left by a process that died) is replaced; one a live process listens on
// is refused with EADDRINUSE, as is any other kind of file at the path.
UniqueFd ListenLocal(const char* path, int backlog);
// Connects to the local stream socket at `path`; errno says why not.
UniqueFd ConnectLocal(const char* path);
// Accepts one connection; an invalid descriptor when interrupted or failed.
UniqueFd AcceptLocal(int listener);
