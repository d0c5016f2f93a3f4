// Sites: the peer servers this server feeds, with their parameters, queues
// and connection slots, and the operations behind the site Tcl commands.
//
// Lock order: csSiteList before any site's lock. csSiteList guards the list
// and is held across the enqueue walk and every queue-file write; a site's
// lock guards its memory queues, read file, connection slots and idle list.
// Parameter changes, and opening or closing the write file, take both, so
// readers holding either see whole values.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "platform/sync.h"
#include "platform/unique_fd.h"

struct Connection;
struct MatchExpression;

inline constexpr int kSiteSlots = 20;
inline constexpr uint32_t kSiteQueueSize = 8192;
inline constexpr uint32_t kDefaultMaxQFiles = 140;

struct Site {
    std::string name;                // also the name of its queue directory
    std::string hostname;            // empty: not set
    uint16_t port = 0;
    int32_t tls = 0;                 // connections start TLS, the peer's certificate checked
    std::string tlsCAFile;           // trusted certificates for that; empty: the system's
    UniqueFd writeFile;              // queue file being appended to
    std::string writeFileName;       // its path; reading and pruning pass over it
    uint32_t writeOpened = 0;        // scheduler second when writeFile was created
    uint32_t maxQFiles = kDefaultMaxQFiles;
    UniqueFd readFile;               // queue file being read back
    std::string curSendFileName;     // path of readFile
    char* transmitQRead = transmitQ;
    char* transmitQWrite = transmitQ;
    char* articleQRead = articleQ;
    char* articleQWrite = articleQ;
    std::time_t lastOpenTry = 0;     // last fruitless look for a queue file
    Site* next = nullptr;
    Connection* idleConnections = nullptr;
    Connection* connection[kSiteSlots] = {};
    int32_t connections = 0;         // configured number of connections
    int32_t realtime = 1;            // new articles go to the memory queue while it has room
    int32_t requeuesAllowed = 0;
    int32_t doStreaming = 1;
    int32_t filesPending = 1;        // a queue file was created since the last look
    int32_t deleted = 0;
    uint32_t transmitQOverflowLogged = 0;  // scheduler second of the last overflow logged
    std::atomic<bool> writeFileUsed{false};     // writeFile holds records
    std::atomic<bool> writeFileWanted{false};   // a connection ran dry: read writeFile back soon
    CriticalSection lock;
    std::atomic<uint32_t> accepts{0};
    std::atomic<uint32_t> refused{0};
    std::atomic<uint32_t> rejected{0};
    std::atomic<uint32_t> requeues{0};
    std::atomic<uint32_t> commandErrors{0};
    std::atomic<uint32_t> dequeued{0};  // not queued: the site offered the article itself
    std::atomic<uint32_t> transmitQOverflows{0};
    std::atomic<uint32_t> missing{0};
    uint32_t number = 0;
    MatchExpression* feedSpec = nullptr;  // null sends every article
    std::string dequeueHost;         // incoming-table host linked to this site; empty: none
    std::string feedSpecText;        // empty: no feed expression
    char transmitQ[kSiteQueueSize] = {};  // ids a streaming peer wants, NUL-ended records
    char articleQ[kSiteQueueSize] = {};   // ids waiting to be offered, NUL-ended records
};

// Newest first. Site records are never freed (connections may still refer
// to a deleted one).
extern Site* siteHead;
CriticalSection& csSiteList();

// 1.
int SiteInit();

// Puts a new site at the front of the list; 1. Names are not checked for
// duplicates: SiteFind then finds the newer site.
int SiteCreate(const char* name);

// Unlinks the site (case ignored) and asks its connections to end; 1, or 0
// when there is no such site. Queued articles and queue files stay.
int SiteDelete(const char* name);

// The first site in list order whose name equals `name` without regard to
// case, or null.
Site* SiteFind(const char* name);

// "{name} " for every site in list order; empty when there is none.
std::string SiteGetList();

// Sets one parameter (name case ignored): createfeeder, hostname, port,
// maxQFiles, connections, feedspec, realtime, requeuesAllowed, doStreaming,
// dequeue, tls (0 or 1), tlsCAFile. `value` may be null, which only createfeeder accepts. 1 done,
// 0 not (unknown site or parameter, bad value).
int SiteSetParameter(const char* name, const char* parameter, const char* value);

// Empty for a parameter SetSite knows; else "unknown parameter "x"" with
// the nearest known one.
std::string SiteUnknownParameter(const char* parameter);

// Why SiteSetParameter refused: no such site, an unknown parameter (with the
// nearest known one), a missing or a bad value.
std::string SiteParameterProblem(const char* name, const char* parameter, const char* value);

// The site's parameters, statistics and connections as a Tcl list, or
// nothing for an unknown site.
std::optional<std::string> SiteGetConfig(const char* name);

// Writes the queue and connection state of every site to standard output.
void PrintSiteInfo();
