// Configuration file reading and lookups.
#include "server/config.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "platform/process.h"

namespace {

struct ConfigEntry {
    char* key;
    char* value;
    ConfigEntry* next;
};

ConfigEntry* configHead = nullptr;
ConfigEntry** configTail = &configHead;

char* CopyText(const char* start, size_t length)
{
    char* text = static_cast<char*>(std::malloc(length + 1));
    std::memcpy(text, start, length);
    text[length] = '\0';
    return text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void AddLine(char* line)
{
    if (line[0] == '#')
        return;
    size_t length = std::strlen(line);
    // Trailing control bytes (line end, CR, tabs) go; trailing spaces stay.
    // Bytes of 0x80 and above are text (UTF-8), not control bytes.
    while (length > 0 && static_cast<unsigned char>(line[length - 1]) < 14)
        --length;
    line[length] = '\0';
    if (length == 0)
        return;
    char* equals = std::strchr(line, '=');
    if (equals == nullptr)
        return;
    size_t keyLength = static_cast<size_t>(equals - line);
    while (keyLength > 1 && IsBlank(line[keyLength - 1]))
        --keyLength;
    const char* value = equals + 1;
    while (IsBlank(*value))
        ++value;
    auto* entry = new ConfigEntry{CopyText(line, keyLength), CopyText(value, std::strlen(value)), nullptr};
    *configTail = entry;
    configTail = &entry->next;
}

}  // namespace

void ConfigReadFile(FILE* file)
{
    char line[1024];
    for (;;) {
        line[0] = '\0';
        if (std::fgets(line, sizeof line, file) == nullptr)
            break;
        AddLine(line);
    }
}

void ConfigClear()
{
    while (configHead != nullptr) {
        ConfigEntry* next = configHead->next;
        std::free(configHead->key);
        std::free(configHead->value);
        delete configHead;
        configHead = next;
    }
    configTail = &configHead;
}

int config_init()
{
    const char* path = std::getenv("VERDALIX_CONFIGFILE");
    if (path == nullptr || *path == '\0')
        path = kDefaultConfigFile;
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        FatalExit("could not open config file, exiting...", path);
    ConfigReadFile(file);
    std::fclose(file);
    return 1;
}

const char* GetConfigString(const char* key)
{
    for (ConfigEntry* entry = configHead; entry != nullptr; entry = entry->next)
        if (strcasecmp(entry->key, key) == 0)
            return entry->value;
    return nullptr;
}

int GetConfigInt(const char* key, int* out)
{
    const char* value = GetConfigString(key);
    if (value == nullptr)
        return 0;
    *out = ParseDecimal(value);
    return 1;
}

int ParseDecimal(const char* text)
{
    long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}
