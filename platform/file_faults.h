// Fault seam of the file-I/O layer: tests make the calls on chosen files
// fail as a full disk or a failing device would (ENOSPC, EIO, short
// writes). Files are chosen by a part of their path; a descriptor's path is
// looked up only while some fault is set, so the seam costs one predictable
// branch otherwise. Nothing here is reachable from the network: unit tests
// call SetFileFaults, and the server takes faults from a file only in debug
// mode (server/fault_watch.h).
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

enum FileOp : unsigned {
    kFileOpOpen = 1,
    kFileOpRead = 2,
    kFileOpWrite = 4,  // also allocation and truncation
    kFileOpSync = 8,   // fsync, fdatasync and the flush of a mapping
    kFileOpRename = 16,  // also removal
};

struct FileFault {
    std::string pathPart;  // files whose path contains this text; empty: every file
    unsigned ops = 0;      // FileOp bits
    int error = 0;         // errno the calls fail with; 0: none
    bool shortWrites = false;  // a write first moves only half of its first piece
};

// What the seam makes of one call: fail with `error`, or (writes only) move
// half of the first piece before doing anything else.
struct FileFaultAction {
    int error = 0;
    bool shortWrite = false;
};

// Replaces the faults in force; an empty list clears them.
void SetFileFaults(std::vector<FileFault> faults);

// Reads the text form: one fault a line, "<path part> <ops> <error>
// [short]"; a path part of "*" stands for every file. Ops is a comma list
// of open, read, write, sync, rename, or "all"; error is ENOSPC, EDQUOT,
// EIO, EROFS, EACCES or "none". Blank lines and lines starting with '#' are
// skipped. False, with the line and the reason in *why, for a line that
// does not read.
bool ParseFileFaults(std::string_view text, std::vector<FileFault>* faults, std::string* why);

// Debug runs only: reads the faults from the file at `path` now and then
// every 100 ms, putting them in force whenever its text changes (a missing
// or empty file clears them). Each change is reported through `report` as
// "file faults (change N): ...". The file itself is read past the seam, so
// that no fault can keep it from being cleared. Starts one thread.
void WatchFileFaults(const char* path, void (*report)(const char* line));

extern std::atomic<bool> bFileFaultsSet;

FileFaultAction FileFaultForPathSlow(const char* path, unsigned op);
FileFaultAction FileFaultForFdSlow(int fd, unsigned op);

// The seam's action for an operation on `path` / on descriptor `fd`.
inline FileFaultAction FileFaultForPath(const char* path, unsigned op)
{
    if (!bFileFaultsSet.load(std::memory_order_relaxed)) [[likely]]
        return {};
    return FileFaultForPathSlow(path, op);
}

inline FileFaultAction FileFaultForFd(int fd, unsigned op)
{
    if (!bFileFaultsSet.load(std::memory_order_relaxed)) [[likely]]
        return {};
    return FileFaultForFdSlow(fd, op);
}
