// List of newly created groups. The file is opened by each NEWGROUPS on its
// own connection thread and only read; the group numbers come from the
// group database.
#include "groups/newgroups.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "access/wildmat.h"
#include "groups/groupdb.h"
#include "nntp/reply.h"
#include "platform/file_io.h"
#include "platform/line_reader.h"
#include "server/client_context.h"
#include "server/config.h"

namespace {

constexpr uint32_t kInvalidTime = 0xFFFFFFFF;
constexpr std::string_view kNoFile = "231 no newgroups file configured\r\n.\r\n";
constexpr size_t kLineSize = 1024;
constexpr size_t kPiece = 16384;
constexpr uint32_t kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30};

std::optional<std::string> fnNewgroups;

// Two digits at `at`.
uint32_t Pair(std::string_view text, size_t at)
{
    return static_cast<uint32_t>(text[at] - '0') * 10 + static_cast<uint32_t>(text[at + 1] - '0');
}

bool Digits(std::string_view text, size_t count)
{
    return text.size() == count && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// 100k + yy nearest the current year; of two equally near, the earlier.
uint32_t FullYear(uint32_t yy)
{
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    int current = parts.tm_year + 1900;
    int best = current - current % 100 - 100 + static_cast<int>(yy);
    for (int candidate = best + 100; candidate <= current + 100; candidate += 100)
        if (std::abs(candidate - current) < std::abs(best - current))
            best = candidate;
    return static_cast<uint32_t>(best);
}

bool LeapYear(uint32_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// The next word of `rest` (split at spaces), advancing past it.
std::string_view NextWord(std::string_view& rest)
{
    size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        rest = {};
        return {};
    }
    size_t end = std::min(rest.find(' ', begin), rest.size());
    std::string_view word = rest.substr(begin, end - begin);
    rest.remove_prefix(end);
    return word;
}

// The group line of a carried group, appended to `out`.
void AppendGroup(std::string& out, const char* name)
{
    GroupSelection selection;
    if (!GetGroupInfo(name, &selection))
        return;
    char numbers[40];
    int n = std::snprintf(numbers, sizeof numbers, " %u %u %c\r\n", selection.high, selection.low,
                          GetGroupPostInfo(name));
    out.append(name).append(numbers, static_cast<size_t>(n));
}

// Calls visit(created, name) for each name line of the file, `created`
// being the latest marker time so far (0 before the first); false when the
// file cannot be opened.
template <typename Visit>
bool ForEachNewgroup(Visit visit)
{
    UniqueFd file = OpenFile(fnNewgroups->c_str(), O_RDONLY);
    if (!file)
        return false;
    // Lines are cut at kLineSize - 1 bytes, the rest passed over.
    LineReader lines(file.get(), kLineSize - 1);
    char line[kLineSize];
    unsigned long long created = 0;
    while (lines.Next(line)) {
        if (line[0] == '#')
            created = std::max(created, std::strtoull(line + 1, nullptr, 10));
        else
            visit(created, line);
    }
    return true;
}

}  // namespace

int NewgroupsInit()
{
    const char* path = ConfigText(ConfigKey::kNewgroupsFile);
    fnNewgroups = path != nullptr ? std::optional<std::string>(path) : std::nullopt;
    return 1;
}

int TransmitNewgroups(ClientContext* ctx, const char* argument)
{
    if (!fnNewgroups) {
        SendData(ctx, kNoFile.data(), kNoFile.size());
        return 1;
    }
    std::string_view rest(argument);
    std::string_view date = NextWord(rest);
    std::string_view time = NextWord(rest);
    uint32_t since = NNTPtoGMT(date, time);
    if (since == kInvalidTime) {
        Respond(ctx, 501);
        return 0;
    }
    std::string out = "231\r\n";
    bool opened = ForEachNewgroup([&](unsigned long long created, const char* name) {
        if (created <= since)
            return;
        AppendGroup(out, name);
        if (out.size() >= kPiece) {
            SendData(ctx, out.data(), out.size());
            out.clear();
        }
    });
    if (!opened) {
        SendData(ctx, kNoFile.data(), kNoFile.size());
        return 1;
    }
    out += ".\r\n";
    SendData(ctx, out.data(), out.size());
    return 1;
}

int TransmitActiveTimes(ClientContext* ctx, const char* pattern)
{
    std::optional<Wildmat> wildmat;
    if (pattern != nullptr)
        wildmat.emplace(pattern);
    const char* creator = ConfigText(ConfigKey::kHostPathIdentifier);
    std::string out = "215 information follows\r\n";
    if (fnNewgroups) {
        ForEachNewgroup([&](unsigned long long created, const char* name) {
            uint32_t g = 0;
            if ((wildmat && !wildmat->Matches(name)) || !FindGroup(name, &g))
                return;
            out.append(name).append(" ").append(std::to_string(created)).append(" ");
            out.append(creator != nullptr ? creator : "server").append("\r\n");
            if (out.size() >= kPiece) {
                SendData(ctx, out.data(), out.size());
                out.clear();
            }
        });
    }
    out += ".\r\n";
    return SendData(ctx, out.data(), out.size());
}

int AddNewgroupEntry(const char* name)
{
    if (!fnNewgroups)
        return 0;
    UniqueFd file = OpenFile(fnNewgroups->c_str(), O_WRONLY | O_APPEND | O_CREAT);
    if (!file)
        return 0;
    char marker[32];
    int n = std::snprintf(marker, sizeof marker, "#%lld\n", static_cast<long long>(std::time(nullptr)));
    std::string lines = std::string(marker, static_cast<size_t>(n)) + name + "\n";
    return AppendAll(file.get(), lines.data(), lines.size()) ? 1 : 0;
}

uint32_t NNTPtoGMT(std::string_view date, std::string_view time)
{
    // yyyymmdd, or yymmdd in the century nearest this year.
    bool fullYear = Digits(date, 8);
    if ((!fullYear && !Digits(date, 6)) || !Digits(time, 6))
        return kInvalidTime;
    uint32_t century = fullYear ? Pair(date, 0) : 0;
    if (fullYear)
        date.remove_prefix(2);
    uint32_t yy = Pair(date, 0), month = Pair(date, 2), day = Pair(date, 4);
    uint32_t hour = Pair(time, 0), minute = Pair(time, 2), second = Pair(time, 4);
    if (month < 1 || month > 12 || day < 1 || day > 31 || minute > 59 || second > 59 || hour > 24)
        return kInvalidTime;
    if (hour == 24) {
        hour = 0;
        ++day;
    }
    uint32_t year = fullYear ? century * 100 + yy : FullYear(yy);
    // Before 1970 asks for everything; beyond the 32-bit range for nothing.
    if (year < 1970)
        return 0;
    uint64_t days = 0;
    for (uint32_t y = 1970; y < year; ++y)
        days += LeapYear(y) ? 366 : 365;
    if (LeapYear(year) && month > 2)
        ++days;
    for (uint32_t m = 1; m < month; ++m)
        days += kMonthDays[m - 1];
    days += day - 1;
    return static_cast<uint32_t>(
        std::min<uint64_t>(((days * 24 + hour) * 60 + minute) * 60 + second, kInvalidTime - 1));
}
