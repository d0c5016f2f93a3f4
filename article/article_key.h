// Article keys: the 64-bit number that stands for a message-ID everywhere the
// history is asked about it.
#pragma once

#include <cstdint>
#include <string_view>

struct ClientContext;

using ArticleKey = uint64_t;

// Bob Jenkins' 64-bit lookup8 hash of `length` bytes at `k`, starting from
// `level`. Pure function, no allocation.
uint64_t hash(const unsigned char* k, uint64_t length, uint64_t level);

// Finds the message-ID in `text` (leading words are skipped) and copies it,
// from "<" through the stopping byte, into `out` (at least 257 bytes; null
// uses a local buffer). The copy stops at ">", LF, NUL or after 255 bytes.
// Once a "<" is found, *key is set to the hash of the copy without its
// stopping byte (0 when that is shorter than 2 bytes); without a "<" before
// the first control or non-ASCII byte, *key is left unchanged.
// Returns 1 when the copy ended at ">" and held at least "<x>", else 0.
int GetArticleIDFromString(const char* text, char* out, ArticleKey* key);

// The key of the message-ID in `text` as GetArticleIDFromString computes it,
// reading no byte past the text (which needs no NUL). 1 with *key when the
// text holds a whole "<…>" of at most 255 bytes, else 0 (*key unchanged).
int GetArticleKeyOfText(std::string_view text, ArticleKey* key);

// GetArticleIDFromString on the context's received text (the command line at
// the start of its buffer), into its messageId and articleKey.
int GetArticleID(ClientContext& c);
