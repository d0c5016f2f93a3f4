// Post queue and cancel files. A post is written unchanged into a file of
// the post queue directory for another process to inject; a cancel file of
// message-IDs is read by a worker thread that marks them cancelled in the
// history and then deletes the file.
#include "nntp/post.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "article/article_key.h"
#include "history/history.h"
#include "nntp/nntp.h"
#include "nntp/post_internal.h"
#include "nntp/reception.h"
#include "platform/file_io.h"
#include "platform/line_reader.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "server/client_context.h"
#include "server/config.h"

namespace {

constexpr int kMaxCancelWorkers = 3;
constexpr int kCancelLineSize = 16384;

const char* PostQueueDir = nullptr;  // set by PostInit
std::atomic<int> threadCount{0};

// Creates the first free post file name for time `t` (its name in `name`);
// an invalid descriptor when creation fails for another reason than the
// name being taken.
UniqueFd CreatePostFile(std::time_t t, char (&name)[4096])
{
    std::snprintf(name, sizeof name, "%s/%u.post", PostQueueDir, static_cast<unsigned>(t));
    for (unsigned n = 0;; ++n) {
        UniqueFd fd = OpenFile(name, O_WRONLY | O_CREAT | O_EXCL);
        if (fd || errno != EEXIST)
            return fd;
        std::snprintf(name, sizeof name, "%s/%u-%u.post", PostQueueDir, static_cast<unsigned>(t), n);
    }
}

}  // namespace

int PostInit()
{
    PostQueueDir = ConfigText(ConfigKey::kPostQueueDirectory);
    return 1;
}

int QueuePost(ClientContext* ctx)
{
    char name[4096];
    UniqueFd fd = CreatePostFile(std::time(nullptr), name);
    if (!fd)
        return 0;
    ++ctx->postCount;
    char head[64];
    int headLength = std::snprintf(head, sizeof head, "%s\r\n%u\r\n", ctx->peerAddress, ctx->postCount);
    iovec pieces[2] = {{head, static_cast<size_t>(headLength)}, {ctx->buffer, ctx->articleLength}};
    if (WriteAllV(fd.get(), pieces, 2))
        return 1;
    RemoveFile(name);  // a torn post must not be injected
    return 0;
}

int nntp_post(ClientContext* ctx, char*, uint32_t length)
{
    Respond(ctx, 340);
    FixBuffer(ctx, length);
    int queued = nntp_readarticle(ctx) && QueuePost(ctx);
    Respond(ctx, queued ? kReplyPostOk : kReplyPostFailed);
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
