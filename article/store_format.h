// On-disk layout of the article stores (docs/formats.md): the metadata file
// "<n>-meta.dat" of each store, which is its 912-byte record, and the store
// key that addresses a stored record in "<n>-articles.dat". All fields are
// little-endian.
//
// A stored record is the article's overview record (none for control and
// transit articles) followed at once by the article as stored; records
// follow one another from offset 1 (a key of offset 0 is no article) and the
// ring wraps back to offset 1 near the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>

// One store; the same 912 bytes are its metadata file. The process-local
// fields are written as they stand and ignored when the file is read back.
struct ArtStore {
    char reserved0[64];
    char articlePath[520];     // "%s/%u-articles.dat"
    char metaPath[260];        // "%s/%u-meta.dat"
    uint32_t storeSize;        // megabytes
    uint32_t number;
    uint32_t selectionRef;     // process-local, 0 when read back
    uint32_t fileHandle;       // process-local, 0 when read back
    uint32_t reserved1;
    uint32_t wrapCount;
    uint32_t reserved2;
    uint32_t checkCount;       // articles placed since the last wrap
    uint32_t reserved3;
    uint64_t position;         // where the next record goes
    uint64_t reserved4;
    uint32_t inUse;
    uint8_t expirePriority;
    uint8_t reserved5[11];
};
static_assert(sizeof(ArtStore) == 912);
static_assert(offsetof(ArtStore, articlePath) == 64);
static_assert(offsetof(ArtStore, metaPath) == 584);
static_assert(offsetof(ArtStore, storeSize) == 844);
static_assert(offsetof(ArtStore, number) == 848);
static_assert(offsetof(ArtStore, selectionRef) == 852);
static_assert(offsetof(ArtStore, fileHandle) == 856);
static_assert(offsetof(ArtStore, wrapCount) == 864);
static_assert(offsetof(ArtStore, checkCount) == 872);
static_assert(offsetof(ArtStore, position) == 880);
static_assert(offsetof(ArtStore, inUse) == 896);
static_assert(offsetof(ArtStore, expirePriority) == 900);

// A store key: bits 0-39 the record's file offset, 40-47 the store number,
// 48-63 the low 16 bits of the store's wrap count when it was written.
inline constexpr uint64_t kStoreOffsetMask = (uint64_t{1} << 40) - 1;

constexpr uint64_t MakeStoreKey(uint32_t store, uint32_t wrapCount, uint64_t offset)
{
    return (offset & kStoreOffsetMask) | (uint64_t{store & 0xFF} << 40) | (uint64_t{wrapCount & 0xFFFF} << 48);
}

constexpr uint32_t StoreOfKey(uint64_t key) { return static_cast<uint32_t>((key >> 40) & 0xFF); }

constexpr uint16_t WrapOfKey(uint64_t key) { return static_cast<uint16_t>(key >> 48); }

static_assert(MakeStoreKey(5, 0x10002, 0x123456789A) == 0x000205123456789AULL);
static_assert(StoreOfKey(0x000205123456789AULL) == 5 && WrapOfKey(0x000205123456789AULL) == 2);
