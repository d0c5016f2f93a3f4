// Wildcard matching in place; recursion only at '*', once per position tried.
#include "access/wildcard.h"

namespace {

using Byte = signed char;

Byte At(const char* p) { return static_cast<Byte>(*p); }

// Matches one set member list starting after '['; on success returns the
// pattern position after the closing ']' (or the pattern's end), else null.
const char* MatchSet(Byte c, const char* p)
{
    for (;;) {
        if (*p == '\0' || *p == ']')
            return nullptr;
        Byte low = At(p);
        bool matched;
        if (p[1] == '-') {
            if (p[2] == '\0')
                return nullptr;
            Byte high = At(p + 2);
            matched = (low <= c && c <= high) || (high <= c && c <= low);
            p += 3;
        } else {
            matched = low == c;
            p += 1;
        }
        if (matched) {
            while (*p != '\0' && *p != ']')
                ++p;
            return *p == ']' ? p + 1 : p;
        }
    }
}

}  // namespace

int StringMatch(const char* text, const char* pattern)
{
    const char* t = text;
    const char* p = pattern;
    for (;;) {
        if (*p == '\0')
            return *t == '\0';
        if (*t == '\0' && *p != '*')
            return 0;
        switch (*p) {
        case '*':
            if (p[1] == '\0')
                return 1;
            for (;; ++t) {
                if (StringMatch(t, p + 1))
                    return 1;
                if (*t == '\0')
                    return 0;
            }
        case '?':
            ++t;
            ++p;
            break;
        case '[':
            p = MatchSet(At(t), p + 1);
            if (p == nullptr)
                return 0;
            ++t;
            break;
        case '\\':
            if (p[1] == '\0' || p[1] != *t)
                return 0;
            ++t;
            p += 2;
            break;
        default:
            if (*p != *t)
                return 0;
            ++t;
            ++p;
        }
    }
}
