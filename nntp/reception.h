// Article reception: IHAVE, the streaming commands CHECK and TAKETHIS, and
// the history inoculation command. Handlers follow CommandHandler (nntp.h).
#pragma once

#include <cstdint>

struct ClientContext;

// The command loop clears bit 0 of flags before and counts `ihave` after.
int nntp_ihave(ClientContext* ctx, char* line, uint32_t length);
int nntp_check(ClientContext* ctx, char* line, uint32_t length);
int nntp_takethis(ClientContext* ctx, char* line, uint32_t length);
// Enters the message-ID into the history without an article; no reply
// unless the message-ID is invalid.
int nntp_innoculate(ClientContext* ctx, char* line, uint32_t length);

// Reads one article (nntp_readarticle), has it accepted or refused and
// answers: 235/437 after IHAVE, 239/439 after TAKETHIS (flags bit 0). An
// article the store could not take is answered 436 after IHAVE, and 400
// after TAKETHIS, which then closes the connection. An article offered
// under an invalid message-ID is read and refused. Removes the article
// from the buffer.
void nntp_recv_article(ClientContext* ctx, bool idValid);

// Reads until the buffer holds the article and its CR LF "." CR LF. 1 when
// it is complete and within the 1 MB limit (articleLength is its length),
// else 0: an over-long article is read to its end and thrown away, and the
// empty article (the "." line at once) gives 0 too. Grows the buffer once
// to 1 MB; a failed enlargement closes the connection.
int nntp_readarticle(ClientContext* ctx);

// Removes the article just read and its terminator, keeping what follows,
// and shrinks a grown buffer back to 64 KB when the rest fits.
void nntp_readarticle_cleanup(ClientContext* ctx);
