// Wildcard matching without recursion. Patterns and texts come from the
// network (LIST ACTIVE arguments, Path elements and header values in match
// expressions), so no input may cost more than text length times pattern
// length, nor any stack depth.
//
// Every token but `*` takes exactly one text byte. When each token's end in
// the pattern does not depend on the text byte, a match only ever needs to
// retry from the latest `*` (the two-pointer method). One odd form breaks
// that: a set whose range ends in `]` (as in "[ab-]c]"), where a member
// before the range resumes the pattern at that `]` and a later member after
// the true close. Such patterns go through a breadth-first search over
// pattern positions instead, which gives the same answers.
#include "access/wildcard.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

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

// The pattern position after the token at `p` (neither '*' nor the end)
// when it takes the text byte `c` (not NUL), else null.
const char* Step(const char* p, const char* c)
{
    switch (*p) {
    case '?': return p + 1;
    case '[': return MatchSet(At(c), p + 1);
    case '\\': return p[1] != '\0' && p[1] == *c ? p + 2 : nullptr;
    default: return *p == *c ? p + 1 : nullptr;
    }
}

// True when no set of the pattern has a range ending in ']', so every
// token ends at one place whatever byte it takes.
bool TokensEndInOnePlace(const char* p)
{
    for (;;) {
        switch (*p) {
        case '\0': return true;
        case '\\':
            if (p[1] == '\0')
                return true;
            p += 2;
            break;
        case '[':
            for (++p; *p != '\0' && *p != ']';) {
                if (p[1] != '-') {
                    ++p;
                    continue;
                }
                if (p[2] == '\0')
                    return true;
                if (p[2] == ']')
                    return false;
                p += 3;
            }
            if (*p == ']')
                ++p;
            break;
        default: ++p;
        }
    }
}

// Two pointers: on a mismatch, the latest run of '*' takes one more byte.
int MatchFromLatestStar(const char* t, const char* p)
{
    const char* starPattern = nullptr;  // pattern after the latest run of '*'
    const char* starText = nullptr;     // where the text after that run starts
    for (;;) {
        if (*p == '*') {
            while (*p == '*')
                ++p;
            if (*p == '\0')
                return 1;
            starPattern = p;
            starText = t;
            continue;
        }
        // Out of text before the pattern: a later start only leaves less.
        if (*t == '\0')
            return *p == '\0';
        const char* next = *p != '\0' ? Step(p, t) : nullptr;
        if (next != nullptr) {
            p = next;
            ++t;
        } else if (starPattern != nullptr) {
            p = starPattern;
            t = ++starText;
        } else {
            return 0;
        }
    }
}

// Pattern positions as bits, one per byte of the pattern and its NUL.
class PositionSet {
public:
    explicit PositionSet(size_t positions) : words_((positions + 63) / 64) {}
    bool Has(size_t i) const { return (words_[i / 64] >> (i % 64)) & 1; }
    bool Empty() const
    {
        for (uint64_t w : words_)
            if (w != 0)
                return false;
        return true;
    }
    void Clear() { std::fill(words_.begin(), words_.end(), 0); }
    void Swap(PositionSet& other) { words_.swap(other.words_); }

    // Adds position `i` and, through any '*' there, the positions after.
    // A position already present brought its followers with it.
    void AddWithFollowers(const char* pattern, size_t i)
    {
        for (; !Has(i); ++i) {
            words_[i / 64] |= uint64_t{1} << (i % 64);
            if (pattern[i] != '*')
                return;
        }
    }

    // Calls `f(i)` for each position in ascending order.
    template <typename F>
    void ForEach(F f) const
    {
        for (size_t w = 0; w < words_.size(); ++w)
            for (uint64_t bits = words_[w]; bits != 0; bits &= bits - 1)
                f(w * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
    }

private:
    std::vector<uint64_t> words_;
};

// Every pattern position the text so far can reach, byte by byte: a '*'
// keeps its position and any other token moves to where it ends.
int MatchAllPaths(const char* t, const char* pattern)
{
    const size_t positions = std::strlen(pattern) + 1;
    PositionSet current(positions);
    PositionSet next(positions);
    current.AddWithFollowers(pattern, 0);
    for (; *t != '\0' && !current.Empty(); ++t) {
        next.Clear();
        current.ForEach([&](size_t i) {
            if (pattern[i] == '*') {
                next.AddWithFollowers(pattern, i);
            } else if (pattern[i] != '\0') {
                if (const char* end = Step(pattern + i, t))
                    next.AddWithFollowers(pattern, static_cast<size_t>(end - pattern));
            }
        });
        current.Swap(next);
    }
    return *t == '\0' && current.Has(positions - 1) ? 1 : 0;
}

}  // namespace

int StringMatch(const char* text, const char* pattern)
{
    if (TokensEndInOnePlace(pattern))
        return MatchFromLatestStar(text, pattern);
    return MatchAllPaths(text, pattern);
}
