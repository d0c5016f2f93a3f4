// Arrival marks: a ring of one mark per minute in which articles came. The
// writer (under csArtFile) adds a mark at most once a minute; readers copy
// the mark they need under the marks lock and then walk the history ring
// without it.
#include "history/arrival.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <vector>

#include "article/store.h"
#include "history/history.h"
#include "platform/sync.h"
#include "server/config.h"

namespace {

constexpr std::time_t kMinute = 60;
// Store keys: offset in bits 0-39, store number in 40-47, lap in 48-63.
constexpr uint64_t kOffsetMask = (uint64_t{1} << 40) - 1;

struct Mark {
    std::time_t minute = 0;
    uint32_t slot = 0;
    std::array<uint64_t, kMaxStores> position{};  // each store's key at the mark
};

std::vector<Mark> marks;  // ring of marks, oldest at `oldest`
size_t oldest = 0;
size_t count = 0;
uint32_t window = 0;
std::atomic<std::time_t> lastMinute{0};

std::mutex& marksLock()
{
    static Lasting<std::mutex> lock;
    return *lock;
}

// Whether a record at `storeKey` was written at or after `position` (the
// same store's key at the mark); laps compare modulo 2^16.
bool WrittenSince(uint64_t storeKey, uint64_t position)
{
    auto lapDistance = static_cast<int16_t>(static_cast<uint16_t>((storeKey >> 48) - (position >> 48)));
    if (lapDistance != 0)
        return lapDistance > 0;
    return (storeKey & kOffsetMask) >= (position & kOffsetMask);
}

// The mark to start from for `since`: the latest at or before it, or the
// oldest; false when there is none, or when `since` lies past the minute of
// the latest (an article after it would have made a newer mark).
bool MarkFor(std::time_t since, Mark* found)
{
    std::lock_guard lock(marksLock());
    if (count == 0)
        return false;
    size_t chosen = oldest;
    for (size_t i = 0; i < count; ++i) {
        const Mark& mark = marks[(oldest + i) % marks.size()];
        if (mark.minute > since)
            break;
        chosen = (oldest + i) % marks.size();
    }
    *found = marks[chosen];
    return found->minute + kMinute > since;
}

}  // namespace

void ArrivalInit()
{
    std::lock_guard lock(marksLock());
    window = static_cast<uint32_t>(std::max(ConfigNumber(ConfigKey::kNewnewsWindow, 0), 0));
    marks.assign(window == 0 ? 0 : window / kMinute + 2, Mark{});
    oldest = count = 0;
    lastMinute = 0;
}

uint32_t ArrivalWindow()
{
    return window;
}

void NoteArrival(uint32_t slot)
{
    std::time_t minute = std::time(nullptr) / kMinute * kMinute;
    if (minute == lastMinute.load(std::memory_order_relaxed))
        return;
    lastMinute = minute;
    std::lock_guard lock(marksLock());
    if (marks.empty())
        return;
    size_t at = (oldest + count) % marks.size();
    if (count == marks.size())
        oldest = (oldest + 1) % marks.size();
    else
        ++count;
    Mark& mark = marks[at];
    mark.minute = minute;
    mark.slot = slot;
    for (uint32_t store = 0; store < kMaxStores; ++store)
        mark.position[store] = GetStoreKey(store);
}

void ForEachArrivalSince(std::time_t since, const std::function<void(uint32_t slot)>& visit)
{
    Mark mark;
    if (!MarkFor(since, &mark))
        return;
    const uint32_t capacity = SeenCapacity();
    const uint32_t next = SeenNextSlot();
    for (uint32_t slot = mark.slot, steps = 0; slot != next && steps < capacity; ++steps) {
        uint64_t storeKey = 0, span = 0;
        bool stored = SeenGetRecordExtent(slot, &storeKey, &span) != 0;
        auto store = static_cast<uint32_t>((storeKey >> 40) & 0xFF);
        if (stored && store < kMaxStores && WrittenSince(storeKey, mark.position[store]) && SeenValidateArticle(slot))
            visit(slot);
        slot = slot + 1 < capacity ? slot + 1 : 0;
    }
}
