// LIST keywords. LIST and LIST ACTIVE come from the group operations,
// NEWSGROUPS from the descriptions file, ACTIVE.TIMES from the new-groups
// list; OVERVIEW.FMT and HEADERS describe what OVER and HDR serve.
#include "nntp/list.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <string_view>

#include "article/retrieval.h"
#include "groups/descriptions.h"
#include "groups/newgroups.h"
#include "nntp/reader.h"
#include "nntp/reply.h"

namespace {

int ListOverviewFormat(ClientContext* ctx, char*)
{
    std::string text = "215 Order of fields in overview database.\r\n";
    for (std::string_view field : kOverviewFormat)
        text.append(field).append("\r\n");
    text += ".\r\n";
    return SendData(ctx, text.data(), text.size());
}

// HDR takes any header, and the two counts of the overview.
int ListHeaders(ClientContext* ctx, char*)
{
    constexpr std::string_view text = "215 Field list follows\r\n:\r\n:bytes\r\n:lines\r\n.\r\n";
    return SendData(ctx, text.data(), text.size());
}

// The wildmat after the keyword, or null when none follows.
const char* Pattern(char* rest)
{
    rest[std::strcspn(rest, " \t")] = '\0';
    return *rest != '\0' ? rest : nullptr;
}

int ListNewsgroups(ClientContext* ctx, char* rest)
{
    return TransmitDescriptions(ctx, Pattern(rest));
}

int ListActiveTimes(ClientContext* ctx, char* rest)
{
    return TransmitActiveTimes(ctx, Pattern(rest));
}

// No distributions are kept.
int ListDistribPats(ClientContext* ctx, char*)
{
    constexpr std::string_view text = "215 information follows\r\n.\r\n";
    return SendData(ctx, text.data(), text.size());
}

struct Keyword {
    std::string_view word;
    int (*serve)(ClientContext* ctx, char* rest);
};

constexpr Keyword kKeywords[] = {
    {"overview.fmt", ListOverviewFormat}, {"headers", ListHeaders},          {"newsgroups", ListNewsgroups},
    {"active.times", ListActiveTimes},    {"distrib.pats", ListDistribPats},
};

char* SkipBlanks(char* text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    return text;
}

}  // namespace

int List(ClientContext* ctx, char* line, uint32_t length)
{
    char* rest = SkipBlanks(line + 4);
    size_t word = std::strcspn(rest, " \t");
    for (const Keyword& keyword : kKeywords)
        if (word == keyword.word.size() && strncasecmp(rest, keyword.word.data(), word) == 0)
            return keyword.serve(ctx, SkipBlanks(rest + word));
    if (*rest == '\0' || strncasecmp(rest, "active", 6) == 0)
        return Reader_List(ctx, line, length);
    return Respond(ctx, kReplyInvalidCommand);
}
