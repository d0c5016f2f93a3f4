#include "support/unit_config.h"

#include <cstdio>

#include "server/config.h"

namespace verdalix_test {

void UseConfigText(const std::string& text)
{
    ConfigClear();
    std::string copy = text;
    FILE* file = fmemopen(copy.data(), copy.size(), "r");
    if (file == nullptr)
        return;
    ConfigReadFile(file);
    std::fclose(file);
}

}  // namespace verdalix_test
