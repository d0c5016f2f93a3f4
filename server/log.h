// The server's text log: time-stamped lines, rotated by line count.
#pragma once

#include <ctime>

// Opens the log at start-up and sets the start time.
void console_init();

// Appends one line; a null text writes the closing line and closes the log.
void LogLine(const char* text);

// printf-style convenience over LogLine.
void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// When the log was opened (seconds since 1970): the base of "uptime".
std::time_t LogStartTime();
