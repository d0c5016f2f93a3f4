// Whole files mapped read-write into memory (history, group database,
// active file). The view stays valid after the descriptor is closed.
#pragma once

#include <cstddef>
#include <cstdint>

// Maps the whole file at `path`, creating it when missing. A `size` of 0
// takes the file's current size (an empty file then fails); a larger size
// extends the file. Disk blocks are taken for the whole size, so a full
// disk fails here (null) and never later under a store into the view.
// Returns the view, or null.
void* CreateMappedRegion(const char* path, uint64_t size);

// Flushes and unmaps a view made by CreateMappedRegion: 1 on success, 0 on
// failure (a failed flush leaves the view mapped). Flushes pass the fault
// seam of platform/file_faults.h as syncs of the file.
int DeleteMappedRegion(void* view);

// Flushes a view to disk without unmapping it: 1 on success.
int FlushMappedRegion(void* view);

// Size in bytes of a view made by CreateMappedRegion, 0 for an unknown view.
uint64_t MappedRegionSize(const void* view);

// Maps `size` bytes of the open file `fd` read-only and shared, so writes
// through any descriptor show in it at once. The file may be shorter: a read
// past its end faults (SIGBUS), so the caller bounds its reads by what it
// knows the file holds. The view is never unmapped (readers may hold it
// while a newer one replaces it). Null on failure.
const char* MapFileForReading(int fd, uint64_t size);

// Enters the pages of `length` bytes at `at` (page-aligned, within a view
// whose file holds them) in the page tables now, in one call, so later
// reads of them take no page fault each. Quietly nothing where the kernel
// cannot (before Linux 5.14).
void PopulateView(const char* at, uint64_t length);
