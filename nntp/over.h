// OVER and HDR: overview lines and header values for a range of the
// selected group, its current article, or one message-ID. Handlers follow
// CommandHandler (nntp.h).
#pragma once

#include <cstdint>

struct ClientContext;

int Over(ClientContext* ctx, char* line, uint32_t length);
int Hdr(ClientContext* ctx, char* line, uint32_t length);
