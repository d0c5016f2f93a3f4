// Creation, buffer handling and release of the per-connection records.
#include "server/client_context.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/file_io.h"
#include "server/log.h"

ClientContext* AllocClientContext()
{
    auto* ctx = new (std::nothrow) ClientContext{};
    if (ctx == nullptr)
        return nullptr;
    ctx->buffer = static_cast<char*>(std::malloc(kContextBufferSize + 1));
    if (ctx->buffer == nullptr) {
        delete ctx;
        return nullptr;
    }
    ctx->buffer[0] = '\0';
    ctx->bufferSize = kContextBufferSize;
    return ctx;
}

void AddContextToFreeList(ClientContext* ctx)
{
    TransportClose(ctx->transport);
    std::free(ctx->buffer - ctx->bufferOffset);
    delete ctx;
}

void CloseConnection(ClientContext*)
{
    throw ConnectionClosed{};
}

void ReleaseConnection(ClientContext* ctx)
{
    if (ctx->articleCount != 0 || ctx->xoverCount != 0 || ctx->nextCount != 0)
        LogFormat("GROUPDONE article %u xover %u next %u %s %s", ctx->articleCount, ctx->xoverCount, ctx->nextCount,
                  ctx->peerAddress, ctx->peerName);
    AddContextToFreeList(ctx);
}

void FixBuffer(ClientContext* ctx, uint32_t n)
{
    if (n < ctx->used) {
        ctx->buffer += n;
        ctx->bufferSize -= n;
        ctx->bufferOffset += n;
        ctx->used -= n;
    } else {
        ctx->used = 0;
        CompactBuffer(ctx);
    }
    ctx->buffer[ctx->used] = '\0';
    ctx->scanFrom = 0;
}

void CompactBuffer(ClientContext* ctx)
{
    if (ctx->bufferOffset == 0)
        return;
    char* start = ctx->buffer - ctx->bufferOffset;
    std::memmove(start, ctx->buffer, ctx->used + 1);
    ctx->buffer = start;
    ctx->bufferSize += ctx->bufferOffset;
    ctx->bufferOffset = 0;
}
