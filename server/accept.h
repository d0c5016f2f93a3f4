// Accept loop with its admission checks.
#pragma once

#include <atomic>
#include <cstdint>
// Open incoming connections and the system-wide limit.
extern std::atomic<uint32_t> TotalConnected;
extern std::atomic<uint32_t> MaxConnections;

// The accept loop; returns 0 only when the listening socket cannot be set up.
int DoConnections();
