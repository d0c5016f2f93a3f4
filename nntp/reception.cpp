// Article reception: IHAVE, CHECK, TAKETHIS and the inoculation command.
// Articles are read in place into the context's buffer and handed to the
// acceptance pipeline from there.
#include "nntp/reception.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cstdlib>
#include <cstring>
#include <string>

#include "access/incoming.h"
#include "access/match.h"
#include "article/article.h"
#include "article/article_key.h"
#include "article/header.h"
#include "history/history.h"
#include "nntp/intake.h"
#include "nntp/nntp.h"
#include "nntp/precommit.h"
#include "nntp/reply.h"
#include "server/client_context.h"
#include "server/stats.h"

namespace {

// The buffer grows once to this for a large article.
constexpr uint32_t kLargeBufferSize = 1048576;
constexpr uint32_t kLargeBufferAllocation = kLargeBufferSize + 5;
// Below this the buffer may still grow.
constexpr uint32_t kGrowLimit = 1044479;
// The terminator CR LF "." CR LF is 5 bytes; an over-long article keeps 4
// held, so a terminator split across two reads is still found.
constexpr uint32_t kTerminatorLength = 5;
constexpr uint32_t kHeldBytes = kTerminatorLength - 1;

void CountPrecommitSave(ClientContext* ctx)
{
    ++precommit_saves;
    if (ctx->incomingEntry != nullptr)
        ++ctx->incomingEntry->precommitSaves;
}

// The buffer is full: grow it once, or give up on the article.
void GrowBuffer(ClientContext* ctx)
{
    if (ctx->bufferSize >= kGrowLimit) {
        ctx->articleValid = 0;
        return;
    }
    CompactBuffer(ctx);
    auto* grown = static_cast<char*>(std::realloc(ctx->buffer, kLargeBufferAllocation));
    if (grown == nullptr)
        CloseConnection(ctx);
    ctx->buffer = grown;
    ctx->bufferSize = kLargeBufferSize;
}

// An article that is being thrown away: drop what is held but its last
// bytes, which may begin the terminator.
void DropHeld(ClientContext* ctx)
{
    if (ctx->used > kHeldBytes) {
        std::memmove(ctx->buffer, ctx->buffer + ctx->used - kHeldBytes, kHeldBytes);
        ctx->used = kHeldBytes;
    }
    ctx->buffer[ctx->used] = '\0';
    ctx->scanFrom = 0;
}

// The first CR LF "." CR LF in data[from, used). Every article is searched
// whole, so sixteen bytes are tried at a time where the machine has SSE2:
// the places where a LF is followed by a dot are rare, and only those are
// looked at further. Elsewhere each LF is found with memchr.
const char* FindTerminator(const char* data, uint32_t from, uint32_t used)
{
    const char* p = data + from;
    const char* end = data + used;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i dot = _mm_set1_epi8('.');
    for (; p + 18 <= end; p += 16) {
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
        auto hits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(second, lf), _mm_cmpeq_epi8(third, dot))));
        for (; hits != 0; hits &= hits - 1) {
            const char* at = p + std::countr_zero(hits);
            if (at + 5 <= end && at[0] == '\r' && at[3] == '\r' && at[4] == '\n')
                return at;
        }
    }
#endif
    for (const char* next = p + 1; next + 4 <= end; ++next) {
        next = static_cast<const char*>(std::memchr(next, '\n', static_cast<size_t>(end - next - 3)));
        if (next == nullptr)
            return nullptr;
        if (next[-1] == '\r' && next[1] == '.' && next[2] == '\r' && next[3] == '\n')
            return next - 1;
    }
    return nullptr;
}

int Refusal(const ClientContext* ctx) { return (ctx->flags & 1) != 0 ? 439 : 437; }

// "436" after IHAVE or "431 <id>" after CHECK, with the operator's reason
// for the pause; the peer offers the article again later.
int RespondPaused(ClientContext* ctx, int code)
{
    std::string line = code == 431 ? "431 " + std::string(ctx->messageId) + " " : std::to_string(code) + " ";
    line += "intake paused: " + IntakePauseReason() + "\r\n";
    return SendData(ctx, line.data(), line.size());
}

// The article could not be stored: the peer is to keep it and offer it
// again later. TAKETHIS has no such answer but 400, which ends the session.
void RespondTryLater(ClientContext* ctx)
{
    if ((ctx->flags & 1) == 0) {
        Respond(ctx, 436);
        return;
    }
    Respond(ctx, 400);
    CloseConnection(ctx);
}

// Releases the match data however the pipeline ends.
struct MatchDataGuard {
    ClientContext* ctx;
    ~MatchDataGuard() { FreeMatchData(*ctx); }
};

// Ends the transfer's hold on its precommit entry however the transfer ends:
// a refusal, a failed store or a connection cut mid-article (which unwinds
// through here) frees it, so the peer's re-offer is taken.
// Without a valid message-ID the key is stale and names no transfer.
struct TransferGuard {
    ClientContext* ctx;
    bool active;
    bool stored = false;
    ~TransferGuard()
    {
        if (active)
            EndPrecommit(ctx, stored);
    }
};

}  // namespace

int nntp_readarticle(ClientContext* ctx)
{
    // The article is read where it lies: commands and articles pipelined
    // behind it stay in place, and the data is moved back to the start of
    // the allocation only when a read needs the room.
    ctx->articleValid = 1;
    for (;;) {
        if (ctx->used >= ctx->bufferSize - 1) {
            CompactBuffer(ctx);
            if (ctx->used >= ctx->bufferSize - 1)
                GrowBuffer(ctx);
        }
        ctx->buffer[ctx->used] = '\0';
        if (ctx->articleValid && ctx->used >= 3 && std::memcmp(ctx->buffer, ".\r\n", 3) == 0) {
            ctx->articleLength = kEmptyArticle;
            ctx->articleValid = 0;
            return 0;
        }
        const char* found = FindTerminator(ctx->buffer, ctx->scanFrom < ctx->used ? ctx->scanFrom : 0, ctx->used);
        if (found != nullptr) {
            ctx->articleLength = static_cast<uint32_t>(found - ctx->buffer);
            IndexHeaderLines(*ctx);
            return ctx->articleValid ? 1 : 0;
        }
        if (!ctx->articleValid)
            DropHeld(ctx);
        PostRead(ctx);
    }
}

void nntp_readarticle_cleanup(ClientContext* ctx)
{
    ForgetHeaderLines(*ctx);
    FixBuffer(ctx, ctx->articleLength + kTerminatorLength);
    if (ctx->bufferSize + ctx->bufferOffset > kContextBufferSize && ctx->used + 1 <= kContextBufferSize) {
        CompactBuffer(ctx);
        if (auto* shrunk = static_cast<char*>(std::realloc(ctx->buffer, kContextBufferSize + 1))) {
            ctx->buffer = shrunk;
            ctx->bufferSize = kContextBufferSize;
        }
    }
}

namespace {

// Reads one article (nntp_readarticle), has it accepted or refused and
// answers: 235/437 after IHAVE, 239/439 after TAKETHIS (flags bit 0). An
// article the store could not take is answered 436 after IHAVE, and 400
// after TAKETHIS, which then closes the connection. An article offered
// under an invalid message-ID is read and refused. Removes the article
// from the buffer.
void nntp_recv_article(ClientContext* ctx, bool idValid)
{
    TransferGuard transfer{ctx, idValid};
    int valid = nntp_readarticle(ctx);
    if (IntakePaused()) {
        // Paused while the article was on its way: the peer keeps it.
        RespondTryLater(ctx);
        nntp_readarticle_cleanup(ctx);
        return;
    }
    if (valid && idValid) {
        MatchDataGuard guard{ctx};
        if (PrepareForMatch(*ctx)) {
            const bool stream = (ctx->flags & 1) != 0;
            const int added = AddArticleToFile(ctx);
            transfer.stored = added > 0;
            if (transfer.stored)
                Respond(ctx, stream ? kReplyTakethisOk : kReplyGotIt);
            else if (added == kArticleDeferred)
                RespondTryLater(ctx);
            else
                Respond(ctx, Refusal(ctx));
            nntp_readarticle_cleanup(ctx);
            return;
        }
    }
    Respond(ctx, Refusal(ctx));
    nntp_readarticle_cleanup(ctx);
}

}  // namespace

int nntp_ihave(ClientContext* ctx, char*, uint32_t)
{
    if (!GetArticleID(*ctx))
        return Respond(ctx, kReplyInvalidArticleId);
    FixBuffer(ctx, ctx->used);
    if (IntakePaused()) {
        RespondPaused(ctx, 436);
    } else if (CheckSeen(ctx->articleKey)) {
        Respond(ctx, kReplyAlreadyGot);
    } else if (!AddPrecommit(ctx)) {
        // Another connection is receiving it; that transfer may still fail.
        CountPrecommitSave(ctx);
        Respond(ctx, 436);
    } else {
        Respond(ctx, kReplySendIt);
        nntp_recv_article(ctx, true);
    }
    return 0;
}

int nntp_check(ClientContext* ctx, char*, uint32_t)
{
    ++check;
    if (!GetArticleID(*ctx))
        return Respond(ctx, 439);
    if (IntakePaused())
        return RespondPaused(ctx, 431);
    if (CheckSeen(ctx->articleKey))
        return Respond(ctx, kReplyCheckRefuse);
    if (AddPrecommit(ctx))
        return Respond(ctx, 238);
    CountPrecommitSave(ctx);
    return Respond(ctx, 431);
}

int nntp_takethis(ClientContext* ctx, char*, uint32_t length)
{
    // An invalid message-ID is still read past, then refused; it is not
    // entered anywhere under its half-parsed key. An article that another
    // connection is receiving is read and stored all the same: TAKETHIS has
    // no "try later" answer, and 439 would tell the peer never to send it,
    // though the other transfer may yet fail. The first complete copy wins.
    const bool idValid = GetArticleID(*ctx) != 0;
    if (idValid)
        AddPrecommit(ctx);
    ctx->flags |= 1;
    FixBuffer(ctx, length);
    nntp_recv_article(ctx, idValid);
    ++takethis;
    return 0;
}

int nntp_innoculate(ClientContext* ctx, char*, uint32_t)
{
    if (!GetArticleID(*ctx))
        return Respond(ctx, 439);
    InnoculateHistory(ctx);
    return 1;
}
