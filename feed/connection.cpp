// Outgoing feed connections. Only the slot bookkeeping is here so far; the
// connect thread and the protocol handlers come with the feed connection work.
#include "feed/connection.h"

#include "feed/site.h"

std::atomic<uint32_t> total_accept{0};
std::atomic<uint32_t> total_refuse{0};
std::atomic<uint32_t> total_reject{0};

int SiteConnect(Site* site, [[maybe_unused]] int delayed)
{
    CsLock lock(site->lock);
    for (Connection*& slot : site->connection) {
        if (slot == nullptr) {
            slot = new Connection;
            slot->site = site;
            return 1;
        }
    }
    return 0;
}

// A connection already told to end is passed over, so that lowering the
// count by n tells n different connections.
int SiteDisconnect(Site* site)
{
    CsLock lock(site->lock);
    for (int i = kSiteSlots - 1; i >= 0; --i) {
        Connection* connection = site->connection[i];
        if (connection != nullptr && !connection->disconnectRequested) {
            connection->disconnectRequested = 1;
            return 1;
        }
    }
    return 0;
}

int SiteWakeConnection([[maybe_unused]] Site* site) { return 0; }

int SiteWriteOnConnection([[maybe_unused]] Site* site) { return 0; }
