// Table of incoming peers with their rights and limits. The index of an
// entry is its priority: admission walks the table from index 0 upwards.
//
// Locking: the plain fields are read and written only under csIncoming,
// including the admission walk of CheckIncoming; a refresh resolves names
// without the lock and installs the addresses under it. The counters and the
// settings that sessions read for every command are atomic, since the accept
// loop and the session threads use them without the lock.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr int kIncomingSize = 200;
inline constexpr uint32_t kIncomingHostSize = 256;
inline constexpr uint32_t kIncomingAddressSize = 256;
inline constexpr uint32_t kIncomingAddress6Size = 16;

// Rights bits.
inline constexpr uint32_t kRightFeed = 1;
inline constexpr uint32_t kRightRead = 2;
inline constexpr uint32_t kRightPost = 4;

struct IncomingEntry {
    char host[kIncomingHostSize] = {};         // host name, dotted address or wildcard pattern
    uint32_t addresses[kIncomingAddressSize] = {};  // IPv4, network byte order
    uint32_t addressCount = 0;
    in6_addr addresses6[kIncomingAddress6Size] = {};  // IPv6 addresses of a host name
    uint32_t address6Count = 0;
    // An address or prefix entry ("2001:db8::1", "192.0.2.0/24",
    // "::/0"): the family (0 none), the bits that must match, the network.
    uint8_t prefixFamily = 0;
    uint8_t prefixBits = 0;
    uint8_t prefixBytes[16] = {};
    std::atomic<uint32_t> accepts{0};
    std::atomic<uint32_t> rejects{0};
    std::atomic<uint32_t> refuses{0};
    std::atomic<uint32_t> precommitSaves{0};
    std::atomic<int32_t> connected{0};         // open connections (+1 while being refreshed)
    std::atomic<uint32_t> connects{0};
    uint32_t inUse = 0;
    uint32_t deleted = 0;                      // admits nobody; cleared once connected is 0
    std::atomic<uint32_t> maxConnections{0};
    std::atomic<uint32_t> streaming{0};
    uint32_t resolveFailures = 0;
    std::atomic<uint32_t> rights{0};
    std::atomic<int32_t> dequeue{-1};          // outgoing site this peer is; outside 0-319 none
    std::atomic<uint32_t> authRequired{0};     // the entry's rights wait for a login
    std::atomic<uint32_t> tlsRequired{0};      // commands that need a right wait for TLS
};

extern IncomingEntry incoming[kIncomingSize];
// Non-zero makes CheckIncoming look up the peer's confirmed name.
extern std::atomic<int> doHostnameResolution;

// Clears the table and, unless "UpdateIncomingEntries" is 0, starts the
// hourly refresh thread. Returns 1.
int IncomingInit();

// Adds `host` at the first free entry from `index` (200 and above mean 0).
// 1 added; 0 when the name is present before that free entry, there is no
// free entry, the name does not fit, or the refresh failed.
int AddIncoming(const char* host, uint32_t index);

// Sets weight, max_connections, streaming, rights, dequeue, index,
// auth_required or tls_required of the entry named `host` (both names
// without regard to case). 1 done, 0 not.
int SetIncomingParameter(const char* host, const char* parameter, int value);

// 1 deleted (or marked deleted while connections are open), 0 no such entry.
int DelIncoming(const char* host);

// The host of every in-use entry in index order, each followed by a blank.
std::string ListIncoming();

// The configuration and statistics of the entry named `host`, or nothing.
std::optional<std::string> GetIncomingConfig(const char* host);

// "{incoming {{host ...} ...} } " for the statistics reply.
std::string ReturnIncomingStatsString();

// One incoming entry's counters, for the operator's status and metrics.
struct IncomingCounts {
    std::string host;
    int32_t connected = 0;
    uint32_t connects = 0;
    uint32_t accepts = 0;
    uint32_t refuses = 0;
    uint32_t rejects = 0;
    uint32_t rights = 0;
};
// Every entry in use, in table order.
std::vector<IncomingCounts> IncomingCountsList();

// The entry admitting the IPv4 address (network byte order), or null. The
// entry's connected is raised by one before the table is unlocked, so that it
// cannot be cleared while the caller decides: the caller keeps that count for
// the connection it admits, or takes it back.
IncomingEntry* CheckIncoming(uint32_t address);

// The same for an IPv6 peer: matched by its address text, a prefix entry,
// the IPv6 addresses of a host name, or (with name resolution) its name.
IncomingEntry* CheckIncoming6(const in6_addr& address);
