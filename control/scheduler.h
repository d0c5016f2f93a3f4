// One-second callback scheduler: a thread of its own calls functions a
// number of seconds after they were scheduled.
#pragma once

#include <atomic>
#include <ctime>

using ScheduledFunction = void (*)(void* argument);

// The scheduler's clock, seconds since 1970: set when its thread starts and
// after every one-second sleep, so it may lag the real time by a second.
extern std::atomic<time_t> curSecondCount;

// Starts the scheduler thread (once): 1.
int SchedCallbackInit();

// Calls function(argument) `interval` seconds from the scheduler's clock, and
// again every `interval` seconds when `repeat` is set: 1, or 0 when out of
// memory. Callable from any thread and from inside a scheduled function;
// scheduled functions run one at a time and must be short.
int ScheduleCallback(unsigned interval, int repeat, ScheduledFunction function, void* argument);
