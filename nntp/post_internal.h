// Entry points of the post queue and the cancel files that only their own
// source and the tests use.
#pragma once

struct ClientContext;

// Writes the article in the context's buffer (articleLength bytes) into a new
// post file "<dir>/<time>.post" (or "<dir>/<time>-<n>.post" when taken),
// after the poster's address and the connection's post count. 1 written,
// 0 when the file could not be created or written.
int QueuePost(ClientContext* ctx);

// The worker body: cancels every "<...>" line's message-ID, then deletes the
// file. The number of history entries cancelled (0 when it cannot be read).
int ProcessFile(const char* filename);

// Cancel-file workers running now.
int CancelWorkersRunning();
