// Overview cache: ready XOVER lines per group.
#pragma once

#include <atomic>
#include <cstdint>
// Head and tail of the rewrite schedule, read by the statistics texts.
extern std::atomic<uint32_t> oShead;
extern std::atomic<uint32_t> oStail;
