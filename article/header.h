// Header lookups in raw article text (wire form, CR LF line ends). They work
// in place and copy nothing but the one value a caller asks for.
//
// Names are given as the prefix to look for, colon included, and compare
// without regard to case; a trailing blank in the name must be present in
// the article ("Subject: " does not find "Subject:x"). A header is found only
// at a line start and only before the first CR LF CR LF.
//
// The context variants take the article as `buffer` / `articleLength`; in the
// receive buffer the text is followed by CR LF "." CR LF, so a last header
// line that ends in CR LF closes the header block even when the body is
// empty. The lookups behave as if that marker followed and never read past
// `articleLength` themselves.
#pragma once

#include <cstdint>
#include <string_view>

struct ClientContext;

// Offset of the first CR LF CR LF of the article; 0 when there is none or
// when the article starts with it.
uint32_t FindHeaderEnd(const ClientContext& c);

// Looks up `name` in the `length` bytes at `text` (an article, or a header
// block without anything after it; no byte at or past `length` is read).
// Copies the value, without the blanks after the name, with folded lines
// joined and no separator between the parts, into `out` and NUL-terminates
// it: `out` must hold outSize + 1 bytes. Returns the length of the value's
// span in the text (continuation line ends and blanks included), outSize when
// the value was cut at outSize bytes, and 0 when the header is absent or its
// value is empty.
int32_t GetHeaderFromBuf(const char* text, std::string_view name, char* out, uint32_t outSize,
                         uint32_t length);

// GetHeaderFromBuf over the context's article.
int32_t GetHeader(const ClientContext& c, std::string_view name, char* out, uint32_t outSize);

// Raw range of a header's value: 1 with the offset of its first byte after
// the blanks, its length up to the line end of its last continuation line,
// and *folded 1 when it continues on further lines (`folded` may be null);
// 0 when absent or when its line has no line end within the article.
int GetHeaderRange(const ClientContext& c, std::string_view name, uint32_t* valueOffset,
                   uint32_t* valueLength, int* folded);

// As GetHeaderRange, but the range covers the whole header: from the start of
// its name through the CR LF of its last line.
int GetHeaderRangeFull(const ClientContext& c, std::string_view name, uint32_t* lineOffset,
                       uint32_t* lineLength, int* folded);

// Indexes the header lines of the context's article (buffer, articleLength)
// for the lookups above, which then compare names at the line starts only.
// The article must not change until ForgetHeaderLines; the reception path
// brackets each article with the two. Without the call lookups walk the text.
void IndexHeaderLines(ClientContext& c);
void ForgetHeaderLines(ClientContext& c);
