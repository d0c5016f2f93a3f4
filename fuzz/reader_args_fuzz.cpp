// Fuzzes the argument parsing of the reader commands: the range-or-ID
// parser, then the message-ID extraction that follows it for an ID.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "article/article_key.h"
#include "nntp/reader_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> line(data, data + size);
    line.push_back('\0');
    int idGiven = 0;
    uint32_t from = 0;
    uint32_t to = 0;
    if (!GetRangeOrId(line.data(), &idGiven, &from, &to) || !idGiven)
        return 0;
    char id[257];
    ArticleKey key = 0;
    GetArticleIDFromString(line.data(), id, &key);
    if (std::strlen(id) > 256)
        std::abort();
    return 0;
}
