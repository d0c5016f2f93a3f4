// NNTP session: the per-connection command loop, its dispatch table and the
// reads of a connection (the replies are in nntp/reply.h).
//
// Every command handler has the signature of CommandHandler: `line` is the
// command line in the context's buffer, NUL-terminated where its CR LF was,
// and `length` is the line's length including the CR LF. A handler returns 1
// when the command loop should remove the line from the buffer, or 0 when it
// removed the line itself (TAKETHIS and POST do, before reading the article).
// A handler ends the connection with CloseConnection.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

struct ClientContext;

using CommandHandler = int (*)(ClientContext* ctx, char* line, uint32_t length);

// The command loop of one connection; returns when the connection ends,
// with the connection's precommit entries freed and the context left to be
// released.
void nntp(ClientContext* ctx);

// How often each command of the dispatch table ran since start, in table
// order, then "unknown": the lines no command took.
struct CommandCount {
    std::string_view word;
    uint64_t count;
};
std::vector<CommandCount> CommandCounts();

// Reads more data into the buffer after what is held. Returns 1; end of
// stream, an error or the receive time-out ends the connection.
int PostRead(ClientContext* ctx);
