// On-disk layout of the group database group.dat (docs/formats.md): an
// array of fixed-size group records, no file header. Record g is group
// number g; a group of s slots spans records g … g+s−1. The file is mapped
// and changed in place; all fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kEntriesPerSlot = 500;
inline constexpr uint32_t kMaxSlots = 100;
// Overview cache index entries per slot.
inline constexpr uint32_t kIndexPerSlot = 25;
// Closes the overview cache index: the number of the entry after the last.
inline constexpr uint32_t kIndexEnd = 0xFFFFFFFF;

#pragma pack(push, 1)
// One ring entry: article `number` (0 = empty) is history slot `seenIndex`
// while that slot's use count still equals `useCount`.
struct ArticleEntry {
    uint32_t seenIndex;
    uint32_t number;
    uint8_t useCount;
};

// One record of group.dat. A group of s > 1 slots spans records g … g+s−1:
// its entries run on past `entries` into the following records, and its
// overview cache index lies after them (OverviewIndexOf).
struct GroupRecord {
    uint64_t ocacheKey;   // store key of the overview cache block; all ones: none
    uint32_t ocachelen;   // bytes of text in the block
    uint32_t ocacheblen;  // bytes reserved for the block in the cache store
    uint32_t cstart;      // first article number the block covers
    uint32_t cend;        // last article number the block covers
    uint32_t numEntries;  // ring size: 500 × slots
    uint32_t start;       // low mark
    uint32_t end;         // high mark
    uint32_t reserved1;
    uint32_t flags;       // kGroup… bits and the change counter
    int8_t numSlots;
    uint32_t reserved2;
    ArticleEntry entries[kEntriesPerSlot];  // article n at entries[n % numEntries]
    uint32_t blockOffsets[kIndexPerSlot];   // overview index of a one-slot group
    uint32_t blockNumbers[kIndexPerSlot];
};
#pragma pack(pop)

static_assert(sizeof(ArticleEntry) == 9);
static_assert(offsetof(ArticleEntry, number) == 4 && offsetof(ArticleEntry, useCount) == 8);
static_assert(sizeof(GroupRecord) == 4749);
static_assert(offsetof(GroupRecord, ocachelen) == 8 && offsetof(GroupRecord, ocacheblen) == 12);
static_assert(offsetof(GroupRecord, cstart) == 16 && offsetof(GroupRecord, cend) == 20);
static_assert(offsetof(GroupRecord, numEntries) == 24 && offsetof(GroupRecord, start) == 28);
static_assert(offsetof(GroupRecord, end) == 32 && offsetof(GroupRecord, flags) == 40);
static_assert(offsetof(GroupRecord, numSlots) == 44 && offsetof(GroupRecord, entries) == 49);
static_assert(offsetof(GroupRecord, blockOffsets) == 4549 && offsetof(GroupRecord, blockNumbers) == 4649);

// Bits of GroupRecord::flags; bits 3–7 hold the 5-bit change counter.
inline constexpr uint32_t kGroupCacheValid = 1u << 0;
inline constexpr uint32_t kGroupModerated = 1u << 1;
inline constexpr uint32_t kGroupPostingAllowed = 1u << 2;
inline constexpr uint32_t kChangeCountShift = 3;
inline constexpr uint32_t kChangeCountMask = 0x1Fu << kChangeCountShift;

// Where a group's overview cache index lies: byte offsets from the start of
// its first record of the offsets and the article numbers (two arrays of
// 32-bit words), and how many entries the index may use. A one-slot group
// keeps it in its record's last 200 bytes; a larger group keeps it after
// its ring and one spare entry, each array one word longer than it uses.
struct OverviewIndexPlace {
    uint32_t offsets;
    uint32_t numbers;
    uint32_t capacity;
};

constexpr OverviewIndexPlace OverviewIndexOf(uint32_t slots)
{
    if (slots <= 1)
        return {offsetof(GroupRecord, blockOffsets), offsetof(GroupRecord, blockNumbers), kIndexPerSlot};
    const auto offsets =
        static_cast<uint32_t>(offsetof(GroupRecord, entries) + sizeof(ArticleEntry) * (kEntriesPerSlot * slots + 1));
    return {offsets, offsets + static_cast<uint32_t>(sizeof(uint32_t)) * (kIndexPerSlot * slots + 1),
            kIndexPerSlot * slots};
}

static_assert(OverviewIndexOf(2).offsets == 9058 && OverviewIndexOf(2).numbers == 9262);
// The index of the largest group ends within its records.
static_assert(OverviewIndexOf(kMaxSlots).numbers + sizeof(uint32_t) * (kIndexPerSlot * kMaxSlots + 1) <=
              sizeof(GroupRecord) * kMaxSlots);
