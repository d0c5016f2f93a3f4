// The server's text log: time-stamped lines, rotated by line count.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Opens the log at start-up and sets the start time.
void console_init();

// Appends one line; a null text writes the closing line and closes the log.
void LogLine(const char* text);

// printf-style convenience over LogLine.
void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// When the log was opened (seconds since 1970): the base of "uptime".
std::time_t LogStartTime();

// Closes the current log file and opens it again by name, so that a file
// moved away by log rotation is let go; no line is lost, since every line is
// written whole under the log's lock. False (errno set) when it cannot be
// opened again; lines are then dropped until a reopen succeeds.
bool LogReopen();

// The most recent lines (at most 20, oldest first) that report a failure:
// their text names an error, a failure, or something that cannot be done.
std::vector<std::string> RecentLogErrors();

// How many such lines were written since start.
uint64_t LogErrorCount();
