// A snapshot of each outgoing feed for the operator: its counters, its
// connections and how much waits for it. Read by the status command and the
// metrics, never on a feed's path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SiteStatus {
    std::string name;
    std::string host;  // empty: not set
    uint32_t port = 0;
    int32_t configured = 0;     // connections the site is set to keep
    int32_t connected = 0;      // connections open and past the greeting
    uint32_t accepted = 0;      // offers the site took
    uint32_t refused = 0;       // offers it already had
    uint32_t rejected = 0;      // articles it refused
    uint32_t requeued = 0;      // offers put back to be made again
    uint32_t memoryQueued = 0;  // message-IDs waiting in memory
    uint64_t queueBytes = 0;    // bytes of message-IDs waiting in queue files
};

// Every site not deleted, newest first.
std::vector<SiteStatus> SiteStatuses();

// Each site's accepted count alone, without the queue files: cheap enough
// for a sampler that runs every few seconds.
struct SiteAccepts {
    std::string name;
    uint32_t accepted = 0;
};
std::vector<SiteAccepts> SiteAcceptCounts();
