// Fuzzes the header lookups. Input: one byte for the size of the copy
// buffer, a header name through its first ':' (at most 40 bytes; "Subject:"
// when there is none), then the article text, held in a buffer of exactly
// its size so that any read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "article/header.h"
#include "server/client_context.h"

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// Every lookup, as three numbers and the copied value.
std::string Answers(const ClientContext& c, std::string_view name, uint32_t outSize)
{
    std::vector<char> out(outSize + 1);
    std::string answers = std::to_string(GetHeader(c, name, out.data(), outSize)) + ":" + out.data();
    uint32_t offset = 0, length = 0;
    int folded = 0;
    answers += ":" + std::to_string(GetHeaderRange(c, name, &offset, &length, &folded)) + ":" + std::to_string(offset) +
               ":" + std::to_string(length) + ":" + std::to_string(folded);
    offset = length = 0;
    answers += ":" + std::to_string(GetHeaderRangeFull(c, name, &offset, &length, &folded)) + ":" +
               std::to_string(offset) + ":" + std::to_string(length);
    return answers;
}

void LookUp(const ClientContext& c, std::string_view name, uint32_t outSize)
{
    std::vector<char> out(outSize + 1);
    const int32_t span = GetHeader(c, name, out.data(), outSize);
    Check(span >= 0 && static_cast<uint32_t>(span) <= c.articleLength && std::strlen(out.data()) <= outSize);
    uint32_t offset = 0;
    uint32_t length = 0;
    int folded = 0;
    if (GetHeaderRange(c, name, &offset, &length, &folded))
        Check(offset <= c.articleLength && length <= c.articleLength - offset);
    if (GetHeaderRangeFull(c, name, &offset, &length, &folded))
        Check(offset <= c.articleLength && length <= c.articleLength - offset && length >= name.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint32_t outSize = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string name = "Subject:";
    if (size_t colon = rest.substr(0, 40).find(':'); colon != std::string_view::npos) {
        name = rest.substr(0, colon + 1);
        rest.remove_prefix(colon + 1);
    }
    std::vector<char> text(rest.begin(), rest.end());
    ClientContext c;
    c.buffer = text.data();
    c.articleLength = static_cast<uint32_t>(text.size());
    const uint32_t end = FindHeaderEnd(c);
    Check(end == 0 || end + 4 <= c.articleLength || end + 2 == c.articleLength);
    for (std::string_view n : {std::string_view(name), std::string_view("Path:"), std::string_view("Newsgroups: ")})
        LookUp(c, n, outSize);
    // The line index of the reception path finds exactly what the walk finds.
    for (std::string_view n : {std::string_view(name), std::string_view("Path:"), std::string_view("Newsgroups: ")}) {
        const std::string walked = Answers(c, n, outSize);
        IndexHeaderLines(c);
        Check(Answers(c, n, outSize) == walked);
        ForgetHeaderLines(c);
    }
    return 0;
}
