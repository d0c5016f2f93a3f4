// Log writing and rotation. Every line is flushed at once; csLog makes each
// line and each rotation atomic with respect to the others.
#include "server/log.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file_io.h"
#include "platform/sync.h"
#include "server/config.h"

namespace {

CriticalSection& csLog()
{
    static Lasting<CriticalSection> cs;
    return *cs;
}

size_t FormatTimeStamp(char* stamp, size_t size);

UniqueFd logFile;
unsigned dwLogLines = 0;
std::time_t startTime = 0;

constexpr unsigned kRotateLines = 10000;

// The failures an operator's status page shows: a small ring of lines.
constexpr size_t kRecentErrors = 20;
std::string recentErrors[kRecentErrors];
size_t errorsWritten = 0;  // under csLog

bool ReportsFailure(const char* text)
{
    static constexpr const char* kWords[] = {"error", "fail", "cannot", "could not", "unable", "garbage"};
    for (const char* word : kWords)
        if (strcasestr(text, word) != nullptr)
            return true;
    return false;
}

void KeepIfFailure(const char* text)
{
    if (!ReportsFailure(text))
        return;
    char stamp[64];
    const size_t length = FormatTimeStamp(stamp, sizeof stamp);
    recentErrors[errorsWritten % kRecentErrors].assign(stamp, length).append(text);
    ++errorsWritten;
}
std::string LogDirectory() { return ConfigText(ConfigKey::kLogDirectory); }

std::string NumberedLogName(const std::string& dir, unsigned number)
{
    return dir + "/verdalix" + std::to_string(number) + ".log";
}

// Number 0 is the current file.
std::string LogFileName(const std::string& dir, unsigned number)
{
    return number == 0 ? dir + "/verdalix.log" : NumberedLogName(dir, number);
}

UniqueFd OpenCurrentLog()
{
    return OpenFile(LogFileName(LogDirectory(), 0).c_str(), O_WRONLY | O_APPEND | O_CREAT);
}

size_t FormatTimeStamp(char* stamp, size_t size)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    const int n = std::snprintf(stamp, size, "%s %s%3d %02d:%02d:%02d %d: ", days[tm.tm_wday], months[tm.tm_mon],
                                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

// The time stamp, the text and the line end in one write, so that lines of
// a log shared with another process stay whole. A failed log write has
// nowhere to be reported: the line is lost.
void WriteLogLine(const char* text)
{
    char stamp[64];
    iovec pieces[3] = {{stamp, FormatTimeStamp(stamp, sizeof stamp)},
                       {const_cast<char*>(text), std::strlen(text)},
                       {const_cast<char*>("\n"), 1}};
    (void)WriteAllV(logFile.get(), pieces, 3);
}

// Opens the current file; its line count is guessed from its size, for the
// rotation by line count. Under csLog.
void OpenCounted()
{
    logFile = OpenCurrentLog();
    const int64_t size = logFile ? FileSize(logFile.get()) : 0;
    dwLogLines = size > 0 ? static_cast<unsigned>(size / 50) : 0;
}

void Rotate()
{
    logFile.reset();
    int keep = ConfigNumber(ConfigKey::kMaxKeepLogFile);
    if (keep == 0)
        keep = 1;
    int n = keep - 1;
    std::string dir = LogDirectory();
    // With n of 0 this is "verdalix0.log", never the current file.
    RemoveFile(NumberedLogName(dir, static_cast<unsigned>(n)).c_str());
    for (int i = n; i >= 0; --i) {
        std::string from = LogFileName(dir, static_cast<unsigned>(i));
        std::string to = LogFileName(dir, static_cast<unsigned>(i + 1));
        // A rename onto an existing file fails, as the log's rotation expects.
        if (!PathExists(to.c_str()))
            RenameFile(from.c_str(), to.c_str());
    }
    logFile = OpenCurrentLog();
    dwLogLines = 0;
}

}  // namespace

void console_init()
{
    CsLock lock(csLog());
    OpenCounted();
    startTime = std::time(nullptr);
}

void LogLine(const char* text)
{
    CsLock lock(csLog());
    if (text == nullptr && logFile) {
        constexpr char kClosing[] = "base: shutting down\n";
        (void)WriteAll(logFile.get(), kClosing, sizeof kClosing - 1);
        logFile.reset();
    }
    if (text != nullptr && logFile) {
        WriteLogLine(text);
        ++dwLogLines;
    }
    if (text != nullptr)
        KeepIfFailure(text);
    if (dwLogLines > kRotateLines)
        Rotate();
}

void LogFormat(const char* format, ...)
{
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    LogLine(line);
}

std::time_t LogStartTime() { return startTime; }

bool LogReopen()
{
    CsLock lock(csLog());
    OpenCounted();
    return static_cast<bool>(logFile);
}

std::vector<std::string> RecentLogErrors()
{
    CsLock lock(csLog());
    std::vector<std::string> lines;
    const size_t kept = std::min(errorsWritten, kRecentErrors);
    for (size_t i = errorsWritten - kept; i < errorsWritten; ++i)
        lines.push_back(recentErrors[i % kRecentErrors]);
    return lines;
}

uint64_t LogErrorCount()
{
    CsLock lock(csLog());
    return errorsWritten;
}
