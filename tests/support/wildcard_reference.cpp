#include "support/wildcard_reference.h"

#include <cstring>

namespace verdalix_test {

namespace {

// After '[' at p: the pattern after the set when c is a member, else null.
const char* SetEnd(const char* p, signed char c)
{
    for (;;) {
        if (*p == '\0' || *p == ']')
            return nullptr;
        const auto low = static_cast<signed char>(p[0]);
        bool matched;
        if (p[1] == '-') {
            if (p[2] == '\0')
                return nullptr;
            const auto high = static_cast<signed char>(p[2]);
            matched = (low <= c && c <= high) || (high <= c && c <= low);
            p += 3;
        } else {
            matched = low == c;
            p += 1;
        }
        if (matched) {
            const char* close = std::strchr(p, ']');
            return close != nullptr ? close + 1 : p + std::strlen(p);
        }
    }
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
