// `verdalix -check`: the configuration file, its directories, the start-up
// script and the listening address checked without starting the server, so
// an installer or the service manager can refuse a start that would fail.
#pragma once

// Reads the configuration (VERDALIX_CONFIGFILE or the default path) and
// prints one line per problem: unknown keys (with the nearest known one),
// numbers that are not numbers, directories that are missing or not
// writable, a start-up script that is missing, does not parse, calls
// commands or SetSite parameters the server does not know, or never calls
// AcceptConnections, and an address that cannot be listened on. Returns 0
// when there is none, else 1.
int RunCheck();
