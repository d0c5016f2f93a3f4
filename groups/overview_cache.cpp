// Overview cache: one block of ready XOVER lines per group in the store built
// with the selection word "overcache", rebuilt or extended by one rewriter
// thread a while after the group changes. A small index in the group record
// lets a reader start near the first article it wants. Readers pass through
// the gate semOverRead, which a rewrite closes while it overwrites a block in
// place; appends only write past ocachelen and raise it afterwards, so
// readers need no lock.
#include "groups/overview_cache.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "article/retrieval.h"
#include "article/store.h"
#include "groups/active.h"
#include "groups/groupdb.h"
#include "groups/overview_cache_internal.h"
#include "history/history.h"
#include "platform/process.h"
#include "platform/reader_gate.h"
#include "platform/sync.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"

namespace {

constexpr uint32_t kNoStore = 0xFFFFFFFF;
constexpr uint64_t kNoKey = ~uint64_t{0};
constexpr uint32_t kScheduleSize = 1000;
constexpr uint32_t kBlockStep = 16384;
// Larger blocks are never read back: such a group is rebuilt every time.
constexpr uint32_t kMaxBlock = 0x10000000;
// A streamed block is read in pieces of this size, whole lines sent from each.
constexpr uint32_t kStreamPiece = 262144;
constexpr uint32_t kOutputSlack = 4096;
constexpr uint32_t kOldBlockSlack = 1024;
constexpr uint32_t kLineEstimate = 1024;
constexpr uint32_t kMaxAppendCount = 30;
constexpr int64_t kMaxRequestAge = 86000;

struct ScheduleEntry {
    uint32_t group;
    uint32_t append;
    int64_t queuedAt;  // seconds since 1970
};

// Guarded by csOverCache.
std::array<ScheduleEntry, kScheduleSize> overviewCacheSched{};
bool bScheduleClosed = true;

int64_t rewriteDelay = 0;  // set by OverCacheInit
// Changes after which an append becomes a full rewrite (Tcl SetRewriteThreshold).
std::atomic<int> overviewRewriteThreshold{30};

// The rewriter sleeps on this until a request is due or shutdown wakes it.
struct Wakeup {
    std::mutex lock;
    std::condition_variable cv;
    std::atomic<bool> stop{false};
};

CriticalSection& csOverCache()
{
    static Lasting<CriticalSection> cs;
    return *cs;
}

Wakeup& RewriterWakeup()
{
    static Lasting<Wakeup> wakeup;
    return *wakeup;
}

ReaderGate& semOverRead()
{
    static Lasting<ReaderGate> gate;
    return *gate;
}

// Starting and stopping the rewriter happen on different threads (start-up,
// closing, a reload); this lock orders them and guards rewriterThread. It is
// held across the join: the rewriter never takes it.
std::mutex& RewriterControl()
{
    static Lasting<std::mutex> control;
    return *control;
}

std::thread* rewriterThread = nullptr;

uint32_t NextPosition(uint32_t position)
{
    return (position + 1) % kScheduleSize;
}

bool CacheStoreExists()
{
    return OverviewCacheStore != kNoStore && groupArray != nullptr;
}

bool CacheValid(const GroupRecord& r)
{
    return (r.flags & kGroupCacheValid) != 0;
}

void SetCacheValid(GroupRecord& r, bool valid)
{
    r.flags = valid ? (r.flags | kGroupCacheValid) : (r.flags & ~kGroupCacheValid);
}

// A reader that streams a block in pieces checks between them that it was
// not overwritten; called with the readers out.
void CountBlockWrite(const GroupRecord& r)
{
    if (groupMap != nullptr)
        ++groupMap[&r - groupArray].blockWrites;
}

uint32_t BlockWrites(uint32_t g)
{
    return groupMap != nullptr ? groupMap[g].blockWrites : 0;
}

uint32_t ChangeCount(const GroupRecord& r)
{
    return (r.flags & kChangeCountMask) >> kChangeCountShift;
}

void SetChangeCount(GroupRecord& r, uint32_t count)
{
    r.flags = (r.flags & ~kChangeCountMask) | ((count << kChangeCountShift) & kChangeCountMask);
}

// The index words lie unaligned in the mapping.
uint32_t IndexWord(const char* words, uint32_t k)
{
    uint32_t value = 0;
    std::memcpy(&value, words + sizeof value * k, sizeof value);
    return value;
}

void SetIndexWord(char* words, uint32_t k, uint32_t value)
{
    std::memcpy(words + sizeof value * k, &value, sizeof value);
}

struct BlockIndex {
    char* offsets;
    char* numbers;
    uint32_t capacity;
};

// False when the slot count would put the index outside the group's records.
bool LocateIndex(uint32_t g, BlockIndex* index)
{
    auto* base = reinterpret_cast<char*>(&groupArray[g]);
    int slots = groupArray[g].numSlots;
    if (slots > 1 && (static_cast<uint32_t>(slots) > kMaxSlots || static_cast<uint32_t>(slots) > groupArraySize - g))
        return false;
    const OverviewIndexPlace place = OverviewIndexOf(slots > 1 ? static_cast<uint32_t>(slots) : 1);
    *index = {base + place.offsets, base + place.numbers, place.capacity};
    return true;
}

// A record whose slot count disagrees with its ring size (or reaches past
// the file) is taken back to one slot of 500 entries.
void RepairSlotCount(uint32_t g, GroupRecord& r)
{
    int slots = r.numSlots;
    bool fits = slots <= 1 || static_cast<uint32_t>(slots) <= groupArraySize - g;
    if (slots <= static_cast<int>(kMaxSlots) && int64_t{slots} * kEntriesPerSlot == r.numEntries && fits)
        return;
    LogFormat("Inconsistency in group %u: numSlots=%u and numEntries=%u", g, static_cast<uint32_t>(slots),
              r.numEntries);
    r.numSlots = 1;
    r.numEntries = kEntriesPerSlot;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The article number a line starts with; 0 when it starts with no digit.
uint32_t LineNumber(std::string_view line)
{
    uint64_t number = 0;
    for (size_t i = 0; i < line.size() && IsDigit(line[i]) && number <= 0xFFFFFFFF; ++i)
        number = number * 10 + static_cast<uint32_t>(line[i] - '0');
    return static_cast<uint32_t>(std::min<uint64_t>(number, 0xFFFFFFFF));
}

// Where the line at `pos` ends (after its CR LF); past the text when it has
// no line end.
size_t LineEnd(std::string_view text, size_t pos)
{
    size_t cr = text.find("\r\n", pos);
    return cr == std::string_view::npos ? text.size() + 2 : cr + 2;
}

// The old block a full rewrite copies lines from, read front to back.
struct OldBlock {
    std::string_view text;  // empty once used up or dropped
    size_t pos = 0;
    bool corrupt = false;
};

void WarnSkippedLine(OldBlock& block, uint32_t number, uint32_t wanted, uint32_t last)
{
    // The old buffer has slack after the text, so five bytes are always there.
    const char* at = block.text.data() + block.pos;
    if (number == 0) {
        LogFormat("warn: seemingly corrupt overview cache block, looking for %u, (end %u, pos %zu) found (first 5 "
                  "chars): %c%c%c%c%c",
                  wanted, last, block.pos, at[0], at[1], at[2], at[3], at[4]);
        block.corrupt = true;
    } else if (block.corrupt) {
        LogFormat("warn: corrupt overview cache block -- found valid entry, looking for %u, (end %u, pos %zu) found "
                  "(first 5 chars): %c%c%c%c%c",
                  wanted, last, block.pos, at[0], at[1], at[2], at[3], at[4]);
        block.corrupt = false;
    }
}

// Copies article c's line from the old block to `out`, skipping the lines of
// articles below c; false when the block has no line for c.
bool TakeOldLine(OldBlock& block, uint32_t c, uint32_t last, std::string& out)
{
    while (!block.text.empty()) {
        if (block.pos >= block.text.size()) {
            block.text = {};
            break;
        }
        uint32_t number = LineNumber(block.text.substr(block.pos));
        size_t end = LineEnd(block.text, block.pos);
        if (number > c)
            return false;
        if (number == c) {
            if (end > block.text.size()) {
                block.text = {};
                return false;
            }
            out.append(block.text.substr(block.pos, end - block.pos));
            block.pos = end;
            return true;
        }
        WarnSkippedLine(block, number, c, last);
        block.pos = end;
    }
    return false;
}

// The group's current block, when it can be copied from; a block that can no
// longer be read is forgotten by the record.
std::unique_ptr<char[]> LoadOldBlock(uint32_t g, GroupRecord& r, uint32_t* length)
{
    *length = 0;
    uint32_t size = r.ocachelen;
    if (size == 0 || size >= kMaxBlock)
        return nullptr;
    if (GetStoreHandle(r.ocacheKey) < 0) {
        LogFormat("overview cache block lapped for %u, pounding the spool...", g);
        return nullptr;
    }
    auto text = std::make_unique_for_overwrite<char[]>(size + kOldBlockSlack);
    std::memset(text.get() + size, 0, kOldBlockSlack);
    bool read = ReadStore(r.ocacheKey, text.get(), 0, size) == size;
    if (read && !IsDigit(text[0])) {
        LogLine("corrupt overview block found");
        read = false;
    }
    if (!read) {
        LogFormat("overview cache block not available for %u, pounding the spool...", g);
        r.ocacheKey = kNoKey;
        r.ocachelen = 0;
        r.ocacheblen = 0;
        SetCacheValid(r, false);
        return nullptr;
    }
    *length = size;
    return text;
}

// The first live article from the low mark on, which becomes the low mark.
bool FindFirstLive(uint32_t g, GroupRecord& r, uint32_t* slot, uint32_t* c)
{
    *c = r.start;
    if (GroupFindArticle(*c, slot, g, c))
        return true;
    if (!GroupFindNextArticle(*c, slot, g, c))
        return false;
    r.start = *c;
    return true;
}

bool AppendStoreLine(uint32_t slot, uint32_t c, std::string& out)
{
    uint32_t length = 0;
    std::unique_ptr<char[]> line = ReadOverviewLine(slot, c, &length);
    if (line == nullptr)
        return false;
    out.append(line.get(), length);
    return true;
}

// Space kept for a block of `length` bytes, so that appends fit in place.
uint32_t BlockReserve(uint32_t length)
{
    return length <= kBlockStep ? kBlockStep : length / kBlockStep * kBlockStep + kBlockStep;
}

// Caller holds csOverCache: the cache store's write position is shared by all groups.
void PlaceNewBlock(GroupRecord& r, std::string_view text)
{
    auto length = static_cast<uint32_t>(text.size());
    StoreCheckAndWrap(OverviewCacheStore);
    r.ocacheKey = GetStoreKey(OverviewCacheStore);
    if (WriteToStore(OverviewCacheStore, text.data(), length) != length) {
        r.ocachelen = 0;
        return;
    }
    r.ocachelen = length;
    uint32_t reserve = BlockReserve(length);
    AdvanceStore(OverviewCacheStore, reserve - length);
    r.ocacheblen = reserve;
    SetCacheValid(r, true);
}

// Overwrites the block in place when the text fits its reserve, else places a
// new one. Nothing is stored once the schedule is closed.
void StoreBlock(GroupRecord& r, std::string_view text)
{
    CsLock lock(csOverCache());
    if (bScheduleClosed)
        return;
    auto length = static_cast<uint32_t>(text.size());
    if (r.ocachelen != 0 && r.ocacheKey != kNoKey && r.ocacheblen >= length) {
        uint32_t written = 0;
        // A reader that passed its checks before may still read this place.
        semOverRead().WithReadersOut([&] {
            written = WriteToStoreSpec(r.ocacheKey, text.data(), 0, length);
            CountBlockWrite(r);
        });
        if (written == length) {
            r.ocachelen = length;
            SetCacheValid(r, true);
            return;
        }
    }
    PlaceNewBlock(r, text);
}

// The oldest pending request once it is due (or too old to be worked off);
// otherwise false, with *dueAt the time it falls due (0: nothing pending).
// Waiting before taking it folds the group's later changes into it.
bool TakeDueRequest(int64_t now, ScheduleEntry* request, int64_t* dueAt)
{
    CsLock lock(csOverCache());
    *dueAt = 0;
    if (bScheduleClosed || oShead == oStail)
        return false;
    uint32_t position = NextPosition(oStail);
    const ScheduleEntry& e = overviewCacheSched[position];
    if (now - e.queuedAt <= kMaxRequestAge && now < e.queuedAt + rewriteDelay) {
        *dueAt = e.queuedAt + rewriteDelay;
        return false;
    }
    oStail = position;
    *request = e;
    groupMap[e.group].queued = 0;
    groupMap[e.group].schedIndex = -1;
    return true;
}

bool RewriterStopping()
{
    return bShutDown.load() != 0 || RewriterWakeup().stop;
}

void SleepUntil(int64_t when)
{
    Wakeup& w = RewriterWakeup();
    std::unique_lock lock(w.lock);
    w.cv.wait_until(lock, std::chrono::system_clock::from_time_t(static_cast<time_t>(when)), RewriterStopping);
}

void OverviewCacheRewriter()
{
    while (!RewriterStopping()) {
        int64_t now = std::time(nullptr);
        ScheduleEntry request{};
        int64_t dueAt = 0;
        if (!TakeDueRequest(now, &request, &dueAt)) {
            SleepUntil(dueAt != 0 ? dueAt : now + 1);
            continue;
        }
        if (now - request.queuedAt > kMaxRequestAge)
            continue;
        if (!request.append || !AppendToOverviewCache(request.group))
            WriteGroupOverviewCache(request.group);
        if (!RewriterStopping())
            ActiveUpdate(request.group);
    }
}

void StopRewriter()
{
    std::lock_guard control(RewriterControl());
    if (rewriterThread == nullptr)
        return;
    Wakeup& w = RewriterWakeup();
    {
        std::lock_guard lock(w.lock);
        w.stop = true;
    }
    w.cv.notify_all();
    rewriterThread->join();
    delete rewriterThread;
    rewriterThread = nullptr;
    std::lock_guard lock(w.lock);
    w.stop = false;
}

// Appends raise ocachelen before cend: lines above the cend a reader took are
// cut, or the caller would send them again from the history.
uint32_t CoveredLength(std::string_view text, uint32_t cacheEnd)
{
    size_t length = text.size();
    while (length > 0) {
        size_t newline = length >= 2 ? text.rfind('\n', length - 2) : std::string_view::npos;
        size_t start = newline == std::string_view::npos ? 0 : newline + 1;
        if (LineNumber(text.substr(start)) <= cacheEnd)
            break;
        length = start;
    }
    return static_cast<uint32_t>(length);
}

// Offset of the line of the last indexed article below `first`.
uint32_t StartOffset(const BlockIndex& index, uint32_t first)
{
    if (first <= IndexWord(index.numbers, 0))
        return 0;
    for (uint32_t k = 1; k < index.capacity; ++k) {
        if (IndexWord(index.numbers, k) >= first)
            return IndexWord(index.offsets, k - 1);
    }
    return 0;
}

// The extent of a group's block a stream reads, taken under the gate.
struct BlockPlace {
    uint64_t key = 0;
    uint32_t total = 0;   // bytes of text in the block
    uint32_t end = 0;     // the last article number it covers
    uint32_t offset = 0;  // where the line of `first` (or one before it) starts
    uint32_t writes = 0;  // BlockWrites when taken
};

bool TakeBlockPlace(uint32_t g, const BlockIndex& index, uint32_t first, BlockPlace* place)
{
    const GroupRecord& r = groupArray[g];
    GatePass pass(semOverRead());
    // A reader that waited for a rewrite finds the block invalid now.
    if (!CacheValid(r))
        return false;
    place->end = r.cend;
    std::atomic_thread_fence(std::memory_order_acquire);
    place->total = r.ocachelen;
    place->key = r.ocacheKey;
    place->writes = BlockWrites(g);
    if (place->total == 0 || place->total > r.ocacheblen || place->total >= kMaxBlock)
        return false;
    place->offset = StartOffset(index, first);
    if (place->offset >= place->total)
        place->offset = 0;
    return true;
}

// The calling thread's buffer for pieces of a streamed block, kept for its life.
char* PieceBuffer()
{
    thread_local std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kStreamPiece);
    return buffer.get();
}

}  // namespace

int OverCacheInit()
{
    StopRewriter();
    {
        CsLock lock(csOverCache());
        delete[] groupMap;
        groupMap = new GroupRuntime[groupArraySize]();
        overviewCacheSched = {};
        oShead = 0;
        oStail = 0;
        rewriteDelay = std::max(ConfigNumber(ConfigKey::kOverviewRewriteDelay), 0);
        bScheduleClosed = false;
    }
    std::lock_guard control(RewriterControl());
    auto* thread = new std::thread;
    if (!StartThread("overview cache rewriter", OverviewCacheRewriter, thread)) {
        delete thread;
        return 0;
    }
    rewriterThread = thread;
    return 1;
}

int OverCacheShutdown()
{
    {
        CsLock lock(csOverCache());
        bScheduleClosed = true;
    }
    StopRewriter();
    return 1;
}

int ScheduleOverviewCacheRewrite(uint32_t g, int append)
{
    if (!CacheStoreExists())
        return 0;
    CsLock lock(csOverCache());
    if (bScheduleClosed || groupMap == nullptr || g >= groupArraySize)
        return 1;
    GroupRuntime& runtime = groupMap[g];
    if ((runtime.queued & 1) != 0 && runtime.schedIndex >= 0 &&
        overviewCacheSched[static_cast<uint32_t>(runtime.schedIndex)].group == g)
        return 1;
    runtime.queued = 1;
    uint32_t head = NextPosition(oShead);
    oShead = head;
    if (head == oStail) {
        // Give up the oldest pending request and let its group be queued again.
        uint32_t oldest = NextPosition(oStail);
        oStail = oldest;
        GroupRuntime& given = groupMap[overviewCacheSched[oldest].group];
        if (given.schedIndex == static_cast<int32_t>(oldest)) {
            given.queued = 0;
            given.schedIndex = -1;
        }
        LogLine("info: overview cache rewrite lapped itself.");
    }
    GroupRecord& r = groupArray[g];
    if (append && ChangeCount(r) > static_cast<uint32_t>(overviewRewriteThreshold.load())) {
        append = 0;
        SetChangeCount(r, 0);
    }
    overviewCacheSched[head] = {g, append ? 1u : 0u, static_cast<int64_t>(std::time(nullptr))};
    runtime.schedIndex = static_cast<int32_t>(head);
    return 1;
}

// Readers use the group's record meanwhile without a lock (named in tests/tsan.supp).
int WriteGroupOverviewCache(uint32_t g)
{
    if (!CacheStoreExists() || g >= groupArraySize)
        return 0;
    GroupRecord& r = groupArray[g];
    RepairSlotCount(g, r);
    BlockIndex index{};
    LocateIndex(g, &index);
    semOverRead().WithReadersOut([&] {
        SetCacheValid(r, false);
        CountBlockWrite(r);
    });

    uint32_t oldLength = 0;
    std::unique_ptr<char[]> oldText = LoadOldBlock(g, r, &oldLength);
    OldBlock old{std::string_view(oldText.get(), oldLength)};

    uint32_t slot = 0, c = 0;
    bool live = FindFirstLive(g, r, &slot, &c);
    const uint32_t first = c, last = r.end;
    // The block covers every article up to last, whatever source its line came from.
    r.cstart = first;
    r.cend = last;

    std::string out;
    uint64_t estimate = std::min<uint64_t>(uint64_t{last} - first + 1, r.numEntries) * kLineEstimate;
    out.reserve(oldText != nullptr ? oldLength + kOutputSlack : estimate + kOutputSlack);
    const uint32_t spacing = last >= first ? (last - first) / index.capacity : 0;
    uint32_t i = 1;
    for (; live && c <= last; live = GroupFindNextArticle(c, &slot, g, &c)) {
        ArticleEntry* entry = GroupEntryOf(g, c);
        if (entry == nullptr || !SeenValidateArticleEx(slot, entry->useCount)) {
            if (entry != nullptr)
                entry->number = 0;
            continue;
        }
        size_t before = out.size();
        if (!TakeOldLine(old, c, last, out) && !AppendStoreLine(slot, c, out))
            continue;
        if (i < index.capacity - 1 && spacing * i < c - first) {
            SetIndexWord(index.offsets, i - 1, static_cast<uint32_t>(before));
            SetIndexWord(index.numbers, i - 1, c);
            ++i;
        }
    }
    if (out.empty()) {
        r.ocachelen = 0;
        return 1;
    }
    SetIndexWord(index.offsets, i - 1, 0);
    SetIndexWord(index.numbers, i - 1, kIndexEnd);
    StoreBlock(r, out);
    return 1;
}

// Readers use the group's record meanwhile without a lock (named in tests/tsan.supp).
int AppendToOverviewCache(uint32_t g)
{
    if (!CacheStoreExists() || g >= groupArraySize)
        return 0;
    GroupRecord& r = groupArray[g];
    if (!CacheValid(r) || r.cend < r.start || r.ocachelen == 0)
        return 0;
    const uint32_t last = r.end;
    for (uint32_t p = r.cend, slot = 0; p < last;) {
        if (!GroupFindNextArticle(p, &slot, g, &p))
            break;
        if (p > last) {
            r.cend = last;
            break;
        }
        uint32_t length = 0;
        std::unique_ptr<char[]> line = ReadOverviewLine(slot, p, &length);
        if (line == nullptr)
            continue;
        if (uint64_t{r.ocachelen} + length > r.ocacheblen)
            return 0;
        if (WriteToStoreSpec(r.ocacheKey, line.get(), r.ocachelen, length) != length)
            return 0;
        // Readers take cend before ocachelen and cut what lies above it.
        std::atomic_thread_fence(std::memory_order_release);
        r.ocachelen += length;
        std::atomic_thread_fence(std::memory_order_release);
        r.cend = p;
    }
    if (ChangeCount(r) < kMaxAppendCount)
        SetChangeCount(r, ChangeCount(r) + 1);
    return 1;
}

void SetOverviewRewriteThreshold(int changes)
{
    overviewRewriteThreshold = changes;
}

int OverviewRewriteThreshold()
{
    return overviewRewriteThreshold;
}

CacheStream StreamOverviewCache(uint32_t g, uint32_t first, const std::function<bool(std::string_view)>& take)
{
    CacheStream result;
    BlockIndex index{};
    if (!CacheStoreExists() || g >= groupArraySize || !CacheValid(groupArray[g]) || !LocateIndex(g, &index))
        return result;
    const GroupRecord& r = groupArray[g];
    BlockPlace place;
    if (!TakeBlockPlace(g, index, first, &place))
        return result;
    result.cacheEnd = place.end;
    char* buffer = PieceBuffer();
    for (uint32_t offset = place.offset; offset < place.total;) {
        const uint32_t count = std::min(kStreamPiece, place.total - offset);
        {
            GatePass pass(semOverRead());
            // A rewrite between two pieces ends the stream: its text is another's.
            if (!CacheValid(r) || r.ocacheKey != place.key || BlockWrites(g) != place.writes ||
                ReadStore(place.key, buffer, offset, count) != count)
                return result;
        }
        const bool last = offset + count == place.total;
        std::string_view piece(buffer, count);
        piece = piece.substr(0, last ? CoveredLength(piece, place.end) : piece.rfind('\n') + 1);
        if (piece.empty())
            return result;  // a line longer than a piece: no cache line is
        result.used = true;
        if (!take(piece))
            return result;
        offset += last ? count : static_cast<uint32_t>(piece.size());
    }
    result.whole = result.used;
    return result;
}
