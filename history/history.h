// History database of message-IDs seen, with the location of each stored article.
#pragma once

#include <atomic>
#include <cstdint>
// Lookup statistics, read by the statistics texts.
extern std::atomic<uint32_t> seenSearchCount;
extern std::atomic<uint32_t> seenDepth;
extern std::atomic<uint32_t> seenMaxDepth;

int SeenInit();
void seenclose();
