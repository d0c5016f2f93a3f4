// The configuration file: `key = value` lines read once at start-up into a
// list that lives for the life of the process, and the table of the keys the
// server reads (name, default, one line of text; etc/verdalix.conf.in and
// docs/configuration.md document each). Each module reads its own keys when
// it starts, through the table: ConfigText / ConfigNumber with a ConfigKey.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class ConfigKind : uint8_t { kText, kNumber };

// One per row of the table, in the table's order.
enum class ConfigKey : uint8_t {
    kActiveFile,
    kAllowNewnews,
    kClientTimeout,
    kConnectBanner,
    kControlKeyring,
    kControlMessagePatterns,
    kControlPolicyFile,
    kControlQueueDirectory,
    kControlSocket,
    kControlTimeLimit,
    kExternalFilter,
    kExternalFilterMatchString,
    kExternalFilterTimeout,
    kFeedQueuePath,
    kFeedRetryDelay,
    kGpgvPath,
    kGroupArraySize,
    kGroupDataPath,
    kGroupDescriptionsFile,
    kHistoryDataPath,
    kHistoryTablePath,
    kHonorSupersedes,
    kHostPathIdentifier,
    kInjectPosts,
    kListenAddress,
    kListenBacklog,
    kListenPort,
    kLogDirectory,
    kLogFilterRejects,
    kMaxArticleAge,
    kMaxIncomingConnections,
    kMaxKeepLogFile,
    kMaxPrecommitAge,
    kMessageIdDomain,
    kMetricsAddress,
    kMetricsPort,
    kNewgroupsFile,
    kNewnewsWindow,
    kNoAccessMessage,
    kOpMode,
    kOverviewRewriteDelay,
    kPasswordFile,
    kPostQueueDirectory,
    kPrecommitHashSize,
    kProcessControlMessages,
    kReadPollMicroseconds,
    kRestrictCancels,
    kSeenDataCount,
    kSeenTableSize,
    kSiteDefaultMaxIncomingConnections,
    kSiteTooManyMessage,
    kStartupScript,
    kSystemTooManyMessage,
    kTLSCertificateFile,
    kTLSKeyFile,
    kTLSListenPort,
    kTLSRequiredForAuth,
    kUpdateIncomingEntries,
    kXrefCommunity,
};

struct ConfigKeyInfo {
    ConfigKey key;
    const char* name;          // as the documentation spells it; matched without regard to case
    ConfigKind kind;
    const char* defaultValue;  // taken when the file does not set the key; null: none
    const char* text;          // what the key does, in one line
};

// The whole table, in ConfigKey order.
std::span<const ConfigKeyInfo> ConfigKeys();

// The row of `name` (without regard to ASCII case), or null.
const ConfigKeyInfo* FindConfigKey(std::string_view name);

// The row whose name is nearest to `name` in edits of single letters
// (without regard to case), or null when none is near enough to be a
// likely misspelling.
const ConfigKeyInfo* NearestConfigKey(std::string_view name);

// The index of the candidate nearest to `name` the same way (a third of the
// letters at most differ), or candidates.size() when none is that near.
size_t NearestName(std::string_view name, std::span<const std::string_view> candidates);

// The file's value of `key`, or null when the file does not set it.
const char* ConfigValue(ConfigKey key);

// The file's value of `key`, or else its default (null when it has none).
const char* ConfigText(ConfigKey key);

// ConfigText read by ParseDecimal; the default's number when the file does
// not set the key or sets a number below `minimum`.
int ConfigNumber(ConfigKey key, int minimum = INT_MIN);

// What the server will not read as written, one line each in file order:
// keys it does not know ("ListenPrt: unknown key; did you mean ListenPort?")
// and number keys whose value is not a whole number ("SeenTableSize =
// 55,997: read as 55"). Start-up logs them; a configuration check reports
// them as errors.
std::vector<std::string> ConfigProblems();

// Default path when VERDALIX_CONFIGFILE is not set.
inline constexpr const char* kDefaultConfigFile = "/etc/verdalix/verdalix.conf";

// Reads the file named by VERDALIX_CONFIGFILE (or the default path); on
// failure reports and ends the process with status 1. Returns 1.
int config_init();

// Appends the entries of an open text file to the list (used by config_init
// and by tests).
void ConfigReadFile(FILE* file);

// Drops every entry (tests only; the server never forgets its settings).
void ConfigClear();

// Value of the first entry whose key equals `key` without regard to ASCII
// case, or null. The text stays valid for the life of the process.
const char* GetConfigString(const char* key);

// 1 and *out set to the value read by ParseDecimal, or 0 with *out
// unchanged when the key is absent.
int GetConfigInt(const char* key, int* out);

// Plain decimal conversion: leading white space skipped, optional sign, stops
// at the first non-digit; no leading digit gives 0. Out-of-range values are
// clamped to the range of int.
int ParseDecimal(const char* text);
