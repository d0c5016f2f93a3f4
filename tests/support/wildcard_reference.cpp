#include "support/wildcard_reference.h"

#include <algorithm>
#include <cstring>

namespace verdalix_test {

namespace {

// After '[' at p: the pattern after the set when c is a member, else null.
// A single byte is a range from itself to itself.
const char* SetEnd(const char* p, signed char c)
{
    while (*p != '\0' && *p != ']') {
        const bool range = p[1] == '-';
        if (range && p[2] == '\0')
            return nullptr;
        const auto first = static_cast<signed char>(p[0]);
        const auto last = static_cast<signed char>(range ? p[2] : p[0]);
        p += range ? 3 : 1;
        if (std::min(first, last) <= c && c <= std::max(first, last)) {
            const char* close = std::strchr(p, ']');
            return close != nullptr ? close + 1 : p + std::strlen(p);
        }
    }
    return nullptr;
}

}  // namespace

int ReferenceMatch(const char* t, const char* p, long* budget)
{
    for (;; ++t) {
        if (budget != nullptr && --*budget < 0)
            return -1;
        if (*p == '\0')
            return *t == '\0';
        if (*t == '\0' && *p != '*')
            return 0;
        if (*p == '*') {
            if (p[1] == '\0')
                return 1;
            for (;; ++t) {
                const int rest = ReferenceMatch(t, p + 1, budget);
                if (rest != 0)
                    return rest;
                if (*t == '\0')
                    return 0;
            }
        }
        if (*p == '[') {
            p = SetEnd(p + 1, static_cast<signed char>(*t));
            if (p == nullptr)
                return 0;
        } else if (*p == '\\') {
            if (p[1] != *t)
                return 0;
            p += 2;
        } else {
            if (*p != '?' && *p != *t)
                return 0;
            ++p;
        }
    }
}

}  // namespace verdalix_test
