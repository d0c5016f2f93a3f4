// The table of configuration keys: every key the server reads, its default
// and what it does. A key missing here cannot be read by a module, and a key
// in the file that is missing here is reported at start-up.
#include "server/config.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <strings.h>

namespace {

using enum ConfigKey;
using enum ConfigKind;

constexpr ConfigKeyInfo kKeys[] = {
    {kActiveFile, "ActiveFile", kText, nullptr, "Path of the active file, read at start-up and by reloads"},
    {kAllowNewnews, "AllowNewnews", kNumber, "1", "0 turns NEWNEWS off; CAPABILITIES then does not offer it"},
    {kClientTimeout, "ClientTimeout", kNumber, "600",
     "Seconds a connection may wait for a command, a reply to go out or a TLS handshake before it is closed"},
    {kConnectBanner, "ConnectBanner", kText, nullptr, "Text of the greeting line, at most 70 characters"},
    {kControlKeyring, "ControlKeyring", kText, nullptr,
     "Keyring of the keys whose signatures verify rules of the control policy accept"},
    {kControlMessagePatterns, "ControlMessagePatterns", kText, "newgroup*,rmgroup*,checkgroups*",
     "Wildcards of the control messages written to the control queue"},
    {kControlPolicyFile, "ControlPolicyFile", kText, nullptr,
     "Path of the control policy; without it control messages are only logged"},
    {kControlQueueDirectory, "ControlQueueDirectory", kText, "./control", "Directory of the control-message files"},
    {kControlSocket, "ControlSocket", kText, nullptr,
     "Path of the control socket verdalixctl speaks to; verdalix.ctl in LogDirectory when absent"},
    {kControlTimeLimit, "ControlTimeLimit", kNumber, "30",
     "Seconds a control-socket request may run before it is stopped and its client cut off"},
    {kExternalFilter, "ExternalFilter", kText, nullptr, "Command line of the external article filter"},
    {kExternalFilterMatchString, "ExternalFilterMatchString", kText, nullptr,
     "Match expression of the articles handed to the external filter"},
    {kExternalFilterTimeout, "ExternalFilterTimeout", kNumber, "15000",
     "Milliseconds to wait for the external filter's answer"},
    {kFeedQueuePath, "FeedQueuePath", kText, nullptr, "Directory of the outgoing feed queues; without it no feeding"},
    {kFeedRetryDelay, "FeedRetryDelay", kNumber, "60",
     "Seconds before a failed feed connect is retried or a lost one replaced"},
    {kGpgvPath, "GpgvPath", kText, "/usr/bin/gpgv", "Program that checks control-message signatures"},
    {kGroupArraySize, "GroupArraySize", kNumber, "1000", "Number of group slots in the group database"},
    {kGroupDataPath, "GroupDataPath", kText, nullptr, "Directory of group.dat (required)"},
    {kGroupDescriptionsFile, "GroupDescriptionsFile", kText, nullptr,
     "Path of the group descriptions newgroup messages give; without it none are kept"},
    {kHistoryDataPath, "HistoryDataPath", kText, nullptr, "Directory of the history data file seen.dat (required)"},
    {kHistoryTablePath, "HistoryTablePath", kText, nullptr, "Directory of the history table seen.idx (required)"},
    {kHonorSupersedes, "HonorSupersedes", kNumber, "1", "Non-zero acts on Supersedes: headers"},
    {kHostPathIdentifier, "HostPathIdentifier", kText, nullptr, "This server's name in Path: headers (required)"},
    {kInjectPosts, "InjectPosts", kNumber, "1", "0 leaves the post queue, unchecked, to a program outside the server"},
    {kListenAddress, "ListenAddress", kText, nullptr, "Dotted IPv4 address to listen on; every address when absent"},
    {kListenBacklog, "ListenBacklog", kNumber, "1024",
     "Length of the queue of connections not yet accepted, at most the system's net.core.somaxconn"},
    {kListenPort, "ListenPort", kNumber, "119", "TCP port to listen on"},
    {kLogDirectory, "LogDirectory", kText, "/var/log/verdalix", "Directory of verdalix.log and its rotated copies"},
    {kLogFilterRejects, "LogFilterRejects", kNumber, "0", "Non-zero logs the articles refused by filters"},
    {kMaxArticleAge, "MaxArticleAge", kNumber, "7", "Articles older than this many days are refused"},
    {kMaxIncomingConnections, "MaxIncomingConnections", kNumber, "350", "Limit of incoming connections in all"},
    {kMaxKeepLogFile, "MaxKeepLogFile", kNumber, "5", "Number of log files kept by rotation (0 counts as 1)"},
    {kMaxPrecommitAge, "MaxPrecommitAge", kNumber, "30000",
     "Milliseconds a message-ID offered by one peer is held back from the others"},
    {kMessageIdDomain, "MessageIdDomain", kText, nullptr,
     "Right side of the Message-IDs given to posts; HostPathIdentifier when absent"},
    {kMetricsAddress, "MetricsAddress", kText, "127.0.0.1", "Loopback address of the metrics and status-page listener"},
    {kMetricsPort, "MetricsPort", kNumber, "0",
     "TCP port of the metrics (/metrics) and status page (/) listener; 0 opens none"},
    {kNewgroupsFile, "NewgroupsFile", kText, nullptr, "Path of the list of new groups; without it NEWGROUPS has none"},
    {kNewnewsWindow, "NewnewsWindow", kNumber, "86400",
     "Seconds back NEWNEWS can reach; arrival marks are kept for them, 0 keeps none"},
    {kNoAccessMessage, "NoAccessMessage", kText, nullptr, "Text of the refusal of a peer without access"},
    {kOpMode, "OpMode", kText, nullptr, "slave, transit, or reader mode when absent or anything else"},
    {kOverviewRewriteDelay, "OverviewRewriteDelay", kNumber, "30",
     "Seconds from a group's first change to the rewrite of its overview cache"},
    {kPasswordFile, "PasswordFile", kText, nullptr,
     "Path of the reader logins (name:hash:rights lines); without it AUTHINFO is not offered"},
    {kPostQueueDirectory, "PostQueueDirectory", kText, "./", "Directory of the post queue files"},
    {kPrecommitHashSize, "PrecommitHashSize", kNumber, "1048573", "Number of buckets of the precommit table"},
    {kProcessControlMessages, "ProcessControlMessages", kNumber, "1",
     "0 leaves the control-message files to a program outside the server"},
    {kReadPollMicroseconds, "ReadPollMicroseconds", kNumber, "30",
     "How long a connection whose client answers at once polls for its next bytes before it sleeps; 0 never polls"},
    {kRestrictCancels, "RestrictCancels", kNumber, "0",
     "1: a reader's cancel or Supersedes: acts only on an article with its own From: address"},
    {kSeenDataCount, "SeenDataCount", kNumber, "50000", "Capacity of the history data file in entries"},
    {kSeenTableSize, "SeenTableSize", kNumber, "55997", "Number of buckets of the history table"},
    {kSiteDefaultMaxIncomingConnections, "SiteDefaultMaxIncomingConnections", kNumber, "7",
     "Connection limit of an incoming peer that sets none"},
    {kSiteTooManyMessage, "SiteTooManyMessage", kText, nullptr,
     "Text of the refusal when a peer's own limit is reached"},
    {kStartupScript, "StartupScript", kText, "init.tcl", "The Tcl script run when the control interface starts"},
    {kSystemTooManyMessage, "SystemTooManyMessage", kText, nullptr,
     "Text of the refusal when MaxIncomingConnections is reached"},
    {kTLSCertificateFile, "TLSCertificateFile", kText, nullptr,
     "Path of the server's TLS certificate chain (PEM); without it no STARTTLS and no TLS port"},
    {kTLSKeyFile, "TLSKeyFile", kText, nullptr, "Path of the private key of TLSCertificateFile (PEM)"},
    {kTLSListenPort, "TLSListenPort", kNumber, "0",
     "Port of connections that start with TLS (563 by convention); 0 none"},
    {kTLSRequiredForAuth, "TLSRequiredForAuth", kNumber, "1",
     "1: AUTHINFO is refused (483) until the connection uses TLS; 0 allows logins in clear text"},
    {kUpdateIncomingEntries, "UpdateIncomingEntries", kNumber, "1",
     "Non-zero looks up the addresses of incoming peers again every hour"},
    {kXrefCommunity, "xrefcommunity", kText, nullptr,
     "Name at the head of Xref: headers; HostPathIdentifier when absent"},
};

constexpr bool InKeyOrder()
{
    for (size_t i = 0; i < std::size(kKeys); ++i)
        if (static_cast<size_t>(kKeys[i].key) != i)
            return false;
    return static_cast<size_t>(kXrefCommunity) + 1 == std::size(kKeys);
}
static_assert(InKeyOrder(), "the rows of kKeys follow ConfigKey");

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Levenshtein distance without regard to ASCII case.
size_t EditDistance(std::string_view a, std::string_view b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t substitution = diagonal + (Fold(a[i - 1]) == Fold(b[j - 1]) ? 0 : 1);
            diagonal = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, substitution});
        }
    }
    return row[b.size()];
}

}  // namespace

std::span<const ConfigKeyInfo> ConfigKeys() { return kKeys; }

const ConfigKeyInfo* FindConfigKey(std::string_view name)
{
    for (const ConfigKeyInfo& info : kKeys)
        if (std::strlen(info.name) == name.size() && strncasecmp(info.name, name.data(), name.size()) == 0)
            return &info;
    return nullptr;
}

// Near enough: at most a third of the longer name differs, so that a slip of
// a letter or two is caught but an unrelated key is not offered.
size_t NearestName(std::string_view name, std::span<const std::string_view> candidates)
{
    size_t nearest = candidates.size();
    size_t best = SIZE_MAX;
    for (size_t i = 0; i < candidates.size(); ++i) {
        size_t distance = EditDistance(name, candidates[i]);
        if (distance < best && distance * 3 <= std::max(name.size(), candidates[i].size())) {
            best = distance;
            nearest = i;
        }
    }
    return nearest;
}

const ConfigKeyInfo* NearestConfigKey(std::string_view name)
{
    std::vector<std::string_view> names;
    names.reserve(std::size(kKeys));
    for (const ConfigKeyInfo& info : kKeys)
        names.emplace_back(info.name);
    const size_t nearest = NearestName(name, names);
    return nearest < names.size() ? &kKeys[nearest] : nullptr;
}
