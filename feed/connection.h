// Outgoing feed connections.
#pragma once

#include <atomic>
#include <cstdint>
// Replies counted on outgoing feeds, read by the statistics texts.
extern std::atomic<uint32_t> total_accept;
extern std::atomic<uint32_t> total_refuse;
extern std::atomic<uint32_t> total_reject;
