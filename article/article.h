// Article acceptance: the module's settings and the insertion pipeline.
#pragma once

#include <cstdint>

#include "platform/sync.h"

// The article insertion lock: one article's history check, slot claim,
// numbering, store append and history update run as one unit under it. The
// closing order takes it for good, so it is allocated once and never freed.
inline CriticalSection& csArtFile()
{
    static auto* cs = new CriticalSection;
    return *cs;
}

// Settings read once by ArticleInit, before any connection exists.
extern int logFilterRejects;             // log refusals by the external filter
extern int honorSupersedes;              // 0 ignores Supersedes: headers
extern const char* my_path_name;         // HostPathIdentifier followed by "!"
extern uint32_t my_path_name_len;
extern int MaxArticleAge;                // days
extern int slaveMode;                    // numbering taken from the article's Xref:
extern int transitMode;                  // no numbering, no reader commands, no POST
extern const char* ControlMessagePattern;  // comma-separated wildcard patterns

// Reads the settings, then starts the group database and the control-message
// queue. Ends the process with status 1 when HostPathIdentifier is missing.
// Returns 1.
int ArticleInit();
