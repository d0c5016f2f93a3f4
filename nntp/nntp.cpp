// NNTP session: the per-connection command loop, its dispatch table and the
// reply table. Commands are parsed in place in the context's buffer.
#include "nntp/nntp.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <utility>

#include "access/incoming.h"
#include "article/article.h"
#include "control/tcl_interface.h"
#include "nntp/capabilities.h"
#include "nntp/list.h"
#include "nntp/newnews.h"
#include "nntp/nntp_internal.h"
#include "nntp/over.h"
#include "nntp/post.h"
#include "nntp/reader.h"
#include "nntp/reception.h"
#include "server/client_context.h"
#include "server/log.h"
#include "server/service.h"
#include "server/stats.h"

namespace {

using namespace std::string_view_literals;

// More than this many bytes without a line end is no command.
constexpr uint32_t kGarbageLimit = 275;
// Bytes searched again before new data, so a split line end or terminator is found.
constexpr uint32_t kRescanBytes = 5;

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
    case 340: return {"340 send it\r\n"sv, false};
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
    case 501: return {"501 Syntax error\r\n"sv, false};
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
    default:
        break;
    }
}

int Ihave(ClientContext* ctx, char* line, uint32_t length)
{
    ctx->flags &= ~1u;
    int removeLine = nntp_ihave(ctx, line, length);
    ++ihave;
    return removeLine;
}

int ModeStream(ClientContext* ctx, char*, uint32_t)
{
    return Respond(ctx, ctx->incomingEntry->streaming != 0 ? kReplyStreamOk : kReplyInvalidCommand);
}

int Quit(ClientContext* ctx, char*, uint32_t)
{
    Respond(ctx, kReplyGoodbye);
    CloseConnection(ctx);
}

int Statistics(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyStatistics); }

int ModeReader(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyOk); }

int Slave(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, 202); }

// Tried in this order; the first entry whose word starts the line wins, with
// no word-boundary check ("quitting" is QUIT).
constexpr CommandEntry kCommands[] = {
    {"check ", 6, kRightFeed, false, nntp_check},
    {"takethis ", 9, kRightFeed, false, nntp_takethis},
    {"ihave ", 6, kRightFeed, false, Ihave},
    {"innoculate", 10, kRightFeed, false, nntp_innoculate},
    {"mode stream", 10, kRightFeed, false, ModeStream},
    {"post", 4, kRightPost, true, nntp_post},
    {"quit", 4, 0, false, Quit},
    {"ssp", 3, 0, false, Statistics},
    {"mode reader", 10, kRightRead, true, ModeReader},
    {"head", 4, kRightRead, true, Reader_Head},
    {"body", 4, kRightRead, true, Reader_Body},
    {"next", 4, kRightRead, true, Reader_Next},
    {"last", 4, kRightRead, true, Reader_Last},
    {"xover", 5, kRightRead, true, Reader_Xover},
    {"listgroup", 9, kRightRead, true, Reader_Listgroup},
    {"xhdr", 4, kRightRead, true, Reader_XHDR},
    {"stat", 4, kRightRead, true, Reader_Stat},
    {"newgroups", 9, kRightRead, true, Reader_Newgroups},
    {"list", 4, kRightRead, true, List},
    {"group", 5, kRightRead, true, Reader_Group},
    {"xpath", 5, kRightRead, true, Reader_Xpath},
    {"lgs", 3, kRightRead, true, Reader_ListGroupStruct},
    {"slave", 3, kRightRead, true, Slave},
    {"article", 7, kRightRead, true, Reader_Article},
    {"capabilities", 12, 0, false, Capabilities},
    {"help", 4, 0, false, Help},
    {"date", 4, kRightRead, true, Date},
    {"over", 4, kRightRead, true, Over},
    {"hdr", 3, kRightRead, true, Hdr},
    {"newnews", 7, kRightRead, true, Newnews},
};

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
    while (length > 0) {
        ssize_t sent = ::send(ctx->socket, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            CloseConnection(ctx);
        data += sent;
        length -= static_cast<size_t>(sent);
    }
}

void FlushReplies(ClientContext* ctx)
{
    size_t length = std::exchange(pending.used, 0);
    if (length != 0)
        SendNow(ctx, pending.data, length);
}

// Runs the command on `line`; 1 when the loop removes the line.
int Dispatch(ClientContext* ctx, char* line, uint32_t length)
{
    const CommandEntry* command = FindCommand(line, ctx->incomingEntry->rights, transitMode != 0);
    pending.batching = command != nullptr && command->rights == kRightFeed;
    if (!pending.batching)
        FlushReplies(ctx);
    if (command != nullptr)
        return command->handler(ctx, line, length);
    if (logcmds != 0)
        LogLine(line);
    return Respond(ctx, kReplyInvalidCommand);
}

// The CR of the next CR LF, searched from just before where the last search stopped.
char* FindLineEnd(ClientContext* ctx)
{
    uint32_t from = ctx->scanFrom > 2 ? ctx->scanFrom - 2 : 0;
    if (from >= ctx->used)
        return nullptr;
    return static_cast<char*>(::memmem(ctx->buffer + from, ctx->used - from, "\r\n", 2));
}

[[noreturn]] void CommandLoop(ClientContext* ctx)
{
    for (;;) {
        if (bShutDown != 0)
            CloseConnection(ctx);
        ctx->buffer[ctx->used] = '\0';
        if (ctx->used == 0)
            PostRead(ctx);
        char* end = FindLineEnd(ctx);
        if (end == nullptr) {
            if (ctx->used > kGarbageLimit) {
                LogFormat("main: garbage on connection from %s\n", ctx->peerName);
                CloseConnection(ctx);
            }
            PostRead(ctx);
            continue;
        }
        *end = '\0';
        auto length = static_cast<uint32_t>(end - ctx->buffer) + 2;
        if (Dispatch(ctx, ctx->buffer, length))
            FixBuffer(ctx, length);
    }
}

}  // namespace

const CommandEntry* FindCommand(const char* line, uint32_t rights, bool transit)
{
    for (const auto& command : kCommands) {
        if (command.rights != 0 && (rights & command.rights) == 0)
            continue;
        if (command.regularOnly && transit)
            continue;
        if (strncasecmp(line, command.word, command.compared) == 0)
            return &command;
    }
    return nullptr;
}

void nntp(ClientContext* ctx)
{
    pending.used = 0;
    try {
        CommandLoop(ctx);
    } catch (const ConnectionClosed&) {
        if (pending.used != 0)
            ::send(ctx->socket, pending.data, pending.used, MSG_NOSIGNAL | MSG_DONTWAIT);
    } catch (...) {
        LogLine("main: exception occured in nntp.c");
    }
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

int PostRead(ClientContext* ctx)
{
    FlushReplies(ctx);
    CompactBuffer(ctx);
    if (ctx->used >= ctx->scanFrom && ctx->used - ctx->scanFrom > kRescanBytes)
        ctx->scanFrom = ctx->used - kRescanBytes;
    else if (ctx->used < ctx->scanFrom)
        ctx->scanFrom = 0;
    // A full buffer reads nothing, which ends the connection like end of stream.
    size_t room = ctx->used + 1 < ctx->bufferSize ? ctx->bufferSize - ctx->used - 1 : 0;
    ssize_t received;
    do {
        received = ::recv(ctx->socket, ctx->buffer + ctx->used, room, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 1)
        CloseConnection(ctx);
    ctx->used += static_cast<uint32_t>(received);
    ctx->buffer[ctx->used] = '\0';
    return 1;
}
