// Finding the end of an article store's written records at start-up.
#include "article/store_end.h"

#include "article/store.h"
#include "groups/groupdb.h"
#include "history/history.h"
#include "server/log.h"

namespace {

constexpr uint64_t kOffsetMask = (uint64_t{1} << 40) - 1;
constexpr uint16_t kNewerCycles = 0x8000;
constexpr uint64_t kNoKey = ~uint64_t{0};

// The overview cache's blocks, with the room kept for appends after each.
void AddCacheBlocks(StoreEndFinder& finder)
{
    if (groupArray == nullptr)
        return;
    for (uint32_t g = 0; g < groupArraySize; ++g) {
        const GroupRecord& r = groupArray[g];
        if (r.ocacheKey != kNoKey && r.ocacheKey != 0 && r.ocacheblen != 0)
            finder.Add(r.ocacheKey, r.ocacheblen);
    }
}

}  // namespace

void StoreEndFinder::Add(uint64_t storeKey, uint64_t span)
{
    if (((storeKey >> 40) & 0xFF) != store_)
        return;
    const auto ahead = static_cast<uint16_t>((storeKey >> 48) - saved_.wrapCount);
    if (ahead >= kNewerCycles || ahead < ahead_)
        return;
    const uint64_t end = (storeKey & kOffsetMask) + span;
    if (ahead > ahead_)
        end_ = 0;
    ahead_ = ahead;
    if (end > end_)
        end_ = end;
}

StorePlace StoreEndFinder::End() const
{
    if (ahead_ == 0)
        return {saved_.wrapCount, end_ > saved_.position ? end_ : saved_.position};
    return {saved_.wrapCount + ahead_, end_ != 0 ? end_ : 1};
}

StorePlace FindStoreEnd(uint32_t store, StorePlace saved)
{
    StoreEndFinder finder(store, saved);
    uint64_t storeKey = 0, span = 0;
    for (uint32_t i = 0, n = SeenCapacity(); i < n; ++i)
        if (SeenGetRecordExtent(i, &storeKey, &span))
            finder.Add(storeKey, span);
    if (store == OverviewCacheStore)
        AddCacheBlocks(finder);
    return finder.End();
}

int ResumeStoreAtEnd(uint32_t store)
{
    StorePlace saved {};
    if (!GetStorePlace(store, &saved.wrapCount, &saved.position))
        return 0;
    const StorePlace end = FindStoreEnd(store, saved);
    if (end.wrapCount == saved.wrapCount && end.position == saved.position)
        return 1;
    LogFormat("ArtStore: store %u resumes at position %llu, wrapcount=%u (saved position %llu, wrapcount=%u)", store,
              static_cast<unsigned long long>(end.position), end.wrapCount,
              static_cast<unsigned long long>(saved.position), saved.wrapCount);
    return SetStorePlace(store, end.wrapCount, end.position);
}
