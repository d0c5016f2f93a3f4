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
