// Post queue directory and cancel files, and the POST command.
#pragma once

#include <cstdint>

struct ClientContext;

// Reads PostQueueDirectory (default "./"). Returns 1.
int PostInit();

// Starts a worker that cancels the message-IDs of the file in the history
// and deletes it: 1 started, 0 when three workers are running already.
int ProcessCancelFile(const char* filename);

// The POST command (CommandHandler, nntp.h): removes its command line itself
// before reading the article, so it returns 0 unless it refused at once.
int nntp_post(ClientContext* ctx, char* line, uint32_t length);
