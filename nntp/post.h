// Post queue directory and cancel files, and the POST command.
#pragma once

#include <cstdint>

struct ClientContext;

// Reads PostQueueDirectory (default "./"). Returns 1.
int PostInit();

// Writes the article in the context's buffer (articleLength bytes) into a new
// post file "<dir>/<time>.post" (or "<dir>/<time>-<n>.post" when taken),
// after the poster's address and the connection's post count. 1 written,
// 0 when the file could not be created or written.
int QueuePost(ClientContext* ctx);

// Starts a worker that cancels the message-IDs of the file in the history
// and deletes it: 1 started, 0 when three workers are running already.
int ProcessCancelFile(const char* filename);

// The worker body: cancels every "<...>" line's message-ID, then deletes the
// file. The number of history entries cancelled (0 when it cannot be read).
int ProcessFile(const char* filename);

// Cancel-file workers running now.
int CancelWorkersRunning();

// The POST command (CommandHandler, nntp.h): removes its command line itself
// before reading the article, so it returns 0 unless it refused at once.
int nntp_post(ClientContext* ctx, char* line, uint32_t length);
