// Post injection. One thread takes the post files in the order they were
// queued: it reads a file, checks the post again (the groups or the history
// may have changed since it was queued, and files left from before a restart
// were never checked by this process), completes its header into a context
// of its own and puts it through AddArticleToFile, the door every fed
// article takes. The Message-ID is in the file before the poster hears "240"
// (or derived from the file's name and bytes), so a file injected again
// after a crash is refused as a duplicate instead of stored twice.
#include "article/inject.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "access/match.h"
#include "article/article.h"
#include "article/article_key.h"
#include "article/header.h"
#include "article/inject_internal.h"
#include "article/post_check.h"
#include "date/article_date.h"
#include "history/history.h"
#include "nntp/intake.h"
#include "platform/directory.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/unique_fd.h"
#include "server/config.h"
#include "server/log.h"

namespace {

// Post file names are "<t>.post" or "<t>-<n>.post"; longer names are not ours.
constexpr size_t kNameSize = 64;
// A post file holds at most a 1 MB article and two short lines.
constexpr int64_t kMaxPostFile = 1048576 + 256;
// Room for the header lines completion adds.
constexpr uint32_t kAddedHeaderSize = 1024;
// The terminator and NUL the receive buffer has after an article.
constexpr std::string_view kTerminator{".\r\n\0", 4};
constexpr auto kRetryDelay = std::chrono::seconds(1);
// Names tried in bad/ or a moderation directory before giving up.
constexpr unsigned kMaxMoveNames = 10000;

const char* postDir = nullptr;
std::string pathIdentity;  // HostPathIdentifier, named in Injection-Info
std::string idDomain;      // the right side of added Message-IDs
uint64_t idSalt = 0;
std::atomic<uint32_t> idCounter{0};
std::atomic<bool> started{false};

struct PostName {
    char text[kNameSize];
};

// The posting connections hand names over; the injector takes them all at
// once. Its lock is taken with no other held and takes none.
struct InjectQueue {
    std::mutex lock;
    std::condition_variable wake;
    std::vector<PostName> pending;
};

InjectQueue& Queue()
{
    static Lasting<InjectQueue> queue;
    return *queue;
}

// The injector's own context and the bytes of the file it reads; used by
// one thread at a time (the injector, or a test).
struct Work {
    ClientContext* ctx = nullptr;
    std::vector<char> file;
};

Work& Scratch()
{
    static Lasting<Work> work;
    return *work;
}

// The parts of a post file: the poster's address and the article.
struct PostFile {
    std::string_view address;
    std::string_view article;
};

bool SplitPostFile(std::string_view bytes, PostFile* post)
{
    size_t first = bytes.find("\r\n");
    if (first == std::string_view::npos)
        return false;
    size_t second = bytes.find("\r\n", first + 2);
    if (second == std::string_view::npos)
        return false;
    post->address = bytes.substr(0, first);
    post->article = bytes.substr(second + 2);
    return true;
}

// The host part of "a.b.c.d:port", or empty when it is not an address.
// The host of "a.b.c.d:port" or "[v6]:port", without brackets (RFC 5537's
// posting-host is the bare address).
std::string_view PostingHost(std::string_view address)
{
    std::string_view host = address.substr(0, std::min(address.rfind(':'), address.size()));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF.:") != std::string_view::npos)
        return {};
    return host;
}

std::string_view Stem(const char* name)
{
    std::string_view stem = name;
    return stem.substr(0, stem.rfind('.'));
}

bool PathOf(const char* dir, const char* name, char (&out)[4096])
{
    int n = std::snprintf(out, sizeof out, "%s/%s", dir, name);
    return n > 0 && static_cast<size_t>(n) < sizeof out;
}

// Injected post files are kept for reuse under "<n>.spare" names instead of
// being deleted: on some file systems creating a file costs far more than
// rewriting and renaming one, and every post needs a file. Its lock is
// taken with no other held and takes none.
constexpr size_t kMaxSpares = 64;
struct SparePool {
    std::mutex lock;
    std::vector<uint32_t> spares;
    uint32_t next = 0;
};

SparePool& Spares()
{
    static Lasting<SparePool> pool;
    return *pool;
}

bool SparePath(uint32_t n, char (&path)[4096])
{
    const int length = std::snprintf(path, sizeof path, "%s/%u.spare", postDir, n);
    return length > 0 && static_cast<size_t>(length) < sizeof path;
}

// Keeps the injected file `path` as a spare, or deletes it when the pool is
// full; false when it could do neither.
bool Recycle(const char* path)
{
    SparePool& pool = Spares();
    std::unique_lock lock(pool.lock);
    char spare[4096];
    if (pool.spares.size() >= kMaxSpares || !SparePath(pool.next, spare)) {
        lock.unlock();
        return RemoveFile(path);
    }
    if (!RenameFile(path, spare))
        return false;
    pool.spares.push_back(pool.next++);
    return true;
}

// Spares left by an earlier process are not known to this one.
void RemoveOldSpares()
{
    std::vector<std::string> files;
    if (!ListFiles(postDir, ".spare", &files))
        return;
    char path[4096];
    for (const std::string& file : files)
        if (PathOf(postDir, file.c_str(), path))
            RemoveFile(path);
}

// Moves the file `name` into `subdir` of the post directory (made first),
// under a name not taken there: the queue's names come round again.
bool MoveTo(const char* name, const std::string& subdir)
{
    char from[4096], dir[4096], to[4096];
    std::snprintf(dir, sizeof dir, "%s/%s", postDir, subdir.c_str());
    if (!PathOf(postDir, name, from))
        return false;
    for (size_t slash = subdir.find('/'); slash != std::string::npos; slash = subdir.find('/', slash + 1))
        MakeDirectory((std::string(postDir) + "/" + subdir.substr(0, slash)).c_str());
    if (!MakeDirectory(dir))
        return false;
    for (unsigned n = 0; n < kMaxMoveNames; ++n) {
        int length = n == 0 ? std::snprintf(to, sizeof to, "%s/%s", dir, name)
                            : std::snprintf(to, sizeof to, "%s/%s.%u", dir, name, n);
        if (length < 0 || static_cast<size_t>(length) >= sizeof to)
            return false;
        // The empty file holds the name until the rename replaces it.
        if (UniqueFd placeholder = OpenFile(to, O_WRONLY | O_CREAT | O_EXCL)) {
            if (RenameFile(from, to))
                return true;
            RemoveFile(to);
            return false;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

InjectOutcome Refuse(const char* name, const char* reason)
{
    if (MoveTo(name, "bad"))
        LogFormat("post %s refused: %s; moved to bad/", name, reason);
    else
        LogFormat("post %s refused: %s; could not move it to bad/, left in the queue", name, reason);
    return InjectOutcome::kRefused;
}

InjectOutcome Moderate(const char* name, std::string_view group)
{
    std::string subdir = "moderation/" + std::string(group);
    if (MoveTo(name, subdir))
        LogFormat("post %s to moderated %.*s without Approved: moved to %s/", name, static_cast<int>(group.size()),
                  group.data(), subdir.c_str());
    else
        LogFormat("post %s to moderated %.*s: could not move it to %s/, left in the queue", name,
                  static_cast<int>(group.size()), group.data(), subdir.c_str());
    return InjectOutcome::kModerated;
}

// Reads the whole file into `bytes`: 1 read, 0 missing, -1 unreadable or
// larger than a post can be.
int ReadPostFile(const char* path, std::vector<char>* bytes)
{
    UniqueFd fd = OpenFile(path, O_RDONLY);
    if (!fd)
        return errno == ENOENT ? 0 : -1;
    const int64_t size = FileSize(fd.get());
    if (size < 0 || size > kMaxPostFile)
        return -1;
    bytes->resize(static_cast<size_t>(size));
    return ReadAll(fd.get(), bytes->data(), bytes->size()) == size ? 1 : -1;
}

// Appends text to the header lines being added.
struct Added {
    char text[kAddedHeaderSize];
    size_t length = 0;
    void Add(std::string_view part)
    {
        size_t n = std::min(part.size(), sizeof text - length);
        std::memcpy(text + length, part.data(), n);
        length += n;
    }
};

// The header lines an injecting agent adds: Path, and Message-ID and Date
// when the poster gave none, Injection-Date and Injection-Info.
void AddInjectionHeaders(const PostFile& post, const PostFacts& facts, const char* name, Added* added)
{
    char date[kArticleDateSize];
    std::string_view now(date, FormatArticleDate(std::time(nullptr), date));
    added->Add("Path: .POSTED!");
    added->Add(facts.path.empty() ? std::string_view("not-for-mail") : facts.path);
    added->Add("\r\n");
    if (facts.messageId.empty()) {
        char hashed[24];
        auto bytes = reinterpret_cast<const unsigned char*>(post.article.data());
        std::snprintf(hashed, sizeof hashed, ".%016llx@",
                      static_cast<unsigned long long>(hash(bytes, post.article.size(), 0)));
        for (std::string_view part : {std::string_view("Message-ID: <"), Stem(name), std::string_view(hashed),
                                      std::string_view(idDomain), std::string_view(">\r\n")})
            added->Add(part);
    }
    if (!facts.hasDate)
        for (std::string_view part : {std::string_view("Date: "), now, std::string_view("\r\n")})
            added->Add(part);
    for (std::string_view part : {std::string_view("Injection-Date: "), now, std::string_view("\r\nInjection-Info: "),
                                  std::string_view(pathIdentity)})
        added->Add(part);
    if (std::string_view host = PostingHost(post.address); !host.empty())
        for (std::string_view part : {std::string_view("; posting-host=\""), host, std::string_view("\"")})
            added->Add(part);
    for (std::string_view part : {std::string_view("; logging-data=\""), Stem(name), std::string_view("\"\r\n")})
        added->Add(part);
}

// Makes room for `length` bytes and the terminator in the context's buffer.
bool Reserve(ClientContext* c, size_t length)
{
    const size_t needed = length + kTerminator.size() + 5;
    if (needed <= c->bufferSize)
        return true;
    auto* grown = static_cast<char*>(std::realloc(c->buffer, needed + 1));
    if (grown == nullptr)
        return false;
    c->buffer = grown;
    c->bufferSize = static_cast<uint32_t>(needed);
    return true;
}

// The completed article into the context: the added lines, the poster's
// header without its Path: line, a line end the last header may lack, and
// the blank line and body when there are any.
bool Complete(const PostFile& post, const PostFacts& facts, const char* name, ClientContext* c)
{
    Added added;
    AddInjectionHeaders(post, facts, name, &added);
    const std::string_view a = post.article;
    const std::string_view pieces[] = {
        std::string_view(added.text, added.length), a.substr(0, facts.pathLine),
        a.substr(facts.pathLine + facts.pathLineLength, facts.headerLength - facts.pathLine - facts.pathLineLength)};
    if (!Reserve(c, added.length + a.size() + 2))
        return false;
    size_t used = 0;
    for (std::string_view piece : pieces) {
        std::memcpy(c->buffer + used, piece.data(), piece.size());
        used += piece.size();
    }
    if (c->buffer[used - 1] != '\n') {
        std::memcpy(c->buffer + used, "\r\n", 2);
        used += 2;
    }
    if (facts.blankLine) {
        std::memcpy(c->buffer + used, a.data() + facts.headerLength, a.size() - facts.headerLength);
        used += a.size() - facts.headerLength;
    }
    std::memcpy(c->buffer + used, "\r\n", 2);
    std::memcpy(c->buffer + used + 2, kTerminator.data(), kTerminator.size());
    c->articleLength = static_cast<uint32_t>(used);
    c->used = static_cast<uint32_t>(used + 2 + kTerminator.size() - 1);
    return true;
}

// The completed article's Message-ID into the context; false when taken.
bool TakeMessageId(ClientContext* c)
{
    uint32_t offset = 0, length = 0;
    if (!GetHeaderRange(*c, "Message-ID: ", &offset, &length, nullptr))
        return false;
    return GetArticleIDFromString(c->buffer + offset, c->messageId, &c->articleKey) != 0 && !CheckSeen(c->articleKey);
}

// Releases the match data however the insertion ends.
struct MatchDataGuard {
    ClientContext* c;
    ~MatchDataGuard() { FreeMatchData(*c); }
};

// The checked post through the pipeline, as a fed article goes.
InjectOutcome Insert(const char* name, const PostFile& post, const PostFacts& facts, ClientContext* c)
{
    if (!Complete(post, facts, name, c))
        return InjectOutcome::kDeferred;
    if (!TakeMessageId(c))
        return Refuse(name, "duplicate Message-ID (injected before)");
    const size_t addressLength = std::min(post.address.size(), sizeof c->peerAddress - 1);
    std::memcpy(c->peerAddress, post.address.data(), addressLength);
    c->peerAddress[addressLength] = '\0';
    c->peerName = c->peerAddress;
    MatchDataGuard guard{c};
    if (!PrepareForMatch(*c))
        return Refuse(name, "newsgroups or path not readable");
    const int added = AddArticleToFile(c);
    if (added == kArticleDeferred)
        return InjectOutcome::kDeferred;
    if (added == 0)
        return Refuse(name, "refused by the acceptance pipeline (see the lines before)");
    char path[4096];
    if (!PathOf(postDir, name, path) || !Recycle(path))
        LogFormat("post %s injected as %s but not removed: a second injection will be refused", name, c->messageId);
    return InjectOutcome::kInjected;
}

// "<t>.post" before "<t>-0.post" before "<t>-1.post": the order of queueing.
std::pair<unsigned long, unsigned long> QueueOrder(const char* name)
{
    char* end = nullptr;
    unsigned long t = std::strtoul(name, &end, 10);
    unsigned long n = *end == '-' ? std::strtoul(end + 1, nullptr, 10) + 1 : 0;
    return {t, n};
}

void InjectOne(const PostName& name)
{
    // While intake is paused the post waits in its file.
    while (IntakePaused())
        std::this_thread::sleep_for(kRetryDelay);
    while (InjectPostFile(name.text) == InjectOutcome::kDeferred)
        std::this_thread::sleep_for(kRetryDelay);
}

[[noreturn]] void InjectorLoop(const std::vector<PostName>& backlog)
{
    for (const PostName& name : backlog)
        InjectOne(name);
    std::vector<PostName> batch;
    for (;;) {
        batch.clear();
        {
            std::unique_lock lock(Queue().lock);
            Queue().wake.wait(lock, [] { return !Queue().pending.empty(); });
            batch.swap(Queue().pending);
        }
        for (const PostName& name : batch)
            InjectOne(name);
    }
}

bool ToName(std::string_view text, PostName* name)
{
    if (text.size() >= sizeof name->text)
        return false;
    std::memcpy(name->text, text.data(), text.size());
    name->text[text.size()] = '\0';
    return true;
}

}  // namespace

int InjectorInit(const char* postDirectory)
{
    postDir = postDirectory;
    const char* identity = ConfigText(ConfigKey::kHostPathIdentifier);
    pathIdentity = identity != nullptr ? identity : "";
    const char* domain = ConfigText(ConfigKey::kMessageIdDomain);
    idDomain = domain != nullptr ? domain : pathIdentity;
    if (!IsValidMessageId("<x@" + idDomain + ">") || idDomain.size() > 150) {
        LogFormat("post injection: \"%s\" cannot be the domain of a Message-ID", idDomain.c_str());
        return 0;
    }
    std::random_device random;
    idSalt = (uint64_t{random()} << 32) | random();
    return 1;
}

void InjectorStart()
{
    if (postDir == nullptr || started.exchange(true))
        return;
    RemoveOldSpares();
    std::vector<PostName> backlog;
    std::vector<std::string> files;
    if (!ListFiles(postDir, ".post", &files))
        LogFormat("post injection: %s cannot be read", postDir);
    for (const std::string& file : files) {
        PostName name;
        if (ToName(file, &name))
            backlog.push_back(name);
        else
            LogFormat("post injection: %s is not a post file name, left alone", file.c_str());
    }
    std::sort(backlog.begin(), backlog.end(),
              [](const PostName& a, const PostName& b) { return QueueOrder(a.text) < QueueOrder(b.text); });
    if (!backlog.empty())
        LogFormat("post injection: %zu posts queued from before", backlog.size());
    // Without the thread the files stay queued for the next start.
    if (!StartThread("post injector", [backlog = std::move(backlog)] { InjectorLoop(backlog); }))
        started = false;
}

void InjectorQueued(const char* name)
{
    PostName entry;
    if (!started.load() || !ToName(name, &entry))
        return;
    {
        std::lock_guard lock(Queue().lock);
        Queue().pending.push_back(entry);
    }
    Queue().wake.notify_one();
}

int InjectorTakeSpare(char (&path)[4096])
{
    if (!started.load())
        return 0;
    SparePool& pool = Spares();
    std::lock_guard lock(pool.lock);
    if (pool.spares.empty() || !SparePath(pool.spares.back(), path))
        return 0;
    pool.spares.pop_back();
    return 1;
}

size_t NewPostMessageId(char (&out)[kMessageIdSize])
{
    int n = std::snprintf(out, sizeof out, "<%llx.%x.%016llx@%s>", static_cast<unsigned long long>(std::time(nullptr)),
                          idCounter.fetch_add(1), static_cast<unsigned long long>(idSalt), idDomain.c_str());
    return n > 0 ? std::min(static_cast<size_t>(n), sizeof out - 1) : 0;
}

InjectOutcome InjectPostFile(const char* name)
{
    Work& work = Scratch();
    if (work.ctx == nullptr && (work.ctx = AllocClientContext()) == nullptr)
        return InjectOutcome::kDeferred;
    char path[4096];
    if (!PathOf(postDir, name, path))
        return Refuse(name, "path too long");
    const int read = ReadPostFile(path, &work.file);
    if (read == 0)
        return InjectOutcome::kMissing;
    if (read < 0)
        return Refuse(name, "unreadable, or larger than a post can be");
    PostFile post;
    if (!SplitPostFile(std::string_view(work.file.data(), work.file.size()), &post))
        return Refuse(name, "not a post file");
    PostFacts facts;
    char reason[kPostReasonSize];
    if (!CheckPost(post.article, &facts, reason))
        return Refuse(name, reason);
    if (!facts.control && !facts.moderated.empty())
        return Moderate(name, facts.moderated);
    return Insert(name, post, facts, work.ctx);
}
