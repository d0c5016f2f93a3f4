// The byte stream of one client connection. Every read and write of a
// connection goes through these calls, so the command loop, the replies and
// article transmission do not know what carries the bytes. Failures return
// false (or -1) with errno set; the caller ends the connection.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct iovec;
struct ssl_st;

struct Transport {
    int fd = -1;            // the connected socket
    ssl_st* tls = nullptr;  // the TLS state once a handshake succeeded (platform/tls.h)
    bool prompt = false;    // the peer's bytes came quickly the last time (ReceivePrompt)
};

// Reads up to `length` bytes: the count, 0 at the end of the stream, or -1
// (the socket's receive time-out included).
ssize_t TransportRead(Transport& transport, void* buffer, size_t length);

// Writes all `length` bytes, blocking as needed.
bool TransportWrite(const Transport& transport, const void* data, size_t length);

// Writes the `count` pieces in order; they are used up as they go out
// (their bases and lengths change).
bool TransportWriteVector(const Transport& transport, iovec* pieces, int count);

// Sends `count` bytes of `file` from `offset`: without a copy through user
// space where the transport allows it (plain sockets, and TLS where the
// kernel encrypts), else read and written in pieces.
// False on any failure, including a file that ends first.
bool TransportSendFile(const Transport& transport, int file, uint64_t offset, uint64_t count);

// Writes what the connection takes at once without blocking; the rest is
// dropped. For the last words of a closing connection.
void TransportWriteWithoutWaiting(const Transport& transport, const void* data, size_t length);

// Ends the stream (a TLS close notice first) and closes the socket; the transport is left unconnected.
void TransportClose(Transport& transport);
