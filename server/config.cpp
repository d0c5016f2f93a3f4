// Configuration file reading, lookups, and the check of what was read
// against the table of keys.
#include "server/config.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
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

bool IsBlankText(const char* text)
{
    while (IsBlank(*text))
        ++text;
    return *text == '\0';
}

// Optional blanks, an optional sign, digits within the range of int, blanks.
bool IsWholeNumber(const char* text)
{
    while (IsBlank(*text))
        ++text;
    const char* digits = text + (*text == '+' || *text == '-' ? 1 : 0);
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    return end != digits && *digits >= '0' && *digits <= '9' && errno == 0 && value >= INT_MIN &&
           value <= INT_MAX && IsBlankText(end);
}

std::string ProblemOf(const ConfigEntry& entry)
{
    const ConfigKeyInfo* info = FindConfigKey(entry.key);
    if (info == nullptr) {
        const ConfigKeyInfo* nearest = NearestConfigKey(entry.key);
        return std::string(entry.key) + ": unknown key" +
               (nearest != nullptr ? std::string("; did you mean ") + nearest->name + "?" : std::string());
    }
    if (info->kind != ConfigKind::kNumber || IsWholeNumber(entry.value))
        return {};
    return std::string(entry.key) + " = " + entry.value + ": read as " + std::to_string(ParseDecimal(entry.value));
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

const char* ConfigValue(ConfigKey key)
{
    return GetConfigString(ConfigKeys()[static_cast<size_t>(key)].name);
}

const char* ConfigText(ConfigKey key)
{
    const char* value = ConfigValue(key);
    return value != nullptr ? value : ConfigKeys()[static_cast<size_t>(key)].defaultValue;
}

int ConfigNumber(ConfigKey key, int minimum)
{
    const char* fallback = ConfigKeys()[static_cast<size_t>(key)].defaultValue;
    int standard = fallback != nullptr ? ParseDecimal(fallback) : 0;
    const char* value = ConfigValue(key);
    int number = value != nullptr ? ParseDecimal(value) : standard;
    return number >= minimum ? number : standard;
}

std::vector<std::string> ConfigProblems()
{
    std::vector<std::string> problems;
    for (ConfigEntry* entry = configHead; entry != nullptr; entry = entry->next)
        if (std::string problem = ProblemOf(*entry); !problem.empty())
            problems.push_back(std::move(problem));
    return problems;
}
