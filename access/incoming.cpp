// Table of incoming peers with their rights and limits, and the hourly
// refresh of the addresses their host names resolve to.
#include "access/incoming.h"
#include "access/incoming_internal.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>
#include <thread>
#include <vector>

#include "access/wildcard.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"

IncomingEntry incoming[kIncomingSize];
std::atomic<int> doHostnameResolution{1};

namespace {

// Re-entrant: AddIncoming holds it across the refresh of the new entry.
CriticalSection& csIncoming()
{
    static Lasting<CriticalSection> cs;
    return *cs;
}

constexpr uint32_t kMaxAddresses = 255;
constexpr uint32_t kDroppedAfterFailures = 48;
constexpr uint32_t kHostNameLimit = 200;

struct ResolvedAddresses {
    uint32_t address[kIncomingAddressSize];
    uint32_t count = 0;
};

void ClearEntry(IncomingEntry& entry)
{
    std::destroy_at(&entry);
    std::construct_at(&entry);
}

// A moved entry keeps everything but its open connections.
void CopyEntry(IncomingEntry& to, const IncomingEntry& from)
{
    std::memcpy(to.host, from.host, sizeof to.host);
    std::memcpy(to.addresses, from.addresses, sizeof to.addresses);
    to.addressCount = from.addressCount;
    to.accepts = from.accepts.load();
    to.rejects = from.rejects.load();
    to.refuses = from.refuses.load();
    to.precommitSaves = from.precommitSaves.load();
    to.connected = 0;
    to.connects = from.connects.load();
    to.inUse = from.inUse;
    to.deleted = from.deleted;
    to.maxConnections = from.maxConnections.load();
    to.streaming = from.streaming.load();
    to.resolveFailures = from.resolveFailures;
    to.rights = from.rights.load();
    to.dequeue = from.dequeue.load();
}

// An entry with open connections stays until the next refresh after they end.
void ReleaseEntry(IncomingEntry& entry)
{
    if (entry.connected > 0)
        entry.deleted = 1;
    else
        ClearEntry(entry);
}

IncomingEntry* FindExact(const char* host)
{
    for (auto& entry : incoming)
        if (entry.inUse && std::strcmp(entry.host, host) == 0)
            return &entry;
    return nullptr;
}

IncomingEntry* FindIgnoringCase(const char* host)
{
    for (auto& entry : incoming)
        if (entry.inUse && strcasecmp(entry.host, host) == 0)
            return &entry;
    return nullptr;
}

uint32_t IndexOf(const IncomingEntry& entry) { return static_cast<uint32_t>(&entry - incoming); }

bool IsPattern(const char* host) { return std::strpbrk(host, "?*") != nullptr; }

void FormatAddress(uint32_t address, char* text, size_t size)
{
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    std::snprintf(text, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

// IPv4 addresses of `host` in the resolver's order; false when the look-up fails.
bool ResolveAll(const char* host, ResolvedAddresses& out, bool& truncated)
{
    std::vector<uint32_t> found;
    if (!ResolveHost(host, &found))
        return false;
    truncated = found.size() > kMaxAddresses;
    out.count = static_cast<uint32_t>(std::min<size_t>(found.size(), kMaxAddresses));
    std::copy_n(found.begin(), out.count, out.address);
    return true;
}

// The look-up part of a refresh, run without csIncoming (unless the caller holds it).
void RefreshAddresses(IncomingEntry& entry)
{
    in_addr dotted {};
    if (inet_pton(AF_INET, entry.host, &dotted) == 1) {
        CsLock lock(csIncoming());
        entry.addresses[0] = dotted.s_addr;
        entry.addressCount = 1;
        return;
    }
    if (IsPattern(entry.host))
        return;
    // The host cannot change while connected holds the entry, so it is read unlocked.
    ResolvedAddresses resolved;
    bool truncated = false;
    bool found = ResolveAll(entry.host, resolved, truncated);
    if (truncated)
        LogFormat("warn: %s has more than 255 IP addresses associated, only the first 255 were used", entry.host);
    CsLock lock(csIncoming());
    if (found) {
        entry.resolveFailures = 0;
        std::memcpy(entry.addresses, resolved.address, resolved.count * sizeof(uint32_t));
        entry.addressCount = resolved.count;
    } else if (entry.resolveFailures++ > kDroppedAfterFailures) {
        entry.addressCount = 0;
    }
}

bool EntryAdmits(const IncomingEntry& entry, const char* name, const char* dotted, uint32_t address)
{
    if (name[0] != '\0' && StringMatch(name, entry.host))
        return true;
    if (StringMatch(dotted, entry.host))
        return true;
    for (uint32_t i = entry.addressCount; i > 0; --i)
        if (entry.addresses[i - 1] == address)
            return true;
    return false;
}

// Moves the entry to the first free one from `target` up to a bound. Upwards
// the bound is the table's end; downwards it is the entry's own index.
int MoveEntry(IncomingEntry& entry, uint32_t target)
{
    uint32_t current = IndexOf(entry);
    if (target == current)
        return 1;
    uint32_t bound = target > current ? static_cast<uint32_t>(kIncomingSize) : current;
    for (uint32_t i = target; i < bound; ++i) {
        if (incoming[i].inUse)
            continue;
        CopyEntry(incoming[i], entry);
        ReleaseEntry(entry);
        return 1;
    }
    return 0;
}

[[noreturn]] void IncomingUpdate()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
        for (auto& entry : incoming)
            UpdateIncoming(&entry);
    }
}

}  // namespace

int IncomingInit()
{
    int update = ConfigNumber(ConfigKey::kUpdateIncomingEntries);
    {
        CsLock lock(csIncoming());
        for (auto& entry : incoming)
            ClearEntry(entry);
    }
    SetPeerStatsProvider(ReturnIncomingStatsString);
    if (update != 0 && !StartThread("incoming update", IncomingUpdate))
        return 0;
    return 1;
}

int AddIncoming(const char* host, uint32_t index)
{
    if (std::strlen(host) >= kIncomingHostSize)
        return 0;
    if (index >= static_cast<uint32_t>(kIncomingSize))
        index = 0;
    CsLock lock(csIncoming());
    IncomingEntry* free = nullptr;
    for (uint32_t i = index; i < static_cast<uint32_t>(kIncomingSize) && free == nullptr; ++i) {
        if (!incoming[i].inUse)
            free = &incoming[i];
        else if (std::strcmp(incoming[i].host, host) == 0)
            return 0;
    }
    if (free == nullptr)
        return 0;
    ClearEntry(*free);
    std::strcpy(free->host, host);
    free->inUse = 1;
    free->dequeue = -1;
    if (!UpdateIncoming(free)) {
        ClearEntry(*free);
        return 0;
    }
    free->streaming = 1;
    free->maxConnections = static_cast<uint32_t>(ConfigNumber(ConfigKey::kSiteDefaultMaxIncomingConnections));
    return 1;
}

int SetIncomingParameter(const char* host, const char* parameter, int value)
{
    CsLock lock(csIncoming());
    IncomingEntry* entry = FindIgnoringCase(host);
    if (entry == nullptr)
        return 0;
    if (strcasecmp(parameter, "weight") == 0)
        return 1;
    if (strcasecmp(parameter, "max_connections") == 0)
        entry->maxConnections = static_cast<uint32_t>(value);
    else if (strcasecmp(parameter, "streaming") == 0)
        entry->streaming = static_cast<uint32_t>(value);
    else if (strcasecmp(parameter, "rights") == 0)
        entry->rights = static_cast<uint32_t>(value);
    else if (strcasecmp(parameter, "dequeue") == 0)
        entry->dequeue = value;
    else if (strcasecmp(parameter, "index") == 0)
        return value >= 0 && value < kIncomingSize ? MoveEntry(*entry, static_cast<uint32_t>(value)) : 0;
    else
        return 0;
    return 1;
}

int DelIncoming(const char* host)
{
    CsLock lock(csIncoming());
    IncomingEntry* entry = FindExact(host);
    if (entry == nullptr)
        return 0;
    ReleaseEntry(*entry);
    return 1;
}

std::string ListIncoming()
{
    std::string text;
    CsLock lock(csIncoming());
    for (const auto& entry : incoming) {
        if (!entry.inUse)
            continue;
        text += entry.host;
        text += ' ';
    }
    return text;
}

std::optional<std::string> GetIncomingConfig(const char* host)
{
    CsLock lock(csIncoming());
    const IncomingEntry* entry = FindIgnoringCase(host);
    if (entry == nullptr)
        return std::nullopt;
    char text[kIncomingHostSize + 512];
    std::snprintf(text, sizeof text,
                  "{%.255s {{parameters {{index %u} {max_connections %u} {streaming %u} {rights %u}}} "
                  "{statistics {{accepts %u} {refuse %u} {reject %u} {precommit_saves %u} {connected %u} "
                  "{connects %u}}}}}",
                  entry->host, IndexOf(*entry), entry->maxConnections.load(), entry->streaming.load(),
                  entry->rights.load(),
                  entry->accepts.load(), entry->refuses.load(), entry->rejects.load(), entry->precommitSaves.load(),
                  static_cast<uint32_t>(entry->connected.load()), entry->connects.load());
    return std::string(text);
}

std::string ReturnIncomingStatsString()
{
    std::string text = "{incoming ";
    char piece[kIncomingHostSize + 256];
    CsLock lock(csIncoming());
    for (const auto& entry : incoming) {
        if (!entry.inUse)
            continue;
        std::snprintf(piece, sizeof piece,
                      "{{host %.255s} {connected %i} {connects %u} {accepts %u} {refused %u} {rejected %u} "
                      "{precommit_saves %u}} ",
                      entry.host, entry.connected.load(), entry.connects.load(), entry.accepts.load(),
                      entry.refuses.load(), entry.rejects.load(), entry.precommitSaves.load());
        text += piece;
    }
    text += "} ";
    return text;
}

IncomingEntry* CheckIncoming(uint32_t address)
{
    char dotted[16];
    FormatAddress(address, dotted, sizeof dotted);
    char name[kHostNameLimit + 1] = "";
    if (doHostnameResolution == 0 || !GetHostName(address, name))
        name[0] = '\0';
    CsLock lock(csIncoming());
    for (auto& entry : incoming) {
        if (entry.inUse && !entry.deleted && EntryAdmits(entry, name, dotted, address)) {
            ++entry.connected;
            return &entry;
        }
    }
    return nullptr;
}

int UpdateIncoming(IncomingEntry* entry)
{
    {
        CsLock lock(csIncoming());
        if (!entry->inUse)
            return 0;
        if (entry->deleted && entry->connected == 0) {
            ClearEntry(*entry);
            return 0;
        }
        ++entry->connected;
    }
    RefreshAddresses(*entry);
    --entry->connected;
    return 1;
}

int GetHostName(uint32_t address, char* name)
{
    char reverse[NI_MAXHOST];
    if (!ReverseLookup(address, reverse, sizeof reverse))
        return 0;
    std::snprintf(name, kHostNameLimit + 1, "%.200s", reverse);
    ResolvedAddresses forward;
    bool truncated = false;
    if (!ResolveAll(name, forward, truncated))
        return 0;
    for (uint32_t i = 0; i < forward.count; ++i)
        if (forward.address[i] == address)
            return 1;
    return 0;
}
