// Active file. A reload swaps the mapping, so users of the view (the overview
// rewriter and LIST) pass through the gate semActive, which the reload closes
// while it remaps.
#include "groups/active.h"

#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "access/wildmat.h"
#include "groups/groupdb.h"
#include "platform/file_io.h"
#include "platform/mapped_region.h"
#include "platform/process.h"
#include "platform/reader_gate.h"
#include "platform/sync.h"
#include "platform/transport.h"
#include "platform/unique_fd.h"
#include "server/config.h"
#include "server/log.h"

namespace {

char* activeMap = nullptr;
uint32_t activeLength = 0;
std::atomic<int> usingActive{0};

ReaderGate& semActive()
{
    static Lasting<ReaderGate> gate;
    return *gate;
}

// Two reloads at once would both unmap the view.
std::mutex& reloadLock()
{
    static Lasting<std::mutex> lock;
    return *lock;
}

// "%09u %09u %c": the numbers field, without its CR LF.
constexpr size_t kFieldSize = 21;
constexpr size_t kMaxActiveName = 1000;
// The field has nine digits: larger numbers are shown as the largest that fits.
constexpr uint32_t kMaxFieldNumber = 999999999;

uint32_t FieldNumber(uint32_t n)
{
    return n > kMaxFieldNumber ? kMaxFieldNumber : n;
}

// Formats the field into `out` (kFieldSize + 1 bytes, NUL-terminated).
void FormatField(char* out, uint32_t high, uint32_t low, char flag)
{
    std::snprintf(out, kFieldSize + 1, "%09u %09u %c", FieldNumber(high), FieldNumber(low), flag);
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A view user for as long as it lives; ok() is false when the file went out
// of use while it waited for a reload.
class ActiveUser {
public:
    ActiveUser() : pass_(semActive()) {}
    bool ok() const { return usingActive != 0; }

private:
    GatePass pass_;
};

void ForgetActiveEntries()
{
    if (groupMap == nullptr)
        return;
    for (uint32_t g = 0; g < groupArraySize; ++g)
        groupMap[g].activeEntry = nullptr;
}

// Points the line's group at its numbers field. Only a line whose field is
// exactly 21 bytes followed by CR LF gets one, so that an update can never
// run into the next line or past the view.
void IndexLine(char* line, size_t length)
{
    size_t nameLength = 0;
    while (nameLength < length && nameLength < kMaxActiveName && !IsBlank(line[nameLength]) &&
           line[nameLength] != '\r' && line[nameLength] != '\n')
        ++nameLength;
    if (nameLength == 0)
        return;
    char name[kMaxActiveName + 1];
    std::memcpy(name, line, nameLength);
    name[nameLength] = '\0';
    uint32_t g = 0;
    if (!FindGroup(name, &g) || g >= groupArraySize || groupMap == nullptr) {
        LogFormat("[%s] not found in hash, but was in active", name);
        return;
    }
    size_t field = nameLength;
    while (field < length && IsBlank(line[field]))
        ++field;
    std::string_view rest(line + field, length - field);
    if (rest.size() != kFieldSize + 2 || rest.substr(kFieldSize) != "\r\n" ||
        rest.substr(0, kFieldSize).find_first_of("\r\n") != std::string_view::npos) {
        LogFormat("[%s] has no numbers field in active", name);
        return;
    }
    groupMap[g].activeEntry = line + field;
}

// The numbers field of the line from `line` to `lineEnd` as ActiveUpdate
// would write it now, into `out`; false when the line is no group's line.
bool CurrentField(const char* name, const char* line, const char* lineEnd, char* out, const char** field)
{
    uint32_t g = 0;
    if (groupMap == nullptr || !FindGroup(name, &g) || g >= groupArraySize)
        return false;
    *field = groupMap[g].activeEntry;
    if (*field == nullptr || *field < line || *field + kFieldSize > lineEnd)
        return false;
    const GroupRecord& record = groupArray[g];
    // GROUP shows an unused group's marks as 1.
    uint32_t low = record.start == 0 ? 1 : record.start, high = record.start == 0 ? 1 : record.end;
    FormatField(out, high, low, GroupPostingFlag(record));
    return true;
}

// One pass over the view, in pieces of about 16 KB: each line whose name
// the wildmat takes (every line without one), with its group's current
// numbers in place of the file's, which lag until the overview rewriter
// writes them. Stops at a line without CR LF.
bool TransmitLines(const Transport& to, const Wildmat* wildmat)
{
    constexpr size_t kPiece = 16384;
    std::string out;
    const char* p = activeMap;
    const char* end = activeMap + activeLength;
    while (p < end) {
        size_t nameLength = 0;
        while (p + nameLength < end && nameLength < kMaxActiveName && !IsBlank(p[nameLength]) &&
               p[nameLength] != '\r' && p[nameLength] != '\n')
            ++nameLength;
        char name[kMaxActiveName + 1];
        std::memcpy(name, p, nameLength);
        name[nameLength] = '\0';
        const char* cr = p + nameLength;
        while (cr < end && *cr != '\r' && *cr != '\n')
            ++cr;
        if (cr + 1 >= end || cr[0] != '\r' || cr[1] != '\n')
            break;
        const char* next = cr + 2;
        char current[kFieldSize + 1];
        const char* field = nullptr;
        bool taken = wildmat == nullptr || wildmat->Matches(name);
        if (taken && CurrentField(name, p, cr, current, &field))
            out.append(p, field).append(current, kFieldSize).append(field + kFieldSize, next);
        else if (taken)
            out.append(p, next);
        if (out.size() >= kPiece) {
            if (!TransportWrite(to, out.data(), out.size()))
                return false;
            out.clear();
        }
        p = next;
    }
    return TransportWrite(to, out.data(), out.size());
}

// Rewrites the file at `path` without the lines of group `name` (through a
// new file renamed over it, so readers of the old view are not disturbed).
// 1 when lines went, 0 when there were none, -1 when it failed.
int RewriteWithout(const char* path, std::string_view name)
{
    UniqueFd in = OpenFile(path, O_RDONLY);
    int64_t size = in ? FileSize(in.get()) : -1;
    if (size < 0)
        return -1;
    std::string text(static_cast<size_t>(size), '\0');
    if (ReadAll(in.get(), text.data(), text.size()) != size)
        return -1;
    std::string kept;
    kept.reserve(text.size());
    bool removed = false;
    for (size_t offset = 0; offset < text.size();) {
        size_t lf = text.find('\n', offset);
        size_t next = lf == std::string::npos ? text.size() : lf + 1;
        std::string_view line(text.data() + offset, next - offset);
        bool named = line.size() > name.size() && line.substr(0, name.size()) == name && IsBlank(line[name.size()]);
        removed = removed || named;
        if (!named)
            kept.append(line);
        offset = next;
    }
    if (!removed)
        return 0;
    std::string fresh = std::string(path) + ".new";
    UniqueFd out = OpenFile(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (!out || !WriteAll(out.get(), kept.data(), kept.size()) || !SyncFile(out.get()) ||
        !RenameFile(fresh.c_str(), path)) {
        RemoveFile(fresh.c_str());
        return -1;
    }
    return 1;
}

}  // namespace

int ActiveInit()
{
    const char* path = ConfigText(ConfigKey::kActiveFile);
    UniqueFd probe = path != nullptr ? OpenFile(path, O_RDONLY) : UniqueFd();
    if (!probe) {
        usingActive = 0;
        return 0;
    }
    if (activeMap != nullptr) {
        ForgetActiveEntries();
        DeleteMappedRegion(activeMap);
        activeMap = nullptr;
    }
    activeMap = static_cast<char*>(CreateMappedRegion(path, 0));
    if (activeMap == nullptr) {
        usingActive = 0;
        return 0;
    }
    auto size = static_cast<size_t>(MappedRegionSize(activeMap));
    uint32_t lines = 0;
    for (size_t offset = 0; offset < size; ++lines) {
        const void* lf = std::memchr(activeMap + offset, '\n', size - offset);
        size_t next = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - activeMap) + 1 : size;
        IndexLine(activeMap + offset, next - offset);
        offset = next;
    }
    activeLength = static_cast<uint32_t>(size);
    LogFormat("active file processed, %u groups, %u bytes", lines, activeLength);
    usingActive = 1;
    return 1;
}

int ActiveReload()
{
    std::lock_guard lock(reloadLock());
    int result = 0;
    semActive().WithReadersOut([&] { result = ActiveInit(); });
    return result;
}

int IndicateActiveReload()
{
    return StartThread("active reload", ActiveReload) ? 1 : 0;
}

int ActiveUpdate(uint32_t g)
{
    if (!usingActive || groupMap == nullptr || g >= groupArraySize)
        return 0;
    ActiveUser user;
    if (!user.ok())
        return 0;
    char* field = groupMap[g].activeEntry;
    if (field == nullptr) {
        LogFormat("%u not in active file!", g);
        return 0;
    }
    const GroupRecord& record = groupArray[g];
    char text[kFieldSize + 1];
    FormatField(text, record.end, record.start, GroupPostingFlag(record));
    std::memcpy(field, text, kFieldSize);
    return 1;
}

int ActiveTransmit(const Transport& out, const char* pattern)
{
    if (!usingActive)
        return 0;
    ActiveUser user;
    if (!user.ok())
        return 0;
    std::optional<Wildmat> wildmat;
    if (pattern != nullptr)
        wildmat.emplace(pattern);
    if (!TransmitLines(out, wildmat ? &*wildmat : nullptr) && pattern == nullptr)
        return 0;
    TransportWrite(out, ".\r\n", 3);
    return 1;
}

int AddActive(const char* name, uint32_t start, const char* post)
{
    const char* path = ConfigText(ConfigKey::kActiveFile);
    if (path == nullptr)
        return 0;
    UniqueFd fd = OpenFile(path, O_WRONLY | O_APPEND | O_CREAT);
    if (!fd)
        return 0;
    char field[kFieldSize + 1];
    FormatField(field, start, start, post[0] != '\0' ? post[0] : 'y');
    std::string line = std::string(name) + ' ' + field + "\r\n";
    return AppendAll(fd.get(), line.data(), line.size()) ? 1 : 0;
}

int RemoveActive(const char* name)
{
    const char* path = ConfigText(ConfigKey::kActiveFile);
    if (path == nullptr)
        return 0;
    std::lock_guard lock(reloadLock());
    int result = 0;
    // Readers out while the file changes, so no update lands in the old
    // file after it was read; the new one is mapped before they return.
    semActive().WithReadersOut([&] {
        result = RewriteWithout(path, name);
        if (result > 0 && usingActive)
            ActiveInit();
    });
    return result;
}
