// The wildcard matching rules read literally, as a check on the real
// matcher: recursion at every '*', exponential on hostile patterns.
#pragma once

namespace verdalix_test {

// 1 or 0 as StringMatch should answer; -1 when *budget (the number of
// pattern steps it may take, null for no limit) runs out first.
int ReferenceMatch(const char* text, const char* pattern, long* budget = nullptr);

}  // namespace verdalix_test
