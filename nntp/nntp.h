// NNTP session: the per-connection command loop, its dispatch table and the
// reply table.
//
// Every command handler has the signature of CommandHandler: `line` is the
// command line in the context's buffer, NUL-terminated where its CR LF was,
// and `length` is the line's length including the CR LF. A handler returns 1
// when the command loop should remove the line from the buffer, or 0 when it
// removed the line itself (TAKETHIS and POST do, before reading the article).
// A handler ends the connection with CloseConnection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct ClientContext;

using CommandHandler = int (*)(ClientContext* ctx, char* line, uint32_t length);

// Reply selectors of Respond that are not the number sent on the wire.
enum ReplyCode : int {
    kReplyInvalidArticleId = 1,  // "400 Invalid articleid"
    kReplySendIt = 2,            // "335 Send it"
    kReplyAlreadyGot = 3,        // "435 Already got it"
    kReplyGotIt = 4,             // "235 Got it"
    kReplyStreamOk = 6,          // "203 StreamOK"
    kReplyCheckRefuse = 7,       // "438 <messageId>"
    kReplyTakethisOk = 9,        // "239 <messageId>"
    kReplyInvalidCommand = 10,   // "500 invalid command"
    kReplyGoodbye = 11,          // "205 Goodbye"
    kReplyStatistics = 13,       // the statistics text
    kReplyOk = 600,              // "200 OK"
    kReplyPostOk = 620,          // "240 got it"
    kReplyPostFailed = 633,      // "435 post failed"
};

// The command loop of one connection; returns when the connection ends,
// leaving the context to be released.
void nntp(ClientContext* ctx);

// Sends the reply line selected by `code` with one blocking write, counting
// it in the statistics first. Returns 1; a failed write ends the connection.
int Respond(ClientContext* ctx, int code);

// Writes all bytes on the connection. Returns 1; a failed write ends it.
// During a feed command the bytes may wait until the connection next reads
// or runs another kind of command, so pipelined replies share one send.
int SendData(ClientContext* ctx, const char* data, size_t length);

// Reads more data into the buffer after what is held. Returns 1; end of
// stream, an error or the receive time-out ends the connection.
int PostRead(ClientContext* ctx);
