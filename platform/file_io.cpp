// File I/O: one write-all loop and one read-all loop under every write and
// read, so that the EINTR rule, short transfers and the fault seam are
// handled in one place.
#include "platform/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/file_faults.h"
#include "platform/socket.h"

namespace {

constexpr int64_t kAtFilePosition = -1;

bool Fail(int error)
{
    errno = error;
    return false;
}

void SkipEmpty(iovec*& pieces, int& count)
{
    while (count > 0 && pieces->iov_len == 0) {
        ++pieces;
        --count;
    }
}

void UseUp(iovec*& pieces, int& count, size_t bytes)
{
    while (bytes > 0) {
        const size_t step = std::min(bytes, pieces->iov_len);
        pieces->iov_base = static_cast<char*>(pieces->iov_base) + step;
        pieces->iov_len -= step;
        bytes -= step;
        if (pieces->iov_len == 0) {
            ++pieces;
            --count;
        }
    }
}

// One write call: all pieces (as many as one call takes), or only half of
// the first when the seam asks for a short write.
ssize_t WriteOnce(int fd, const iovec* pieces, int count, int64_t offset, bool half)
{
    if (half) {
        const size_t length = std::max<size_t>(1, pieces->iov_len / 2);
        return offset == kAtFilePosition ? ::write(fd, pieces->iov_base, length)
                                         : ::pwrite(fd, pieces->iov_base, length, offset);
    }
    count = std::min(count, IOV_MAX);
    return offset == kAtFilePosition ? ::writev(fd, pieces, count) : ::pwritev(fd, pieces, count, offset);
}

// The write-all loop: restarts interrupted calls, stops at any other error
// or at a call that writes nothing. *done counts the bytes written.
bool WriteLoop(int fd, iovec* pieces, int count, int64_t offset, uint64_t* done)
{
    const FileFaultAction fault = FileFaultForFd(fd, kFileOpWrite);
    *done = 0;
    for (;;) {
        SkipEmpty(pieces, count);
        if (count == 0)
            return true;
        const bool half = fault.shortWrite && *done == 0;
        if (!half && fault.error != 0)
            return Fail(fault.error);
        const int64_t at = offset == kAtFilePosition ? offset : offset + static_cast<int64_t>(*done);
        const ssize_t n = WriteOnce(fd, pieces, count, at, half);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? Fail(EIO) : false;
        *done += static_cast<uint64_t>(n);
        UseUp(pieces, count, static_cast<size_t>(n));
    }
}

// The read-all loop: up to `length` bytes, fewer only at the end of the file.
ssize_t ReadLoop(int fd, char* buffer, size_t length, int64_t offset)
{
    const FileFaultAction fault = FileFaultForFd(fd, kFileOpRead);
    if (fault.error != 0) {
        errno = fault.error;
        return -1;
    }
    size_t done = 0;
    while (done < length) {
        const ssize_t n = offset == kAtFilePosition
                              ? ::read(fd, buffer + done, length - done)
                              : ::pread(fd, buffer + done, length - done, offset + static_cast<int64_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

iovec Piece(const void* data, size_t length)
{
    return iovec{const_cast<void*>(data), length};
}

bool SyncWith(int fd, int (*sync)(int))
{
    const FileFaultAction fault = FileFaultForFd(fd, kFileOpSync);
    if (fault.error != 0)
        return Fail(fault.error);
    while (sync(fd) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

}  // namespace

UniqueFd OpenFile(const char* path, int flags, mode_t mode)
{
    const FileFaultAction fault = FileFaultForPath(path, kFileOpOpen);
    if (fault.error != 0) {
        errno = fault.error;
        return UniqueFd();
    }
    for (;;) {
        const int fd = ::open(path, flags | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EINTR)
            return UniqueFd(fd);
    }
}

bool WriteAll(int fd, const void* data, size_t length)
{
    iovec piece = Piece(data, length);
    uint64_t done = 0;
    return WriteLoop(fd, &piece, 1, kAtFilePosition, &done);
}

bool WriteAllV(int fd, iovec* pieces, int count)
{
    uint64_t done = 0;
    return WriteLoop(fd, pieces, count, kAtFilePosition, &done);
}

bool AppendAll(int fd, const void* data, size_t length)
{
    iovec piece = Piece(data, length);
    uint64_t done = 0;
    if (WriteLoop(fd, &piece, 1, kAtFilePosition, &done))
        return true;
    const int error = errno;
    const int64_t size = FileSize(fd);
    // Cutting back never needs space, so it works on a full disk too.
    if (done > 0 && size >= static_cast<int64_t>(done))
        (void)::ftruncate(fd, size - static_cast<int64_t>(done));
    return Fail(error);
}

bool PwriteAll(int fd, const void* data, size_t length, uint64_t offset)
{
    iovec piece = Piece(data, length);
    uint64_t done = 0;
    return WriteLoop(fd, &piece, 1, static_cast<int64_t>(offset), &done);
}

bool PwriteAllV(int fd, iovec* pieces, int count, uint64_t offset)
{
    uint64_t done = 0;
    return WriteLoop(fd, pieces, count, static_cast<int64_t>(offset), &done);
}

ssize_t ReadAll(int fd, void* buffer, size_t length)
{
    return ReadLoop(fd, static_cast<char*>(buffer), length, kAtFilePosition);
}

bool PreadAll(int fd, void* buffer, size_t length, uint64_t offset)
{
    const ssize_t n = ReadLoop(fd, static_cast<char*>(buffer), length, static_cast<int64_t>(offset));
    if (n == static_cast<ssize_t>(length))
        return true;
    return n < 0 ? false : Fail(0);
}

bool SendFileRange(int out, int fd, uint64_t offset, uint64_t count)
{
    const FileFaultAction fault = FileFaultForFd(fd, kFileOpRead);
    if (fault.error != 0)
        return Fail(fault.error);
    auto from = static_cast<off_t>(offset);
    while (count > 0) {
        const ssize_t n = ::sendfile(out, fd, &from, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? Fail(0) : false;  // 0: the file ends first
        count -= static_cast<uint64_t>(n);
        CountBytesSent(static_cast<uint64_t>(n));
    }
    return true;
}

bool SyncFile(int fd)
{
    return SyncWith(fd, ::fsync);
}

bool SyncFileData(int fd)
{
    return SyncWith(fd, ::fdatasync);
}

bool AllocateFile(int fd, uint64_t size)
{
    const FileFaultAction fault = FileFaultForFd(fd, kFileOpWrite);
    if (fault.error != 0)
        return Fail(fault.error);
    if (size == 0)
        return true;
    int error;
    while ((error = ::posix_fallocate(fd, 0, static_cast<off_t>(size))) == EINTR) {
    }
    return error == 0 ? true : Fail(error);
}

bool TruncateFile(int fd, uint64_t size)
{
    const FileFaultAction fault = FileFaultForFd(fd, kFileOpWrite);
    if (fault.error != 0)
        return Fail(fault.error);
    while (::ftruncate(fd, static_cast<off_t>(size)) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

int64_t FileSize(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

FileStamp StampOfFile(const char* path)
{
    struct stat st {};
    if (::stat(path, &st) != 0)
        return {};
    constexpr int64_t kNanosecondsPerSecond = 1000000000;
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * kNanosecondsPerSecond + st.st_mtim.tv_nsec};
}

bool RenameFile(const char* from, const char* to)
{
    FileFaultAction fault = FileFaultForPath(from, kFileOpRename);
    if (fault.error == 0)
        fault = FileFaultForPath(to, kFileOpRename);
    if (fault.error != 0)
        return Fail(fault.error);
    return ::rename(from, to) == 0;
}

bool RenameFileNoReplace(const char* from, const char* to)
{
    FileFaultAction fault = FileFaultForPath(from, kFileOpRename);
    if (fault.error == 0)
        fault = FileFaultForPath(to, kFileOpRename);
    if (fault.error != 0)
        return Fail(fault.error);
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0;
}

bool RemoveFile(const char* path)
{
    const FileFaultAction fault = FileFaultForPath(path, kFileOpRename);
    if (fault.error != 0)
        return Fail(fault.error);
    return ::unlink(path) == 0;
}

int64_t SeekFile(int fd, int64_t offset, int whence)
{
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

void CloseFile(int fd)
{
    ::close(fd);
}

bool PathExists(const char* path)
{
    struct stat st {};
    return ::stat(path, &st) == 0;
}

bool IsDirectory(const char* path)
{
    struct stat st {};
    if (::stat(path, &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode))
        return Fail(ENOTDIR);
    return true;
}

bool CanWrite(const char* path)
{
    return ::access(path, W_OK) == 0;
}

std::string ExecutablePath(size_t limit)
{
    std::string path(limit + 1, '\0');
    ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) > limit) {
        if (length > 0)
            errno = ENAMETOOLONG;
        return {};
    }
    path.resize(static_cast<size_t>(length));
    return path;
}
