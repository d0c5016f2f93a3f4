// Fuzzes the date parser with any text, relative to a fixed present.
#include <cstdint>
#include <string_view>

#include "date/parsedate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const TimeInfo now{946684800, 0, -60};
    parsedate(std::string_view(reinterpret_cast<const char*>(data), size), &now);
    return 0;
}
