// The server's one wildcard matcher: * ? [sets with ranges] and \ escapes.
#pragma once

// 1 when the whole text matches the whole pattern, else 0. Bytes compare as
// signed 8-bit values and case matters. No state, no allocation.
int StringMatch(const char* text, const char* pattern);
