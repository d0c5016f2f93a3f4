// Look-ups of the incoming table that only its own source and the tests use.
#pragma once

#include <cstdint>

struct IncomingEntry;

// Re-resolves the entry's host. 1 when in use and refreshed, 0 when free or
// just cleared.
int UpdateIncoming(IncomingEntry* entry);

// 1 and `name` (at least 201 bytes) set when the address's reverse name is
// confirmed by a forward look-up, else 0.
int GetHostName(uint32_t address, char* name);
