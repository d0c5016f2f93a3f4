// The record of one incoming connection, owned by the connection's thread.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/socket.h"
#include "platform/transport.h"

struct IncomingEntry;
struct PrecommitEntry;

// A reader's selected group; all fields are all ones until a group is selected.
struct GroupSelection {
    uint32_t group = 0xFFFFFFFF;
    uint32_t current = 0xFFFFFFFF;
    uint32_t low = 0xFFFFFFFF;
    uint32_t high = 0xFFFFFFFF;
};

// Header lines indexed per article; an article with more is looked up by
// walking its lines.
inline constexpr uint32_t kHeaderLineIndexSize = 48;

// Message-ID texts are cut at 255 bytes, then a stop byte and a NUL follow.
inline constexpr uint32_t kMessageIdSize = 257;
// A login name longer than this can never log in.
inline constexpr uint32_t kAuthUserSize = 256;

struct ClientContext {
    Transport transport;  // the connection's byte stream
    IncomingEntry* incomingEntry = nullptr;
    uint64_t articleKey = 0;         // key of the current command's message-ID
    char* buffer = nullptr;          // receive buffer; the data is always followed by a NUL
    uint32_t used = 0;               // bytes of data held in buffer
    uint32_t scanFrom = 0;           // where the next line-end or terminator search starts
    uint32_t flags = 0;              // bit 0: the article being received came by TAKETHIS
    int32_t futureSeconds = 0;       // how far the article's date lies ahead, 0 when not
    char* newsgroupList = nullptr;   // the article's newsgroups, NUL-separated
    uint32_t newsgroupCount = 0;     // commas in the article's newsgroups
    char* pathList = nullptr;        // the article's path split at '!'
    uint32_t pathCount = 0;          // '!' in the path
    char messageId[kMessageIdSize] = {};  // current message-ID, angle brackets included
    char* pathValue = nullptr;       // start of the Path: value inside buffer
    int articleValid = 0;            // the article just read is complete and usable
    int isControl = 0;               // the article is a control message
    uint32_t articleLength = 0;      // length of the article text at the start of buffer
    uint32_t bufferSize = 0;         // capacity of buffer, not counting the NUL byte
    uint32_t bufferOffset = 0;       // bytes consumed before buffer within its allocation
    const char* peerName = nullptr;  // host text of incomingEntry
    char peerAddress[56] = {};       // "a.b.c.d:port" or "[v6]:port"
    NetAddress peer;                 // the same as an address
    char authUser[kAuthUserSize] = {};  // the name AUTHINFO USER gave, waiting for its PASS
    uint32_t authRights = 0;            // rights the login added to the entry's
    int authenticated = 0;              // a login succeeded on this connection
    std::time_t connectTime = 0;
    GroupSelection selection;
    uint32_t postCount = 0;
    uint32_t xoverCount = 0;
    uint32_t articleCount = 0;
    uint32_t nextCount = 0;
    PrecommitEntry* precommitOwned = nullptr;  // offers not yet ended; csPrecommit guards it
    uint8_t kind = 0;                          // kConnectionReader or kConnectionFeeder after the first command
    // The header line starts of the article at `buffer`, found once as it
    // was read (IndexHeaderLines), so that each header lookup need not walk
    // the lines again; used only while buffer and articleLength are these.
    const char* headerIndexText = nullptr;
    uint32_t headerIndexLength = 0;
    uint32_t headerLineCount = 0;
    uint32_t headerLines[kHeaderLineIndexSize] = {};
};

// What a connection does, decided by its first command (server/stats).
inline constexpr uint8_t kConnectionReader = 1;
inline constexpr uint8_t kConnectionFeeder = 2;

// Initial receive buffer capacity; article reception may grow the buffer
// with realloc (it comes from malloc) and shrink it back afterwards.
inline constexpr uint32_t kContextBufferSize = 65536;

// Thrown by CloseConnection to unwind to the connection thread's entry, which
// releases the context. Deliberately not a std::exception: every catch (...)
// in the server must rethrow it so that a close always reaches the entry.
struct ConnectionClosed {};

// A zeroed context with a 64 KB buffer and no group selected, or null when
// memory is short.
ClientContext* AllocClientContext();

// Closes the connection and releases the buffer and the record. The command
// loop has freed the precommit entries the connection owned (nntp).
void AddContextToFreeList(ClientContext* ctx);

// Ends the connection from its own thread: throws ConnectionClosed.
[[noreturn]] void CloseConnection(ClientContext* ctx);

// The release done at the connection thread's entry once it has unwound:
// the "GROUPDONE" line, then AddContextToFreeList. The accept loop, which
// counted the connection in, counts it out first.
void ReleaseConnection(ClientContext* ctx);

// Removes the first n bytes of the data held (all of it when n >= used),
// keeps the data NUL-terminated and sets scanFrom to 0. Removing part of the
// data only moves `buffer` on within its allocation (no copy per command);
// CompactBuffer moves the rest back to the start.
void FixBuffer(ClientContext* ctx, uint32_t n);

// Moves the data held back to the start of the allocation, so that buffer
// and bufferSize cover all of it again. Before a read or a reallocation.
void CompactBuffer(ClientContext* ctx);
