// The argument parser of the reader commands, used by them and the tests.
#pragma once

#include <cstdint>

// Parses the argument of an article command: nothing, a message-ID in angle
// brackets (*idGiven set, the text cut after its ">"), a number, "number-"
// (open range) or "number-number"; numbers run up to 2147483647 (leading
// zeros allowed) and end at a blank, the line's end or the range's dash;
// words after a blank are ignored. Without a number *from and *to are all
// ones. 1 when well formed, 0 otherwise (a larger number included).
int GetRangeOrId(char* text, int* idGiven, uint32_t* from, uint32_t* to);
