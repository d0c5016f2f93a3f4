// Overview cache: ready XOVER lines per group, kept in the store built with
// the selection word "overcache". Without such a store nothing is cached or
// scheduled and XOVER is served from the history alone.
#pragma once

#include <atomic>
#include <cstdint>
// Head and tail of the rewrite schedule, read by the statistics texts.
extern std::atomic<uint32_t> oShead;
extern std::atomic<uint32_t> oStail;

// Allocates groupMap (groupArraySize zeroed entries); 1.
int OverCacheInit();
// Takes the cache lock for good, so that nothing is scheduled or rewritten
// once shutdown has begun; 1.
int OverCacheShutdown();
// Queues a rewrite of `group` (an append when `append` is set); 0 when there
// is no cache store, else 1.
int ScheduleOverviewCacheRewrite(uint32_t group, int append);
