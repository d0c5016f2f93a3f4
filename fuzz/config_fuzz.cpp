// Fuzzes the configuration reader: the input is the file's text.
#include <cstdint>
#include <cstdio>
#include <string>

#include "server/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    FILE* file = fmemopen(text.data(), text.size() + 1, "r");
    if (file == nullptr)
        return 0;
    ConfigReadFile(file);
    std::fclose(file);
    int number = 0;
    for (const char* key : {"ListenPort", "HostPathIdentifier", "x", ""}) {
        GetConfigString(key);
        GetConfigInt(key, &number);
    }
    ParseDecimal(text.c_str());
    ConfigClear();
    return 0;
}
