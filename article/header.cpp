// Header lookups: single forward passes over the raw article text.
#include "article/header.h"

#include <bit>
#include <cstring>
#include <string_view>

#include "server/client_context.h"

namespace {

constexpr uint32_t kNotFound = 0xFFFFFFFF;
const char hdrterm[4] = {'\r', '\n', '\r', '\n'};

inline bool IsLineBreak(char b) { return b == '\r' || b == '\n'; }
inline bool IsBlank(char b) { return b == ' ' || b == '\t'; }
inline char Lower(char b) { return b >= 'A' && b <= 'Z' ? static_cast<char>(b + ('a' - 'A')) : b; }

// CR LF CR LF at offset o. Past the text's end the receive buffer holds CR LF
// "." CR LF, so the only match reaching past it is a text that ends in CR LF,
// at two bytes before its end; that case is decided without reading further.
inline bool IsHeaderEnd(const char* text, uint32_t length, uint32_t o)
{
    if (o + 4 <= length)
        return std::memcmp(text + o, hdrterm, 4) == 0;
    return length >= 2 && o == length - 2 && text[o] == '\r' && text[o + 1] == '\n';
}

// Offset of the first CR or LF at or after o, or `length`: eight bytes at a
// time, since header values are scanned on every lookup.
inline uint32_t NextLineBreak(const char* text, uint32_t o, uint32_t length)
{
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    for (; o + 8 <= length; o += 8) {
        uint64_t word;
        std::memcpy(&word, text + o, 8);
        const uint64_t cr = word ^ (kOnes * '\r');
        const uint64_t lf = word ^ (kOnes * '\n');
        // The lowest flagged byte is exact: the first CR or LF.
        const uint64_t hit = (((cr - kOnes) & ~cr) | ((lf - kOnes) & ~lf)) & kHighs;
        if (hit != 0)
            return o + static_cast<uint32_t>(std::countr_zero(hit) >> 3);
    }
    while (o < length && !IsLineBreak(text[o]))
        ++o;
    return o;
}

inline bool NameAt(const char* text, uint32_t o, std::string_view name)
{
    for (size_t i = 0; i < name.size(); ++i)
        if (Lower(text[o + i]) != Lower(name[i]))
            return false;
    return true;
}

// Offset of the line where `name` starts within the header block, or
// kNotFound. Only line breaks can start a header end, and only the byte
// after one can start a line, so the walk jumps from one line break to the
// next.
uint32_t FindHeaderLine(const char* text, uint32_t length, std::string_view name)
{
    uint32_t o = 0;
    while (o + name.size() <= length) {
        if (IsHeaderEnd(text, length, o))
            return kNotFound;
        // A line break is never a header line's first byte, whatever the
        // name asked for holds.
        bool lineStart = (o == 0 || IsLineBreak(text[o - 1])) && !IsLineBreak(text[o]);
        if (lineStart && NameAt(text, o, name))
            return o;
        o = IsLineBreak(text[o]) ? o + 1 : NextLineBreak(text, o, length);
    }
    return kNotFound;
}

// FindHeaderLine through the context's line index when it has one for its
// article: the same first match, as the index holds every line start the
// walk would try, in order.
uint32_t FindHeaderLineOf(const ClientContext& c, std::string_view name)
{
    if (c.headerIndexText != c.buffer || c.headerIndexLength != c.articleLength || c.headerLineCount == 0)
        return FindHeaderLine(c.buffer, c.articleLength, name);
    for (uint32_t i = 0; i < c.headerLineCount; ++i) {
        const uint32_t o = c.headerLines[i];
        if (o + name.size() > c.articleLength)
            return kNotFound;
        if (NameAt(c.buffer, o, name))
            return o;
    }
    return kNotFound;
}

uint32_t SkipSpaces(const char* text, uint32_t length, uint32_t o)
{
    while (o < length && text[o] == ' ')
        ++o;
    return o;
}

// Where a found header lies: its line start, its value (after the blanks) up
// to the line end of its last continuation line, and the byte after that line
// end.
struct HeaderSpan {
    uint32_t line = 0;
    uint32_t value = 0;
    uint32_t valueEnd = 0;
    uint32_t lineEnd = 0;
};

// 0 when the header is absent or one of its lines reaches the end of the
// text without a line break.
int LocateHeader(const ClientContext& c, std::string_view name, HeaderSpan* span, int* folded)
{
    int unused = 0;
    if (folded == nullptr)
        folded = &unused;
    *folded = 0;
    const char* text = c.buffer;
    const uint32_t length = c.articleLength;
    span->line = FindHeaderLineOf(c, name);
    if (span->line == kNotFound)
        return 0;
    span->value = SkipSpaces(text, length, span->line + static_cast<uint32_t>(name.size()));
    uint32_t pos = span->value;
    for (;;) {
        pos = NextLineBreak(text, pos, length);
        if (pos == length)
            return 0;
        span->valueEnd = pos;
        if (text[pos] == '\r')
            ++pos;
        if (pos < length && text[pos] == '\n')
            ++pos;
        if (pos >= length || !IsBlank(text[pos])) {
            span->lineEnd = pos;
            return 1;
        }
        *folded = 1;
    }
}

}  // namespace

uint32_t FindHeaderEnd(const ClientContext& c)
{
    // One library search for the blank line instead of a compare at every
    // offset; only a text without one can end its header at its own end.
    const std::string_view text(c.buffer, c.articleLength);
    const size_t found = text.find(std::string_view(hdrterm, sizeof hdrterm));
    if (found != std::string_view::npos)
        return static_cast<uint32_t>(found);
    const uint32_t last = c.articleLength >= 2 ? c.articleLength - 2 : 0;
    return c.articleLength >= 2 && IsHeaderEnd(c.buffer, c.articleLength, last) ? last : 0;
}

namespace {

// The value of the header found at `line` (kNotFound: none), as
// GetHeaderFromBuf gives it.
int32_t CopyHeaderValue(const char* text, uint32_t length, uint32_t line, std::string_view name, char* out,
                        uint32_t outSize)
{
    out[0] = '\0';
    if (line == kNotFound)
        return 0;
    const uint32_t start = SkipSpaces(text, length, line + static_cast<uint32_t>(name.size()));
    uint32_t pos = start;
    uint32_t copied = 0;
    while (pos < length && !IsLineBreak(text[pos])) {
        const uint32_t end = NextLineBreak(text, pos, length);
        if (end - pos > outSize - copied) {
            std::memcpy(out + copied, text + pos, outSize - copied);
            out[outSize] = '\0';
            return static_cast<int32_t>(outSize);
        }
        std::memcpy(out + copied, text + pos, end - pos);
        copied += end - pos;
        pos = end;
        if (pos >= length)
            break;
        uint32_t next = pos + 1;
        if (next < length && text[next] == '\n')
            ++next;
        if (next >= length || !IsBlank(text[next]))
            break;
        while (next < length && IsBlank(text[next]))
            ++next;
        pos = next;
    }
    out[copied] = '\0';
    return static_cast<int32_t>(pos - start);
}

}  // namespace

int32_t GetHeaderFromBuf(const char* text, std::string_view name, char* out, uint32_t outSize, uint32_t length)
{
    return CopyHeaderValue(text, length, FindHeaderLine(text, length, name), name, out, outSize);
}

int32_t GetHeader(const ClientContext& c, std::string_view name, char* out, uint32_t outSize)
{
    return CopyHeaderValue(c.buffer, c.articleLength, FindHeaderLineOf(c, name), name, out, outSize);
}

void IndexHeaderLines(ClientContext& c)
{
    // The walk of FindHeaderLine, recording where it would compare a name.
    const char* text = c.buffer;
    const uint32_t length = c.articleLength;
    c.headerLineCount = 0;
    for (uint32_t o = 0; o < length && !IsHeaderEnd(text, length, o);) {
        if ((o == 0 || IsLineBreak(text[o - 1])) && !IsLineBreak(text[o])) {
            if (c.headerLineCount == kHeaderLineIndexSize) {
                c.headerLineCount = 0;  // too many: lookups walk the text
                break;
            }
            c.headerLines[c.headerLineCount++] = o;
        }
        o = IsLineBreak(text[o]) ? o + 1 : NextLineBreak(text, o, length);
    }
    c.headerIndexText = text;
    c.headerIndexLength = length;
}

void ForgetHeaderLines(ClientContext& c)
{
    c.headerIndexText = nullptr;
    c.headerLineCount = 0;
}

int GetHeaderRange(const ClientContext& c, std::string_view name, uint32_t* valueOffset,
                   uint32_t* valueLength, int* folded)
{
    HeaderSpan span;
    if (!LocateHeader(c, name, &span, folded))
        return 0;
    *valueOffset = span.value;
    *valueLength = span.valueEnd - span.value;
    return 1;
}

int GetHeaderRangeFull(const ClientContext& c, std::string_view name, uint32_t* lineOffset,
                       uint32_t* lineLength, int* folded)
{
    HeaderSpan span;
    if (!LocateHeader(c, name, &span, folded))
        return 0;
    *lineOffset = span.line;
    *lineLength = span.lineEnd - span.line;
    return 1;
}
