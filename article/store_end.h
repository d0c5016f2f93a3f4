// Where writing resumes in an article store after a restart. The metadata
// file keeps a write position saved a few seconds before the process ended;
// records written after it are still named by the history (and, for the
// overview cache store, by the group records), so the true end is the
// furthest record those name in the store's newest cycle.
#pragma once

#include <cstdint>

// A store's cycle (wrap count) and write position.
struct StorePlace {
    uint32_t wrapCount;
    uint64_t position;
};

// Gathers the records a store is known to hold and gives the end of the
// newest ones. Cycles compare modulo 2^16, the width of a store key's
// cycle field: keys of up to 32,767 cycles after the saved one count as
// newer (a wrap the metadata missed), the others as older.
class StoreEndFinder {
public:
    StoreEndFinder(uint32_t store, StorePlace saved) : store_(store), saved_(saved) {}
    // A record at `storeKey` of `span` bytes; records of other stores and of
    // older cycles are passed over.
    void Add(uint64_t storeKey, uint64_t span);
    // The saved place, or the end of the newest records when that lies
    // beyond it; never a place before the saved one.
    StorePlace End() const;

private:
    uint32_t store_;
    StorePlace saved_;
    uint16_t ahead_ = 0;  // cycles beyond the saved one
    uint64_t end_ = 0;    // furthest end in that cycle
};

// The end of store `store` as the history and the group records know it,
// from the saved place.
StorePlace FindStoreEnd(uint32_t store, StorePlace saved);

// Moves store `store` on to FindStoreEnd of its current place, saving the
// metadata and logging one line when it moves. The caller holds the store's
// writer lock. 1, or 0 for a store not in use.
int ResumeStoreAtEnd(uint32_t store);
