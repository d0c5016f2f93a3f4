// Precommit table: the message-IDs offered in the last MaxPrecommitAge
// milliseconds, so that only the first of several peers offering one article
// sends it, and the outgoing sites among those peers, so that the article is
// not fed back to them. An entry belongs to the connection whose offer made
// it until that connection's transfer of the article ends; a transfer that
// fails or is cut frees the entry at once, so the article can be offered
// again rather than waiting out the age.
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
    ClientContext* owner;     // connection receiving the article, null once stored
    PrecommitEntry* ownerNext;  // the owner's other entries
    PrecommitEntry* ownerPrev;
    uint32_t offeredBy[kDequeueFlagWords];
};

// Guards the whole table; CheckPrecommit expects it held.
CriticalSection& csPrecommit();

// Reads PrecommitHashSize (1048573) and MaxPrecommitAge (30000 ms), empties the
// table and, on the first call, starts the cleaner thread. Returns 1.
int PrecommitInit();

// 1 when the context's articleKey was not in the table and now is, owned by
// the context (the caller may take the article); 0 when it was, that is when
// the article is in transfer or was just stored. Either way the offering
// peer's dequeue index marks the entry.
int AddPrecommit(ClientContext* context);

// The context's transfer of its articleKey has ended. A stored article's
// entry stays, without owner, until it expires; a failed or cut transfer
// frees it at once so that a re-offer is taken. An entry that another
// connection owns is left alone.
void EndPrecommit(ClientContext* context, bool stored);

// Frees every entry the context still owns (offers it made whose article
// never came); a connection's record must not be released before this.
void ReleasePrecommits(ClientContext* context);

// The entry of the context's articleKey, or null.
PrecommitEntry* CheckPrecommit(ClientContext* context);

// 1 with the entry's offeredBy words copied to flags when the context's
// articleKey is in the table; 0 with flags untouched when it is not.
int GetDequeueFlags(ClientContext* context, uint32_t flags[kDequeueFlagWords]);

// Thread body: expires old entries once a second; never returns.
[[noreturn]] void PrecommitCleaner();
