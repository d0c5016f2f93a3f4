// Reader commands. Arguments are parsed in place in the command line; the
// answers come from the group operations, the new-groups list and
// retrieval. Each handler returns 1 so that the command loop removes the line.
#include "nntp/reader.h"
#include "nntp/reader_internal.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "article/article_key.h"
#include "article/retrieval.h"
#include "groups/group_transmit.h"
#include "groups/groupdb.h"
#include "groups/newgroups.h"
#include "nntp/reply.h"
#include "server/client_context.h"
#include "server/log.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;
// The largest article number; also the end of an open range.
constexpr uint32_t kMaxNumber = 2147483647;
constexpr size_t kMaxHeaderName = 64;

// The command line's length without its CR LF.
uint32_t TextLength(uint32_t length)
{
    return length >= 2 ? length - 2 : 0;
}

// The argument text at `offset` of the command line; a line shorter than
// that has none (its terminating NUL is returned).
char* Argument(char* line, uint32_t length, uint32_t offset)
{
    return line + std::min(offset, TextLength(length));
}

char* SkipSpaces(char* text)
{
    while (*text == ' ')
        ++text;
    return text;
}

enum class Number { kNone, kRead, kBad };

// The decimal number at `text`, leading zeros allowed. A number above
// kMaxNumber, or digits run into other text (`also` aside), is bad: a
// client must never be served another article than the one it named.
Number ReadNumber(char*& text, uint32_t* number, char also = ' ')
{
    if (*text < '0' || *text > '9')
        return Number::kNone;
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<uint64_t>(*text - '0');
        if (value > kMaxNumber)
            return Number::kBad;
    }
    if (*text != '\0' && *text != ' ' && *text != '\t' && *text != also)
        return Number::kBad;
    *number = static_cast<uint32_t>(value);
    return Number::kRead;
}

bool Selected(ClientContext* ctx)
{
    if (GroupValidateGroup(&ctx->selection))
        return true;
    Respond(ctx, 412);
    return false;
}

using CurrentOperation = int (*)(ClientContext* ctx, GroupSelection* selection);
using ByIdOperation = int (*)(ClientContext* ctx);

// Makes `number` current and serves it; the old current comes back when
// that fails.
void ServeNumber(ClientContext* ctx, uint32_t number, CurrentOperation serve)
{
    uint32_t saved = ctx->selection.current;
    ctx->selection.current = number;
    if (!serve(ctx, &ctx->selection))
        ctx->selection.current = saved;
}

// ARTICLE, HEAD and BODY with the argument at `offset`.
int Fetch(ClientContext* ctx, char* line, uint32_t length, uint32_t offset, CurrentOperation byNumber,
          ByIdOperation byId, uint32_t* counter)
{
    int idGiven = 0;
    uint32_t from = kNone, to = kNone;
    if (!GetRangeOrId(Argument(line, length, offset), &idGiven, &from, &to))
        return Respond(ctx, 501);
    if (!idGiven && !Selected(ctx))
        return 1;
    if (counter != nullptr)
        ++*counter;
    if (idGiven) {
        // A malformed ID must not leave the key of an earlier command in place.
        if (GetArticleID(*ctx))
            byId(ctx);
        else
            Respond(ctx, 430);
    } else if (from == kNone) {
        byNumber(ctx, &ctx->selection);
    } else {
        ServeNumber(ctx, from, byNumber);
    }
    return 1;
}

// The range of an overview-like command: the current article when none
// was given.
void RangeOrCurrent(const ClientContext* ctx, uint32_t* from, uint32_t* to)
{
    if (*from == kNone)
        *from = *to = ctx->selection.current;
}

// LISTGROUP and lgs: the group `name` (null: the selected one); 1 with
// `current` at the low mark.
bool SelectForListing(ClientContext* ctx, const char* name)
{
    if (name != nullptr) {
        if (!GetGroupInfo(name, &ctx->selection)) {
            Respond(ctx, 411);
            return false;
        }
    } else if (!Selected(ctx)) {
        return false;
    }
    ctx->selection.current = ctx->selection.low;
    return true;
}

// The text after `word` + 1 characters of the command, or null when nothing
// follows the word.
char* ListingName(char* line, uint32_t length, uint32_t word)
{
    return TextLength(length) > word ? Argument(line, length, word + 1) : nullptr;
}

// "count low high name" of the selection into ctx->messageId, followed by `what`.
void GroupSummary(ClientContext* ctx, const char* name, const char* what)
{
    const GroupSelection& s = ctx->selection;
    uint32_t count = s.high == 1 || s.high < s.low ? 0 : s.high - s.low + 1;
    std::snprintf(ctx->messageId, sizeof ctx->messageId, "%u %u %u %.200s %s", count, s.low, s.high, name, what);
}

// The name of group number `group`, looked for in the name index.
std::string GroupName(uint32_t group)
{
    std::string found;
    ForEachGroup([&](const char* name, const GroupRecord& record) {
        if (&record == &groupArray[group])
            found = name;
    });
    return found;
}

}  // namespace

int GetRangeOrId(char* text, int* idGiven, uint32_t* from, uint32_t* to)
{
    *idGiven = 0;
    *from = *to = kNone;
    text = SkipSpaces(text);
    if (*text == '<') {
        char* close = std::strchr(text, '>');
        if (close == nullptr)
            return 0;
        close[1] = '\0';
        *idGiven = 1;
        return 1;
    }
    uint32_t number = 0;
    Number first = ReadNumber(text, &number, '-');
    if (first != Number::kRead)
        return first == Number::kNone && *text == '\0' ? 1 : 0;
    *from = *to = number;
    if (*text == '-') {
        ++text;
        Number last = ReadNumber(text, &number);
        if (last == Number::kBad || (last == Number::kNone && *text != '\0' && *text != ' ' && *text != '\t'))
            return 0;
        *to = last == Number::kRead ? number : kMaxNumber;
    }
    return 1;
}

int Reader_Article(ClientContext* ctx, char* line, uint32_t length)
{
    return Fetch(ctx, line, length, 7, GroupTransmitArticle, TransmitArticleByID, &ctx->articleCount);
}

int Reader_Head(ClientContext* ctx, char* line, uint32_t length)
{
    return Fetch(ctx, line, length, 4, GroupTransmitArticleHeader, TransmitHeaderByID, nullptr);
}

int Reader_Body(ClientContext* ctx, char* line, uint32_t length)
{
    return Fetch(ctx, line, length, 4, GroupTransmitArticleBody, TransmitBodyByID, nullptr);
}

int Reader_Stat(ClientContext* ctx, char* line, uint32_t length)
{
    int idGiven = 0;
    uint32_t from = kNone, to = kNone;
    int wellFormed = GetRangeOrId(Argument(line, length, 4), &idGiven, &from, &to);
    // By message-ID no group is needed and the current article stays.
    if (idGiven) {
        if (GetArticleID(*ctx))
            TransmitStatByID(ctx);
        else
            Respond(ctx, 430);
        return 1;
    }
    if (!Selected(ctx))
        return 1;
    if (!wellFormed)
        return Respond(ctx, 501);
    GroupSelection& selection = ctx->selection;
    if (from == kNone)
        GroupTransmitArticleStat(ctx, &selection, selection.current);
    else if (GroupTransmitArticleStat(ctx, &selection, from))
        selection.current = from;
    return 1;
}

int Reader_Next(ClientContext* ctx, char*, uint32_t)
{
    if (Selected(ctx)) {
        ++ctx->nextCount;
        GroupNextArticle(ctx, &ctx->selection);
    }
    return 1;
}

int Reader_Last(ClientContext* ctx, char*, uint32_t)
{
    if (Selected(ctx))
        GroupPrevArticle(ctx, &ctx->selection);
    return 1;
}

int Reader_Xover(ClientContext* ctx, char* line, uint32_t length)
{
    if (!Selected(ctx))
        return 1;
    ++ctx->xoverCount;
    int idGiven = 0;
    uint32_t from = kNone, to = kNone;
    if (!GetRangeOrId(Argument(line, length, 5), &idGiven, &from, &to))
        return Respond(ctx, 501);
    RangeOrCurrent(ctx, &from, &to);
    GroupTransmitOverview(ctx, &ctx->selection, from, to);
    return 1;
}

int Reader_XHDR(ClientContext* ctx, char* line, uint32_t length)
{
    if (!Selected(ctx))
        return 1;
    char* name = Argument(line, length, 4);
    while (*name == ' ' || *name == '\t')
        ++name;
    size_t nameLength = std::strcspn(name, " ");
    char* rest = name + nameLength;
    // The name, a colon unless it ends with one, and a blank.
    char prefix[kMaxHeaderName + 3];
    nameLength = std::min(nameLength, kMaxHeaderName);
    std::memcpy(prefix, name, nameLength);
    if (nameLength == 0 || prefix[nameLength - 1] != ':')
        prefix[nameLength++] = ':';
    prefix[nameLength++] = ' ';
    prefix[nameLength] = '\0';
    int idGiven = 0;
    uint32_t from = kNone, to = kNone;
    if (!GetRangeOrId(rest, &idGiven, &from, &to))
        return Respond(ctx, 501);
    RangeOrCurrent(ctx, &from, &to);
    GroupTransmitXHeader(ctx, &ctx->selection, from, to, prefix);
    return 1;
}

int Reader_Xpath(ClientContext* ctx, char* line, uint32_t length)
{
    if (!Selected(ctx))
        return 1;
    int idGiven = 0;
    uint32_t from = kNone, to = kNone;
    if (!GetRangeOrId(Argument(line, length, 6), &idGiven, &from, &to) || idGiven)
        return Respond(ctx, 501);
    if (from == kNone)
        GroupTransmitXpath(ctx, &ctx->selection);
    else
        ServeNumber(ctx, from, GroupTransmitXpath);
    return 1;
}

int Reader_Group(ClientContext* ctx, char* line, uint32_t length)
{
    const char* name = Argument(line, length, 6);
    bool hadGroup = GroupValidateGroup(&ctx->selection) != 0;
    if (!GetGroupInfo(name, &ctx->selection))
        return Respond(ctx, 411);
    if (hadGroup)
        LogFormat("GROUPDONE article %u xover %u next %u %s %s", ctx->articleCount, ctx->xoverCount,
                  ctx->nextCount, ctx->peerAddress, ctx->peerName);
    GroupSummary(ctx, name, "group selected");
    Respond(ctx, 211);
    LogFormat("GROUP %s %s %s", name, ctx->peerAddress, ctx->peerName);
    return 1;
}

int Reader_Listgroup(ClientContext* ctx, char* line, uint32_t length)
{
    // LISTGROUP [name [range]]: the range ends the name.
    char* name = ListingName(line, length, 9);
    char* range = name != nullptr ? name + std::strcspn(name, " \t") : nullptr;
    if (range != nullptr && *range != '\0')
        *range++ = '\0';
    int idGiven = 0;
    uint32_t from = kNone, to = kNone;
    if (range != nullptr && (!GetRangeOrId(range, &idGiven, &from, &to) || idGiven))
        return Respond(ctx, 501);
    if (!SelectForListing(ctx, name))
        return 1;
    std::string named = name != nullptr ? std::string(name) : GroupName(ctx->selection.group);
    GroupSummary(ctx, named.c_str(), "list follows");
    const GroupSelection& s = ctx->selection;
    if (from == kNone) {
        from = s.low;
        to = s.high;
    }
    GroupTransmitListgroup(ctx, &ctx->selection, std::max(from, s.low), std::min(to, s.high), ctx->messageId);
    return 1;
}

int Reader_ListGroupStruct(ClientContext* ctx, char* line, uint32_t length)
{
    if (SelectForListing(ctx, ListingName(line, length, 3)))
        GroupTransmitSlotDump(ctx, &ctx->selection);
    return 1;
}

int Reader_List(ClientContext* ctx, char* line, uint32_t length)
{
    char* rest = SkipSpaces(Argument(line, length, 4));
    const char* pattern = nullptr;
    if (strncasecmp(rest, "active", 6) == 0) {
        rest = SkipSpaces(rest + 6);
        if (*rest != '\0')
            pattern = rest;
    }
    GroupList(ctx, pattern);
    return 1;
}

int Reader_Newgroups(ClientContext* ctx, char* line, uint32_t length)
{
    TransmitNewgroups(ctx, SkipSpaces(Argument(line, length, 9)));
    return 1;
}
