// File I/O of the server: every open, read, write, sync, allocation and
// rename of a file, and the directory and path queries, go through here. Interrupted calls (EINTR) are always
// restarted; any other failure returns false (or -1) with errno set and is
// left to the caller to report. Each call first passes the fault seam of
// platform/file_faults.h, which costs one predictable branch while no fault
// is set.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

struct iovec;

// Opens `path` with `flags` (O_CLOEXEC is added); invalid on failure.
UniqueFd OpenFile(const char* path, int flags, mode_t mode = 0644);

// Writes all `length` bytes at the file position.
bool WriteAll(int fd, const void* data, size_t length);

// Writes the `count` pieces in order at the file position. The pieces are
// used up as they go out (their bases and lengths change).
bool WriteAllV(int fd, iovec* pieces, int count);

// Appends all `length` bytes to a file opened with O_APPEND, or nothing: a
// write that fails part-way is cut off again, so no torn record stays.
bool AppendAll(int fd, const void* data, size_t length);

// Positioned writes of all bytes at `offset`; the file position stays.
// PwriteAllV uses up its pieces as WriteAllV does.
bool PwriteAll(int fd, const void* data, size_t length, uint64_t offset);
bool PwriteAllV(int fd, iovec* pieces, int count, uint64_t offset);

// Reads up to `length` bytes from the file position; fewer only at the end
// of the file. The count read, or -1.
ssize_t ReadAll(int fd, void* buffer, size_t length);

// Reads exactly `length` bytes at `offset`: false on an error or when the
// file ends first (errno 0 then).
bool PreadAll(int fd, void* buffer, size_t length, uint64_t offset);

// Sends `count` bytes of the file from `offset` to descriptor `out` (a
// socket or file): false on any failure, including a file that ends first.
bool SendFileRange(int out, int fd, uint64_t offset, uint64_t count);

// fsync and fdatasync.
bool SyncFile(int fd);
bool SyncFileData(int fd);

// Makes sure the first `size` bytes of the file have blocks on disk (the
// file grows to `size` when shorter), so that writes into a mapping of it
// cannot fail for want of space later.
bool AllocateFile(int fd, uint64_t size);

// Sets the file's length.
bool TruncateFile(int fd, uint64_t size);

// The file's length, or -1.
int64_t FileSize(int fd);

// What tells one version of a file from the next: which file the path names,
// its size and its modification time. All zero when the path names nothing.
struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modified = 0;  // nanoseconds since the epoch
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampOfFile(const char* path);

// Renames `from` to `to`, replacing `to`.
bool RenameFile(const char* from, const char* to);

// Renames `from` to `to` only when `to` does not exist (errno EEXIST if it
// does): publishes a finished file under a name nobody else holds.
bool RenameFileNoReplace(const char* from, const char* to);

// Deletes the file.
bool RemoveFile(const char* path);

// Moves the file position (`whence` as for lseek); the new position, or -1.
int64_t SeekFile(int fd, int64_t offset, int whence);

// Closes a descriptor that no UniqueFd owns.
void CloseFile(int fd);

// Whether anything exists at `path`; whether it is a directory (false with
// errno ENOTDIR when something else is there); whether this process may
// write in it.
bool PathExists(const char* path);
bool IsDirectory(const char* path);
bool CanWrite(const char* path);

// The path of the running program, or empty (errno set) when it is unknown
// or longer than `limit` bytes.
std::string ExecutablePath(size_t limit);
