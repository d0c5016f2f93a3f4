// Article stores: ring files written by positioned appends, with the record
// of each store saved as its metadata file.
#include "article/store.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <strings.h>
#include <thread>
#include <vector>

#include "access/match.h"
#include "platform/failure_burst.h"
#include "platform/file_faults.h"
#include "platform/file_io.h"
#include "platform/mapped_region.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/transport.h"
#include "platform/unique_fd.h"
#include "server/log.h"

uint32_t OverviewCacheStore = 0xFFFFFFFF;

namespace {

constexpr uint64_t kMegabyte = 1048576;
constexpr uint64_t kWrapMargin = 0x200400;       // 2 MB + 1 KB left free at the end
constexpr uint64_t kPreviousCycleGap = 0xA00000;  // 10 MB ahead of the writer

alignas(8) ArtStore storeArray[kMaxStores];
// Process-local parts of each store. Readers take the descriptor and the
// selection without a lock, so they are atomics; descriptors and expressions
// replaced by a rebuild stay alive for readers still holding them.
UniqueFd storeFiles[kMaxStores];
std::atomic<int> storeHandles[kMaxStores];
// Each store's file mapped for reading, and how far the file is known to
// reach: its size when opened, raised by every write (reads past the end of
// a mapped file fault, so none goes past this).
struct StoreView {
    const char* data;
    uint64_t size;  // bytes mapped
};
std::atomic<const StoreView*> storeViews[kMaxStores];
std::atomic<uint64_t> storeExtents[kMaxStores];

// Every view ever made, under csArtStore: none is unmapped or freed, since a
// reader may still hold an old one (a deque keeps the addresses).
std::deque<StoreView>& AllViews()
{
    static Lasting<std::deque<StoreView>> views;
    return *views;
}

const StoreView* MapStore(int fd, uint64_t size)
{
    const char* data = MapFileForReading(fd, size);
    return data != nullptr ? &AllViews().emplace_back(StoreView{data, size}) : nullptr;
}

// Only ever raised: the inserting thread and the overview rewriter may both
// write one store.
void RaiseExtent(uint32_t store, uint64_t end)
{
    uint64_t current = storeExtents[store].load(std::memory_order_relaxed);
    while (current < end && !storeExtents[store].compare_exchange_weak(current, end, std::memory_order_release,
                                                                       std::memory_order_relaxed)) {
    }
}

// What was just written is what readers ask for next (XOVER of new
// articles, ARTICLE of a new post): each whole step the writer completes is
// entered in the view's page tables at once, so those reads take no page
// fault per record. One call per step keeps it off the per-article cost.
constexpr uint64_t kPopulateStep = 1 << 20;

void PopulateWritten(uint32_t store, uint64_t from, uint64_t to)
{
    const uint64_t done = to / kPopulateStep * kPopulateStep;
    if (from / kPopulateStep * kPopulateStep == done)
        return;
    const StoreView* view = storeViews[store].load(std::memory_order_acquire);
    if (view != nullptr && done <= view->size)
        PopulateView(view->data + done - kPopulateStep, kPopulateStep);
}

std::atomic<const MatchExpression*> storeSelections[kMaxStores];
std::vector<UniqueFd> retiredFiles;
std::vector<std::unique_ptr<MatchExpression>> compiledSelections;
FailureBurst storeWriteFailures[kMaxStores];

CriticalSection& csArtStore()
{
    static Lasting<CriticalSection> cs;  // held for good by StoreShutdown
    return *cs;
}

template <typename T>
T Load(const T& field)
{
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

template <typename T>
void Store(T& field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

ArtStore* InUse(uint32_t store)
{
    if (store >= kMaxStores || Load(storeArray[store].inUse) == 0)
        return nullptr;
    return &storeArray[store];
}

// The store holding a key's data, or null when it is overwritten, from
// another cycle, or of an unknown store. Wrap counts compare modulo 2^16,
// the width of the key's field, so keys stay valid past 65,535 wraps.
ArtStore* StoreOfValidKey(uint64_t key)
{
    ArtStore* s = InUse(StoreOfKey(key));
    if (s == nullptr)
        return nullptr;
    const uint64_t offset = key & kStoreOffsetMask;
    if (offset > s->storeSize * kMegabyte)
        return nullptr;
    const uint16_t keyWrap = WrapOfKey(key);
    const uint16_t wrap = static_cast<uint16_t>(Load(s->wrapCount));
    if (wrap == keyWrap)
        return s;
    if (wrap == static_cast<uint16_t>(keyWrap + 1) && offset >= Load(s->position) + kPreviousCycleGap)
        return s;
    return nullptr;
}

// The record as it stands, its changing fields read atomically.
ArtStore Snapshot(const ArtStore& s)
{
    ArtStore copy {};
    std::memcpy(&copy, &s, offsetof(ArtStore, wrapCount));
    copy.wrapCount = Load(s.wrapCount);
    copy.checkCount = Load(s.checkCount);
    copy.position = Load(s.position);
    copy.inUse = Load(s.inUse);
    copy.expirePriority = s.expirePriority;
    return copy;
}

UniqueFd OpenStoreFile(const char* path)
{
    UniqueFd fd = OpenFile(path, O_RDWR | O_CREAT);
    if (fd)
        ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

// The saved record, if any, over a fresh one. The paths are set afresh: the
// directory may have moved since the file was written.
int ReadStoreRecord(ArtStore* r, uint32_t number, const char* directory, uint32_t storeSize)
{
    std::memset(r, 0, sizeof *r);
    r->storeSize = storeSize;
    r->position = 1;
    int n = std::snprintf(r->metaPath, sizeof r->metaPath, "%s/%u-meta.dat", directory, number);
    if (n < 0 || static_cast<size_t>(n) >= sizeof r->metaPath)
        return 0;
    if (UniqueFd meta = OpenStoreFile(r->metaPath))
        (void)PreadAll(meta.get(), r, sizeof *r, 0);
    r->selectionRef = 0;
    r->fileHandle = 0;
    if (r->position == 0)
        r->position = 1;  // offset 0 is the placeholders' key
    std::snprintf(r->metaPath, sizeof r->metaPath, "%s/%u-meta.dat", directory, number);
    n = std::snprintf(r->articlePath, sizeof r->articlePath, "%s/%u-articles.dat", directory, number);
    return n >= 0 && static_cast<size_t>(n) < sizeof r->articlePath;
}

// Offsets must fit the key's 40 bits and the file must be seekable that far.
bool SizeAddressable(int fd, uint32_t storeSize)
{
    const uint64_t bytes = storeSize * kMegabyte;
    if (bytes > kStoreOffsetMask + 1)
        return false;
    bool ok = SeekFile(fd, static_cast<int64_t>(bytes), SEEK_SET) == static_cast<int64_t>(bytes);
    SeekFile(fd, 0, SEEK_SET);
    return ok;
}

void WrapStore(ArtStore& s)
{
    Store(s.position, uint64_t{1});
    uint32_t wrap = Load(s.wrapCount) + 1;
    Store(s.wrapCount, wrap);
    LogFormat("ArtStore: wrapped store %u, wrapcount=%u, checkcount=%u", s.number, wrap, Load(s.checkCount));
    Store(s.checkCount, 0u);
    WriteStoreMeta(s.number);
}

// Logged once per burst: a full disk fails every article until it clears.
void NoteWriteFailure(uint32_t store)
{
    const int error = errno;
    if (storeWriteFailures[store].Failed())
        LogFormat("Error %u in WriteToStore for %u", static_cast<unsigned>(error != 0 ? error : EIO), store);
}

[[noreturn]] void StoreMaintThread()
{
    std::this_thread::sleep_for(std::chrono::seconds(60));
    for (;;) {
        StoreSyncMeta();
        std::this_thread::sleep_for(std::chrono::seconds(5));
    }
}

}  // namespace

int ArtStoreInit()
{
    CsLock lock(csArtStore());
    for (uint32_t n = 0; n < kMaxStores; ++n) {
        Store(storeArray[n].inUse, 0u);
        storeHandles[n] = -1;
    }
    OverviewCacheStore = 0xFFFFFFFF;
    static std::once_flag started;
    bool running = true;
    std::call_once(started, [&running] { running = StartThread("store maintenance", StoreMaintThread); });
    return running ? 1 : 0;
}

ArtStore* BuildArtStore(uint32_t number, const char* directory, const char* selectString, uint32_t storeSize,
                        uint32_t expirePriority)
{
    if (number >= kMaxStores)
        return nullptr;
    ArtStore r;
    if (!ReadStoreRecord(&r, number, directory, storeSize))
        return nullptr;
    if (r.storeSize < storeSize)
        r.storeSize = storeSize;  // a store can grow, never shrink
    r.expirePriority = static_cast<uint8_t>(expirePriority);
    UniqueFd file = OpenStoreFile(r.articlePath);
    if (!file || !SizeAddressable(file.get(), r.storeSize))
        return nullptr;
    r.number = number;
    r.fileHandle = static_cast<uint32_t>(file.get());
    const bool overcache = strcasecmp(selectString, "overcache") == 0;
    std::unique_ptr<MatchExpression> selection;
    if (!overcache && !(selection = CompileMatchString(selectString)))
        return nullptr;
    r.inUse = 1;

    CsLock lock(csArtStore());
    ArtStore& s = storeArray[number];
    if (Load(s.inUse) != 0 && std::strcmp(s.articlePath, r.articlePath) == 0) {
        r.wrapCount = Load(s.wrapCount);
        r.checkCount = Load(s.checkCount);
        r.position = Load(s.position);
    }
    Store(s.inUse, 0u);
    std::memcpy(&s, &r, offsetof(ArtStore, inUse));
    s.expirePriority = r.expirePriority;
    if (storeFiles[number])
        retiredFiles.push_back(std::move(storeFiles[number]));
    storeFiles[number] = std::move(file);
    storeHandles[number] = storeFiles[number].get();
    storeExtents[number] = 0;  // the old view's extent must not cover the new file
    storeViews[number].store(MapStore(storeHandles[number], uint64_t{s.storeSize} * kMegabyte),
                             std::memory_order_release);
    RaiseExtent(number, static_cast<uint64_t>(std::max<int64_t>(FileSize(storeHandles[number]), 0)));
    storeSelections[number] = selection.get();
    if (selection)
        compiledSelections.push_back(std::move(selection));
    if (overcache)
        OverviewCacheStore = number;
    else if (OverviewCacheStore == number)
        OverviewCacheStore = 0xFFFFFFFF;
    Store(s.inUse, 1u);
    return &s;
}

int FindArtStore(const ClientContext& c)
{
    for (uint32_t n = 0; n < kMaxStores; ++n) {
        const MatchExpression* selection = storeSelections[n].load(std::memory_order_acquire);
        if (InUse(n) != nullptr && selection != nullptr && CheckMatch(c, selection))
            return static_cast<int>(n);
    }
    return -1;
}

int GetStoreExpirationPriority(uint32_t store)
{
    const ArtStore* s = InUse(store);
    return s != nullptr ? s->expirePriority : -1;
}

int StoreCheckAndWrap(uint32_t store)
{
    ArtStore* s = InUse(store);
    if (s == nullptr)
        return 0;
    Store(s->checkCount, Load(s->checkCount) + 1);
    if (Load(s->position) + kWrapMargin > s->storeSize * kMegabyte)
        WrapStore(*s);
    return 1;
}

uint64_t GetStoreKey(uint32_t store)
{
    const ArtStore* s = InUse(store);
    if (s == nullptr)
        return 0;
    return MakeStoreKey(store, Load(s->wrapCount), Load(s->position));
}

uint64_t GetStorePosition(uint32_t store)
{
    const ArtStore* s = InUse(store);
    return s != nullptr ? Load(s->position) : ~0ULL;
}

uint32_t WriteToStore(uint32_t store, const void* bytes, uint32_t count)
{
    iovec piece{const_cast<void*>(bytes), count};
    return WriteToStoreV(store, &piece, 1);
}

uint32_t WriteToStoreV(uint32_t store, const iovec* pieces, int count)
{
    ArtStore* s = InUse(store);
    constexpr int kMaxPieces = 16;
    if (s == nullptr || count < 0 || count > kMaxPieces)
        return 0;
    iovec left[kMaxPieces];
    uint64_t total = 0;
    for (int i = 0; i < count; ++i) {
        left[i] = pieces[i];
        total += pieces[i].iov_len;
    }
    if (total > UINT32_MAX)
        return 0;
    const uint64_t position = Load(s->position);
    const int fd = storeHandles[store].load(std::memory_order_relaxed);
    if (!PwriteAllV(fd, left, count, position)) {
        NoteWriteFailure(store);
        return 0;
    }
    if (const uint32_t failures = storeWriteFailures[store].Succeeded()) [[unlikely]]
        LogFormat("ArtStore: store %u written again after %u failed writes", store, failures);
    RaiseExtent(store, position + total);
    Store(s->position, position + total);
    PopulateWritten(store, position, position + total);
    return static_cast<uint32_t>(total);
}

int GetStorePlace(uint32_t store, uint32_t* wrapCount, uint64_t* position)
{
    const ArtStore* s = InUse(store);
    if (s == nullptr)
        return 0;
    *wrapCount = Load(s->wrapCount);
    *position = Load(s->position);
    return 1;
}

uint64_t GetStoreSize(uint32_t store)
{
    const ArtStore* s = InUse(store);
    return s != nullptr ? static_cast<uint64_t>(s->storeSize) * kMegabyte : 0;
}

int SetStorePlace(uint32_t store, uint32_t wrapCount, uint64_t position)
{
    ArtStore* s = InUse(store);
    if (s == nullptr)
        return 0;
    if (wrapCount != Load(s->wrapCount))
        Store(s->checkCount, 0u);
    Store(s->wrapCount, wrapCount);
    Store(s->position, position);
    WriteStoreMeta(store);
    return 1;
}

uint32_t AdvanceStore(uint32_t store, uint32_t count)
{
    ArtStore* s = InUse(store);
    if (s == nullptr)
        return 0;
    Store(s->position, Load(s->position) + count);
    return count;
}

uint32_t WriteToStoreSpec(uint64_t storeKey, const void* bytes, uint64_t offset, uint32_t count)
{
    uint64_t base = 0;
    int fd = GetStoreHandleAndOffset(storeKey, &base);
    if (fd < 0 || !PwriteAll(fd, bytes, count, base + offset))
        return 0;
    RaiseExtent(StoreOfValidKey(storeKey)->number, base + offset + count);
    return count;
}

uint64_t GetStoreOffsetFromKey(uint64_t storeKey, uint64_t* offset)
{
    if (offset != nullptr)
        *offset = storeKey & kStoreOffsetMask;
    return storeKey & kStoreOffsetMask;
}

int GetStoreHandle(uint64_t storeKey)
{
    const ArtStore* s = StoreOfValidKey(storeKey);
    return s != nullptr ? storeHandles[s->number].load(std::memory_order_relaxed) : -1;
}

int GetStoreHandleAndOffset(uint64_t storeKey, uint64_t* offset)
{
    GetStoreOffsetFromKey(storeKey, offset);
    return GetStoreHandle(storeKey);
}

uint32_t ReadStore(uint64_t storeKey, void* buffer, uint64_t offset, uint32_t count)
{
    // Mapped bytes cost a copy and no system call.
    if (const std::string_view bytes = StoreBytes(storeKey, offset, count); !bytes.empty()) {
        std::memcpy(buffer, bytes.data(), count);
        return count;
    }
    uint64_t base = 0;
    int fd = GetStoreHandleAndOffset(storeKey, &base);
    if (fd < 0)
        return 0;
    return PreadAll(fd, buffer, count, base + offset) ? count : 0;
}

std::string_view StoreBytes(uint64_t storeKey, uint64_t offset, uint32_t count)
{
    const ArtStore* s = StoreOfValidKey(storeKey);
    if (s == nullptr)
        return {};
    const uint32_t number = s->number;
    const StoreView* view = storeViews[number].load(std::memory_order_acquire);
    const uint64_t at = (storeKey & kStoreOffsetMask) + offset;
    if (view == nullptr || at + count > view->size || at + count > storeExtents[number].load(std::memory_order_acquire))
        return {};
    // The fault seam of the tests sees this as the read it stands for.
    if (FileFaultForFd(storeHandles[number].load(std::memory_order_relaxed), kFileOpRead).error != 0)
        return {};
    return {view->data + at, count};
}

int CopyStoreToHandle(const Transport& out, uint64_t storeKey, uint64_t offset, uint64_t count)
{
    uint64_t base = 0;
    int fd = GetStoreHandleAndOffset(storeKey, &base);
    if (fd < 0)
        return 0;
    return TransportSendFile(out, fd, base + offset, count) ? 1 : 0;
}

int WriteStoreMeta(uint32_t store)
{
    const ArtStore* s = InUse(store);
    if (s == nullptr)
        return 0;
    ArtStore copy = Snapshot(*s);
    UniqueFd meta = OpenStoreFile(copy.metaPath);
    if (!meta || !PwriteAll(meta.get(), &copy, sizeof copy, 0)) {
        LogFormat("ArtStore: could not write metadata for store %u", store);
        return 0;
    }
    return 1;
}

void StoreSyncMeta()
{
    CsLock lock(csArtStore());
    for (uint32_t n = 0; n < kMaxStores; ++n)
        if (InUse(n) != nullptr)
            WriteStoreMeta(n);
}

void StoreSyncAndClose()
{
    CsLock lock(csArtStore());
    StoreSyncMeta();
    for (uint32_t n = 0; n < kMaxStores; ++n) {
        Store(storeArray[n].inUse, 0u);
        storeHandles[n] = -1;
        storeFiles[n].reset();
    }
    retiredFiles.clear();
}

void StoreShutdown()
{
    csArtStore().lock();  // never released: the maintenance thread writes no more
    StoreSyncMeta();
}
