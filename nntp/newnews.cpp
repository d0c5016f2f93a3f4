// NEWNEWS. Each arrived article's overview record gives its groups (the
// Xref field, "host group:number ...") and its message-ID; the answer goes
// out in pieces of about 16 KB.
#include "nntp/newnews.h"

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "access/wildmat.h"
#include "article/retrieval.h"
#include "groups/newgroups.h"
#include "history/arrival.h"
#include "nntp/reply.h"
#include "server/config.h"

namespace {

constexpr uint32_t kInvalidTime = 0xFFFFFFFF;
constexpr size_t kPiece = 16384;
constexpr size_t kMaxGroupName = 500;
constexpr int kMessageIdField = 3;
constexpr int kXrefField = 7;

// The next blank-separated word of `rest`, advancing past it.
std::string_view NextWord(std::string_view& rest)
{
    size_t begin = std::min(rest.find_first_not_of(" \t"), rest.size());
    size_t end = std::min(rest.find_first_of(" \t", begin), rest.size());
    std::string_view word = rest.substr(begin, end - begin);
    rest.remove_prefix(end);
    return word;
}

// Whether the wildmat takes a group of the Xref value "host group:n ...".
bool InTakenGroup(const Wildmat& wildmat, std::string_view xref)
{
    NextWord(xref);
    for (std::string_view word = NextWord(xref); !word.empty(); word = NextWord(xref)) {
        std::string_view group = word.substr(0, word.find(':'));
        char name[kMaxGroupName + 1];
        if (group.size() > kMaxGroupName)
            continue;
        group.copy(name, group.size());
        name[group.size()] = '\0';
        if (wildmat.Matches(name))
            return true;
    }
    return false;
}

}  // namespace

bool NewnewsEnabled()
{
    return ConfigNumber(ConfigKey::kAllowNewnews) != 0 && ArrivalWindow() != 0;
}

int Newnews(ClientContext* ctx, char* line, uint32_t length)
{
    if (!NewnewsEnabled())
        return Respond(ctx, kReplyInvalidCommand);
    std::string_view rest(line + std::min<uint32_t>(7, length >= 2 ? length - 2 : 0));
    std::string_view pattern = NextWord(rest);
    std::string_view date = NextWord(rest);
    std::string_view time = NextWord(rest);
    std::time_t since = NNTPtoGMT(date, time);
    if (pattern.empty() || since == kInvalidTime)
        return Respond(ctx, 501);
    since = std::max(since, std::time(nullptr) - static_cast<std::time_t>(ArrivalWindow()));
    Wildmat wildmat(pattern);
    std::string out = "230 list of new articles follows\r\n";
    ForEachArrivalSince(since, [&](uint32_t slot) {
        uint32_t size = 0;
        std::unique_ptr<char[]> overview = ReadOverviewLine(slot, 0, &size);
        // The line starts "0" TAB.
        if (overview == nullptr || size < 2)
            return;
        std::string_view record(overview.get() + 2, size - 2);
        if (!InTakenGroup(wildmat, OverviewField(record, kXrefField)))
            return;
        out.append(OverviewField(record, kMessageIdField)).append("\r\n");
        if (out.size() >= kPiece) {
            SendData(ctx, out.data(), out.size());
            out.clear();
        }
    });
    out += ".\r\n";
    return SendData(ctx, out.data(), out.size());
}
