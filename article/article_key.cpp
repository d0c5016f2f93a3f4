// Article keys: message-ID extraction and the 64-bit hash of its text.
#include "article/article_key.h"

#include <cstddef>

#include "server/client_context.h"

namespace {

constexpr uint64_t kKeyLevel = 0x00000000FEFEBAD1ULL;
constexpr uint64_t kGoldenRatio = 0x9e3779b97f4a7c13ULL;
constexpr uint32_t kMaxIdCopy = 255;

inline void mix64(uint64_t& a, uint64_t& b, uint64_t& c)
{
    a -= b; a -= c; a ^= (c >> 43);
    b -= c; b -= a; b ^= (a << 9);
    c -= a; c -= b; c ^= (b >> 8);
    a -= b; a -= c; a ^= (c >> 38);
    b -= c; b -= a; b ^= (a << 23);
    c -= a; c -= b; c ^= (b >> 5);
    a -= b; a -= c; a ^= (c >> 35);
    b -= c; b -= a; b ^= (a << 49);
    c -= a; c -= b; c ^= (b >> 11);
    a -= b; a -= c; a ^= (c >> 12);
    b -= c; b -= a; b ^= (a << 18);
    c -= a; c -= b; c ^= (b >> 22);
}

// Little-endian 64-bit word of `count` bytes (at most 8), starting at bit `shift`.
inline uint64_t Word(const unsigned char* k, unsigned count, unsigned shift = 0)
{
    uint64_t w = 0;
    for (unsigned i = 0; i < count; ++i)
        w += static_cast<uint64_t>(k[i]) << (8 * i + shift);
    return w;
}

inline unsigned Min8(uint64_t n) { return n < 8 ? static_cast<unsigned>(n) : 8; }

}  // namespace

uint64_t hash(const unsigned char* k, uint64_t length, uint64_t level)
{
    uint64_t a = level;
    uint64_t b = level;
    uint64_t c = kGoldenRatio;
    uint64_t len = length;
    while (len >= 24) {
        a += Word(k, 8);
        b += Word(k + 8, 8);
        c += Word(k + 16, 8);
        mix64(a, b, c);
        k += 24;
        len -= 24;
    }
    // The tail: a takes bytes 0-7, b bytes 8-15, c bytes 16-22 above its low
    // byte, which is reserved for the length.
    c += length;
    a += Word(k, Min8(len));
    if (len > 8)
        b += Word(k + 8, Min8(len - 8));
    if (len > 16)
        c += Word(k + 16, static_cast<unsigned>(len - 16), 8);
    mix64(a, b, c);
    return c;
}

namespace {

// The first "<" of the text before any control or non-ASCII byte and
// before `end` (null: the text ends at its NUL); null when there is none.
const unsigned char* IdStart(const unsigned char* p, const unsigned char* end)
{
    for (; p != end && *p != '<'; ++p)
        if (*p < 0x1B || *p > 0x7F)
            return nullptr;
    return p != end ? p : nullptr;
}

inline ArticleKey KeyOf(const unsigned char* id, uint64_t length)
{
    return hash(id, length, kKeyLevel) & ~(1ULL << 63);
}

}  // namespace

int GetArticleIDFromString(const char* text, char* out, ArticleKey* key)
{
    char local[kMessageIdSize];
    if (out == nullptr)
        out = local;
    out[0] = '\0';
    const unsigned char* p = IdStart(reinterpret_cast<const unsigned char*>(text), nullptr);
    if (p == nullptr)
        return 0;
    *key = 0;
    uint32_t n = 0;
    // A NUL stops the copy too: the text may be a bare value without LF.
    while (n < kMaxIdCopy && p[n] != '>' && p[n] != '\n' && p[n] != '\0') {
        out[n] = static_cast<char>(p[n]);
        ++n;
    }
    const unsigned char stop = p[n];
    out[n] = static_cast<char>(stop);
    ++n;
    out[n] = '\0';
    if (n < 3)
        return 0;
    *key = KeyOf(p, n - 1);
    return stop == '>' ? 1 : 0;
}

int GetArticleKeyOfText(std::string_view text, ArticleKey* key)
{
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = begin + text.size();
    const unsigned char* p = IdStart(begin, end);
    if (p == nullptr)
        return 0;
    const ptrdiff_t avail = end - p;
    ptrdiff_t n = 0;
    while (n < kMaxIdCopy && n < avail && p[n] != '>' && p[n] != '\n' && p[n] != '\0')
        ++n;
    if (n == avail || p[n] != '>' || n < 2)
        return 0;
    *key = KeyOf(p, static_cast<uint64_t>(n));
    return 1;
}

int GetArticleID(ClientContext& c)
{
    return GetArticleIDFromString(c.buffer, c.messageId, &c.articleKey);
}
