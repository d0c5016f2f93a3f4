// Precommit table: a fixed array of bucket chains plus one age list, newest
// first, from whose old end the cleaner takes expired entries. Entries are
// recycled through a short spare list so a steady offer stream rarely
// allocates. Each connection's unfinished entries are chained from its
// context, so ending a connection frees them without a search.
#include "nntp/precommit.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "access/incoming.h"
#include "platform/process.h"
#include "server/client_context.h"
#include "server/config.h"

CriticalSection& csPrecommit()
{
    static Lasting<CriticalSection> cs;
    return *cs;
}

namespace {

// Entries live 30 s and every offer makes one, so the table must hold a
// burst of several hundred thousand offers a second with short chains.
constexpr uint32_t kMaxSpare = 31;

std::vector<PrecommitEntry*> precommitHash;
uint32_t PrecommitSize = 0;  // both set by PrecommitInit
uint32_t MaxPrecommitAge = 0;
PrecommitEntry* pcHead = nullptr;
PrecommitEntry* pcTail = nullptr;
PrecommitEntry* freeHead = nullptr;
uint32_t precommitFreeCount = 0;
std::once_flag cleanerStarted;

// Milliseconds since an arbitrary start; wraps, so ages are unsigned differences.
uint32_t UpTimeMs()
{
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

PrecommitEntry* Lookup(uint64_t key)
{
    for (PrecommitEntry* e = precommitHash[key % PrecommitSize]; e != nullptr; e = e->bucketNext)
        if (e->key == key)
            return e;
    return nullptr;
}

void MarkOffer(PrecommitEntry* entry, const ClientContext* context)
{
    int32_t index = context->incomingEntry != nullptr ? context->incomingEntry->dequeue.load() : -1;
    if (index >= 0 && index < kDequeueIndexLimit)
        entry->offeredBy[index / 32] |= 1u << (index % 32);
}

PrecommitEntry* TakeEntry()
{
    if (freeHead == nullptr)
        return new PrecommitEntry;
    PrecommitEntry* entry = freeHead;
    freeHead = entry->ageNext;
    --precommitFreeCount;
    return entry;
}

void ReleaseEntry(PrecommitEntry* entry)
{
    if (precommitFreeCount < kMaxSpare) {
        entry->ageNext = freeHead;
        freeHead = entry;
        ++precommitFreeCount;
    } else {
        delete entry;
    }
}

void LinkOwner(PrecommitEntry* entry, ClientContext* owner)
{
    entry->owner = owner;
    entry->ownerPrev = nullptr;
    entry->ownerNext = owner->precommitOwned;
    if (entry->ownerNext != nullptr)
        entry->ownerNext->ownerPrev = entry;
    owner->precommitOwned = entry;
}

void UnlinkOwner(PrecommitEntry* entry)
{
    if (entry->owner == nullptr)
        return;
    if (entry->ownerPrev == nullptr)
        entry->owner->precommitOwned = entry->ownerNext;
    else
        entry->ownerPrev->ownerNext = entry->ownerNext;
    if (entry->ownerNext != nullptr)
        entry->ownerNext->ownerPrev = entry->ownerPrev;
    entry->owner = nullptr;
}

// Takes the entry out of its bucket chain, the age list and its owner's list.
void Remove(PrecommitEntry* entry)
{
    if (entry->bucketPrev == nullptr)
        precommitHash[entry->bucket] = entry->bucketNext;
    else
        entry->bucketPrev->bucketNext = entry->bucketNext;
    if (entry->bucketNext != nullptr)
        entry->bucketNext->bucketPrev = entry->bucketPrev;
    if (entry->agePrev == nullptr)
        pcHead = entry->ageNext;
    else
        entry->agePrev->ageNext = entry->ageNext;
    if (entry->ageNext == nullptr)
        pcTail = entry->agePrev;
    else
        entry->ageNext->agePrev = entry->agePrev;
    UnlinkOwner(entry);
    ReleaseEntry(entry);
}

void ExpireEntries()
{
    CsLock lock(csPrecommit());
    uint32_t now = UpTimeMs();
    while (pcTail != nullptr && now - pcTail->created > MaxPrecommitAge)
        Remove(pcTail);
}

}  // namespace

int PrecommitInit()
{
    {
        CsLock lock(csPrecommit());
        PrecommitSize = static_cast<uint32_t>(ConfigNumber(ConfigKey::kPrecommitHashSize, 1));
        MaxPrecommitAge = static_cast<uint32_t>(ConfigNumber(ConfigKey::kMaxPrecommitAge, 0));
        while (pcTail != nullptr)
            Remove(pcTail);
        precommitHash.assign(PrecommitSize, nullptr);
    }
    bool started = true;
    std::call_once(cleanerStarted, [&started] { started = StartThread("precommit cleaner", PrecommitCleaner); });
    return started ? 1 : 0;
}

int AddPrecommit(ClientContext* context)
{
    CsLock lock(csPrecommit());
    if (PrecommitEntry* found = Lookup(context->articleKey)) {
        MarkOffer(found, context);
        return 0;
    }
    PrecommitEntry* entry = TakeEntry();
    std::memset(entry->offeredBy, 0, sizeof entry->offeredBy);
    MarkOffer(entry, context);
    entry->created = UpTimeMs();
    entry->key = context->articleKey;
    entry->bucket = static_cast<uint32_t>(context->articleKey % PrecommitSize);
    LinkOwner(entry, context);

    PrecommitEntry*& head = precommitHash[entry->bucket];
    entry->bucketNext = head;
    entry->bucketPrev = nullptr;
    if (head != nullptr)
        head->bucketPrev = entry;
    head = entry;

    entry->ageNext = pcHead;
    entry->agePrev = nullptr;
    if (pcHead != nullptr)
        pcHead->agePrev = entry;
    else
        pcTail = entry;
    pcHead = entry;
    return 1;
}

void EndPrecommit(ClientContext* context, bool stored)
{
    CsLock lock(csPrecommit());
    PrecommitEntry* entry = Lookup(context->articleKey);
    if (entry == nullptr || entry->owner != context)
        return;
    if (stored)
        UnlinkOwner(entry);
    else
        Remove(entry);
}

void ReleasePrecommits(ClientContext* context)
{
    CsLock lock(csPrecommit());
    while (context->precommitOwned != nullptr)
        Remove(context->precommitOwned);
}

PrecommitEntry* CheckPrecommit(ClientContext* context)
{
    return Lookup(context->articleKey);
}

int GetDequeueFlags(ClientContext* context, uint32_t flags[kDequeueFlagWords])
{
    CsLock lock(csPrecommit());
    PrecommitEntry* entry = Lookup(context->articleKey);
    if (entry == nullptr)
        return 0;
    std::memcpy(flags, entry->offeredBy, sizeof entry->offeredBy);
    return 1;
}

void PrecommitCleaner()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        ExpireEntries();
    }
}
