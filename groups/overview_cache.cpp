// Overview cache: ready XOVER lines per group. No cache store is built yet,
// so scheduling does nothing; groupMap is allocated here because the cache
// keeps its per-group schedule state in it.
#include "groups/overview_cache.h"

#include "groups/groupdb.h"
#include "platform/sync.h"

std::atomic<uint32_t> oShead{0};
std::atomic<uint32_t> oStail{0};

namespace {

// Held for good from shutdown on, so it is never freed.
CriticalSection& csOverCache()
{
    static auto* cs = new CriticalSection;
    return *cs;
}

}  // namespace

int OverCacheInit()
{
    CsLock lock(csOverCache());
    delete[] groupMap;
    groupMap = new GroupRuntime[groupArraySize]();
    oShead = 0;
    oStail = 0;
    return 1;
}

int OverCacheShutdown()
{
    csOverCache().lock();
    return 1;
}

int ScheduleOverviewCacheRewrite(uint32_t, int)
{
    return 0;
}

// No block is ever written yet, so no group's cache is valid.
std::unique_ptr<char[]> ReadOverviewCache(uint32_t, uint32_t, uint32_t*, uint32_t* length)
{
    *length = 0;
    return nullptr;
}
