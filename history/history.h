// History database: every message-ID the server has accepted, refused or
// been told to cancel, by article key, with the location of each stored
// article. A table of chain heads ("seen.idx") and a ring of 33-byte entries
// ("seen.dat"), both mapped for the life of the process.
//
// Writers (AddSeen, UpdateSeen, CancelSeen from the pipeline) are serialised
// by their callers under csArtFile; lookups run without a lock against the
// mapped memory, so every index read there is range-checked and a torn read
// can only give a wrong "not seen". Entry indices run from 0 to
// SeenDataCount - 1; an index outside that range gives 0 and changes nothing.
// A slot number is meaningful only with its use count.
#pragma once

#include <cstdint>

#include "article/article_key.h"

// Opens and maps both files (HistoryTablePath/seen.idx and
// HistoryDataPath/seen.dat, sized by SeenTableSize and SeenDataCount); an
// empty data file starts a new database. Returns 1; on failure prints why
// and ends the process with status 1.
int SeenInit();

// Flushes both views to disk; a failure is logged. They stay mapped:
// sessions may still read while the process exits.
void seenclose();

// 1 when an entry with this key is reachable, else 0.
int CheckSeen(ArticleKey key);

// 1 and the entry's index when found, else 0.
int SeenGetEntry(ArticleKey key, uint32_t* index);

// Takes a ring slot (passing over entries whose article is still there and
// whose expire priority keeps them, halving that priority), fills it and
// links it at the head of its chain. The caller has made sure the key is not
// present. A placeholder (no article yet) has store key 0 and length 0.
// Returns the slot.
uint32_t AddSeen(ArticleKey key, uint64_t storeKey, uint32_t length, uint16_t overviewLength,
                 uint16_t headerLength, uint8_t messageIdLength, uint16_t messageIdOffset, uint8_t expirePriority);

// Writes the location fields of entry `index`; the key is not stored.
// Returns the index.
uint32_t UpdateSeen(uint32_t index, ArticleKey key, uint64_t storeKey, uint32_t length, uint16_t overviewLength,
                    uint16_t headerLength, uint16_t messageIdOffset, uint8_t messageIdLength);

// Takes back entry `index` made for an article that could not be stored:
// the message-ID counts as unseen again, so a peer's later offer is taken,
// and article numbers given to the slot find no article. Returns 1, or 0
// for an index out of range.
int ForgetSeen(uint32_t index);

// Marks the article of `key` gone (it stays "seen"): 1 when found, else 0.
int CancelSeen(ArticleKey key);

// Marks the article of entry `index` gone. Returns 1.
int SeenToast(uint32_t index);

// The entry's use count.
uint32_t SeenGetUseCount(uint32_t index);

// 1 when the entry has an article whose data is still in its store; when the
// store has overwritten it, the entry is marked gone and 0 returned.
int SeenValidateArticle(uint32_t index);

// SeenValidateArticle, and 0 when the entry's use count is not `useCount`.
int SeenValidateArticleEx(uint32_t index, uint32_t useCount);

// Store key and overview length of a valid article (marked gone when its
// data is overwritten).
int SeenGetOverview(uint32_t index, uint64_t* storeKey, uint32_t* overviewLength);

// The getters below answer 1 when the entry has an article, without checking
// the store; callers check the store key before reading.
// Where the message-ID text lies in the stored record.
int SeenGetArticleMessageID(uint32_t index, uint64_t* storeKey, uint32_t* offset, uint32_t* length);
// Where the article lies in the record (after its overview record).
int SeenGetArticle(uint32_t index, uint64_t* storeKey, uint32_t* offset, uint32_t* length);
// Store key, article length and article key.
int SeenGetXPath(uint32_t index, uint64_t* storeKey, uint32_t* length, ArticleKey* key);
// Where the header block lies (up to its CR LF CR LF).
int SeenGetArticleHeader(uint32_t index, uint64_t* storeKey, uint32_t* offset, uint32_t* length);
// Where the body lies (after the CR LF CR LF); length 0 for an empty body.
int SeenGetArticleBody(uint32_t index, uint64_t* storeKey, uint32_t* offset, uint32_t* length);

// Entries in the ring as opened (SeenDataCount).
uint32_t SeenCapacity();
// The slot the ring is to take next (where its oldest entries lie).
uint32_t SeenNextSlot();
// Entries the ring holds: the slots taken so far, all of them once the
// ring has come round.
uint32_t SeenEntriesUsed();
// The store key of entry `index` and the bytes its record was written with
// (overview record plus article; only the overview record once the article
// is marked gone). 0 for an entry that never had a record.
int SeenGetRecordExtent(uint32_t index, uint64_t* storeKey, uint64_t* span);

// What identifies the article of an entry in its stored record.
struct SeenIdentity {
    ArticleKey key;
    uint64_t storeKey;
    uint32_t length;           // of the article
    uint32_t messageIdOffset;  // from the start of the record
    uint32_t messageIdLength;
};
// The identity of an entry that has an article; 0 otherwise.
int SeenGetIdentity(uint32_t index, SeenIdentity* identity);
// Marks the article of entry `index` gone while the entry still points at
// `storeKey` (a slot taken anew in the meantime is left alone). 1 or 0.
int SeenToastAt(uint32_t index, uint64_t storeKey);
