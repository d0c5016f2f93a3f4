// Post queue and cancel files. A post is written into a file of the post
// queue directory: checked, given a Message-ID when it has none and handed
// to the injector (InjectPosts 1, the default), or unchanged and unchecked
// for a program outside the server (InjectPosts 0). A cancel file of
// message-IDs is read by a worker thread that marks them cancelled in the
// history and then deletes the file.
#include "nntp/post.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "article/article_key.h"
#include "article/inject.h"
#include "article/post_check.h"
#include "history/history.h"
#include "nntp/post_internal.h"
#include "nntp/reception.h"
#include "nntp/reply.h"
#include "platform/file_io.h"
#include "platform/line_reader.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

namespace {

constexpr int kMaxCancelWorkers = 3;
constexpr int kCancelLineSize = 16384;

const char* PostQueueDir = nullptr;  // set by PostInit
int injectPosts = 1;
std::atomic<int> threadCount{0};
// The time and the number after the last name claimed for injection: the
// posts of one second claim names in turn, so concurrent posters neither
// search from the first name nor try the same ones.
std::atomic<uint64_t> lastName{0};

// Creates the first free post file name for time `t` from the n-th one on
// (0 is "<t>.post", n is "<t>-<n-1>.post"), its path in `name`; an invalid
// descriptor when creation fails for another reason than the name being
// taken.
UniqueFd CreatePostFile(std::time_t t, uint32_t n, char (&name)[4096])
{
    for (;; ++n) {
        if (n == 0)
            std::snprintf(name, sizeof name, "%s/%u.post", PostQueueDir, static_cast<unsigned>(t));
        else
            std::snprintf(name, sizeof name, "%s/%u-%u.post", PostQueueDir, static_cast<unsigned>(t), n - 1);
        UniqueFd fd = OpenFile(name, O_WRONLY | O_CREAT | O_EXCL);
        if (fd || errno != EEXIST)
            return fd;
    }
}

// The name number a post queued at time `t` starts from (see CreatePostFile).
uint32_t ClaimNameNumber(std::time_t t)
{
    const auto second = static_cast<uint64_t>(static_cast<uint32_t>(t));
    uint64_t current = lastName.load();
    uint64_t claimed = 0;
    do
        claimed = (current >> 32) == second ? current + 1 : (second << 32) | 1;
    while (!lastName.compare_exchange_weak(current, claimed));
    return static_cast<uint32_t>(claimed) - 1;
}

// Publishes the finished spare file `spare` under the first free post name
// for time `t` from the n-th one on (see CreatePostFile), its path in `name`.
bool PublishSpare(const char* spare, std::time_t t, uint32_t n, char (&name)[4096])
{
    for (;; ++n) {
        if (n == 0)
            std::snprintf(name, sizeof name, "%s/%u.post", PostQueueDir, static_cast<unsigned>(t));
        else
            std::snprintf(name, sizeof name, "%s/%u-%u.post", PostQueueDir, static_cast<unsigned>(t), n - 1);
        if (RenameFileNoReplace(spare, name))
            return true;
        if (errno != EEXIST)
            return false;
    }
}

// Rewrites a spare file of the injector with `pieces` and renames it to a
// post name: written before it has the name, so a torn post is never queued.
bool WriteThroughSpare(iovec (&pieces)[3], std::time_t t, uint32_t n, char (&name)[4096])
{
    char spare[4096];
    if (!InjectorTakeSpare(spare))
        return false;
    UniqueFd fd = OpenFile(spare, O_WRONLY);
    const uint64_t length = pieces[0].iov_len + pieces[1].iov_len + pieces[2].iov_len;
    if (fd && WriteAllV(fd.get(), pieces, 3) && TruncateFile(fd.get(), length) && PublishSpare(spare, t, n, name))
        return true;
    RemoveFile(spare);
    return false;
}

// Writes a post file: the poster's address and post count, `extra` (a
// header line or nothing) and the article; its name searched from the first
// of the second, or claimed (`claim`, for the injector, which leaves spare
// files to write through). Its path in `name`; 1 written.
int WritePostFile(ClientContext* ctx, std::string_view extra, bool claim, char (&name)[4096])
{
    const std::time_t t = std::time(nullptr);
    const uint32_t first = claim ? ClaimNameNumber(t) : 0;
    char head[96];
    int headLength = std::snprintf(head, sizeof head, "%s\r\n%u\r\n", ctx->peerAddress, ctx->postCount + 1);
    iovec pieces[3] = {{head, static_cast<size_t>(headLength)},
                       {const_cast<char*>(extra.data()), extra.size()},
                       {ctx->buffer, ctx->articleLength}};
    if (claim && WriteThroughSpare(pieces, t, first, name)) {
        ++ctx->postCount;
        return 1;
    }
    UniqueFd fd = CreatePostFile(t, first, name);
    if (!fd)
        return 0;
    ++ctx->postCount;
    if (WriteAllV(fd.get(), pieces, 3))
        return 1;
    RemoveFile(name);  // a torn post must not be injected
    return 0;
}

// Queues a checked post for the injector, with a Message-ID line in front
// when the poster gave none: the ID is fixed before the poster hears 240.
int QueueForInjection(ClientContext* ctx, const PostFacts& facts)
{
    char id[kMessageIdSize];
    char line[kMessageIdSize + 16];
    size_t length = 0;
    if (facts.messageId.empty()) {
        const size_t idLength = NewPostMessageId(id);
        length = static_cast<size_t>(
            std::snprintf(line, sizeof line, "Message-ID: %.*s\r\n", static_cast<int>(idLength), id));
    }
    char name[4096];
    if (!WritePostFile(ctx, std::string_view(line, length), true, name))
        return 0;
    const char* slash = std::strrchr(name, '/');
    InjectorQueued(slash != nullptr ? slash + 1 : name);
    return 1;
}

// POST with injection: every failure is answered 441 with its reason.
void PostForInjection(ClientContext* ctx)
{
    char reason[kPostReasonSize] = "";
    PostFacts facts;
    if (!nntp_readarticle(ctx))
        std::snprintf(reason, sizeof reason, "%s",
                      ctx->articleLength == kEmptyArticle ? "empty article" : "article too large");
    else if (CheckPost(std::string_view(ctx->buffer, ctx->articleLength), &facts, reason) &&
             !QueueForInjection(ctx, facts))
        std::snprintf(reason, sizeof reason, "post not queued, try again later");
    if (reason[0] == '\0') {
        Respond(ctx, kReplyPostOk);
        return;
    }
    char line[kPostReasonSize + 8];
    int length = std::snprintf(line, sizeof line, "441 %s\r\n", reason);
    SendData(ctx, line, static_cast<size_t>(length));
}

}  // namespace

int PostInit()
{
    PostQueueDir = ConfigText(ConfigKey::kPostQueueDirectory);
    injectPosts = ConfigNumber(ConfigKey::kInjectPosts);
    if (injectPosts != 0 && !InjectorInit(PostQueueDir)) {
        LogLine("posts are queued for a program outside the server, not injected");
        injectPosts = 0;
    }
    return 1;
}

int QueuePost(ClientContext* ctx)
{
    char name[4096];
    return WritePostFile(ctx, {}, false, name);
}

int nntp_post(ClientContext* ctx, char*, uint32_t length)
{
    Respond(ctx, 340);
    FixBuffer(ctx, length);
    if (injectPosts != 0) {
        PostForInjection(ctx);
    } else {
        int queued = nntp_readarticle(ctx) && QueuePost(ctx);
        Respond(ctx, queued ? kReplyPostOk : kReplyPostFailed);
    }
    nntp_readarticle_cleanup(ctx);
    return 0;
}

int ProcessCancelFile(const char* filename)
{
    int running = threadCount.load();
    do {
        if (running >= kMaxCancelWorkers)
            return 0;
    } while (!threadCount.compare_exchange_weak(running, running + 1));
    bool started = StartThread("cancel file", [name = std::string(filename)] {
        ProcessFile(name.c_str());
        --threadCount;
    });
    if (!started)
        --threadCount;
    return started ? 1 : 0;
}

int CancelWorkersRunning() { return threadCount.load(); }

int ProcessFile(const char* filename)
{
    UniqueFd file = OpenFile(filename, O_RDONLY);
    if (!file)
        return 0;
    int cancelled = 0;
    LineReader lines(file.get(), kCancelLineSize - 1);
    char line[kCancelLineSize];
    while (lines.Next(line)) {
        char messageId[kMessageIdSize];
        ArticleKey key = 0;
        if (line[0] == '<' && GetArticleIDFromString(line, messageId, &key))
            cancelled += CancelSeen(key);
    }
    file.reset();
    RemoveFile(filename);
    return cancelled;
}
