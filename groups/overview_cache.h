// Overview cache: ready XOVER lines per group, kept in the store built with
// the selection word "overcache". Without such a store nothing is cached or
// scheduled and XOVER is served from the history alone.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

// Allocates groupMap (groupArraySize zeroed entries), empties the schedule,
// reads OverviewRewriteDelay (seconds from a group's first change to its
// rewrite, default 30) and starts the rewriter thread; 1.
int OverCacheInit();
// Closes the schedule, so that nothing is scheduled or stored once shutdown
// has begun, and waits for the rewriter to leave group.dat; 1.
int OverCacheShutdown();
// Queues a rewrite of `group` (an append when `append` is set); 0 when there
// is no cache store, else 1.
int ScheduleOverviewCacheRewrite(uint32_t group, int append);
// Sets after how many changes since its last full rewrite a group's append
// is made a full rewrite instead (default 30); and reads it.
void SetOverviewRewriteThreshold(int changes);
int OverviewRewriteThreshold();
// How a streamed read of a group's cache block ended.
struct CacheStream {
    bool used = false;      // lines of the block were offered
    bool whole = false;     // every line to the block's end was offered
    uint32_t cacheEnd = 0;  // the last article number the block covers
};

// Offers `take` the group's cached overview lines from at or a little before
// `first` to the end of its block, whole lines in pieces of at most 256 KB
// read into a buffer of the calling thread, so that a range of any size is
// served in bounded memory. Stops when `take` returns false, and when the
// block is rewritten between two pieces (whole stays false: the caller
// serves the rest from the history). Nothing is offered when the cache
// cannot be used.
CacheStream StreamOverviewCache(uint32_t group, uint32_t first, const std::function<bool(std::string_view)>& take);
