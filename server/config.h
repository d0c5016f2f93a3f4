// The configuration file: `key = value` lines read once at start-up into a
// list that lives for the life of the process. Each module reads its own
// keys (etc/verdalix.conf.in lists them); `ListenPort` (integer, default
// 119) and `ListenAddress` (dotted IPv4 address, default every address)
// choose where the accept loop listens.
#pragma once

#include <cstdio>

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
