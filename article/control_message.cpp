// Control messages, cancels and supersedes, and the control-message queue.
#include "article/control_message.h"

#include <fcntl.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "access/wildcard.h"
#include "article/article.h"
#include "article/article_key.h"
#include "article/cancel_check.h"
#include "article/header.h"
#include "article/retrieval.h"
#include "history/history.h"
#include "platform/file_io.h"
#include "platform/unique_fd.h"
#include "server/client_context.h"
#include "server/config.h"

namespace {

const char* ControlQueueDir = "./control";
uint32_t counter = 0;  // next control file number; only touched under csArtFile

// Room for a copied Supersedes: value, as the header lookup is asked for.
constexpr uint32_t kSupersedesValueSize = 600;

// Cancels take effect at once; an unknown message-ID gets a placeholder so
// that the article is refused as already seen when it comes.
int CancelArticle(const ClientContext& c, const char* text)
{
    ArticleKey key = 0;
    if (!GetArticleIDFromString(text, nullptr, &key))
        return 0;
    if (!CancelAllowed(c, key))
        return 1;
    if (!CancelSeen(key))
        AddSeen(key, 0, 0, 0, 0, 0, 0, 0);
    return 1;
}

// 1 when `value` matches one of the comma-separated patterns. Control
// messages are rare, so a copy of the list to cut at the commas is cheap.
bool MatchesControlPattern(const char* value)
{
    std::string patterns(ControlMessagePattern);
    for (size_t start = 0; start <= patterns.size();) {
        size_t end = patterns.find(',', start);
        if (end == std::string::npos)
            end = patterns.size();
        patterns[end] = '\0';
        // Empty entries (",,") stand for nothing rather than for the empty type.
        if (end > start && StringMatch(value, patterns.c_str() + start))
            return true;
        start = end + 1;
    }
    return false;
}

// The Xref: line is the overview record's last field: everything after its
// last TAB, CR LF included.
void CopyXrefField(const char* line, uint32_t length, char* xref)
{
    xref[0] = '\0';
    for (uint32_t i = length; i-- > 1;) {
        if (line[i] != '\t')
            continue;
        uint32_t size = length - i - 1;
        // A truncated line would break the header it becomes; none is better.
        if (size < kSupersedesXrefSize) {
            std::memcpy(xref, line + i + 1, size);
            xref[size] = '\0';
        }
        return;
    }
}

}  // namespace

int ControlMessageInit()
{
    ControlQueueDir = ConfigText(ConfigKey::kControlQueueDirectory);
    counter = 0;
    return 1;
}

int ProcessControlMessage(const ClientContext& c, const char* controlValue)
{
    const char* value = controlValue + std::strspn(controlValue, " \t");
    if (strncasecmp(value, "cancel ", 7) == 0)
        return CancelArticle(c, value + 7);
    if (MatchesControlPattern(value))
        WriteControlMessage(c);
    return 1;
}

int WriteControlMessage(const ClientContext& c)
{
    char path[4096];
    int n;
    do {
        n = std::snprintf(path, sizeof path, "%s/%u.control", ControlQueueDir, counter++);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path)
            return 0;
    } while (PathExists(path));
    // Written under another name and renamed, so that a consumer never reads
    // a file that is only half there.
    std::string partial = std::string(path) + ".new";
    UniqueFd fd = OpenFile(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (!fd)
        return 0;
    if (WriteAll(fd.get(), c.buffer, c.articleLength) && RenameFile(partial.c_str(), path))
        return 1;
    RemoveFile(partial.c_str());  // a torn control message must not be acted on
    return 0;
}

int CheckSupersedes(const ClientContext& c, char* xref, uint32_t* slot)
{
    if (!honorSupersedes)
        return 0;
    char value[kSupersedesValueSize + 1];
    if (GetHeader(c, "Supersedes: ", value, kSupersedesValueSize) == 0)
        return 0;
    ArticleKey key = 0;
    if (!GetArticleIDFromString(value, nullptr, &key) || key == c.articleKey)
        return 0;
    uint32_t index = 0;
    if (!SeenGetEntry(key, &index) || !CancelAllowed(c, key))
        return 0;
    uint32_t length = 0;
    if (auto line = ReadOverviewLine(index, 0, &length))
        CopyXrefField(line.get(), length, xref);
    else
        xref[0] = '\0';
    *slot = index;
    return 1;
}
