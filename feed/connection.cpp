// Outgoing feed connections.
// Placeholder: filled in when this module is built.
#include "feed/connection.h"

std::atomic<uint32_t> total_accept{0};
std::atomic<uint32_t> total_refuse{0};
std::atomic<uint32_t> total_reject{0};
