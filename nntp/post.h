// Post queue directory and cancel files, and the POST command.
#pragma once

#include <cstdint>

struct ClientContext;

int PostInit();

// The POST command (CommandHandler, nntp.h): removes its command line itself
// before reading the article, so it returns 0 unless it refused at once.
int nntp_post(ClientContext* ctx, char* line, uint32_t length);
