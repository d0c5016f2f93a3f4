// Log writing and rotation. Every line is flushed at once; csLog makes each
// line and each rotation atomic with respect to the others.
#include "server/log.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/sync.h"
#include "server/config.h"

namespace {

CriticalSection& csLog()
{
    static auto* cs = new CriticalSection;  // never destroyed: threads may log at exit
    return *cs;
}

FILE* fLogFile = nullptr;
unsigned dwLogLines = 0;
std::time_t startTime = 0;

constexpr unsigned kRotateLines = 10000;
constexpr const char* kDefaultLogDirectory = "/var/log/verdalix";

std::string LogDirectory()
{
    const char* dir = GetConfigString("LogDirectory");
    return dir != nullptr ? dir : kDefaultLogDirectory;
}

std::string NumberedLogName(const std::string& dir, unsigned number)
{
    return dir + "/verdalix" + std::to_string(number) + ".log";
}

// Number 0 is the current file.
std::string LogFileName(const std::string& dir, unsigned number)
{
    return number == 0 ? dir + "/verdalix.log" : NumberedLogName(dir, number);
}

FILE* OpenCurrentLog()
{
    return std::fopen(LogFileName(LogDirectory(), 0).c_str(), "ae");
}

void WriteTimeStamp(FILE* file)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    std::fprintf(file, "%s %s%3d %02d:%02d:%02d %d: ", days[tm.tm_wday], months[tm.tm_mon], tm.tm_mday,
                 tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
}

void Rotate()
{
    if (fLogFile != nullptr) {
        std::fclose(fLogFile);
        fLogFile = nullptr;
    }
    int keep = 5;
    if (GetConfigInt("MaxKeepLogFile", &keep) && keep == 0)
        keep = 1;
    int n = keep - 1;
    std::string dir = LogDirectory();
    // With n of 0 this is "verdalix0.log", never the current file.
    std::remove(NumberedLogName(dir, static_cast<unsigned>(n)).c_str());
    for (int i = n; i >= 0; --i) {
        std::string from = LogFileName(dir, static_cast<unsigned>(i));
        std::string to = LogFileName(dir, static_cast<unsigned>(i + 1));
        // A rename onto an existing file fails, as the log's rotation expects.
        struct stat st {};
        if (::stat(to.c_str(), &st) != 0)
            std::rename(from.c_str(), to.c_str());
    }
    fLogFile = OpenCurrentLog();
    dwLogLines = 0;
}

}  // namespace

void console_init()
{
    CsLock lock(csLog());
    fLogFile = OpenCurrentLog();
    dwLogLines = 0;
    if (fLogFile != nullptr) {
        std::fseek(fLogFile, 0, SEEK_END);
        long size = std::ftell(fLogFile);
        dwLogLines = size > 0 ? static_cast<unsigned>(size / 50) : 0;
    }
    startTime = std::time(nullptr);
}

void LogLine(const char* text)
{
    CsLock lock(csLog());
    if (text == nullptr && fLogFile != nullptr) {
        std::fputs("base: shutting down\n", fLogFile);
        std::fclose(fLogFile);
        fLogFile = nullptr;
    }
    if (text != nullptr && fLogFile != nullptr) {
        WriteTimeStamp(fLogFile);
        std::fputs(text, fLogFile);
        std::fputc('\n', fLogFile);
        std::fflush(fLogFile);
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
