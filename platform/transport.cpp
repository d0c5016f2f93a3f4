// The byte stream of a client connection over a plain socket: sends never
// raise SIGPIPE and files go out by sendfile.
#include "platform/transport.h"

#include <sys/uio.h>

#include "platform/file_io.h"
#include "platform/socket.h"

ssize_t TransportRead(const Transport& transport, void* buffer, size_t length)
{
    return ReceiveSome(transport.fd, buffer, length);
}

bool TransportWrite(const Transport& transport, const void* data, size_t length)
{
    return SendAll(transport.fd, data, length);
}

bool TransportWriteVector(const Transport& transport, iovec* pieces, int count)
{
    return SendAllV(transport.fd, pieces, count);
}

bool TransportSendFile(const Transport& transport, int file, uint64_t offset, uint64_t count)
{
    return SendFileRange(transport.fd, file, offset, count);
}

void TransportWriteWithoutWaiting(const Transport& transport, const void* data, size_t length)
{
    SendWithoutWaiting(transport.fd, data, length);
}

void TransportClose(Transport& transport)
{
    if (transport.fd >= 0)
        CloseFile(transport.fd);
    transport.fd = -1;
}
