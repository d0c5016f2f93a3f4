// NNTP session: the per-connection command loop, its dispatch table and the
// reads of a connection. Commands are parsed in place in the context's buffer.
#include "nntp/nntp.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <strings.h>

#include "access/incoming.h"
#include "article/article.h"
#include "nntp/authinfo.h"
#include "nntp/capabilities.h"
#include "nntp/list.h"
#include "nntp/newnews.h"
#include "nntp/nntp_internal.h"
#include "nntp/over.h"
#include "nntp/post.h"
#include "nntp/precommit.h"
#include "nntp/reader.h"
#include "nntp/reception.h"
#include "nntp/reply.h"
#include "nntp/starttls.h"
#include "platform/process.h"
#include "platform/transport.h"
#include "server/client_context.h"
#include "server/log.h"
#include "server/stats.h"

namespace {

// More than this many bytes without a line end is no command.
constexpr uint32_t kGarbageLimit = 275;
// Bytes searched again before new data, so a split line end or terminator is found.
constexpr uint32_t kRescanBytes = 5;

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
    {"authinfo", 8, 0, false, Authinfo},
    {"capabilities", 12, 0, false, Capabilities},
    {"starttls", 8, 0, false, StartTls},
    {"help", 4, 0, false, Help},
    {"date", 4, kRightRead, true, Date},
    {"over", 4, kRightRead, true, Over},
    {"hdr", 3, kRightRead, true, Hdr},
    {"newnews", 7, kRightRead, true, Newnews},
};

// Runs per command; relaxed, as only the statistics read them. The last
// counts the lines no command took.
std::atomic<uint64_t> commandCounts[std::size(kCommands) + 1];

void CountCommand(ClientContext* ctx, const CommandEntry* command)
{
    const size_t index = command != nullptr ? static_cast<size_t>(command - kCommands) : std::size(kCommands);
    commandCounts[index].fetch_add(1, std::memory_order_relaxed);
    if (ctx->kind != 0 || command == nullptr)
        return;
    const bool feeder = command->rights == kRightFeed;
    ctx->kind = feeder ? kConnectionFeeder : kConnectionReader;
    ++(feeder ? feedersConnected : readersConnected);
    ++(feeder ? feedersTotal : readersTotal);
}

constexpr uint32_t kEveryRight = kRightFeed | kRightRead | kRightPost;

// Runs the command on `line`; 1 when the loop removes the line. A command
// that TLS or a login would open is answered 483 or 480, not 500.
int Dispatch(ClientContext* ctx, char* line, uint32_t length)
{
    const CommandEntry* command = FindCommand(line, ConnectionRights(ctx), transitMode != 0);
    CountCommand(ctx, command);
    BatchReplies(ctx, command != nullptr && command->rights == kRightFeed);
    if (command != nullptr)
        return command->handler(ctx, line, length);
    if (FindCommand(line, kEveryRight, transitMode != 0) != nullptr)
        if (int reply = WithheldReply(ctx); reply != 0)
            return Respond(ctx, reply);
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

std::vector<CommandCount> CommandCounts()
{
    std::vector<CommandCount> counts;
    for (size_t i = 0; i <= std::size(kCommands); ++i) {
        std::string_view word = i < std::size(kCommands) ? kCommands[i].word : "unknown";
        while (!word.empty() && word.back() == ' ')
            word.remove_suffix(1);
        counts.push_back({word, commandCounts[i].load(std::memory_order_relaxed)});
    }
    return counts;
}

void nntp(ClientContext* ctx)
{
    DiscardReplies();
    try {
        CommandLoop(ctx);
    } catch (const ConnectionClosed&) {
        SendRepliesOnClose(ctx);
    } catch (...) {
        LogLine("main: exception occured in nntp.c");
    }
    // Offers whose article never came end with the connection.
    ReleasePrecommits(ctx);
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
    ssize_t received = TransportRead(ctx->transport, ctx->buffer + ctx->used, room);
    if (received < 1)
        CloseConnection(ctx);
    ctx->used += static_cast<uint32_t>(received);
    ctx->buffer[ctx->used] = '\0';
    return 1;
}
