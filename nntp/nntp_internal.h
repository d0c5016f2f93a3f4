// The dispatch table's entries and their look-up, used by the command loop
// and the tests.
#pragma once

#include <cstdint>

#include "nntp/nntp.h"

// One entry of the dispatch table.
struct CommandEntry {
    const char* word;
    uint32_t compared;   // leading characters compared, without regard to case
    uint32_t rights;     // rights bit needed; 0 for every peer
    bool regularOnly;    // hidden in transit mode
    CommandHandler handler;
};

// The first dispatch entry that takes `line` for a peer with `rights`, or
// null when the line is no command available to it.
const CommandEntry* FindCommand(const char* line, uint32_t rights, bool transit);
