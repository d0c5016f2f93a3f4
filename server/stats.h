// The server's statistics: the counters they report, which the modules that
// count bump, and the two statistics texts (Tcl lists of {name value} groups).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Offers and replies on incoming feeds: counted by the command loop and by
// the replies (nntp/reply).
extern std::atomic<uint32_t> ihave, ihave_accept, ihave_refuse, ihave_reject;
extern std::atomic<uint32_t> check, check_refuse, takethis, takethis_refuse, precommit_saves;
// TAKETHIS articles stored (the statistics texts do not show it; the metrics do).
extern std::atomic<uint32_t> takethis_accept;

// Head and tail of the overview cache's rewrite schedule, kept by the cache.
extern std::atomic<uint32_t> oShead;
extern std::atomic<uint32_t> oStail;

// History lookups: lookups started, chain steps taken over all lookups, and
// the most steps one lookup took.
extern std::atomic<uint32_t> seenSearchCount;
extern std::atomic<uint32_t> seenDepth;
extern std::atomic<uint32_t> seenMaxDepth;

// Replies counted on outgoing feeds.
extern std::atomic<uint32_t> total_accept;
extern std::atomic<uint32_t> total_refuse;
extern std::atomic<uint32_t> total_reject;

// Open incoming connections and the system-wide limit, kept by the accept loop.
extern std::atomic<uint32_t> TotalConnected;
extern std::atomic<uint32_t> MaxConnections;

// Incoming connections by kind. A connection takes its kind at its first
// command: a feed command (IHAVE, CHECK, TAKETHIS, MODE STREAM) makes it a
// feeder, any other a reader; one that sends none has no kind.
extern std::atomic<uint32_t> readersConnected, feedersConnected;
extern std::atomic<uint64_t> readersTotal, feedersTotal;

// Overview requests the overview cache answered, and those it could not.
extern std::atomic<uint64_t> overCacheHits, overCacheMisses;

// Sets the text that ends the statistics reply: the incoming table's
// per-peer statistics (the table registers it at start-up). Nothing until set.
void SetPeerStatsProvider(std::string (*provider)());

// The statistics reply of the NNTP statistics command.
std::string GetStatsString();

// The statistics text of the Tcl command GetBaseStats.
std::string GetBaseStatsString();
