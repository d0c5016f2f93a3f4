// Mapped regions: open(O_CLOEXEC), ftruncate to extend, mmap(MAP_SHARED).
#include "platform/mapped_region.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

#include "platform/unique_fd.h"

namespace {

// Sizes of the live views, so that flushing and unmapping know their extent.
// Both are never freed: the closing order flushes views while other threads
// still run, right up to the process exit.
std::mutex& regionLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::map<const void*, uint64_t>& Regions()
{
    static auto* regions = new std::map<const void*, uint64_t>;
    return *regions;
}

}  // namespace

void* CreateMappedRegion(const char* path, uint64_t size)
{
    UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd)
        return nullptr;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return nullptr;
    uint64_t current = static_cast<uint64_t>(st.st_size);
    if (size == 0)
        size = current;
    if (size == 0)
        return nullptr;
    if (size > current && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0)
        return nullptr;
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (view == MAP_FAILED)
        return nullptr;
    std::lock_guard<std::mutex> lock(regionLock());
    Regions()[view] = size;
    return view;
}

int FlushMappedRegion(void* view)
{
    uint64_t size = MappedRegionSize(view);
    if (size == 0)
        return 0;
    return ::msync(view, size, MS_SYNC) == 0 ? 1 : 0;
}

int DeleteMappedRegion(void* view)
{
    uint64_t size = MappedRegionSize(view);
    if (size == 0 || ::msync(view, size, MS_SYNC) != 0)
        return 0;
    if (::munmap(view, size) != 0)
        return 0;
    std::lock_guard<std::mutex> lock(regionLock());
    Regions().erase(view);
    return 1;
}

uint64_t MappedRegionSize(const void* view)
{
    std::lock_guard<std::mutex> lock(regionLock());
    auto it = Regions().find(view);
    return it == Regions().end() ? 0 : it->second;
}
