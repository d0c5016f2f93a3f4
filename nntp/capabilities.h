// Commands that describe the session: CAPABILITIES, HELP and DATE. What they
// announce is read from the dispatch table for the connection's rights, so
// a client is never offered a command it would be refused.
#pragma once

#include <cstdint>

struct ClientContext;

// "101 Capability list:", one line per capability, ".".
int Capabilities(ClientContext* ctx, char* line, uint32_t length);
// "100 Help text follows", the commands this connection may give, ".".
int Help(ClientContext* ctx, char* line, uint32_t length);
// "111 yyyymmddhhmmss", the server's time in UTC.
int Date(ClientContext* ctx, char* line, uint32_t length);
