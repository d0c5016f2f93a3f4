// Article stores: up to 64 fixed-size ring files of stored records (overview
// record plus article), each with a metadata file that keeps its write
// position and wrap count across restarts.
//
// A store key addresses a record: bits 0-39 its file offset, 40-47 the store
// number, 48-63 the low 16 bits of the store's wrap count when it was
// written. Whether the data is still there is decided from the key and the
// store's counters alone. Appends (WriteToStore, StoreCheckAndWrap,
// GetStoreKey, GetStorePosition, AdvanceStore) come from one writer at a
// time per store; reads run on any thread without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "article/store_format.h"

struct Transport;

struct iovec;

struct ClientContext;

inline constexpr uint32_t kMaxStores = 64;

// Number of the store built with the selection "overcache"; all ones until then.
extern uint32_t OverviewCacheStore;

// Marks every store unused and starts the metadata sync thread (first sync
// after 60 s, then every 5 s). Returns 1.
int ArtStoreInit();

// Builds store `number` with its files in `directory` (which must exist), or
// rebuilds it from its metadata file: position, wrap count and a larger saved
// size survive. A store in use on the same articles file keeps its live
// position and wrap count (the saved ones may be behind); the caller holds
// the store's writer lock then. `selectString` is a match expression, or "overcache" (any
// case) for the overview cache store. The record, or null when the number is
// 64 or more, the articles file cannot be opened, the size is not
// addressable or the selection does not compile.
ArtStore* BuildArtStore(uint32_t number, const char* directory, const char* selectString, uint32_t storeSize,
                        uint32_t expirePriority);

// The lowest-numbered store whose selection matches the article; -1 for none.
int FindArtStore(const ClientContext& c);

// The store's expire priority (0-255); -1 for an invalid store.
int GetStoreExpirationPriority(uint32_t store);

// Counts an article about to be written and, when the write position lies
// within 2 MB + 1 KB of the end, wraps the ring to offset 1. 0 for an
// invalid store, else 1.
int StoreCheckAndWrap(uint32_t store);

// Key of the current write position; 0 for an invalid store.
uint64_t GetStoreKey(uint32_t store);

// The current write position; all ones for an invalid store.
uint64_t GetStorePosition(uint32_t store);

// Appends `count` bytes at the write position and advances it. Returns
// count, or 0 on failure (the position stays). Failures are logged once per
// burst, and the first write that works again after them is logged too.
uint32_t WriteToStore(uint32_t store, const void* bytes, uint32_t count);

// Appends the `count` pieces at the write position, in order, with one
// gather write (more only when the kernel writes short), and advances it.
// The total, or 0 on failure (logged as WriteToStore's; the position stays).
uint32_t WriteToStoreV(uint32_t store, const iovec* pieces, int count);

// The store's wrap count and write position: 1, or 0 for an invalid store.
int GetStorePlace(uint32_t store, uint32_t* wrapCount, uint64_t* position);

// Puts the write position at `position` in cycle `wrapCount` (see
// store_end.h) and saves the metadata; the caller holds the store's writer
// lock. 1, or 0 for an invalid store.
// The `count` bytes at `offset` of the record at `storeKey` where they lie in
// the store's read-only view of its file, without a copy or a system call;
// empty when the store has no view or the bytes lie past what the file is
// known to hold (ReadStore them then). Like a read, the bytes may have been
// overwritten by a wrap: the caller checks the record's identity.
std::string_view StoreBytes(uint64_t storeKey, uint64_t offset, uint32_t count);

// The store's size in bytes; 0 for an invalid store.
uint64_t GetStoreSize(uint32_t store);

int SetStorePlace(uint32_t store, uint32_t wrapCount, uint64_t position);

// Moves the write position on by `count` without writing; count, or 0 for
// an invalid store.
uint32_t AdvanceStore(uint32_t store, uint32_t count);

// Writes all `count` bytes at the key's offset plus `offset` without moving
// the write position; count, or 0 on failure or for an invalid key.
uint32_t WriteToStoreSpec(uint64_t storeKey, const void* bytes, uint64_t offset, uint32_t count);

// The key's file offset (bits 0-39), also stored in *offset when not null.
uint64_t GetStoreOffsetFromKey(uint64_t storeKey, uint64_t* offset);

// The store's file descriptor while the key's data is still there, else -1.
int GetStoreHandle(uint64_t storeKey);

// GetStoreHandle, and the key's file offset in *offset.
int GetStoreHandleAndOffset(uint64_t storeKey, uint64_t* offset);

// Reads `count` bytes at the key's offset plus `offset`: copied from the
// store's view when StoreBytes has them, else read from the file. Returns
// count when all were read, else 0.
uint32_t ReadStore(uint64_t storeKey, void* buffer, uint64_t offset, uint32_t count);

// Copies `count` bytes at the key's offset plus `offset` to the connection
// `out`; 1 when all went out, 0 on any failure, including data
// that ends before `count` bytes.
int CopyStoreToHandle(const Transport& out, uint64_t storeKey, uint64_t offset, uint64_t count);

// Writes the store's record to its metadata file: 1, or 0 (logged).
int WriteStoreMeta(uint32_t store);

// Writes the metadata of every store in use, under csArtStore.
void StoreSyncMeta();

// Writes the metadata of every store in use and closes its articles file;
// the stores are then unused until built again.
void StoreSyncAndClose();

// Closing order: takes csArtStore for good (no more syncs) and writes the
// metadata of every store in use. The articles files stay open because
// sessions may still read while the process exits.
void StoreShutdown();
