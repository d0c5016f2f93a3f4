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

// Sets the text that ends the statistics reply: the incoming table's
// per-peer statistics (the table registers it at start-up). Nothing until set.
void SetPeerStatsProvider(std::string (*provider)());

// The statistics reply of the NNTP statistics command.
std::string GetStatsString();

// The statistics text of the Tcl command GetBaseStats.
std::string GetBaseStatsString();
