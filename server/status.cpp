// Gathers the operator's figures from the modules that keep them.
#include "server/status.h"

#include <ctime>

#include "article/store.h"
#include "history/history.h"
#include "nntp/intake.h"
#include "server/log.h"
#include "server/stats.h"

namespace {

std::vector<StoreStatus> Stores()
{
    std::vector<StoreStatus> stores;
    for (uint32_t number = 0; number < kMaxStores; ++number) {
        StoreStatus store;
        store.number = number;
        store.size = GetStoreSize(number);
        if (store.size != 0 && GetStorePlace(number, &store.wraps, &store.position))
            stores.push_back(store);
    }
    return stores;
}

}  // namespace

ServerStatus CollectStatus()
{
    ServerStatus status;
    const std::time_t start = LogStartTime();
    status.uptime = start != 0 ? static_cast<uint64_t>(std::time(nullptr) - start) : 0;
    status.paused = IntakePaused();
    status.pauseReason = IntakePauseReason();
    status.readers = readersConnected;
    status.feeders = feedersConnected;
    status.connected = TotalConnected;
    status.connectionLimit = MaxConnections;
    status.readersTotal = readersTotal;
    status.feedersTotal = feedersTotal;
    status.rates = LastMinuteRates();
    status.peers = IncomingCountsList();
    for (const IncomingCounts& peer : status.peers) {
        status.accepted += peer.accepts;
        status.refused += peer.refuses;
        status.rejected += peer.rejects;
    }
    status.stores = Stores();
    status.historyEntries = SeenEntriesUsed();
    status.historyCapacity = SeenCapacity();
    status.sites = SiteStatuses();
    for (const SiteStatus& site : status.sites)
        status.outgoing += static_cast<uint32_t>(site.connected);
    return status;
}
