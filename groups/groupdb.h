// Group database: newsgroups and their article-number rings in the mapped
// file group.dat, the in-memory index of group names, article numbering and
// the Xref: lines of accepted articles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

struct ClientContext;
struct GroupSelection;

inline constexpr uint32_t kEntriesPerSlot = 500;
inline constexpr uint32_t kMaxSlots = 100;
inline constexpr uint32_t kMaxCrossposts = 15;

#pragma pack(push, 1)
// One ring entry: article `number` (0 = empty) is history slot `seenIndex`
// while that slot's use count still equals `useCount`.
struct ArticleEntry {
    uint32_t seenIndex;
    uint32_t number;
    uint8_t useCount;
};

// One record of group.dat. A group of s > 1 slots spans records g … g+s−1:
// its entries run on past `entries` into the following records.
struct GroupRecord {
    uint64_t ocacheKey;
    uint32_t ocachelen;
    uint32_t ocacheblen;
    uint32_t cstart;
    uint32_t cend;
    uint32_t numEntries;
    uint32_t start;  // low mark
    uint32_t end;    // high mark
    uint32_t reserved1;
    uint32_t flags;
    int8_t numSlots;
    uint32_t reserved2;
    ArticleEntry entries[kEntriesPerSlot];
    uint32_t blockOffsets[25];
    uint32_t blockNumbers[25];
};
#pragma pack(pop)

static_assert(sizeof(ArticleEntry) == 9);
static_assert(offsetof(ArticleEntry, number) == 4 && offsetof(ArticleEntry, useCount) == 8);
static_assert(sizeof(GroupRecord) == 4749);
static_assert(offsetof(GroupRecord, ocachelen) == 8 && offsetof(GroupRecord, ocacheblen) == 12);
static_assert(offsetof(GroupRecord, cstart) == 16 && offsetof(GroupRecord, cend) == 20);
static_assert(offsetof(GroupRecord, numEntries) == 24 && offsetof(GroupRecord, start) == 28);
static_assert(offsetof(GroupRecord, end) == 32 && offsetof(GroupRecord, flags) == 40);
static_assert(offsetof(GroupRecord, numSlots) == 44 && offsetof(GroupRecord, entries) == 49);
static_assert(offsetof(GroupRecord, blockOffsets) == 4549 && offsetof(GroupRecord, blockNumbers) == 4649);

// Bits of GroupRecord::flags; bits 3–7 hold the 5-bit change counter.
inline constexpr uint32_t kGroupCacheValid = 1u << 0;
inline constexpr uint32_t kGroupModerated = 1u << 1;
inline constexpr uint32_t kGroupPostingAllowed = 1u << 2;
inline constexpr uint32_t kChangeCountShift = 3;
inline constexpr uint32_t kChangeCountMask = 0x1Fu << kChangeCountShift;

// Per-group state that lives only in memory (allocated by OverCacheInit).
struct GroupRuntime {
    char* activeEntry;     // the group's numbers field in the active file, or null
    uint32_t queued;       // bit 0: an overview cache rewrite is pending
    int32_t schedIndex;    // position of that rewrite in the rewrite ring
    uint32_t warnedEmpty;  // the group's unusable ring has been logged once
};

extern GroupRecord* groupArray;
extern uint32_t groupArraySize;
extern GroupRuntime* groupMap;

// Opens group.dat under GroupDataPath and the name index; 1, or 0 with a log
// line saying why (no path, no community word, file not mappable).
int GroupInit();
// Stops the overview cache, flushes and unmaps group.dat; 1 when unmapped,
// 0 when the flush failed (logged).
int GroupClose();

// Creates (or resets) group `number` with `slots` 500-entry slots, low and
// high mark `start`; posting word "m…" moderated, "n…" closed. 1 on success;
// 0 for a duplicate name, an extent past the file or overlapping another group.
int CreateGroup(const char* name, uint32_t number, uint32_t start, uint32_t slots, const char* post);
// Names an existing record; 0 when its extent is out of range or overlaps.
int InsertGroup(const char* name, uint32_t number);
// Copies group `from` to `to` with a new slot count, re-filing its articles,
// and points the name at `to`; 0 for an unknown name or a refused extent.
int MoveGroup(const char* name, uint32_t from, uint32_t to, uint32_t slots);
int SetGroupStartPoint(const char* name, uint32_t start);
// Selects the group by name (a low mark of 0 becomes 1 first).
int GetGroupInfo(const char* name, GroupSelection* selection);
// 'm', 'y' or 'n'; NUL for an unknown name.
char GetGroupPostInfo(const char* name);
// Posting flag of a record: 'm', 'y' or 'n'.
char GroupPostingFlag(const GroupRecord& record);
int GroupValidateGroup(const GroupSelection* selection);

// Numbering; the caller holds the article insertion lock.
uint32_t GroupAddArticle(uint32_t group, uint32_t slot, uint8_t useCount);
int GroupSetArticleNumber(uint32_t group, uint32_t slot, uint32_t number, uint8_t useCount);

// Reader lookups: no lock; they may empty stale entries and raise the low mark.
int GroupFindArticle(uint32_t number, uint32_t* slot, uint32_t group, uint32_t* found);
int GroupFindNextArticle(uint32_t number, uint32_t* slot, uint32_t group, uint32_t* found);
int GroupFindPrevArticle(uint32_t number, uint32_t* slot, uint32_t group, uint32_t* found);
int GroupToastArticle(uint32_t group, uint32_t number);
// The ring entry holding article `number`, or null (no usable ring, or the
// entry holds another number).
ArticleEntry* GroupEntryOf(uint32_t group, uint32_t number);

// Numbers the article in `ctx` in all its carried groups and writes its
// NUL-terminated "Xref: …\r\n" line into `xref` (room for `xrefSize` bytes).
// 1, or 0 (logged) to refuse the article; a refusal numbers nothing.
int UpdateGroupDatabase(ClientContext* ctx, uint32_t slot, char* xref, size_t xrefSize);
// Slave mode: files the article under the numbers of its own Xref: header,
// which becomes `xref`. 1 when at least one group took it.
int UpdateGroupDatabaseSlave(ClientContext* ctx, uint32_t slot, char* xref, size_t xrefSize);

// Number of a named group: 1 and *number, or 0.
int FindGroup(const char* name, uint32_t* number);
// Calls `visit` for every named group in the name index's own order, under
// the index's read lock (so `visit` must not write to a connection).
void ForEachGroup(const std::function<void(const char* name, const GroupRecord& record)>& visit);
