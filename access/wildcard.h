// The server's one wildcard matcher: * ? [sets with ranges] and \ escapes.
#pragma once

// 1 when the whole text matches the whole pattern, else 0. Bytes compare as
// signed 8-bit values and case matters. No state and no recursion; the time
// is at most text length times pattern length (a run of '*' counts once).
// Allocates only for a pattern with a set range ending in ']'.
int StringMatch(const char* text, const char* pattern);
