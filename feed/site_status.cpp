// The operator's snapshot of the outgoing feeds.
#include "feed/site_status.h"

#include "feed/connection.h"
#include "feed/queue.h"
#include "feed/queue_format.h"
#include "feed/site.h"

namespace {

uint32_t RecordsBetween(const char* read, const char* write)
{
    uint32_t records = 0;
    for (const char* p = read; p < write; ++p)
        records += *p == kQueueRecordEnd ? 1 : 0;
    return records;
}

// Under the site's lock.
SiteStatus Snapshot(const Site& site)
{
    SiteStatus status;
    status.name = site.name;
    status.host = site.hostname;
    status.port = site.port;
    status.configured = site.connections;
    for (const Connection* connection : site.connection) {
        const int32_t state = connection != nullptr ? connection->state.load() : kConnClosed;
        status.connected += state != kConnClosed && state != kConnConnecting ? 1 : 0;
    }
    status.accepted = site.accepts;
    status.refused = site.refused;
    status.rejected = site.rejected;
    status.requeued = site.requeues;
    status.memoryQueued =
        RecordsBetween(site.articleQRead, site.articleQWrite) + RecordsBetween(site.transmitQRead, site.transmitQWrite);
    return status;
}

}  // namespace

std::vector<SiteStatus> SiteStatuses()
{
    std::vector<SiteStatus> statuses;
    std::vector<Site*> sites;
    {
        CsLock list(csSiteList());
        for (Site* site = siteHead; site != nullptr; site = site->next) {
            if (site->deleted)
                continue;
            CsLock lock(site->lock);
            statuses.push_back(Snapshot(*site));
            sites.push_back(site);
        }
    }
    // Site records are never freed, so the directory walk needs no list lock.
    for (size_t i = 0; i < sites.size(); ++i)
        statuses[i].queueBytes = QueueBacklogBytes(sites[i]);
    return statuses;
}

std::vector<SiteAccepts> SiteAcceptCounts()
{
    std::vector<SiteAccepts> counts;
    CsLock list(csSiteList());
    for (const Site* site = siteHead; site != nullptr; site = site->next)
        if (!site->deleted)
            counts.push_back({site->name, site->accepts.load()});
    return counts;
}
