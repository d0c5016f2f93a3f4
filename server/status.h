// What the operator looks at first, gathered in one place: the status
// command, the metrics and the status page all show these same figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "access/incoming.h"
#include "feed/site_status.h"
#include "server/activity.h"

struct StoreStatus {
    uint32_t number = 0;
    uint64_t size = 0;      // bytes
    uint64_t position = 0;  // where the next record goes
    uint32_t wraps = 0;     // times the ring came round
};

struct ServerStatus {
    uint64_t uptime = 0;  // seconds
    bool paused = false;
    std::string pauseReason;
    uint32_t readers = 0, feeders = 0, outgoing = 0, connected = 0, connectionLimit = 0;
    uint64_t readersTotal = 0, feedersTotal = 0;
    MinuteRates rates;
    uint64_t accepted = 0, refused = 0, rejected = 0;  // incoming articles since start, all peers
    std::vector<StoreStatus> stores;
    uint32_t historyEntries = 0, historyCapacity = 0;
    std::vector<IncomingCounts> peers;
    std::vector<SiteStatus> sites;
};

ServerStatus CollectStatus();
