// Failure bursts: an operation that starts failing (a full disk, a dead
// device) is logged when it starts and when it works again, not once per
// call, so a burst cannot flood the log.
#pragma once

#include <atomic>
#include <cstdint>

class FailureBurst {
public:
    // Counts a failure; true for the first of a burst, which the caller logs.
    bool Failed() { return failures_.fetch_add(1, std::memory_order_relaxed) == 0; }

    // Ends a burst: the number of failures it had (the caller logs that the
    // operation works again), or 0 when none was on.
    uint32_t Succeeded()
    {
        if (failures_.load(std::memory_order_relaxed) == 0) [[likely]]
            return 0;
        return failures_.exchange(0, std::memory_order_relaxed);
    }

private:
    std::atomic<uint32_t> failures_{0};
};
