// Fault seam: the faults in force, matched by path part, and their text form.
#include "platform/file_faults.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/process.h"
#include "platform/sync.h"
#include "platform/unique_fd.h"

std::atomic<bool> bFileFaultsSet{false};

namespace {

std::mutex& faultLock()
{
    static Lasting<std::mutex> lock;  // the I/O layer may be called at exit
    return *lock;
}

std::vector<FileFault>& Faults()
{
    static Lasting<std::vector<FileFault>> faults;
    return *faults;
}

struct Name {
    std::string_view word;
    unsigned value;
};

constexpr Name kOps[] = {
    {"open", kFileOpOpen},   {"read", kFileOpRead},     {"write", kFileOpWrite},
    {"sync", kFileOpSync},   {"rename", kFileOpRename}, {"all", 0x1F},
};

constexpr Name kErrors[] = {
    {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EIO", EIO}, {"EROFS", EROFS}, {"EACCES", EACCES}, {"none", 0},
};

bool Lookup(const Name* names, size_t count, std::string_view word, unsigned* value)
{
    for (size_t i = 0; i < count; ++i)
        if (names[i].word == word) {
            *value = names[i].value;
            return true;
        }
    return false;
}

bool ParseOps(std::string_view list, unsigned* ops)
{
    *ops = 0;
    for (;;) {
        const size_t comma = list.find(',');
        unsigned op = 0;
        if (!Lookup(kOps, std::size(kOps), list.substr(0, comma), &op))
            return false;
        *ops |= op;
        if (comma == std::string_view::npos)
            return true;
        list.remove_prefix(comma + 1);
    }
}

std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    while (true) {
        size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string_view::npos)
            return words;
        line.remove_prefix(start);
        size_t end = line.find_first_of(" \t\r");
        words.push_back(line.substr(0, end));
        if (end == std::string_view::npos)
            return words;
        line.remove_prefix(end);
    }
}

// A path part of "*" stands for every file, so that a line never has an
// empty first word.
bool ParseLine(std::string_view line, FileFault* fault, const char** reason)
{
    std::vector<std::string_view> words = Words(line);
    unsigned error = 0;
    if (words.size() < 3 || words.size() > 4) {
        *reason = "expected <path part> <ops> <error> [short]";
        return false;
    }
    if (!ParseOps(words[1], &fault->ops)) {
        *reason = "unknown operation";
        return false;
    }
    if (!Lookup(kErrors, std::size(kErrors), words[2], &error)) {
        *reason = "unknown error name";
        return false;
    }
    fault->error = static_cast<int>(error);
    fault->shortWrites = words.size() == 4;
    if (fault->shortWrites && words[3] != "short") {
        *reason = "the fourth word can only be \"short\"";
        return false;
    }
    if (error == 0 && !fault->shortWrites) {
        *reason = "a fault needs an error or \"short\"";
        return false;
    }
    fault->pathPart = words[0] == "*" ? std::string() : std::string(words[0]);
    return true;
}

// The whole fault file, read with plain calls; empty when it is missing.
std::string ReadFaultFile(const std::string& path)
{
    std::string text;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char chunk[4096];
    ssize_t n;
    while (fd && ((n = ::read(fd.get(), chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)))
        text.append(chunk, static_cast<size_t>(n > 0 ? n : 0));
    return text;
}

// Puts the text's faults in force; the line that reports the change.
std::string ApplyFaultText(const std::string& path, const std::string& text, unsigned change)
{
    std::vector<FileFault> faults;
    std::string why;
    std::string head = "file faults (change " + std::to_string(change) + "): ";
    if (!ParseFileFaults(text, &faults, &why))
        return head + path + ": " + why + "; the faults in force stay";
    const size_t count = faults.size();
    SetFileFaults(std::move(faults));
    return head + std::to_string(count) + " in force from " + path;
}

}  // namespace

void WatchFileFaults(const char* path, void (*report)(const char* line))
{
    std::string text = ReadFaultFile(path);
    unsigned change = 0;
    if (!text.empty())
        report(ApplyFaultText(path, text, ++change).c_str());
    StartThread("file fault watcher", [file = std::string(path), text, change, report]() mutable {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::string now = ReadFaultFile(file);
            if (now == text)
                continue;
            text = std::move(now);
            report(ApplyFaultText(file, text, ++change).c_str());
        }
    });
}

void SetFileFaults(std::vector<FileFault> faults)
{
    std::lock_guard<std::mutex> lock(faultLock());
    Faults() = std::move(faults);
    bFileFaultsSet.store(!Faults().empty(), std::memory_order_relaxed);
}

bool ParseFileFaults(std::string_view text, std::vector<FileFault>* faults, std::string* why)
{
    faults->clear();
    for (unsigned number = 1; !text.empty(); ++number) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        FileFault fault;
        const char* reason = nullptr;
        if (!ParseLine(line, &fault, &reason)) {
            *why = "line " + std::to_string(number) + ": " + reason;
            return false;
        }
        faults->push_back(std::move(fault));
    }
    return true;
}

FileFaultAction FileFaultForPathSlow(const char* path, unsigned op)
{
    std::string_view name = path != nullptr ? path : "";
    std::lock_guard<std::mutex> lock(faultLock());
    for (const FileFault& fault : Faults())
        if ((fault.ops & op) != 0 && name.find(fault.pathPart) != std::string_view::npos)
            return {fault.error, fault.shortWrites && op == kFileOpWrite};
    return {};
}

FileFaultAction FileFaultForFdSlow(int fd, unsigned op)
{
    char link[32];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    return FileFaultForPathSlow(path, op);
}
