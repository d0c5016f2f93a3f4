// Control messages, cancels and supersedes, and the control-message queue.
#include "article/control_message.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "access/wildcard.h"
#include "article/article.h"
#include "article/article_key.h"
#include "article/header.h"
#include "history/history.h"
#include "platform/unique_fd.h"
#include "server/client_context.h"
#include "server/config.h"

namespace {

const char* ControlQueueDir = "./control";
uint32_t counter = 0;  // next control file number; only touched under csArtFile

// Room for a copied Supersedes: value, as the header lookup is asked for.
constexpr uint32_t kSupersedesValueSize = 600;

bool FileExists(const char* path)
{
    struct stat st;
    return ::stat(path, &st) == 0;
}

// Cancels take effect at once; an unknown message-ID gets a placeholder so
// that the article is refused as already seen when it comes.
int CancelArticle(const char* text)
{
    ArticleKey key = 0;
    if (!GetArticleIDFromString(text, nullptr, &key))
        return 0;
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

}  // namespace

int ControlMessageInit()
{
    if (const char* dir = GetConfigString("ControlQueueDirectory"))
        ControlQueueDir = dir;
    counter = 0;
    return 1;
}

int ProcessControlMessage(const ClientContext& c, const char* controlValue)
{
    const char* value = controlValue + std::strspn(controlValue, " \t");
    if (strncasecmp(value, "cancel ", 7) == 0)
        return CancelArticle(value + 7);
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
    } while (FileExists(path));
    UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        return 0;
    ssize_t written = ::write(fd.get(), c.buffer, c.articleLength);
    return written == static_cast<ssize_t>(c.articleLength) ? 1 : 0;
}

// Placeholder until the history database and retrieval are in: every
// article is handled as an ordinary one.
int CheckSupersedes(const ClientContext&, char*, uint32_t*) { return 0; }
