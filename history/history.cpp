// History database: a mapped hash table of chain heads and a mapped ring of
// entries, written in place.
#include "history/history.h"
#include "history/arrival.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "article/store.h"
#include "history/history_format.h"
#include "platform/file_io.h"
#include "platform/mapped_region.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/unique_fd.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"

namespace {

std::string seentablepath;
std::string seendatapath;
// Lookups read the mapped index and records without a lock and a reader
// may mark a record gone (one word); only insertions, under csArtFile,
// change more. ThreadSanitizer is told so in tests/tsan.supp.
uint32_t* seenTable = nullptr;
SeenHeader* seenHeader = nullptr;
SeenEntry* seenDB = nullptr;
uint32_t seenTableSize = 0;
uint32_t seenDataCount = 0;

CriticalSection& csSeenWrite()
{
    static Lasting<CriticalSection> cs;
    return *cs;
}

// The counters are statistics only: a lost increment under concurrency is
// acceptable, a locked instruction per lookup is not.
inline void Bump(std::atomic<uint32_t>& counter, uint32_t by)
{
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

inline uint32_t NextSlot() { return std::atomic_ref<uint32_t>(seenHeader->nextSlot).load(std::memory_order_acquire); }

// The ring has come round once: every slot holds an entry. Read without a lock.
std::atomic<bool> ringFull{false};

inline void SetNextSlot(uint32_t slot)
{
    if (slot == 0 && NextSlot() != 0)
        ringFull.store(true, std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(seenHeader->nextSlot).store(slot, std::memory_order_release);
}

inline uint32_t After(uint32_t slot) { return slot + 1 >= seenDataCount ? 0 : slot + 1; }

inline SeenEntry* Entry(uint32_t index) { return index < seenDataCount ? &seenDB[index] : nullptr; }

// The entry of `index` when it holds an article.
inline SeenEntry* ArticleEntry(uint32_t index)
{
    SeenEntry* e = Entry(index);
    return e != nullptr && e->length != 0 ? e : nullptr;
}

// A zero size would divide by zero or index an empty ring.
uint32_t PositiveSetting(ConfigKey key) { return static_cast<uint32_t>(ConfigNumber(key, 1)); }

std::string FilePath(ConfigKey directoryKey, const char* name)
{
    const char* directory = ConfigText(directoryKey);
    return directory != nullptr ? std::string(directory) + name : std::string();
}

// Opens (creating) and maps one file; *wasEmpty tells whether it had no bytes.
void* MapFile(const std::string& path, uint64_t size, const char* openFailure, const char* mapFailure,
              bool* wasEmpty)
{
    UniqueFd fd = path.empty() ? UniqueFd() : OpenFile(path.c_str(), O_RDWR | O_CREAT);
    const int64_t existing = fd ? FileSize(fd.get()) : -1;
    if (existing < 0)
        FatalExit(openFailure);
    *wasEmpty = existing == 0;
    void* view = CreateMappedRegion(path.c_str(), size);
    if (view == nullptr)
        FatalExit(mapFailure);
    return view;
}

int seeninit()
{
    CsLock lock(csSeenWrite());
    seentablepath = FilePath(ConfigKey::kHistoryTablePath, "/seen.idx");
    seendatapath = FilePath(ConfigKey::kHistoryDataPath, "/seen.dat");
    seenDataCount = PositiveSetting(ConfigKey::kSeenDataCount);
    seenTableSize = PositiveSetting(ConfigKey::kSeenTableSize);
    // Opened again (tests): the old views go first.
    if (seenTable != nullptr)
        DeleteMappedRegion(seenTable);
    if (seenHeader != nullptr)
        DeleteMappedRegion(seenHeader);

    bool empty = false;
    seenTable = static_cast<uint32_t*>(MapFile(seentablepath, uint64_t{seenTableSize} * sizeof(SeenChainHead),
                                               "could not open table file", "could not map table file", &empty));
    void* data = MapFile(seendatapath, sizeof(SeenHeader) + uint64_t{seenDataCount} * sizeof(SeenEntry),
                         "could not open seen file", "could not map history file", &empty);
    seenHeader = static_cast<SeenHeader*>(data);
    seenDB = reinterpret_cast<SeenEntry*>(static_cast<char*>(data) + sizeof(SeenHeader));
    if (empty) {
        for (uint32_t b = 0; b < seenTableSize; ++b)
            seenTable[b] = kSeenNone;
        seenHeader->reserved = 0;
        SetNextSlot(0);
    }
    const uint32_t next = std::min(NextSlot(), seenDataCount - 1);
    ringFull = !empty && (seenDB[next].useCount != 0 || seenDB[next].messageKey != 0);
    return 1;
}

// The chain walk: index of the entry with `key`, or kSeenNone. Each step must go
// to an older entry in ring order from nextSlot `c`, so a link into a slot
// that has been reused since ends the walk. The oldest entry, at `c` itself,
// may be entered once: it keeps its article until the next addition, and
// after a cursor jump it can be a chain head whose older links lie anywhere.
// Visiting it at most once keeps every walk finite.
uint32_t FindEntry(ArticleKey key, bool logPruning)
{
    Bump(seenSearchCount, 1);
    if (seenDB == nullptr)
        return kSeenNone;
    uint32_t i = seenTable[key % seenTableSize];
    const uint32_t c = NextSlot();
    uint32_t found = kSeenNone;
    uint32_t depth = 0;
    bool oldestVisited = i == c;
    while (i < seenDataCount) {
        SeenEntry& e = seenDB[i];
        if (e.messageKey == key) {
            found = i;
            break;
        }
        const uint32_t n = e.next;
        if (n >= seenDataCount)
            break;
        if (n == i) {
            e.next = kSeenNone;
            if (logPruning)
                LogLine("Minor database corruption, pruning");
            break;
        }
        const bool older = i > c ? (c < n && n < i) : (n < i || n > c);
        if (!older && (n != c || oldestVisited))
            break;
        oldestVisited = oldestVisited || n == c;
        i = n;
        ++depth;
    }
    if (depth > 0) {
        Bump(seenDepth, depth);
        if (depth > seenMaxDepth.load(std::memory_order_relaxed))
            seenMaxDepth.store(depth, std::memory_order_relaxed);
    }
    return found;
}

// A kept entry counts as newest again: it goes to the head of its chain,
// unless it already is the head (linking it to itself would cut the chain).
void KeepEntry(uint32_t slot)
{
    SeenEntry& e = seenDB[slot];
    uint32_t& head = seenTable[e.messageKey % seenTableSize];
    if (head == slot)
        return;
    e.next = head;
    head = slot;
}

// The slot the next entry takes, passing over entries worth keeping.
uint32_t ChooseSlot()
{
    uint32_t slot = NextSlot();
    if (slot >= seenDataCount)
        slot = 0;  // a file made for a larger ring
    const uint32_t start = slot;
    uint32_t best = slot;
    uint32_t lowest = 255;
    uint32_t skipped = 0;
    for (;;) {
        if (!SeenValidateArticle(slot))
            break;
        SeenEntry& e = seenDB[slot];
        uint32_t priority = e.expirePriority;
        if (priority < 5)
            break;
        if (priority < 250) {
            priority >>= 1;
            e.expirePriority = static_cast<uint8_t>(priority);
        }
        if (priority < lowest) {
            lowest = priority;
            best = slot;
        }
        if (++skipped > lowest * 100) {
            if (lowest > 199) {
                slot = start;
                LogLine("WARN: seen saturated, overwriting an entry");
                skipped = 0;
            } else {
                slot = best;
            }
            break;
        }
        KeepEntry(slot);
        slot = After(slot);
        SetNextSlot(slot);
    }
    if (skipped > 1000)
        LogLine("WARN: seen appears to be saturating");
    return slot;
}

}  // namespace

int SeenInit() { return seeninit(); }

void seenclose()
{
    CsLock lock(csSeenWrite());
    if (seenHeader != nullptr && !FlushMappedRegion(seenHeader))
        LogFormat("could not flush %s: %s", seendatapath.c_str(), std::strerror(errno));
    if (seenTable != nullptr && !FlushMappedRegion(seenTable))
        LogFormat("could not flush %s: %s", seentablepath.c_str(), std::strerror(errno));
}

int CheckSeen(ArticleKey key) { return FindEntry(key, false) != kSeenNone ? 1 : 0; }

int SeenGetEntry(ArticleKey key, uint32_t* index)
{
    uint32_t found = FindEntry(key, true);
    if (found == kSeenNone)
        return 0;
    *index = found;
    return 1;
}

// Lookups read the entry meanwhile without a lock (named in tests/tsan.supp).
uint32_t AddSeen(ArticleKey key, uint64_t storeKey, uint32_t length, uint16_t overviewLength,
                 uint16_t headerLength, uint8_t messageIdLength, uint16_t messageIdOffset, uint8_t expirePriority)
{
    const uint32_t slot = ChooseSlot();
    uint32_t& head = seenTable[key % seenTableSize];
    SeenEntry& e = seenDB[slot];
    e.messageKey = key;
    e.next = head;
    e.storeKey = storeKey;
    e.length = length;
    e.overviewLength = overviewLength;
    e.headerLength = headerLength;
    e.messageIdLength = messageIdLength;
    e.messageIdOffset = messageIdOffset;
    e.expirePriority = expirePriority;
    e.useCount = static_cast<uint8_t>(e.useCount + 1);
    head = slot;
    SetNextSlot(After(slot));
    NoteArrival(slot);
    return slot;
}

// Lookups read the entry meanwhile without a lock (named in tests/tsan.supp).
uint32_t UpdateSeen(uint32_t index, ArticleKey, uint64_t storeKey, uint32_t length, uint16_t overviewLength,
                    uint16_t headerLength, uint16_t messageIdOffset, uint8_t messageIdLength)
{
    SeenEntry* e = Entry(index);
    if (e == nullptr)
        return 0;
    e->storeKey = storeKey;
    e->length = length;
    e->overviewLength = overviewLength;
    e->headerLength = headerLength;
    e->messageIdOffset = messageIdOffset;
    e->messageIdLength = messageIdLength;
    return index;
}

int ForgetSeen(uint32_t index)
{
    SeenEntry* e = Entry(index);
    if (e == nullptr)
        return 0;
    uint32_t& head = seenTable[e->messageKey % seenTableSize];
    if (head == index)
        head = e->next;
    e->length = 0;
    e->storeKey = 0;
    e->messageKey = 0;  // no lookup stops here now; the chain still runs through
    return 1;
}

// A cancel's gone-mark: one word, read by lookups without a lock (named in
// tests/tsan.supp).
int CancelSeen(ArticleKey key)
{
    uint32_t found = FindEntry(key, false);
    if (found == kSeenNone)
        return 0;
    seenDB[found].length = 0;
    return 1;
}

// A reader's gone-mark: one word, without a lock (named in tests/tsan.supp).
int SeenToast(uint32_t index)
{
    SeenEntry* e = Entry(index);
    if (e == nullptr)
        return 0;
    e->length = 0;
    return 1;
}

uint32_t SeenGetUseCount(uint32_t index)
{
    const SeenEntry* e = Entry(index);
    return e != nullptr ? e->useCount : 0;
}

// Reads without a lock and may mark the entry gone (named in tests/tsan.supp).
int SeenValidateArticle(uint32_t index)
{
    SeenEntry* e = ArticleEntry(index);
    if (e == nullptr)
        return 0;
    if (GetStoreHandle(e->storeKey) < 0) {
        e->length = 0;
        return 0;
    }
    return 1;
}

int SeenValidateArticleEx(uint32_t index, uint32_t useCount)
{
    if (!SeenValidateArticle(index))
        return 0;
    return seenDB[index].useCount == useCount ? 1 : 0;
}

int SeenGetOverview(uint32_t index, uint64_t* storeKey, uint32_t* overviewLength)
{
    if (!SeenValidateArticle(index))
        return 0;
    const SeenEntry& e = seenDB[index];
    *storeKey = e.storeKey;
    *overviewLength = e.overviewLength;
    return 1;
}

int SeenGetArticleMessageID(uint32_t index, uint64_t* storeKey, uint32_t* offset, uint32_t* length)
{
    const SeenEntry* e = ArticleEntry(index);
    if (e == nullptr)
        return 0;
    *storeKey = e->storeKey;
    *offset = e->messageIdOffset;
    *length = e->messageIdLength;
    return 1;
}

int SeenGetArticle(uint32_t index, uint64_t* storeKey, uint32_t* offset, uint32_t* length)
{
    const SeenEntry* e = ArticleEntry(index);
    if (e == nullptr)
        return 0;
    *storeKey = e->storeKey;
    *offset = e->overviewLength;
    *length = e->length;
    return 1;
}

int SeenGetXPath(uint32_t index, uint64_t* storeKey, uint32_t* length, ArticleKey* key)
{
    const SeenEntry* e = ArticleEntry(index);
    if (e == nullptr)
        return 0;
    *storeKey = e->storeKey;
    *length = e->length;
    *key = e->messageKey;
    return 1;
}

int SeenGetArticleHeader(uint32_t index, uint64_t* storeKey, uint32_t* offset, uint32_t* length)
{
    const SeenEntry* e = ArticleEntry(index);
    if (e == nullptr)
        return 0;
    *storeKey = e->storeKey;
    *offset = e->overviewLength;
    *length = e->headerLength;
    return 1;
}

int SeenGetArticleBody(uint32_t index, uint64_t* storeKey, uint32_t* offset, uint32_t* length)
{
    const SeenEntry* e = ArticleEntry(index);
    if (e == nullptr)
        return 0;
    const uint32_t articleLength = e->length;
    const uint32_t headerEnd = uint32_t{e->headerLength} + 4;
    *storeKey = e->storeKey;
    *offset = e->overviewLength + headerEnd;
    *length = articleLength < headerEnd ? 0 : articleLength - headerEnd;
    return 1;
}

uint32_t SeenCapacity() { return seenDB != nullptr ? seenDataCount : 0; }

uint32_t SeenEntriesUsed()
{
    if (seenHeader == nullptr)
        return 0;
    return ringFull.load(std::memory_order_relaxed) ? seenDataCount : std::min(NextSlot(), seenDataCount);
}

uint32_t SeenNextSlot()
{
    return seenHeader != nullptr ? NextSlot() : 0;
}

int SeenGetRecordExtent(uint32_t index, uint64_t* storeKey, uint64_t* span)
{
    const SeenEntry* e = Entry(index);
    if (e == nullptr || e->storeKey == 0)
        return 0;
    *storeKey = e->storeKey;
    *span = uint64_t{e->overviewLength} + e->length;
    return 1;
}

int SeenGetIdentity(uint32_t index, SeenIdentity* identity)
{
    const SeenEntry* e = ArticleEntry(index);
    if (e == nullptr)
        return 0;
    *identity = {e->messageKey, e->storeKey, e->length, e->messageIdOffset, e->messageIdLength};
    return 1;
}

int SeenToastAt(uint32_t index, uint64_t storeKey)
{
    SeenEntry* e = Entry(index);
    if (e == nullptr || e->storeKey != storeKey)
        return 0;
    e->length = 0;
    return 1;
}
