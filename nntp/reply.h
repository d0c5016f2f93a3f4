// Replies of the NNTP session: the reply line for each code, counted in the
// statistics and on the peer's incoming entry, and the sends of a
// connection. Feed replies may wait in a per-thread batch until the
// connection next reads or runs another kind of command, so pipelined
// replies share one send.
#pragma once

#include <cstddef>

struct ClientContext;

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

// Sends the reply line selected by `code` with one blocking write, counting
// it in the statistics first. Returns 1; a failed write ends the connection.
int Respond(ClientContext* ctx, int code);

// Writes all bytes on the connection. Returns 1; a failed write ends it.
// During a feed command the bytes may wait until the connection next reads
// or runs another kind of command, so pipelined replies share one send.
int SendData(ClientContext* ctx, const char* data, size_t length);

// Turns batching on for a feed command, or off (sending what waits) for any
// other command; the command loop calls it before each command.
void BatchReplies(ClientContext* ctx, bool batching);

// Sends the replies that wait in the batch.
void FlushReplies(ClientContext* ctx);

// Empties the batch at the start of a connection.
void DiscardReplies();

// Sends what waits without blocking, as the connection closes.
void SendRepliesOnClose(ClientContext* ctx);
