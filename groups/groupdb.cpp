// Group database: the records of group.dat, changed in place through the
// mapping, and the name index. Records and entries take no lock: numbering
// runs under the article insertion lock, and readers make only single-word
// corrections that are right on their own. The name index is changed by the
// Tcl thread while connection threads look names up, so it has a
// reader/writer lock.
#include "groups/groupdb.h"

#include <tcl.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "article/header.h"
#include "groups/overview_cache.h"
#include "history/history.h"
#include "platform/mapped_region.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

// The mapped records, read and corrected without a lock as said above;
// ThreadSanitizer is told so in tests/tsan.supp.
GroupRecord* groupArray = nullptr;
uint32_t groupArraySize = 0;
GroupRuntime* groupMap = nullptr;

namespace {

Tcl_HashTable groupHash;
bool bGroupHashReady = false;
std::shared_mutex& groupHashLock()
{
    static Lasting<std::shared_mutex> lock;
    return *lock;
}
std::string xrefCommunity;

constexpr size_t kRecordSize = sizeof(GroupRecord);
constexpr size_t kHeaderSize = offsetof(GroupRecord, entries);
// Slave numbers above this are taken as garbage.
constexpr uint32_t kMaxSlaveNumber = 2147483632;
// The no-matching-groups line lists names only while it is shorter than this.
constexpr size_t kMaxRefusalLine = 16300;
// Longest group name looked up from an Xref word.
constexpr size_t kMaxGroupName = 1000;

GroupRecord& Record(uint32_t g)
{
    return groupArray[g];
}

// Entries of a multi-slot group run on past the first record.
ArticleEntry& Entry(uint32_t g, uint32_t index)
{
    auto* base = reinterpret_cast<char*>(&groupArray[g]) + kHeaderSize;
    return *reinterpret_cast<ArticleEntry*>(base + index * sizeof(ArticleEntry));
}

uint32_t SlotCount(uint32_t slots)
{
    return std::clamp<uint32_t>(slots, 1, kMaxSlots);
}

// Records a group occupies, as its first record says.
uint32_t SlotExtent(const GroupRecord& record)
{
    return record.numSlots > 0 ? SlotCount(static_cast<uint32_t>(record.numSlots)) : 1;
}

// The usable ring size of group g: 0 when the record was never created or its
// ring would reach past its extent or the file, so that no caller divides by
// zero or indexes outside the mapping.
uint32_t RingSize(uint32_t g)
{
    if (groupArray == nullptr || g >= groupArraySize)
        return 0;
    const GroupRecord& record = Record(g);
    uint32_t slots = SlotExtent(record);
    uint32_t n = record.numEntries;
    if (n == 0 || n > slots * kEntriesPerSlot || slots > groupArraySize - g)
        return 0;
    return n;
}

// An article for a group without a usable ring is not numbered there.
bool UsableForNumbering(uint32_t g)
{
    if (RingSize(g) != 0)
        return true;
    if (groupMap != nullptr && g < groupArraySize && groupMap[g].warnedEmpty == 0) {
        groupMap[g].warnedEmpty = 1;
        LogFormat("group %u has no article ring; articles are not numbered in it", g);
    }
    return false;
}

uint32_t GroupNumberOf(Tcl_HashEntry* he)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Tcl_GetHashValue(he)));
}

void SetGroupNumber(Tcl_HashEntry* he, uint32_t g)
{
    Tcl_SetHashValue(he, reinterpret_cast<ClientData>(static_cast<uintptr_t>(g)));
}

// The group named other than `name` whose records overlap g … g+slots−1,
// or null. Caller holds the index lock.
const char* OverlappingGroup(const char* name, uint32_t g, uint32_t slots)
{
    Tcl_HashSearch search;
    for (Tcl_HashEntry* he = Tcl_FirstHashEntry(&groupHash, &search); he != nullptr;
         he = Tcl_NextHashEntry(&search)) {
        const char* other = static_cast<const char*>(Tcl_GetHashKey(&groupHash, he));
        uint32_t h = GroupNumberOf(he);
        if (std::strcmp(other, name) == 0 || h >= groupArraySize)
            continue;
        if (g < h + SlotExtent(Record(h)) && h < g + slots)
            return other;
    }
    return nullptr;
}

// Refuses (with a log line) records g … g+slots−1 that reach past the file
// or overlap a group named other than `name`. Caller holds the index lock.
bool ExtentFree(const char* name, uint32_t g, uint32_t slots)
{
    if (g >= groupArraySize || slots > groupArraySize - g) {
        LogFormat("group %s refused: records %u to %u lie outside group.dat (%u records)", name, g,
                  g + slots - 1, groupArraySize);
        return false;
    }
    if (const char* other = OverlappingGroup(name, g, slots)) {
        LogFormat("group %s refused: records %u to %u overlap group %s", name, g, g + slots - 1, other);
        return false;
    }
    return true;
}

// Writes article a into its entry. A different article landing on the
// lowest article's entry pushes the low mark up; re-filing the lowest article
// itself must not.
void FileEntry(uint32_t g, uint32_t n, uint32_t a, uint32_t slot, uint8_t useCount)
{
    GroupRecord& record = Record(g);
    if (a != record.start && record.start % n == a % n)
        ++record.start;
    ArticleEntry& e = Entry(g, a % n);
    e.number = a;
    e.seenIndex = slot;
    e.useCount = useCount;
}

// The ring holds at most the last n numbers; a low mark that wrapped below 0
// starts again at 1.
void BoundLowMark(GroupRecord& record, uint32_t n, uint32_t a)
{
    if (a > n && record.start < a - n)
        record.start = a - n;
    int32_t signedStart = static_cast<int32_t>(record.start);
    if (signedStart >= -4999 && signedStart <= -2)
        record.start = 1;
}

// Files article a under the number it brings: slave numbering (under the
// article insertion lock) and group moves (index lock held exclusively).
// Readers walk the ring meanwhile without a lock (named in tests/tsan.supp).
void GroupSetArticleNumber(uint32_t g, uint32_t slot, uint32_t a, uint8_t useCount)
{
    uint32_t n = RingSize(g);
    if (n == 0)
        return;
    GroupRecord& record = Record(g);
    FileEntry(g, n, a, slot, useCount);
    bool extends = record.end == a - 1;
    if (record.end < a)
        record.end = a;
    BoundLowMark(record, n, a);
    ScheduleOverviewCacheRewrite(g, extends ? 1 : 0);
}

bool IsLive(const ArticleEntry& e)
{
    return SeenGetUseCount(e.seenIndex) == e.useCount;
}

Tcl_HashEntry* FindEntry(const char* name)
{
    return bGroupHashReady ? Tcl_FindHashEntry(&groupHash, name) : nullptr;
}

// FindGroup for callers that hold the index lock.
bool LookupGroup(const char* name, uint32_t* g)
{
    Tcl_HashEntry* he = FindEntry(name);
    if (he == nullptr)
        return false;
    *g = GroupNumberOf(he);
    return true;
}

bool HasApproved(ClientContext* ctx)
{
    uint32_t offset = 0, length = 0;
    return GetHeaderRange(*ctx, "Approved:", &offset, &length, nullptr) != 0;
}

void LogNoMatchingGroups(const ClientContext* ctx)
{
    std::string line = ctx->messageId;
    line += " not accepted -- no matching groups (";
    for (const char* name = ctx->newsgroupList; *name != '\0' && line.size() < kMaxRefusalLine;
         name += std::strlen(name) + 1) {
        line += name;
        line += ',';
    }
    line += ')';
    LogLine(line.c_str());
}

void LogCrossposts(const ClientContext* ctx, uint32_t count)
{
    LogFormat("crosspost: %s has %i crossposts (limit %i)", ctx->messageId, static_cast<int>(count),
              static_cast<int>(kMaxCrossposts));
}

// Appends text to the NUL-terminated line at `out`; false when it does not fit.
bool Append(char* out, size_t size, size_t& used, std::string_view text)
{
    if (used + text.size() >= size)
        return false;
    std::memcpy(out + used, text.data(), text.size());
    used += text.size();
    out[used] = '\0';
    return true;
}

// Runs of blanks containing a space, less one: the words of an Xref value
// less the community word.
uint32_t CountXrefCrossposts(std::string_view value)
{
    uint32_t runs = 0;
    for (size_t i = 0; i < value.size();) {
        if (value[i] != ' ' && value[i] != '\t') {
            ++i;
            continue;
        }
        bool hasSpace = false;
        for (; i < value.size() && (value[i] == ' ' || value[i] == '\t'); ++i)
            hasSpace = hasSpace || value[i] == ' ';
        runs += hasSpace ? 1 : 0;
    }
    return runs == 0 ? 0 : runs - 1;
}

bool IsXrefSeparator(char c)
{
    return c == ' ' || c == ',' || c == '\n';
}

// Next word of an Xref value, advancing `rest` past it; empty at the end.
std::string_view NextXrefWord(std::string_view& rest)
{
    size_t begin = 0;
    while (begin < rest.size() && IsXrefSeparator(rest[begin]))
        ++begin;
    size_t end = begin;
    while (end < rest.size() && !IsXrefSeparator(rest[end]))
        ++end;
    std::string_view word = rest.substr(begin, end - begin);
    rest.remove_prefix(end);
    return word;
}

// Files the article under one "group:number" word of a slave Xref line;
// true when a group took it. Caller holds the index lock.
bool FileSlaveWord(std::string_view word, uint32_t slot, uint8_t useCount)
{
    size_t colon = word.find(':');
    if (colon == std::string_view::npos || colon > kMaxGroupName)
        return false;
    char name[kMaxGroupName + 1];
    word.copy(name, colon);
    name[colon] = '\0';
    uint64_t number = 0;
    for (size_t i = colon + 1; i < word.size() && word[i] >= '0' && word[i] <= '9' && number <= kMaxSlaveNumber; ++i)
        number = number * 10 + static_cast<uint64_t>(word[i] - '0');
    if (number == 0 || number > kMaxSlaveNumber)
        return false;
    uint32_t g = 0;
    if (!LookupGroup(name, &g) || !UsableForNumbering(g))
        return false;
    GroupSetArticleNumber(g, slot, static_cast<uint32_t>(number), useCount);
    return true;
}

}  // namespace

int GroupInit()
{
    const char* dir = ConfigText(ConfigKey::kGroupDataPath);
    if (dir == nullptr) {
        LogLine("GroupDataPath not set: no group database");
        return 0;
    }
    {
        std::unique_lock lock(groupHashLock());
        if (bGroupHashReady)
            Tcl_DeleteHashTable(&groupHash);
        Tcl_InitHashTable(&groupHash, TCL_STRING_KEYS);
        bGroupHashReady = true;
    }
    int size = ConfigNumber(ConfigKey::kGroupArraySize);
    if (size <= 0) {
        LogFormat("GroupArraySize %d is not a record count: no group database", size);
        return 0;
    }
    const char* community = ConfigText(ConfigKey::kXrefCommunity);
    if (community == nullptr)
        community = ConfigText(ConfigKey::kHostPathIdentifier);
    if (community == nullptr) {
        LogLine("neither xrefcommunity nor HostPathIdentifier set: no Xref community");
        return 0;
    }
    xrefCommunity = community;
    if (groupArray != nullptr)
        DeleteMappedRegion(groupArray);
    std::string path = std::string(dir) + "/group.dat";
    groupArraySize = static_cast<uint32_t>(size);
    groupArray = static_cast<GroupRecord*>(CreateMappedRegion(path.c_str(), uint64_t{groupArraySize} * kRecordSize));
    if (groupArray == nullptr) {
        LogFormat("could not map %s", path.c_str());
        groupArraySize = 0;
        return 0;
    }
    OverCacheInit();
    return 1;
}

int GroupFlush()
{
    OverCacheShutdown();
    if (groupArray == nullptr)
        return 0;
    if (FlushMappedRegion(groupArray))
        return 1;
    LogFormat("could not flush the group database: %s", std::strerror(errno));
    return 0;
}

int GroupClose()
{
    OverCacheShutdown();
    if (groupArray == nullptr)
        return 0;
    int result = DeleteMappedRegion(groupArray);
    if (result == 0)
        LogFormat("could not flush the group database: %s", std::strerror(errno));
    groupArray = nullptr;
    return result;
}

int FindGroup(const char* name, uint32_t* number)
{
    std::shared_lock lock(groupHashLock());
    return LookupGroup(name, number) ? 1 : 0;
}

void ForEachGroup(const std::function<void(const char* name, const GroupRecord& record)>& visit)
{
    std::shared_lock lock(groupHashLock());
    if (!bGroupHashReady || groupArray == nullptr)
        return;
    Tcl_HashSearch search;
    for (Tcl_HashEntry* he = Tcl_FirstHashEntry(&groupHash, &search); he != nullptr;
         he = Tcl_NextHashEntry(&search)) {
        uint32_t g = GroupNumberOf(he);
        if (g < groupArraySize)
            visit(static_cast<const char*>(Tcl_GetHashKey(&groupHash, he)), Record(g));
    }
}

int CreateGroup(const char* name, uint32_t g, uint32_t start, uint32_t slots, const char* post)
{
    uint32_t k = SlotCount(slots);
    std::unique_lock lock(groupHashLock());
    if (!bGroupHashReady || groupArray == nullptr)
        return 0;
    if (Tcl_FindHashEntry(&groupHash, name) != nullptr) {
        LogLine("tried to create a duplicate group");
        return 0;
    }
    if (!ExtentFree(name, g, k))
        return 0;
    int isNew = 0;
    Tcl_HashEntry* he = Tcl_CreateHashEntry(&groupHash, name, &isNew);
    if (he == nullptr) {
        LogLine("PANIC!!! he=NULL in creategroup");
        FatalExit("PANIC!!! he=NULL in creategroup");
    }
    SetGroupNumber(he, g);
    std::memset(&Record(g), 0, k * kRecordSize);
    GroupRecord& record = Record(g);
    record.start = start;
    record.end = start;
    record.numEntries = k * kEntriesPerSlot;
    record.numSlots = static_cast<int8_t>(k);
    record.flags = kGroupPostingAllowed;
    if (post[0] == 'm')
        record.flags |= kGroupModerated;
    else if (post[0] == 'n')
        record.flags &= ~kGroupPostingAllowed;
    return 1;
}

int InsertGroup(const char* name, uint32_t g)
{
    std::unique_lock lock(groupHashLock());
    if (!bGroupHashReady || groupArray == nullptr)
        return 0;
    if (!ExtentFree(name, g, g < groupArraySize ? SlotExtent(Record(g)) : 1))
        return 0;
    int isNew = 0;
    SetGroupNumber(Tcl_CreateHashEntry(&groupHash, name, &isNew), g);
    return 1;
}

int RemoveGroup(const char* name)
{
    std::unique_lock lock(groupHashLock());
    Tcl_HashEntry* he = FindEntry(name);
    if (he == nullptr || groupArray == nullptr)
        return 0;
    uint32_t g = GroupNumberOf(he);
    Tcl_DeleteHashEntry(he);
    // A reader still holding the group's selection finds an empty ring; the
    // records are free for the next group created there.
    if (g < groupArraySize) {
        Record(g).numEntries = 0;
        Record(g).flags = 0;
    }
    return 1;
}

int FindFreeGroupNumber(uint32_t slots, uint32_t* number)
{
    uint32_t k = SlotCount(slots);
    std::shared_lock lock(groupHashLock());
    if (!bGroupHashReady || groupArray == nullptr || k > groupArraySize)
        return 0;
    // Taken extents by their ends, highest first; the free room lies between
    // the lowest start seen so far and the next end. From the top down:
    // operators number their own groups from 0 upwards.
    std::vector<std::pair<uint32_t, uint32_t>> taken;  // end, start
    Tcl_HashSearch search;
    for (Tcl_HashEntry* he = Tcl_FirstHashEntry(&groupHash, &search); he != nullptr;
         he = Tcl_NextHashEntry(&search)) {
        uint32_t h = GroupNumberOf(he);
        if (h < groupArraySize)
            taken.emplace_back(h + SlotExtent(Record(h)), h);
    }
    std::sort(taken.begin(), taken.end(), std::greater<>());
    uint32_t top = groupArraySize;
    for (const auto& [end, start] : taken) {
        if (top > end && top - end >= k)
            break;
        top = std::min(top, start);
    }
    if (top < k)
        return 0;
    *number = top - k;
    return 1;
}

int SetGroupPosting(const char* name, const char* post)
{
    std::unique_lock lock(groupHashLock());
    uint32_t g = 0;
    if (groupArray == nullptr || !LookupGroup(name, &g) || g >= groupArraySize)
        return 0;
    GroupRecord& record = Record(g);
    record.flags = (record.flags & ~(kGroupModerated | kGroupPostingAllowed)) | kGroupPostingAllowed;
    if (post[0] == 'm')
        record.flags |= kGroupModerated;
    else if (post[0] == 'n')
        record.flags &= ~kGroupPostingAllowed;
    return 1;
}

int MoveGroup(const char* name, uint32_t from, uint32_t to, uint32_t slots)
{
    uint32_t k = SlotCount(slots);
    std::unique_lock lock(groupHashLock());
    Tcl_HashEntry* he = FindEntry(name);
    if (he == nullptr || groupArray == nullptr)
        return 0;
    uint32_t oldRing = RingSize(from);
    if (from >= groupArraySize || !ExtentFree(name, to, k)) {
        LogFormat("move of group %s from %u refused", name, from);
        return 0;
    }
    // The two extents may overlap: work from a copy of the old one.
    const GroupRecord& old = Record(from);
    std::vector<char> copy(reinterpret_cast<const char*>(&old),
                           reinterpret_cast<const char*>(&old) + SlotExtent(old) * kRecordSize);
    auto* oldEntries = reinterpret_cast<const ArticleEntry*>(copy.data() + kHeaderSize);

    std::memset(&Record(to), 0, k * kRecordSize);
    GroupRecord& record = Record(to);
    std::memcpy(&record, copy.data(), kHeaderSize);
    record.numEntries = k * kEntriesPerSlot;
    record.numSlots = static_cast<int8_t>(k);
    record.ocachelen = 0;
    record.flags &= ~kGroupCacheValid;

    // Re-file the old ring's articles in ascending order under the new size.
    std::vector<ArticleEntry> articles;
    uint64_t span = uint64_t{record.end} - record.start + 1;
    if (oldRing != 0 && record.end >= record.start) {
        for (uint64_t i = 0; i < std::min<uint64_t>(span, oldRing); ++i) {
            const ArticleEntry& e = oldEntries[(record.start + i) % oldRing];
            if (e.number != 0)
                articles.push_back(e);
        }
    }
    std::sort(articles.begin(), articles.end(),
              [](const ArticleEntry& a, const ArticleEntry& b) { return a.number < b.number; });
    for (const ArticleEntry& e : articles)
        GroupSetArticleNumber(to, e.seenIndex, e.number, e.useCount);
    SetGroupNumber(he, to);
    return 1;
}

int SetGroupStartPoint(const char* name, uint32_t start)
{
    uint32_t g = 0;
    if (!FindGroup(name, &g))
        return 0;
    GroupRecord& record = Record(g);
    record.start = start;
    if (record.end < start)
        record.end = start;
    return 1;
}

int GetGroupInfo(const char* name, GroupSelection* selection)
{
    uint32_t g = 0;
    if (!FindGroup(name, &g))
        return 0;
    GroupRecord& record = Record(g);
    if (record.start == 0) {
        record.start = 1;
        record.end = 1;
    }
    selection->group = g;
    selection->low = record.start;
    selection->high = record.end;
    selection->current = record.start;
    return 1;
}

char GroupPostingFlag(const GroupRecord& record)
{
    if (record.flags & kGroupModerated)
        return 'm';
    return (record.flags & kGroupPostingAllowed) ? 'y' : 'n';
}

char GetGroupPostInfo(const char* name)
{
    uint32_t g = 0;
    if (!FindGroup(name, &g))
        return '\0';
    return GroupPostingFlag(Record(g));
}

int GroupValidateGroup(const GroupSelection* selection)
{
    return selection->group < groupArraySize ? 1 : 0;
}

// Readers walk the ring meanwhile without a lock (named in tests/tsan.supp).
uint32_t GroupAddArticle(uint32_t g, uint32_t slot, uint8_t useCount)
{
    uint32_t n = RingSize(g);
    if (n == 0)
        return 0;
    GroupRecord& record = Record(g);
    uint32_t a = record.end + 1;
    if (record.start == 0) {
        record.start = 1;
        record.end = 1;
        a = 2;
    }
    FileEntry(g, n, a, slot, useCount);
    ++record.end;
    BoundLowMark(record, n, a);
    ScheduleOverviewCacheRewrite(g, 1);
    return a;
}

int GroupFindArticle(uint32_t a, uint32_t* slot, uint32_t g, uint32_t* found)
{
    uint32_t n = RingSize(g);
    // Number 0 marks an empty entry: it is never an article.
    if (n == 0 || a == 0)
        return 0;
    const ArticleEntry& e = Entry(g, a % n);
    if (e.number != a)
        return 0;
    if (IsLive(e)) {
        *slot = e.seenIndex;
        *found = a;
        return 1;
    }
    GroupRecord& record = Record(g);
    if (a == record.start && uint64_t{a} + 1 < record.end)
        ++record.start;
    return 0;
}

int GroupFindNextArticle(uint32_t a, uint32_t* slot, uint32_t g, uint32_t* found)
{
    uint32_t n = RingSize(g);
    if (n == 0)
        return 0;
    GroupRecord& record = Record(g);
    // After n steps every entry has been seen empty (or emptied): stop there.
    for (uint64_t c = uint64_t{a} + 1, steps = 0; c <= record.end && steps < n; ++c, ++steps) {
        ArticleEntry& e = Entry(g, static_cast<uint32_t>(c % n));
        if (e.number != c) {
            if (e.number < record.start)
                e.number = 0;
            if (e.number == 0)
                continue;
            return 0;
        }
        if (IsLive(e)) {
            *slot = e.seenIndex;
            *found = static_cast<uint32_t>(c);
            return 1;
        }
        if (c == record.start && c + 1 < record.end)
            ++record.start;
        e.number = 0;
    }
    return 0;
}

int GroupFindPrevArticle(uint32_t a, uint32_t* slot, uint32_t g, uint32_t* found)
{
    uint32_t n = RingSize(g);
    if (n == 0 || a == 0)
        return 0;
    uint32_t start = Record(g).start;
    uint32_t low = start > 1 ? start : 1;
    for (uint32_t c = a - 1, steps = 0; c >= low && steps < n; --c, ++steps) {
        const ArticleEntry& e = Entry(g, c % n);
        if (e.number == c) {
            if (!IsLive(e))
                return 0;
            *slot = e.seenIndex;
            *found = c;
            return 1;
        }
        if (e.number != 0)
            return 0;
    }
    return 0;
}

int GroupToastArticle(uint32_t g, uint32_t a)
{
    uint32_t n = RingSize(g);
    // An empty entry holds number 0: there is nothing to remove.
    if (n == 0 || a == 0)
        return 0;
    ArticleEntry& e = Entry(g, a % n);
    if (e.number != a)
        return 0;
    e.number = 0;
    GroupRecord& record = Record(g);
    uint32_t k = (record.flags & kChangeCountMask) >> kChangeCountShift;
    uint32_t next = k >= 21 ? 0 : (k + 1) % 32;
    record.flags = (record.flags & ~kChangeCountMask) | (next << kChangeCountShift);
    if (k >= 21)
        ScheduleOverviewCacheRewrite(g, 0);
    return 1;
}

ArticleEntry* GroupEntryOf(uint32_t g, uint32_t a)
{
    uint32_t n = RingSize(g);
    if (n == 0 || a == 0)
        return nullptr;
    ArticleEntry& e = Entry(g, a % n);
    return e.number == a ? &e : nullptr;
}

int UpdateGroupDatabase(ClientContext* ctx, uint32_t slot, char* xref, size_t xrefSize)
{
    if (ctx->newsgroupCount > kMaxCrossposts) {
        LogCrossposts(ctx, ctx->newsgroupCount);
        return 0;
    }
    // First pass: refuse before any number is given, so that an article is
    // numbered in all its carried groups or in none.
    std::shared_lock lock(groupHashLock());
    size_t needed = std::strlen("Xref:  \r\n") + xrefCommunity.size();
    bool matched = false;
    for (const char* name = ctx->newsgroupList; *name != '\0'; name += std::strlen(name) + 1) {
        uint32_t g = 0;
        if (!LookupGroup(name, &g) || !UsableForNumbering(g))
            continue;
        if ((Record(g).flags & kGroupModerated) && !HasApproved(ctx)) {
            LogFormat("%s not accepted. (%s is moderated and no approved header is present)", ctx->messageId, name);
            return 0;
        }
        matched = true;
        needed += std::strlen(name) + std::strlen(":4294967295 ");
    }
    if (!matched) {
        LogNoMatchingGroups(ctx);
        return 0;
    }
    if (needed >= xrefSize) {
        LogFormat("%s not accepted: its Xref line would take %zu bytes", ctx->messageId, needed);
        return 0;
    }
    size_t used = 0;
    xref[0] = '\0';
    Append(xref, xrefSize, used, "Xref: ");
    Append(xref, xrefSize, used, xrefCommunity);
    Append(xref, xrefSize, used, " ");
    auto useCount = static_cast<uint8_t>(SeenGetUseCount(slot));
    for (const char* name = ctx->newsgroupList; *name != '\0'; name += std::strlen(name) + 1) {
        uint32_t g = 0;
        if (!LookupGroup(name, &g) || RingSize(g) == 0)
            continue;
        char number[16];
        int length = std::snprintf(number, sizeof number, ":%u ", GroupAddArticle(g, slot, useCount));
        Append(xref, xrefSize, used, name);
        Append(xref, xrefSize, used, std::string_view(number, static_cast<size_t>(length)));
    }
    Append(xref, xrefSize, used, "\r\n");
    return 1;
}

int UpdateGroupDatabaseSlave(ClientContext* ctx, uint32_t slot, char* xref, size_t xrefSize)
{
    uint32_t offset = 0, length = 0;
    if (!GetHeaderRange(*ctx, "Xref:", &offset, &length, nullptr))
        return 0;
    uint32_t crossposts = CountXrefCrossposts(std::string_view(ctx->buffer + offset, length));
    if (crossposts > kMaxCrossposts) {
        LogCrossposts(ctx, crossposts);
        return 0;
    }
    // Any feeding peer controls the value: it must fit with "Xref: " and CR LF.
    constexpr std::string_view prefix = "Xref: ";
    if (prefix.size() + length + 3 > xrefSize) {
        LogFormat("%s not accepted: Xref header of %u bytes is too long", ctx->messageId, length);
        return 0;
    }
    std::memcpy(xref, prefix.data(), prefix.size());
    char* value = xref + prefix.size();
    GetHeader(*ctx, "Xref:", value, length + 1);
    size_t valueLength = std::strlen(value);

    // The community word is compared in place; the value stays as received.
    std::string_view rest(value, valueLength);
    std::string_view community = NextXrefWord(rest);
    if (community.size() != xrefCommunity.size() ||
        strncasecmp(community.data(), xrefCommunity.data(), community.size()) != 0) {
        LogFormat("%s not accepted because of xref community mismatch (%.*s != %s)", ctx->messageId,
                  static_cast<int>(community.size()), community.data(), xrefCommunity.c_str());
        return 0;
    }
    auto useCount = static_cast<uint8_t>(SeenGetUseCount(slot));
    bool taken = false;
    std::shared_lock lock(groupHashLock());
    for (std::string_view word = NextXrefWord(rest); !word.empty(); word = NextXrefWord(rest))
        taken = FileSlaveWord(word, slot, useCount) || taken;
    std::memcpy(value + valueLength, "\r\n", 3);
    return taken ? 1 : 0;
}
