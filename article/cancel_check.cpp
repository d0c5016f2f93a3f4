// Who may cancel an article: the RestrictCancels setting and the comparison
// of the two From: addresses, the cancelled one taken from its overview
// record.
#include "article/cancel_check.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "access/incoming.h"
#include "article/header.h"
#include "article/post_check.h"
#include "article/retrieval.h"
#include "history/history.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

namespace {

constexpr uint32_t kFeedRight = 1;
constexpr uint32_t kFromSize = 1000;

int restrictCancels = 0;

// The From field of an overview line ("number", Subject, From, ...).
std::string_view OverviewFrom(std::string_view line)
{
    for (int field = 0; field < 2; ++field) {
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos)
            return {};
        line.remove_prefix(tab + 1);
    }
    return line.substr(0, line.find('\t'));
}

bool SameAddress(std::string_view a, std::string_view b)
{
    return !a.empty() && a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
    });
}

// The address of the cancelled article's From:, empty when it has none.
std::string_view TargetAddress(ArticleKey target, std::unique_ptr<char[]>* holder)
{
    uint32_t slot = 0, overviewLength = 0, length = 0;
    uint64_t storeKey = 0;
    // Reading a record that is no overview record would mark the article gone.
    if (!SeenGetEntry(target, &slot) || !SeenGetOverview(slot, &storeKey, &overviewLength) || overviewLength == 0)
        return {};
    *holder = ReadOverviewLine(slot, 0, &length);
    if (*holder == nullptr)
        return {};
    return FromAddress(OverviewFrom(std::string_view(holder->get(), length)));
}

}  // namespace

int CancelCheckInit()
{
    restrictCancels = ConfigNumber(ConfigKey::kRestrictCancels);
    return 1;
}

bool CancelAllowed(const ClientContext& c, ArticleKey target)
{
    if (restrictCancels == 0 || (c.incomingEntry != nullptr && (c.incomingEntry->rights & kFeedRight) != 0))
        return true;
    char from[kFromSize + 1];
    GetHeader(c, "From: ", from, kFromSize);
    std::unique_ptr<char[]> holder;
    if (SameAddress(FromAddress(from), TargetAddress(target, &holder)))
        return true;
    LogFormat("%s from %s may not remove another poster's article (RestrictCancels)", c.messageId, c.peerName);
    return false;
}
