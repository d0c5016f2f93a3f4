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

// Reads until the buffer holds the article and its CR LF "." CR LF. 1 when
// it is complete and within the 1 MB limit (articleLength is its length),
// else 0: an over-long article is read to its end and thrown away, and the
// empty article (the "." line at once) gives 0 too. Grows the buffer once
// to 1 MB; a failed enlargement closes the connection.
int nntp_readarticle(ClientContext* ctx);

// articleLength after nntp_readarticle found the empty article: the clean-up
// then removes exactly its ".\r\n" (articleLength + 5 wraps to 3).
inline constexpr uint32_t kEmptyArticle = UINT32_MAX - 1;

// Removes the article just read and its terminator, keeping what follows,
// and shrinks a grown buffer back to 64 KB when the rest fits.
void nntp_readarticle_cleanup(ClientContext* ctx);
