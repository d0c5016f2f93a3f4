// Group database: newsgroups and their article-number rings in the mapped
// file group.dat, the in-memory index of group names, article numbering and
// the Xref: lines of accepted articles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "groups/groupdb_format.h"

struct ClientContext;
struct GroupSelection;

// Per-group state that lives only in memory (allocated by OverCacheInit).
struct GroupRuntime {
    char* activeEntry;     // the group's numbers field in the active file, or null
    uint32_t queued;       // bit 0: an overview cache rewrite is pending
    int32_t schedIndex;    // position of that rewrite in the rewrite ring
    uint32_t warnedEmpty;  // the group's unusable ring has been logged once
    uint32_t blockWrites;  // overview cache block overwrites, counted with its readers out
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
// The closing order's step: stops the overview cache and flushes group.dat
// but leaves it mapped, since sessions still open go on reading it until
// the process exits. 1, or 0 when the flush failed (logged).
int GroupFlush();

// Creates (or resets) group `number` with `slots` 500-entry slots, low and
// high mark `start`; posting word "m…" moderated, "n…" closed. 1 on success;
// 0 for a duplicate name, an extent past the file or overlapping another group.
int CreateGroup(const char* name, uint32_t number, uint32_t start, uint32_t slots, const char* post);
// Names an existing record; 0 when its extent is out of range or overlaps.
int InsertGroup(const char* name, uint32_t number);
// Drops the name and empties the group's ring (its records become free);
// 0 for an unknown name.
int RemoveGroup(const char* name);
// The highest group number whose `slots` records overlap no named group:
// 1 and *number, or 0 when group.dat has no such room.
int FindFreeGroupNumber(uint32_t slots, uint32_t* number);
// Sets a named group's posting flag from the posting word (as CreateGroup);
// 0 for an unknown name. The active file line follows at its next update.
int SetGroupPosting(const char* name, const char* post);
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

// Reader lookups: no lock; they may empty stale entries and raise the low mark.
int GroupFindArticle(uint32_t number, uint32_t* slot, uint32_t group, uint32_t* found);
int GroupFindNextArticle(uint32_t number, uint32_t* slot, uint32_t group, uint32_t* found);
int GroupFindPrevArticle(uint32_t number, uint32_t* slot, uint32_t group, uint32_t* found);
int GroupToastArticle(uint32_t group, uint32_t number);
// The ring entry holding article `number`, or null (no usable ring, or the
// entry holds another number).
ArticleEntry* GroupEntryOf(uint32_t group, uint32_t number);

// An article names at most this many groups besides its first.
inline constexpr uint32_t kMaxCrossposts = 15;

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
