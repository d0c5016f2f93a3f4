// Replies of the NNTP session: the reply texts, their counting in the
// statistics and on the peer's incoming entry, and the sends, with the
// batching of feed replies.
#include "nntp/reply.h"

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "access/incoming.h"
#include "platform/transport.h"
#include "server/client_context.h"
#include "server/stats.h"

namespace {

using namespace std::string_view_literals;

struct Reply {
    std::string_view text;  // whole line, or the part before the message-ID
    bool withId;            // the context's messageId and CR LF follow
};

Reply ReplyFor(int code)
{
    switch (code) {
    case kReplyInvalidArticleId: return {"400 Invalid articleid\r\n"sv, false};
    case kReplySendIt: return {"335 Send it\r\n"sv, false};
    case kReplyAlreadyGot: return {"435 Already got it\r\n"sv, false};
    case kReplyGotIt: return {"235 Got it\r\n"sv, false};
    case kReplyStreamOk: return {"203 StreamOK\r\n"sv, false};
    case kReplyCheckRefuse: return {"438 "sv, true};
    case kReplyTakethisOk: return {"239 "sv, true};
    case kReplyInvalidCommand: return {"500 invalid command\r\n"sv, false};
    case kReplyGoodbye: return {"205 Goodbye\r\n"sv, false};
    case 202: return {"202 slave status noted\r\n"sv, false};
    case 400: return {"400 Service temporarily unavailable\r\n"sv, false};
    case 211: return {"211 "sv, true};
    case 223: return {"223 "sv, true};
    case 238: return {"238 "sv, true};
    case 281: return {"281 Authentication accepted\r\n"sv, false};
    case 340: return {"340 send it\r\n"sv, false};
    case 381: return {"381 Password required\r\n"sv, false};
    case 382: return {"382 Continue with TLS negotiation\r\n"sv, false};
    case 411: return {"411 no such group\r\n"sv, false};
    case 412: return {"412 no newsgroup has been selected\r\n"sv, false};
    case 421: return {"421 no next article\r\n"sv, false};
    case 422: return {"422 no previous article\r\n"sv, false};
    case 423: return {"423 article not found\r\n"sv, false};
    case 430: return {"430 article not found\r\n"sv, false};
    case 431: return {"431 "sv, true};
    case 436: return {"436 Transfer not possible; try again later\r\n"sv, false};
    case 437: return {"437 Bad Article\r\n"sv, false};
    case 439: return {"439 "sv, true};
    case 480: return {"480 Authentication required\r\n"sv, false};
    case 481: return {"481 Authentication failed\r\n"sv, false};
    case 482: return {"482 Authentication commands issued out of sequence\r\n"sv, false};
    case 483: return {"483 Encryption required\r\n"sv, false};
    case 501: return {"501 Syntax error\r\n"sv, false};
    case 502: return {"502 Command unavailable\r\n"sv, false};
    case kReplyOk: return {"200 OK\r\n"sv, false};
    case kReplyPostOk: return {"240 got it\r\n"sv, false};
    case kReplyPostFailed: return {"435 post failed\r\n"sv, false};
    default: return {"500 OOPS. Unknown code in my code :)\r\n"sv, false};
    }
}

void CountReply(ClientContext* ctx, int code)
{
    IncomingEntry* entry = ctx->incomingEntry;
    switch (code) {
    case kReplyAlreadyGot:
        ++ihave_refuse;
        ++entry->refuses;
        break;
    case kReplyGotIt:
        ++ihave_accept;
        ++entry->accepts;
        break;
    case kReplyCheckRefuse:
        ++check_refuse;
        ++entry->refuses;
        break;
    case kReplyTakethisOk:
        ++takethis_accept;
        ++entry->accepts;
        break;
    case 437:
        ++ihave_reject;
        ++entry->rejects;
        break;
    case 439:
        ++takethis_refuse;
        ++entry->rejects;
        break;
    default: break;
    }
}

// Replies of the feed commands wait here while the connection has more
// commands to serve, so a pipelined stream is answered with few sends. They
// go out before the connection blocks in a read and before any other
// command runs, so no reply waits for input and the order stays.
struct PendingReplies {
    char data[16384];
    size_t used = 0;
    bool batching = false;
};
thread_local PendingReplies pending;

void SendNow(ClientContext* ctx, const char* data, size_t length)
{
    if (!TransportWrite(ctx->transport, data, length))
        CloseConnection(ctx);
}

}  // namespace

void BatchReplies(ClientContext* ctx, bool batching)
{
    pending.batching = batching;
    if (!batching)
        FlushReplies(ctx);
}

void FlushReplies(ClientContext* ctx)
{
    size_t length = std::exchange(pending.used, 0);
    if (length != 0)
        SendNow(ctx, pending.data, length);
}

void DiscardReplies()
{
    pending.used = 0;
}

void SendRepliesOnClose(ClientContext* ctx)
{
    if (pending.used != 0)
        TransportWriteWithoutWaiting(ctx->transport, pending.data, pending.used);
    pending.used = 0;
}

int SendData(ClientContext* ctx, const char* data, size_t length)
{
    if (pending.batching && length <= sizeof pending.data) {
        if (length > sizeof pending.data - pending.used)
            FlushReplies(ctx);
        std::memcpy(pending.data + pending.used, data, length);
        pending.used += length;
        return 1;
    }
    FlushReplies(ctx);
    SendNow(ctx, data, length);
    return 1;
}

int Respond(ClientContext* ctx, int code)
{
    CountReply(ctx, code);
    if (code == kReplyStatistics) {
        std::string text = GetStatsString();
        return SendData(ctx, text.data(), text.size());
    }
    Reply reply = ReplyFor(code);
    if (!reply.withId)
        return SendData(ctx, reply.text.data(), reply.text.size());
    char line[kMessageIdSize + 8];
    size_t prefix = reply.text.size();
    size_t id = strnlen(ctx->messageId, sizeof ctx->messageId);
    std::memcpy(line, reply.text.data(), prefix);
    std::memcpy(line + prefix, ctx->messageId, id);
    std::memcpy(line + prefix + id, "\r\n", 2);
    return SendData(ctx, line, prefix + id + 2);
}
