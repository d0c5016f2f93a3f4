// Outgoing feed connections: up to 20 per site, each offering the site's
// queued articles to its peer.
#pragma once

#include <atomic>
#include <cstdint>

struct AioHandle;
struct Site;

// Connection states.
inline constexpr int32_t kConnIdle = 0;
inline constexpr int32_t kConnStreaming = 1;
inline constexpr int32_t kConnConnected = 3;
inline constexpr int32_t kConnModeStream = 4;
inline constexpr int32_t kConnConnecting = 64;
inline constexpr int32_t kConnIhaveSent = 128;
inline constexpr int32_t kConnArticleSent = 129;
inline constexpr int32_t kConnClosed = -1;

inline constexpr uint32_t kCurrentIdSize = 524;

struct Connection {
    AioHandle* aio = nullptr;
    int32_t state = kConnConnecting;
    char currentId[kCurrentIdSize] = {};  // message-ID of the last "ihave"
    Site* site = nullptr;
    uint32_t streaming = 0;               // the peer accepted "mode stream"
    uint32_t lastChangeLine = 0;          // where the last state change was made
    uint32_t disconnectRequested = 0;     // end and do not replace
    int32_t responses = 0;
    uint32_t errors = 0;
    int32_t outstanding = 0;              // commands sent and not yet answered
    Connection* nextIdle = nullptr;
};

// Takes the site's first free slot for a new connection; 1, or 0 when all 20
// are taken. The connect step itself comes with the feed connection work:
// until then the connection stays in the connecting state.
int SiteConnect(Site* site, int delayed);

// Asks the connection in the highest occupied slot that has not been asked
// yet to end; 1, or 0 when there is none.
int SiteDisconnect(Site* site);

// Hand queued work to one idle connection / to every idle connection. Until
// connections are built no connection is ever idle, so both give 0.
int SiteWakeConnection(Site* site);
int SiteWriteOnConnection(Site* site);

// Replies counted on outgoing feeds, read by the statistics texts.
extern std::atomic<uint32_t> total_accept;
extern std::atomic<uint32_t> total_refuse;
extern std::atomic<uint32_t> total_reject;
