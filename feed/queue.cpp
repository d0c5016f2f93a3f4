// Feed queues. Queue files are named by the scheduler second of their
// creation, so their numbers order them by age; the file being written and
// the file being read are passed over by name when reading or pruning (an
// open file can still be unlinked here).
#include "feed/queue.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "access/match.h"
#include "control/scheduler.h"
#include "corvask/corvask.h"
#include "feed/connection.h"
#include "feed/queue_format.h"
#include "feed/site.h"
#include "nntp/precommit.h"
#include "platform/directory.h"
#include "platform/failure_burst.h"
#include "platform/file_io.h"
#include "platform/sync.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

namespace {

constexpr uint32_t kRotateSeconds = 600;
constexpr std::time_t kOpenBackoffSeconds = 300;
constexpr uint32_t kTransmitRoom = 8188;

// Set at start-up and read by the I/O worker and the closing thread, which
// were started before it: the lock orders their reads after the setting.
// The flag spares the per-article path that lock.
std::mutex& queuePathLock()
{
    static Lasting<std::mutex> lock;
    return *lock;
}
std::string queuePath;
std::atomic<bool> queueing{false};
std::atomic<bool> feedStopped{false};  // site locks are held for good
FailureBurst queueWriteFailures;

uint32_t SchedulerSecond()
{
    return static_cast<uint32_t>(curSecondCount);
}

std::string QueueDirectory(const Site* site)
{
    std::lock_guard lock(queuePathLock());
    return queuePath + "/" + site->name;
}

// Records that could not be written are cut off again, so the file never
// holds a torn one; a full disk is logged once per burst of failures.
bool WriteRecords(Site* site, const char* records, size_t length)
{
    if (!AppendAll(site->writeFile.get(), records, length)) {
        const int error = errno;
        if (queueWriteFailures.Failed())
            LogFormat("could not write %s (outgoing queue file): %s", site->writeFileName.c_str(),
                      std::strerror(error));
        return false;
    }
    if (const uint32_t failures = queueWriteFailures.Succeeded()) [[unlikely]]
        LogFormat("outgoing queue files written again after %u failed writes", failures);
    return true;
}

// A closed file is ready for reading at once: the look-for-file back-off
// and the pending flag must not keep the connections from it.
void CloseWriteFile(Site* site)
{
    CsLock lock(site->lock);
    site->writeFile.reset();
    site->writeFileUsed = false;
    site->writeFileName.clear();
    site->lastOpenTry = 0;
    site->filesPending = 1;
    if (!site->readFile)
        SiteWriteOnConnection(site);
}

bool OpenWriteFile(Site* site)
{
    uint32_t now = SchedulerSecond();
    site->writeOpened = now;
    std::string directory = QueueDirectory(site);
    if (!MakeDirectory(directory.c_str())) {
        LogFormat("could not create %s for outgoing queue", directory.c_str());
        return false;
    }
    // Created under the site's lock: a connection looking for files to read
    // must not find the new file before it is known as the write file (it
    // would delete it as empty, and everything written to it would be lost).
    CsLock lock(site->lock);
    for (uint32_t number = now;; ++number) {
        std::string path = directory + "/" + std::to_string(number) + kQueueFileSuffix;
        UniqueFd fd = OpenFile(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND);
        if (fd) {
            site->writeFile = std::move(fd);
            site->writeFileName = path;
            break;
        }
        if (errno != EEXIST) {
            LogFormat("could not create %s (outgoing queue file)", path.c_str());
            return false;
        }
    }
    FeedQueuePruneFiles(site);
    site->filesPending = 1;
    SiteWakeConnection(site);
    return true;
}

bool RotationDue(const Site* site)
{
    return site->writeFile && SchedulerSecond() - site->writeOpened > kRotateSeconds;
}

bool HasIdleConnection(Site* site)
{
    CsLock lock(site->lock);
    return site->idleConnections != nullptr;
}

// Once a second, with csSiteList: closes write files that are to be read
// back now, so the connections offer their records. A site fed in real time
// only spills into its file when the memory queue is full, so the file goes
// as soon as a connection is idle and asked for it (while the peer is down
// the file keeps growing, so that a long outage does not turn into many
// small files to prune); other sites' files go at their rotation, also when
// no further article comes to rotate them.
void FeedQueueTick(void*)
{
    if (feedStopped)
        return;
    CsLock list(csSiteList());
    if (feedStopped)  // the site locks are held for good
        return;
    for (Site* site = siteHead; site != nullptr; site = site->next) {
        if (!site->writeFile || !site->writeFileUsed)
            continue;
        if (site->realtime ? site->writeFileWanted.exchange(false) && HasIdleConnection(site) : RotationDue(site))
            CloseWriteFile(site);
    }
}

// Appends records to the write file, creating one when none is open.
bool AppendToQueueFile(Site* site, const char* records, size_t length)
{
    if (length == 0)
        return true;
    if (!queueing || (!site->writeFile && !OpenWriteFile(site)))
        return false;
    if (!WriteRecords(site, records, length))
        return false;
    if (!site->writeFileUsed.exchange(true))
        site->writeFileWanted = true;  // the connections may have run dry before these records came
    return true;
}

bool AppendToArticleQueue(Site* site, const char* record, uint32_t length)
{
    CsLock lock(site->lock);
    if (static_cast<uint32_t>(site->articleQ + kSiteQueueSize - site->articleQWrite) < length)
        return false;
    std::memcpy(site->articleQWrite, record, length);
    site->articleQWrite += length;
    return true;
}

uint64_t FileNumber(const std::string& name)
{
    return std::strtoull(name.c_str(), nullptr, 10);
}

bool IsBusyFile(const Site* site, const std::string& path)
{
    return path == site->writeFileName || path == site->curSendFileName;
}

enum class Chunk { kRecords, kNoRecord, kError };

// Fills the article queue from readFile up to the last complete record and
// steps the file back to the start of an incomplete one.
Chunk ReadChunk(Site* site)
{
    ssize_t got = ReadAll(site->readFile.get(), site->articleQ, kSiteQueueSize);
    if (got < 0)
        return Chunk::kError;
    const char* end = site->articleQ;
    if (got > 0) {
        const void* last = ::memrchr(site->articleQ, kQueueRecordEnd, static_cast<size_t>(got));
        if (last != nullptr)
            end = static_cast<const char*>(last) + 1;
    }
    site->articleQRead = site->articleQ;
    site->articleQWrite = const_cast<char*>(end);
    off_t partial = got - (end - site->articleQ);
    if (got < static_cast<ssize_t>(kSiteQueueSize)) {
        RemoveFile(site->curSendFileName.c_str());
        site->readFile.reset();
        site->curSendFileName.clear();
    } else if (end == site->articleQ) {
        // Stepping back would read the same chunk for ever.
        LogFormat("no record end in 8192 bytes of %s, skipped", site->curSendFileName.c_str());
    } else if (partial > 0) {
        SeekFile(site->readFile.get(), -partial, SEEK_CUR);
    }
    return end != site->articleQ ? Chunk::kRecords : Chunk::kNoRecord;
}

bool SiteOfferedIt(const Site* site, const uint32_t flags[kDequeueFlagWords])
{
    return site->number < static_cast<uint32_t>(kDequeueIndexLimit) &&
           (flags[site->number / 32] & (1u << (site->number % 32))) != 0;
}

}  // namespace

int FeedInit()
{
    const char* path = ConfigText(ConfigKey::kFeedQueuePath);
    {
        std::lock_guard lock(queuePathLock());
        queuePath = path != nullptr ? path : "";
        queueing = !queuePath.empty();
    }
    if (path == nullptr)
        LogLine("feeding disabled, no FeedQueuePath in configuration file");
    static std::once_flag ticking;
    std::call_once(ticking, [] { ScheduleCallback(1, 1, FeedQueueTick, nullptr); });
    return SiteInit();
}

int FeedShutdown()
{
    feedStopped = true;
    AsyncShutdown();  // no connection handler may run once the queues are written out
    if (!queueing)
        return 1;
    CsLock list(csSiteList());
    for (Site* site = siteHead; site != nullptr; site = site->next) {
        site->lock.lock();  // never released: nothing may touch the queues any more
        site->realtime = 0;
        AppendToQueueFile(site, site->articleQRead, site->articleQWrite - site->articleQRead);
        AppendToQueueFile(site, site->transmitQRead, site->transmitQWrite - site->transmitQRead);
    }
    return 1;
}

int EnqueueForOutgoing(ClientContext* context)
{
    if (!queueing)
        return 1;
    uint32_t flags[kDequeueFlagWords];
    bool offered = GetDequeueFlags(context, flags) != 0;
    uint32_t length = static_cast<uint32_t>(std::strlen(context->messageId));
    CsLock list(csSiteList());
    for (Site* site = siteHead; site != nullptr; site = site->next) {
        if (offered && SiteOfferedIt(site, flags))
            ++site->dequeued;
        else if (site->feedSpec == nullptr || CheckMatch(*context, site->feedSpec))
            EnqueueForSite(site, context->messageId, length);
    }
    return 1;
}

int EnqueueForSite(Site* site, const char* text, uint32_t length)
{
    CsLock list(csSiteList());
    if (RotationDue(site))
        CloseWriteFile(site);
    uint32_t record = length + 1;
    if (site->realtime && AppendToArticleQueue(site, text, record)) {
        SiteWakeConnection(site);
        return 1;
    }
    return AppendToQueueFile(site, text, record) ? 1 : 0;
}

int SiteQForTransmit(Site* site, const char* line, uint32_t length)
{
    const char* start = static_cast<const char*>(std::memchr(line, '<', length));
    if (start == nullptr)
        return 1;
    const char* lineEnd = line + length;
    const char* close = std::find(start, lineEnd, '>');
    const char* idEnd = close != lineEnd ? close + 1 : std::find_if(start, lineEnd, [](char c) {
        return c == '\r' || c == '\n';
    });
    CsLock lock(site->lock);
    for (;;) {
        uint32_t used = static_cast<uint32_t>(site->transmitQWrite - site->transmitQ);
        if (used + length <= kTransmitRoom) {
            site->transmitQWrite = std::copy(start, idEnd, site->transmitQWrite);
            *site->transmitQWrite++ = kQueueRecordEnd;
            *site->transmitQWrite = '\0';
            return 1;
        }
        if (site->transmitQRead == site->transmitQ)
            break;
        site->transmitQWrite = std::copy(site->transmitQRead, site->transmitQWrite, site->transmitQ);
        site->transmitQRead = site->transmitQ;
        *site->transmitQWrite = '\0';
    }
    const uint32_t now = SchedulerSecond();
    if (site->transmitQOverflowLogged != now)  // once a second, not once per answer held back
        LogFormat("TransmitQ overflow for %s", site->name.c_str());
    site->transmitQOverflowLogged = now;
    ++site->transmitQOverflows;
    return 0;
}

int FeedQueueReadFile(Site* site)
{
    for (;;) {
        if (!site->readFile) {
            site->filesPending = 0;
            if (!FeedQueueOpenFile(site)) {
                site->writeFileWanted = true;
                return 0;
            }
        }
        switch (ReadChunk(site)) {
        case Chunk::kRecords:
            return 1;
        case Chunk::kError:
            return 0;
        case Chunk::kNoRecord:
            break;  // on to the next chunk or file
        }
    }
}

int FeedQueueOpenFile(Site* site)
{
    std::time_t now = std::time(nullptr);
    if (!queueing || now - site->lastOpenTry < kOpenBackoffSeconds)
        return 0;
    site->lastOpenTry = now;
    std::string directory = QueueDirectory(site);
    for (const std::string& name : GetQFileList(directory)) {
        std::string path = directory + "/" + name;
        if (IsBusyFile(site, path))
            continue;
        UniqueFd fd = OpenFile(path.c_str(), O_RDONLY);
        const int64_t size = fd ? FileSize(fd.get()) : -1;
        if (size < 0)
            continue;
        if (size < kMinQueueFileSize) {
            RemoveFile(path.c_str());
            continue;
        }
        site->readFile = std::move(fd);
        site->curSendFileName = path;
        site->lastOpenTry = 0;
        return 1;
    }
    return 0;
}

uint64_t QueueBacklogBytes(Site* site)
{
    const std::string directory = QueueDirectory(site);
    uint64_t bytes = 0;
    for (const std::string& name : GetQFileList(directory)) {
        UniqueFd fd = OpenFile((directory + "/" + name).c_str(), O_RDONLY);
        const int64_t size = fd ? FileSize(fd.get()) : -1;
        if (size > 0)
            bytes += static_cast<uint64_t>(size);
    }
    CsLock lock(site->lock);
    const int64_t read = site->readFile ? SeekFile(site->readFile.get(), 0, SEEK_CUR) : 0;
    return read > 0 && static_cast<uint64_t>(read) < bytes ? bytes - static_cast<uint64_t>(read) : bytes;
}

int FeedQueuePruneFiles(Site* site)
{
    std::string directory = QueueDirectory(site);
    std::vector<std::string> names = GetQFileList(directory);
    if (names.empty())
        return 1;
    CsLock lock(site->lock);
    size_t count = names.size() - 1;
    uint32_t deleted = 0;
    for (const std::string& name : names) {
        if (count <= site->maxQFiles)
            break;
        std::string path = directory + "/" + name;
        if (!IsBusyFile(site, path) && RemoveFile(path.c_str())) {
            --count;
            ++deleted;
        }
    }
    if (deleted > 0)
        LogFormat("backlog purge: %u files deleted for %s", deleted, site->name.c_str());
    return 1;
}

std::vector<std::string> GetQFileList(const std::string& directory)
{
    std::vector<std::string> names;
    if (!ListFiles(directory, kQueueFileSuffix, &names))
        return names;
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::make_pair(FileNumber(a), a) < std::make_pair(FileNumber(b), b);
    });
    return names;
}
