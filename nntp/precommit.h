// Precommit table: the message-IDs offered in the last MaxPrecommitAge
// milliseconds, so that only the first of several peers offering one article
// sends it, and the outgoing sites among those peers, so that the article is
// not fed back to them.
#pragma once

#include <cstdint>

#include "platform/sync.h"

struct ClientContext;

// Words of an article's dequeue flags: bit i of the set is bit (i mod 32) of
// word (i div 32), one bit per site number 0..319.
inline constexpr uint32_t kDequeueFlagWords = 10;
inline constexpr int32_t kDequeueIndexLimit = 32 * kDequeueFlagWords;

struct PrecommitEntry {
    uint64_t key;
    uint32_t created;  // up-time in milliseconds
    uint32_t bucket;
    PrecommitEntry* bucketNext;
    PrecommitEntry* bucketPrev;
    PrecommitEntry* ageNext;  // next older entry
    PrecommitEntry* agePrev;  // next newer entry
    uint32_t offeredBy[kDequeueFlagWords];
};

// Guards the whole table; CheckPrecommit expects it held.
CriticalSection& csPrecommit();

// Reads PrecommitHashSize (1048573) and MaxPrecommitAge (30000 ms), empties the
// table and, on the first call, starts the cleaner thread. Returns 1.
int PrecommitInit();

// 1 when the context's articleKey was not in the table and now is (the
// caller may take the article), 0 when it was. Either way the offering
// peer's dequeue index marks the entry.
int AddPrecommit(ClientContext* context);

// The entry of the context's articleKey, or null.
PrecommitEntry* CheckPrecommit(ClientContext* context);

// 1 with the entry's offeredBy words copied to flags when the context's
// articleKey is in the table; 0 with flags untouched when it is not.
int GetDequeueFlags(ClientContext* context, uint32_t flags[kDequeueFlagWords]);

// Thread body: expires old entries once a second; never returns.
[[noreturn]] void PrecommitCleaner();
