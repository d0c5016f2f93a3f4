// The relay between a plain local descriptor and a TLS connection, for
// feed connections whose asynchronous I/O works on descriptors. The TLS
// side is non-blocking, so a peer that writes while it is written to never
// holds the relay up in one direction while the other fills.
#include "platform/tls_relay.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/process.h"
#include "platform/socket.h"
#include "platform/tls.h"

namespace {

constexpr size_t kChunk = 16384;

// Writes all of `length` bytes to the blocking local end.
bool WriteLocal(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::send(fd, data, length, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Moves what TLS has decrypted to the local end; false when the peer ended.
bool PeerToLocal(SSL* ssl, int local, bool* wantWrite)
{
    char chunk[kChunk];
    for (;;) {
        const int got = SSL_read(ssl, chunk, sizeof chunk);
        if (got > 0) {
            if (!WriteLocal(local, chunk, static_cast<size_t>(got)))
                return false;
            continue;
        }
        const int error = SSL_get_error(ssl, got);
        ERR_clear_error();
        *wantWrite = error == SSL_ERROR_WANT_WRITE;
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
    }
}

// Sends the held bytes; false when the connection failed.
bool SendHeld(SSL* ssl, std::string* held, bool* wantWrite)
{
    *wantWrite = false;
    while (!held->empty()) {
        const int sent = SSL_write(ssl, held->data(), static_cast<int>(held->size()));
        if (sent > 0) {
            held->erase(0, static_cast<size_t>(sent));
            continue;
        }
        const int error = SSL_get_error(ssl, sent);
        ERR_clear_error();
        *wantWrite = error == SSL_ERROR_WANT_WRITE;
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
    }
    return true;
}

void Relay(Transport transport, int local)
{
    SSL* ssl = transport.tls;
    ::fcntl(transport.fd, F_SETFL, ::fcntl(transport.fd, F_GETFL) | O_NONBLOCK);
    std::string held;  // read from the local end, not yet taken by TLS
    bool wantWrite = false;
    for (;;) {
        pollfd fds[2] = {{local, static_cast<short>(held.empty() ? POLLIN : 0), 0},
                         {transport.fd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
        if (SSL_pending(ssl) == 0 && ::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char chunk[kChunk];
            const ssize_t got = ::recv(local, chunk, sizeof chunk, 0);
            if (got <= 0 && !(got < 0 && errno == EINTR))
                break;
            if (got > 0)
                held.append(chunk, static_cast<size_t>(got));
        }
        bool readWantsWrite = false;
        if (!SendHeld(ssl, &held, &wantWrite) || !PeerToLocal(ssl, local, &readWantsWrite))
            break;
        wantWrite = wantWrite || readWantsWrite;
    }
    ::close(local);
    TransportClose(transport);
}

}  // namespace

int TlsClientRelay(int socket, const char* host, const char* caFile, std::string* problem, int handshakeSeconds)
{
    Transport transport;
    transport.fd = socket;
    SetTimeouts(socket, handshakeSeconds * 1000);
    if (!TlsConnect(transport, host, caFile, problem)) {
        TransportClose(transport);
        return -1;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        *problem = std::string("socketpair: ") + std::strerror(errno);
        TransportClose(transport);
        return -1;
    }
    const int local = ends[1];
    if (!StartThread("tls relay", [transport, local] { Relay(transport, local); })) {
        ::close(ends[0]);
        ::close(local);
        TransportClose(transport);
        *problem = "cannot start the relay thread";
        return -1;
    }
    return ends[0];
}
