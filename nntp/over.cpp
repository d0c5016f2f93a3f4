// OVER and HDR. Both take a range, nothing (the current article) or a
// message-ID, and refuse what they cannot serve before the first line of
// the answer: 412 without a group, 420 without a current article, 423 for a
// range with no article, 430 for an unknown message-ID. OVER then shares
// XOVER's path (the overview cache, then the stored records); HDR streams
// its lines in pieces like it, so neither holds a whole answer in memory.
#include "nntp/over.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "article/article_key.h"
#include "article/retrieval.h"
#include "groups/group_transmit.h"
#include "groups/groupdb.h"
#include "nntp/reader_internal.h"
#include "nntp/reply.h"
#include "server/client_context.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr size_t kMaxHeaderName = 128;

enum class Target { kRange, kId, kAnswered };

int Refuse(ClientContext* ctx, std::string_view line)
{
    return SendData(ctx, line.data(), line.size());
}

// What the argument at `text` asks for; every refusal is answered here.
Target Resolve(ClientContext* ctx, char* text, uint32_t* from, uint32_t* to)
{
    int idGiven = 0;
    if (!GetRangeOrId(text, &idGiven, from, to)) {
        Respond(ctx, 501);
        return Target::kAnswered;
    }
    if (idGiven) {
        if (GetArticleIDFromString(text, ctx->messageId, &ctx->articleKey))
            return Target::kId;
        Respond(ctx, 430);
        return Target::kAnswered;
    }
    GroupSelection& selection = ctx->selection;
    if (!GroupValidateGroup(&selection)) {
        Respond(ctx, 412);
        return Target::kAnswered;
    }
    if (*from == kNone) {
        *from = *to = selection.current;
        if (!GroupHasArticles(&selection, *from, *to)) {
            Refuse(ctx, "420 no current article selected\r\n");
            return Target::kAnswered;
        }
    } else if (!GroupHasArticles(&selection, *from, *to)) {
        Refuse(ctx, "423 no articles in that range\r\n");
        return Target::kAnswered;
    }
    return Target::kRange;
}

// The text after the command word, blanks skipped.
char* ArgumentAfter(char* line, uint32_t length, size_t word)
{
    char* text = line + std::min<size_t>(word, length >= 2 ? length - 2 : 0);
    while (*text == ' ' || *text == '\t')
        ++text;
    return text;
}

}  // namespace

int Over(ClientContext* ctx, char* line, uint32_t length)
{
    uint32_t from = kNone, to = kNone;
    switch (Resolve(ctx, ArgumentAfter(line, length, 4), &from, &to)) {
    case Target::kId: TransmitOverviewByID(ctx); break;
    case Target::kRange:
        ++ctx->xoverCount;
        GroupTransmitOverview(ctx, &ctx->selection, from, to);
        break;
    case Target::kAnswered: break;
    }
    return 1;
}

int Hdr(ClientContext* ctx, char* line, uint32_t length)
{
    char* name = ArgumentAfter(line, length, 3);
    size_t nameLength = std::strcspn(name, " \t");
    if (nameLength == 0 || nameLength > kMaxHeaderName)
        return Respond(ctx, 501);
    char* rest = name + nameLength;
    if (*rest != '\0')
        *rest++ = '\0';
    // "Subject:" is taken for "Subject", as XHDR takes it.
    if (nameLength > 1 && name[nameLength - 1] == ':')
        name[nameLength - 1] = '\0';
    uint32_t from = kNone, to = kNone;
    switch (Resolve(ctx, rest, &from, &to)) {
    case Target::kId: TransmitHeaderFieldByID(ctx, name); break;
    case Target::kRange: GroupTransmitHeaderField(ctx, &ctx->selection, from, to, name); break;
    case Target::kAnswered: break;
    }
    return 1;
}
