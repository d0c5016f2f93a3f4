/* corvask: asynchronous socket I/O on one worker thread, with handler
 * callbacks, pooled buffers and file transmission. C interface.
 *
 * Handles and buffer records belong to the library. A buffer taken with
 * GetAIOBuffer must be handed back with WriteAIOBuffer or AIOTransmitBuffer
 * (which take it back whatever their result); its data must not be used
 * afterwards. Every handler runs on the library's worker thread. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CORVASK_EXPORT __attribute__((visibility("default")))

typedef struct AioHandle AioHandle;

/* A pooled buffer record. The caller fills `data` (at most `size` bytes). */
typedef struct AioBuffer {
    char* data;
    uint32_t size;
    uint32_t used;
    AioHandle* handle;
} AioBuffer;

/* Head and tail sent around a file range. AIOTransmitBuffer expects it at
 * the start of the buffer's data; head and tail bytes usually follow it
 * there, at data + sizeof(AioTransmitBuffers). */
typedef struct AioTransmitBuffers {
    const char* head;
    uint32_t headLength;
    const char* tail;
    uint32_t tailLength;
} AioTransmitBuffers;

/* Returns the bytes consumed from the front of data (a larger count means
 * all of them), or -1 to close the connection. */
typedef int (*AioReadHandler)(AioHandle* handle, void* context, char* data, int length);
typedef void (*AioCloseHandler)(AioHandle* handle, void* context);
typedef void (*AioWriteHandler)(AioBuffer* buffer, void* context);
typedef void (*AioReleaseFunction)(void* data);

/* Modes of WriteAIO besides a release function: leave the caller's block
 * alone, or copy the bytes so the caller may reuse its block at once. */
#define AIO_KEEP_DATA ((AioReleaseFunction)0)
#define AIO_COPY_DATA ((AioReleaseFunction)(intptr_t)-1)

typedef int (*AioAdmitFunction)(uint32_t address, const char* peer);
typedef void (*AioConnectionFunction)(int socket, const char* peer, int admitted);

CORVASK_EXPORT AioHandle* RegisterHandleForAIO(int socket, AioCloseHandler closeHandler,
                                               AioReadHandler readHandler,
                                               AioWriteHandler writeHandler, void* context,
                                               AioHandle** where);
CORVASK_EXPORT int ChangeAIO(AioHandle* handle, AioCloseHandler closeHandler,
                             AioReadHandler readHandler, void* context);
CORVASK_EXPORT AioBuffer* GetAIOBuffer(AioHandle* handle);
CORVASK_EXPORT int WriteAIOBuffer(AioBuffer* buffer, uint32_t length);
CORVASK_EXPORT int WriteAIO(AioHandle* handle, const void* data, uint32_t length,
                            AioReleaseFunction mode);
CORVASK_EXPORT int AIOTransmit(AioHandle* handle, int file, uint64_t position, uint32_t length);
CORVASK_EXPORT int AIOTransmitEx(AioHandle* handle, int file, uint64_t position,
                                 uint32_t length, AioTransmitBuffers* buffers,
                                 AioReleaseFunction release);
CORVASK_EXPORT int AIOTransmitBuffer(AioBuffer* buffer, int file, uint64_t position,
                                     uint32_t length);
CORVASK_EXPORT int AIOGetOutstandingWriteCount(AioHandle* handle);
CORVASK_EXPORT void AIOClose(AioHandle* handle);
CORVASK_EXPORT int ConnectToHost(const char* host, int port);
/* Starts a thread that listens on the port (any address) and hands admitted
 * peers to `connection`: 1, or 0 once the library has shut down. */
CORVASK_EXPORT int AcceptIncomingConnections(AioAdmitFunction admit,
                                             AioConnectionFunction connection, int port);
/* Stops the worker and the accept threads and returns when they have
 * stopped; no handler runs afterwards. Sockets, handles and buffers stay. */
CORVASK_EXPORT void AsyncShutdown(void);

#ifdef __cplusplus
}
#endif
