// Overview cache: ready XOVER lines per group, kept in the store built with
// the selection word "overcache". Without such a store nothing is cached or
// scheduled and XOVER is served from the history alone.
#pragma once

#include <cstdint>
#include <memory>

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
// The group's cached overview lines from at or a little before `first` to
// the end of its block, their length in *length and the last article number
// the block covers in *cacheEnd; null when the cache cannot be used.
std::unique_ptr<char[]> ReadOverviewCache(uint32_t group, uint32_t first, uint32_t* cacheEnd, uint32_t* length);
