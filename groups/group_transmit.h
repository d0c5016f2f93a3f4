// Group article transmission: the answers of the reader commands that work
// on the selected group. Article numbers become history slots through the
// group database, articles go out through retrieval, and an article whose
// retrieval fails is removed from the group (toasted) so that the next
// request for it fails at once.
//
// Single-article operations serve the selection's `current` (the caller
// sets it first) and return 1 when they sent the article or answer, 0
// otherwise. Every operation answers 412 when no group is selected.
#pragma once

#include <cstdint>

struct ClientContext;
struct GroupSelection;

int GroupTransmitArticle(ClientContext* ctx, GroupSelection* selection);
int GroupTransmitArticleHeader(ClientContext* ctx, GroupSelection* selection);
int GroupTransmitArticleBody(ClientContext* ctx, GroupSelection* selection);
int GroupTransmitXpath(ClientContext* ctx, GroupSelection* selection);
// "223 number message-ID" for article `number`; the caller makes it current.
int GroupTransmitArticleStat(ClientContext* ctx, GroupSelection* selection, uint32_t number);

// Move `current` to the next (previous) live article and answer 223, or
// 421 (422) when there is none.
int GroupNextArticle(ClientContext* ctx, GroupSelection* selection);
int GroupPrevArticle(ClientContext* ctx, GroupSelection* selection);

// The multi-line answers for the live articles from `first` to `last`.
// They return 1; a failed write ends the connection.
int GroupTransmitOverview(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last);
// `header` is the prefix looked for, colon and blank included.
int GroupTransmitXHeader(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last,
                         const char* header);
// HDR: "225", then "number value" of header `name` (no colon; overview
// fields from the overview, others from the stored article, an absent
// header as an empty value), then ".". `name` is at most 128 bytes.
int GroupTransmitHeaderField(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last,
                             const char* name);
// 1 when a live article lies from `first` to `last` in the selected group.
int GroupHasArticles(const GroupSelection* selection, uint32_t first, uint32_t last);
// LISTGROUP: "211 " and `summary` ("count low high name ..."), then the numbers.
int GroupTransmitListgroup(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last,
                           const char* summary);
// Diagnostic listing of the group record and the storage place of every
// live article from the selection's low to its high mark.
int GroupTransmitSlotDump(ClientContext* ctx, GroupSelection* selection);

// "215" and the active list, filtered by the wildmat `pattern` (may be
// null). Without an active file in use, every named group with the flag "y".
int GroupList(ClientContext* ctx, const char* pattern);
