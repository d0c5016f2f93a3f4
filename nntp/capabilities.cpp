// CAPABILITIES, HELP and DATE. Each capability and each help line names a
// command word; it is shown only when the dispatch table gives that word to
// this connection (rights and transit mode), so the lists stay truthful as
// rights change and commands come and go.
#include "nntp/capabilities.h"

#include <ctime>
#include <string>
#include <string_view>

#include "access/incoming.h"
#include "article/article.h"
#include "nntp/authinfo.h"
#include "nntp/newnews.h"
#include "nntp/nntp.h"
#include "nntp/nntp_internal.h"
#include "nntp/reply.h"
#include "nntp/starttls.h"
#include "server/client_context.h"

namespace {

struct Line {
    const char* command;  // a line that FindCommand must take, or null: always shown
    std::string_view text;
};

constexpr Line kCapabilities[] = {
    {nullptr, "VERSION 2\r\n"},
    {nullptr, "IMPLEMENTATION Verdalix\r\n"},
    {"group", "READER\r\n"},
    {"post", "POST\r\n"},
    {"ihave ", "IHAVE\r\n"},
    {"over", "OVER MSGID\r\n"},
    {"hdr", "HDR\r\n"},
    {"newnews", "NEWNEWS\r\n"},
    {"list", "LIST ACTIVE ACTIVE.TIMES DISTRIB.PATS HEADERS NEWSGROUPS OVERVIEW.FMT\r\n"},
};

constexpr Line kHelp[] = {
    {"article", "  ARTICLE [message-ID|number]\r\n"},
    {"authinfo", "  AUTHINFO USER name|PASS password\r\n"},
    {"body", "  BODY [message-ID|number]\r\n"},
    {nullptr, "  CAPABILITIES\r\n"},
    {"check ", "  CHECK message-ID\r\n"},
    {"date", "  DATE\r\n"},
    {"group", "  GROUP newsgroup\r\n"},
    {"hdr", "  HDR header [message-ID|range]\r\n"},
    {"head", "  HEAD [message-ID|number]\r\n"},
    {nullptr, "  HELP\r\n"},
    {"ihave ", "  IHAVE message-ID\r\n"},
    {"last", "  LAST\r\n"},
    {"list", "  LIST [ACTIVE [wildmat]|ACTIVE.TIMES [wildmat]|DISTRIB.PATS|HEADERS [MSGID|RANGE]|\r\n"
             "        NEWSGROUPS [wildmat]|OVERVIEW.FMT]\r\n"},
    {"listgroup", "  LISTGROUP [newsgroup [range]]\r\n"},
    {"mode reader", "  MODE READER\r\n"},
    {"mode stream", "  MODE STREAM\r\n"},
    {"newgroups", "  NEWGROUPS [yy]yymmdd hhmmss [GMT]\r\n"},
    {"newnews", "  NEWNEWS wildmat [yy]yymmdd hhmmss [GMT]\r\n"},
    {"next", "  NEXT\r\n"},
    {"over", "  OVER [message-ID|range]\r\n"},
    {"post", "  POST\r\n"},
    {nullptr, "  QUIT\r\n"},
    {"stat", "  STAT [message-ID|number]\r\n"},
    {"takethis ", "  TAKETHIS message-ID\r\n"},
    {"xhdr", "  XHDR header [message-ID|range]\r\n"},
    {"xover", "  XOVER [range]\r\n"},
};

bool Offered(const ClientContext* ctx, const char* command)
{
    if (command == nullptr)
        return true;
    if (std::string_view(command) == "newnews" && !NewnewsEnabled())
        return false;
    if (std::string_view(command) == "authinfo" && AuthinfoCapability(ctx)[0] == '\0')
        return false;
    return FindCommand(command, ConnectionRights(ctx), transitMode != 0) != nullptr;
}

// `status`, the lines offered to this connection and the end line, in one write.
template <size_t N>
int SendOffered(ClientContext* ctx, std::string_view status, const Line (&lines)[N], std::string extra = {})
{
    std::string text(status);
    for (const Line& line : lines)
        if (Offered(ctx, line.command))
            text.append(line.text);
    text += extra;
    text += ".\r\n";
    return SendData(ctx, text.data(), text.size());
}

}  // namespace

int Capabilities(ClientContext* ctx, char*, uint32_t)
{
    std::string extra;
    if (Offered(ctx, "mode stream") && ctx->incomingEntry->streaming != 0)
        extra += "STREAMING\r\n";
    extra += StartTlsCapability(ctx);
    extra += AuthinfoCapability(ctx);
    return SendOffered(ctx, "101 Capability list:\r\n", kCapabilities, extra);
}

int Help(ClientContext* ctx, char*, uint32_t)
{
    return SendOffered(ctx, "100 Help text follows\r\n", kHelp);
}

int Date(ClientContext* ctx, char*, uint32_t)
{
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char line[32];
    size_t n = std::strftime(line, sizeof line, "111 %Y%m%d%H%M%S\r\n", &parts);
    return SendData(ctx, line, n);
}
