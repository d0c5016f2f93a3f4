// Whether the record read from a store for a history slot is that slot's
// article. Records carry no framing, so a key can point at other data of
// the same cycle (a store that resumed writing before the end of its
// records, a torn record): the record's own message-ID tells. The check
// works on bytes the caller has read anyway; it reads the message-ID
// itself only when those bytes do not hold it.
#pragma once

#include <cstdint>
#include <string_view>

// 1 when the slot's record, of which `bytes` hold the part from record offset
// `from` on, carries the slot's own message-ID (or that of an article whose
// own entry names the same record, as after a supersede). A record carrying
// another message-ID marks the slot's article gone while the slot still
// points at `storeKey`; 0 is returned then, and when the slot no longer
// points at `storeKey` or holds no article.
int RecordIsSlots(uint32_t slot, uint64_t storeKey, std::string_view bytes, uint32_t from);
