// Fuzzes match expressions: input is expression NUL article. The expression
// is compiled and, when it parses, evaluated against the article.
#include <cstdint>
#include <string>
#include <vector>

#include "access/match.h"
#include "server/client_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    auto expression = CompileMatchString(input.substr(0, split));
    if (expression == nullptr || split == std::string::npos)
        return 0;
    std::vector<char> article(input.begin() + static_cast<std::ptrdiff_t>(split) + 1, input.end());
    ClientContext c;
    c.buffer = article.data();
    c.articleLength = static_cast<uint32_t>(article.size());
    c.isControl = article.size() % 2;
    c.futureSeconds = static_cast<int32_t>(article.size()) - 100;
    if (PrepareForMatch(c))
        CheckMatch(c, expression.get());
    FreeMatchData(c);
    return 0;
}
