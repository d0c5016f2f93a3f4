// Overview cache: ready XOVER lines per group.
// Placeholder: filled in when this module is built.
#include "groups/overview_cache.h"

std::atomic<uint32_t> oShead{0};
std::atomic<uint32_t> oStail{0};
