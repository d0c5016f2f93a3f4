// The date parser: turns the many forms of Date: header texts into seconds
// since 1970-01-01 00:00:00 GMT, so articles can be aged.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

// What parsedate returns for a text that is not a date.
inline constexpr uint32_t kBadDate = 0xFFFFFFFF;

// The current time a parse is relative to.
struct TimeInfo {
    time_t time;     // seconds since 1970
    uint32_t usec;   // always 0: the clock is read in whole seconds
    int tzone;       // local zone, minutes west of GMT (east is negative)
};

// Fills info with the current time and local zone; the zone is recomputed
// at most once an hour. 0, or -1 when the time cannot be split into
// calendar fields. Thread-safe.
int GetTimeInfo(TimeInfo* info);

// Seconds since 1970 for the date in text, relative to now (the current
// time when null); kBadDate when text is not a date, and 0 for a result that
// would be exactly kBadDate. Reads at most text.size() bytes and stops at a
// NUL. Reentrant, keeps no state and allocates nothing.
uint32_t parsedate(std::string_view text, const TimeInfo* now);
