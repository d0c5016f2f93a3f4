// The byte stream of a client connection: a plain socket, whose sends never
// raise SIGPIPE and which sends files by sendfile, or TLS over it (OpenSSL).
// TLS sends files by the kernel's TLS offload where OpenSSL set it up, else
// through a buffer.
#include "platform/transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "platform/file_io.h"
#include "platform/socket.h"

namespace {

// One TLS record's worth: gathered pieces and file reads go out in these.
constexpr size_t kTlsChunk = 16384;

// A failed TLS call as errno: the socket's own error (a time-out included)
// when there is one, else EPROTO. The error queue is cleared.
void TlsErrno(SSL* ssl, int result)
{
    const int error = SSL_get_error(ssl, result);
    const int saved = errno;
    ERR_clear_error();
    errno = error == SSL_ERROR_SYSCALL && saved != 0 ? saved : EPROTO;
}

bool TlsWrite(SSL* ssl, const void* data, size_t length)
{
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const int piece = static_cast<int>(std::min<size_t>(length, INT_MAX));
        const int written = SSL_write(ssl, bytes, piece);
        if (written <= 0) {
            TlsErrno(ssl, written);
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
        CountBytesSent(static_cast<uint64_t>(written));
    }
    return true;
}

// The pieces gathered into records, so small pieces do not each make one.
bool TlsWriteVector(SSL* ssl, const iovec* pieces, int count)
{
    char chunk[kTlsChunk];
    size_t held = 0;
    for (int i = 0; i < count; ++i) {
        const auto* bytes = static_cast<const char*>(pieces[i].iov_base);
        size_t left = pieces[i].iov_len;
        while (left > 0) {
            if (held == 0 && left >= kTlsChunk) {
                if (!TlsWrite(ssl, bytes, left))
                    return false;
                break;
            }
            const size_t take = std::min(left, kTlsChunk - held);
            std::copy_n(bytes, take, chunk + held);
            held += take;
            bytes += take;
            left -= take;
            if (held == kTlsChunk && !TlsWrite(ssl, chunk, std::exchange(held, 0)))
                return false;
        }
    }
    return held == 0 || TlsWrite(ssl, chunk, held);
}

bool TlsSendFile(SSL* ssl, int file, uint64_t offset, uint64_t count)
{
    if (BIO_get_ktls_send(SSL_get_wbio(ssl)) != 0) {
        while (count > 0) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, 1U << 30));
            const ossl_ssize_t sent = SSL_sendfile(ssl, file, static_cast<off_t>(offset), piece, 0);
            if (sent <= 0) {
                TlsErrno(ssl, static_cast<int>(sent));
                return false;
            }
            offset += static_cast<uint64_t>(sent);
            count -= static_cast<uint64_t>(sent);
            CountBytesSent(static_cast<uint64_t>(sent));
        }
        return true;
    }
    char chunk[kTlsChunk];
    while (count > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, kTlsChunk));
        if (!PreadAll(file, chunk, piece, offset) || !TlsWrite(ssl, chunk, piece))
            return false;
        offset += piece;
        count -= piece;
    }
    return true;
}

struct TlsRead {
    SSL* ssl;
    void* buffer;
    size_t length;
};

ssize_t ReadTls(void* context)
{
    const auto* read = static_cast<TlsRead*>(context);
    const int received = SSL_read(read->ssl, read->buffer, static_cast<int>(std::min<size_t>(read->length, INT_MAX)));
    if (received > 0) {
        CountBytesReceived(static_cast<uint64_t>(received));
        return received;
    }
    if (SSL_get_error(read->ssl, received) == SSL_ERROR_ZERO_RETURN)
        return 0;
    TlsErrno(read->ssl, received);
    return -1;
}

}  // namespace

ssize_t TransportRead(Transport& transport, void* buffer, size_t length)
{
    if (transport.tls == nullptr)
        return ReceivePrompt(transport.fd, buffer, length, &transport.prompt);
    if (length == 0)
        return 0;
    TlsRead read{transport.tls, buffer, length};
    // Bytes OpenSSL already holds are read without waiting for the socket.
    if (SSL_pending(transport.tls) > 0)
        return ReadTls(&read);
    return ReadPrompt(transport.fd, &transport.prompt, ReadTls, &read);
}

bool TransportWrite(const Transport& transport, const void* data, size_t length)
{
    if (transport.tls != nullptr)
        return TlsWrite(transport.tls, data, length);
    return SendAll(transport.fd, data, length);
}

bool TransportWriteVector(const Transport& transport, iovec* pieces, int count)
{
    if (transport.tls != nullptr)
        return TlsWriteVector(transport.tls, pieces, count);
    return SendAllV(transport.fd, pieces, count);
}

bool TransportSendFile(const Transport& transport, int file, uint64_t offset, uint64_t count)
{
    if (transport.tls != nullptr)
        return TlsSendFile(transport.tls, file, offset, count);
    return SendFileRange(transport.fd, file, offset, count);
}

void TransportWriteWithoutWaiting(const Transport& transport, const void* data, size_t length)
{
    // A TLS record cannot be sent in part; the socket's send time-out bounds it.
    if (transport.tls != nullptr)
        (void)TlsWrite(transport.tls, data, length);
    else
        SendWithoutWaiting(transport.fd, data, length);
}

void TransportClose(Transport& transport)
{
    if (transport.tls != nullptr) {
        SSL_shutdown(transport.tls);
        SSL_free(transport.tls);
        ERR_clear_error();
        transport.tls = nullptr;
    }
    if (transport.fd >= 0)
        CloseFile(transport.fd);
    transport.fd = -1;
}
