// Log writing and rotation. Every line is flushed at once; csLog makes each
// line and each rotation atomic with respect to the others.
#include "server/log.h"

#include <fcntl.h>
#include <sys/uio.h>

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

UniqueFd logFile;
unsigned dwLogLines = 0;
std::time_t startTime = 0;

constexpr unsigned kRotateLines = 10000;
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
    logFile = OpenCurrentLog();
    dwLogLines = 0;
    if (logFile) {
        const int64_t size = FileSize(logFile.get());
        dwLogLines = size > 0 ? static_cast<unsigned>(size / 50) : 0;
    }
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
