// Fuzzes the wildcard matcher: input is text NUL pattern. Besides crashes it
// checks the answer against the rules read literally, when those finish
// within a step budget.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "access/wildcard.h"
#include "support/wildcard_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string text = input.substr(0, split);
    const std::string pattern = split == std::string::npos ? std::string() : input.substr(split + 1);
    const int answer = StringMatch(text.c_str(), pattern.c_str());
    long budget = 50000;
    const int expected = verdalix_test::ReferenceMatch(text.c_str(), pattern.c_str(), &budget);
    if (expected >= 0 && answer != expected)
        std::abort();
    return 0;
}
