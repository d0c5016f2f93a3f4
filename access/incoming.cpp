// Table of incoming peers with their rights and limits, and the hourly
// refresh of the addresses their host names resolve to.
#include "access/incoming.h"
#include "access/incoming_internal.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
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
    std::memcpy(to.addresses6, from.addresses6, sizeof to.addresses6);
    to.address6Count = from.address6Count;
    to.prefixFamily = from.prefixFamily;
    to.prefixBits = from.prefixBits;
    std::memcpy(to.prefixBytes, from.prefixBytes, sizeof to.prefixBytes);
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
    to.authRequired = from.authRequired.load();
    to.tlsRequired = from.tlsRequired.load();
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

// A literal address or a prefix ("192.0.2.1", "192.0.2.0/24",
// "2001:db8::/32", "::/0") needs no look-up: true when the host is one.
bool SetLiteral(IncomingEntry& entry)
{
    const std::string_view host = entry.host;
    const size_t slash = host.find('/');
    char text[kIncomingHostSize];
    std::snprintf(text, sizeof text, "%.*s", static_cast<int>(std::min(slash, host.size())), host.data());
    NetAddress net;
    if (!ParseNetAddress(text, &net))
        return false;
    const unsigned maxBits = net.family == AF_INET ? 32 : 128;
    unsigned bits = maxBits;
    if (slash != std::string_view::npos) {
        const std::string_view digits = host.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        bits = static_cast<unsigned>(std::strtoul(host.data() + slash + 1, nullptr, 10));
        if (bits > maxBits)
            return false;
    }
    CsLock lock(csIncoming());
    if (net.family == AF_INET && bits == 32) {
        entry.addresses[0] = net.v4;
        entry.addressCount = 1;
        return true;
    }
    entry.prefixFamily = static_cast<uint8_t>(net.family);
    entry.prefixBits = static_cast<uint8_t>(bits);
    std::memcpy(entry.prefixBytes, net.family == AF_INET ? static_cast<const void*>(&net.v4) : &net.v6,
                net.family == AF_INET ? 4 : 16);
    return true;
}

// The look-up part of a refresh, run without csIncoming (unless the caller holds it).
void RefreshAddresses(IncomingEntry& entry)
{
    if (SetLiteral(entry) || IsPattern(entry.host))
        return;
    // The host cannot change while connected holds the entry, so it is read unlocked.
    ResolvedAddresses resolved;
    bool truncated = false;
    bool found = ResolveAll(entry.host, resolved, truncated);
    if (truncated)
        LogFormat("warn: %s has more than 255 IP addresses associated, only the first 255 were used", entry.host);
    std::vector<in6_addr> found6;
    const bool any6 = ResolveHost6(entry.host, &found6);
    const size_t count6 = std::min<size_t>(found6.size(), kIncomingAddress6Size);
    CsLock lock(csIncoming());
    if (found || any6) {
        entry.resolveFailures = 0;
        std::memcpy(entry.addresses, resolved.address, resolved.count * sizeof(uint32_t));
        entry.addressCount = found ? resolved.count : 0;
        std::copy_n(found6.begin(), count6, entry.addresses6);
        entry.address6Count = static_cast<uint32_t>(count6);
    } else if (entry.resolveFailures++ > kDroppedAfterFailures) {
        entry.addressCount = 0;
        entry.address6Count = 0;
    }
}

// The first `prefixBits` bits of the peer's address are the entry's network.
bool InPrefix(const IncomingEntry& entry, const NetAddress& peer)
{
    if (entry.prefixFamily != peer.family)
        return false;
    const auto* bytes =
        reinterpret_cast<const uint8_t*>(peer.family == AF_INET ? static_cast<const void*>(&peer.v4) : &peer.v6);
    const unsigned whole = entry.prefixBits / 8u;
    const unsigned rest = entry.prefixBits % 8u;
    if (std::memcmp(bytes, entry.prefixBytes, whole) != 0)
        return false;
    const auto mask = static_cast<uint8_t>(0xff00u >> rest);
    return rest == 0 || (bytes[whole] & mask) == (entry.prefixBytes[whole] & mask);
}

bool EntryAdmits(const IncomingEntry& entry, const char* name, const char* dotted, const NetAddress& peer)
{
    if (name[0] != '\0' && StringMatch(name, entry.host))
        return true;
    if (StringMatch(dotted, entry.host) || InPrefix(entry, peer))
        return true;
    if (peer.family == AF_INET6) {
        for (uint32_t i = 0; i < entry.address6Count; ++i)
            if (std::memcmp(&entry.addresses6[i], &peer.v6, sizeof peer.v6) == 0)
                return true;
        return false;
    }
    for (uint32_t i = entry.addressCount; i > 0; --i)
        if (entry.addresses[i - 1] == peer.v4)
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
    else if (strcasecmp(parameter, "auth_required") == 0 && (value == 0 || value == 1))
        entry->authRequired = static_cast<uint32_t>(value);
    else if (strcasecmp(parameter, "tls_required") == 0 && (value == 0 || value == 1))
        entry->tlsRequired = static_cast<uint32_t>(value);
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
    // The login and TLS demands are listed only when on, so the list of an
    // entry without them reads as it always has.
    char demands[64] = "";
    std::snprintf(demands, sizeof demands, "%s%s", entry->authRequired != 0 ? " {auth_required 1}" : "",
                  entry->tlsRequired != 0 ? " {tls_required 1}" : "");
    char text[kIncomingHostSize + 512];
    std::snprintf(text, sizeof text,
                  "{%.255s {{parameters {{index %u} {max_connections %u} {streaming %u} {rights %u}%s}} "
                  "{statistics {{accepts %u} {refuse %u} {reject %u} {precommit_saves %u} {connected %u} "
                  "{connects %u}}}}}",
                  entry->host, IndexOf(*entry), entry->maxConnections.load(), entry->streaming.load(),
                  entry->rights.load(), demands, entry->accepts.load(), entry->refuses.load(), entry->rejects.load(),
                  entry->precommitSaves.load(), static_cast<uint32_t>(entry->connected.load()), entry->connects.load());
    return std::string(text);
}

std::vector<IncomingCounts> IncomingCountsList()
{
    std::vector<IncomingCounts> list;
    CsLock lock(csIncoming());
    for (const auto& entry : incoming) {
        if (!entry.inUse)
            continue;
        list.push_back({entry.host, entry.connected.load(), entry.connects.load(), entry.accepts.load(),
                        entry.refuses.load(), entry.rejects.load(), entry.rights.load()});
    }
    return list;
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

namespace {

// The walk of admission: the first entry admitting the peer, held.
IncomingEntry* FirstAdmitting(const NetAddress& peer, const char* name)
{
    char dotted[INET6_ADDRSTRLEN];
    FormatNetAddress(peer, dotted, sizeof dotted);
    CsLock lock(csIncoming());
    for (auto& entry : incoming) {
        if (entry.inUse && !entry.deleted && EntryAdmits(entry, name, dotted, peer)) {
            ++entry.connected;
            return &entry;
        }
    }
    return nullptr;
}

// The confirmed name of an IPv6 peer: its reverse name must resolve back to it.
int GetHostName6(const in6_addr& address, char* name)
{
    char reverse[NI_MAXHOST];
    if (!ReverseLookup6(address, reverse, sizeof reverse))
        return 0;
    std::snprintf(name, kHostNameLimit + 1, "%.200s", reverse);
    std::vector<in6_addr> forward;
    if (!ResolveHost6(name, &forward))
        return 0;
    for (const in6_addr& found : forward)
        if (std::memcmp(&found, &address, sizeof address) == 0)
            return 1;
    return 0;
}

}  // namespace

IncomingEntry* CheckIncoming(uint32_t address)
{
    NetAddress peer;
    peer.v4 = address;
    char name[kHostNameLimit + 1] = "";
    if (doHostnameResolution == 0 || !GetHostName(address, name))
        name[0] = '\0';
    return FirstAdmitting(peer, name);
}

IncomingEntry* CheckIncoming6(const in6_addr& address)
{
    NetAddress peer;
    peer.family = AF_INET6;
    peer.v6 = address;
    char name[kHostNameLimit + 1] = "";
    if (doHostnameResolution == 0 || !GetHostName6(address, name))
        name[0] = '\0';
    return FirstAdmitting(peer, name);
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
