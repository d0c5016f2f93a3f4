// On-disk layout of the history database (docs/formats.md): the table of
// chain heads "seen.idx" and the data file "seen.dat", a header followed by
// a ring of entries. Both files are mapped and changed in place; all fields
// are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

// Chain end in SeenEntry::next and empty bucket in seen.idx.
inline constexpr uint32_t kSeenNone = 0xFFFFFFFF;

// seen.idx is SeenTableSize of these: the newest entry of each bucket
// (article key modulo SeenTableSize), or kSeenNone.
using SeenChainHead = uint32_t;

// The first 136 bytes of seen.dat.
struct SeenHeader {
    uint32_t reserved;  // 0
    uint32_t nextSlot;  // the ring slot the next entry takes
    char unused[128];
};
static_assert(sizeof(SeenHeader) == 136);
static_assert(offsetof(SeenHeader, nextSlot) == 4);

// One entry of the ring that follows the header. An entry without an
// article (a placeholder, or an article gone) has length 0; a placeholder
// also has store key 0. The offsets count from the start of the stored
// record, whose overview record (overviewLength bytes) precedes the article.
struct __attribute__((packed)) SeenEntry {
    uint64_t messageKey;       // article key of the message-ID
    uint32_t next;             // older entry of the same bucket, or kSeenNone
    uint64_t storeKey;         // where the stored record lies (article/store_format.h)
    uint32_t length;           // article bytes after the overview record
    uint16_t headerLength;     // article bytes before its CR LF CR LF
    uint16_t overviewLength;   // bytes of the overview record
    uint16_t messageIdOffset;  // where the message-ID text lies in the record
    uint8_t messageIdLength;
    uint8_t useCount;          // raised each time the slot is taken
    uint8_t expirePriority;    // the store's priority, halved when passed over
};
static_assert(sizeof(SeenEntry) == 33);
static_assert(offsetof(SeenEntry, next) == 8);
static_assert(offsetof(SeenEntry, storeKey) == 12);
static_assert(offsetof(SeenEntry, length) == 20);
static_assert(offsetof(SeenEntry, headerLength) == 24);
static_assert(offsetof(SeenEntry, overviewLength) == 26);
static_assert(offsetof(SeenEntry, messageIdOffset) == 28);
static_assert(offsetof(SeenEntry, messageIdLength) == 30);
static_assert(offsetof(SeenEntry, useCount) == 31);
static_assert(offsetof(SeenEntry, expirePriority) == 32);
