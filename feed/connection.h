// Outgoing feed connections: up to 20 per site, each opened on a short-lived
// thread, then driven by the I/O library's worker, offering the site's queued
// articles to its peer with "check"/"takethis" or with "ihave".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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
    // Changed under the site's lock; the I/O worker reads it without, to
    // pick the handler of an answer.
    std::atomic<int32_t> state{kConnConnecting};
    char currentId[kCurrentIdSize] = {};  // message-ID of the last "ihave"
    Site* site = nullptr;
    uint32_t streaming = 0;               // the peer accepted "mode stream"
    uint32_t lastChangeLine = 0;          // where the last state change was made
    uint32_t disconnectRequested = 0;     // end and do not replace
    uint32_t quitSent = 0;                // "quit" written; waiting for the peer to close
    // Counted by the I/O worker, read by the statistics texts.
    std::atomic<int32_t> responses{0};
    std::atomic<uint32_t> errors{0};
    std::atomic<int32_t> outstanding{0};  // commands sent and not yet answered
    Connection* nextIdle = nullptr;
    std::string heldInput;                // peer lines waiting for room in the transmit queue
};

// Seconds before a failed connect is tried again and before a lost
// connection is replaced: "FeedRetryDelay" in the configuration, default 60.
extern std::atomic<unsigned> feedRetrySeconds;

// Reads the retry delay. Returns 1.
int FeedConnectionInit();

// Takes the site's first free slot for a new connection and starts
// connecting, now or after the retry delay; 1, or 0 when all 20 are taken.
int SiteConnect(Site* site, int delayed);

// Tells one connection to end: an idle one quits at once, else the highest
// occupied slot not yet told quits when its current work is done. 1, or 0
// when there is none.
int SiteDisconnect(Site* site);

// Hands queued work to the first idle connection: 1 when it took some.
int SiteWakeConnection(Site* site);

// Hands queued work to idle connections until one finds none: 1 when at
// least one connection was tried.
int SiteWriteOnConnection(Site* site);
