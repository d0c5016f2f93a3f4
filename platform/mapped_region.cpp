// Mapped regions: the file's blocks allocated up front, mmap(MAP_SHARED).
#include "platform/mapped_region.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>

#include "platform/file_faults.h"
#include "platform/file_io.h"
#include "platform/sync.h"

namespace {

struct Region {
    uint64_t size;
    std::string path;  // for the fault seam
};

// The live views, so that flushing and unmapping know their extent. Both
// outlive static destruction: the closing order flushes views while other
// threads still run, right up to the process exit.
std::mutex& regionLock()
{
    static Lasting<std::mutex> lock;
    return *lock;
}

std::map<const void*, Region>& Regions()
{
    static Lasting<std::map<const void*, Region>> regions;
    return *regions;
}

Region Find(const void* view)
{
    std::lock_guard<std::mutex> lock(regionLock());
    auto it = Regions().find(view);
    return it == Regions().end() ? Region{0, {}} : it->second;
}

bool Sync(void* view, const Region& region)
{
    const FileFaultAction fault = FileFaultForPath(region.path.c_str(), kFileOpSync);
    if (fault.error != 0) {
        errno = fault.error;
        return false;
    }
    return ::msync(view, region.size, MS_SYNC) == 0;
}

}  // namespace

void* CreateMappedRegion(const char* path, uint64_t size)
{
    UniqueFd fd = OpenFile(path, O_RDWR | O_CREAT);
    if (!fd)
        return nullptr;
    const int64_t current = FileSize(fd.get());
    if (current < 0)
        return nullptr;
    if (size == 0)
        size = static_cast<uint64_t>(current);
    // Blocks taken now: a store into a hole of a full disk would kill the
    // process with SIGBUS instead of failing here.
    if (size == 0 || !AllocateFile(fd.get(), size))
        return nullptr;
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (view == MAP_FAILED)
        return nullptr;
    std::lock_guard<std::mutex> lock(regionLock());
    Regions()[view] = Region{size, path};
    return view;
}

int FlushMappedRegion(void* view)
{
    const Region region = Find(view);
    if (region.size == 0)
        return 0;
    return Sync(view, region) ? 1 : 0;
}

int DeleteMappedRegion(void* view)
{
    const Region region = Find(view);
    if (region.size == 0 || !Sync(view, region))
        return 0;
    if (::munmap(view, region.size) != 0)
        return 0;
    std::lock_guard<std::mutex> lock(regionLock());
    Regions().erase(view);
    return 1;
}

uint64_t MappedRegionSize(const void* view)
{
    return Find(view).size;
}

const char* MapFileForReading(int fd, uint64_t size)
{
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : static_cast<const char*>(view);
}

void PopulateView(const char* at, uint64_t length)
{
#ifdef MADV_POPULATE_READ
    (void)::madvise(const_cast<char*>(at), length, MADV_POPULATE_READ);
#else
    (void)at;
    (void)length;
#endif
}
