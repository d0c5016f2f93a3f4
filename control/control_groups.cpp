// Group creation and removal for control messages, through the group
// database, the active file and the new-groups list, like the start-up
// script's CreateGroup; and the record of them kept across restarts.
#include "control/control_groups.h"

#include <fcntl.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "groups/active.h"
#include "groups/groupdb.h"
#include "groups/newgroups.h"
#include "platform/file_io.h"
#include "server/config.h"
#include "server/log.h"

namespace {

// A new group gets one slot (500 articles) and starts at article 1, as the
// demo's own groups do; MoveGroup makes it larger.
constexpr uint32_t kNewGroupSlots = 1;
constexpr uint32_t kNewGroupStart = 1;
constexpr std::string_view kRemovedMark = "-";

std::string journalPath;
std::string descriptionsPath;
std::vector<std::string> removedAtStart;

std::string ReadWhole(const std::string& path)
{
    UniqueFd file = OpenFile(path.c_str(), O_RDONLY);
    int64_t size = file ? FileSize(file.get()) : -1;
    if (size <= 0)
        return {};
    std::string text(static_cast<size_t>(size), '\0');
    ssize_t got = ReadAll(file.get(), text.data(), text.size());
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

std::string FirstField(const std::string& line)
{
    return line.substr(0, line.find_first_of(" \t"));
}

// Rewrites the text file `path` with the lines keyed `key` (first field)
// replaced by `line` (none when empty), through a new file renamed over it.
bool ReplaceKeyedLine(const std::string& path, const std::string& key, const std::string& line)
{
    std::istringstream in(ReadWhole(path));
    std::string text;
    for (std::string old; std::getline(in, old);) {
        if (FirstField(old) != key)
            text += old + "\n";
    }
    if (!line.empty())
        text += line + "\n";
    std::string fresh = path + ".new";
    UniqueFd out = OpenFile(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (out && WriteAll(out.get(), text.data(), text.size()) && SyncFile(out.get()) &&
        RenameFile(fresh.c_str(), path.c_str()))
        return true;
    LogFormat("control: cannot rewrite %s: %s", path.c_str(), std::strerror(errno));
    RemoveFile(fresh.c_str());
    return false;
}

void Remember(const std::string& name, const std::string& state)
{
    if (!journalPath.empty())
        ReplaceKeyedLine(journalPath, name, name + " " + state);
}

void SetDescription(const std::string& name, const std::string& description)
{
    if (descriptionsPath.empty())
        return;
    ReplaceKeyedLine(descriptionsPath, name, description.empty() ? std::string() : name + "\t" + description);
}

// An existing group: only its flag and description follow the message.
bool UpdateGroup(const std::string& name, uint32_t g, char flag, const std::string& description, std::string* outcome)
{
    const char post[2] = {flag, '\0'};
    SetGroupPosting(name.c_str(), post);
    ActiveUpdate(g);
    if (!description.empty())
        SetDescription(name, description);
    *outcome = "group exists; posting flag " + std::string(post) + (description.empty() ? "" : ", description set");
    return true;
}

}  // namespace

void ControlGroupsInit()
{
    const char* dir = ConfigText(ConfigKey::kGroupDataPath);
    journalPath = dir != nullptr ? std::string(dir) + "/control.groups" : std::string();
    const char* descriptions = ConfigText(ConfigKey::kGroupDescriptionsFile);
    descriptionsPath = descriptions != nullptr ? descriptions : "";
    removedAtStart.clear();
    std::istringstream in(journalPath.empty() ? std::string() : ReadWhole(journalPath));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string name, number;
        words >> name >> number;
        if (number == kRemovedMark) {
            removedAtStart.push_back(name);
            continue;
        }
        char* end = nullptr;
        unsigned long g = std::strtoul(number.c_str(), &end, 10);
        if (name.empty() || number.empty() || *end != '\0' || !InsertGroup(name.c_str(), static_cast<uint32_t>(g)))
            LogFormat("control: %s: line \"%s\" names no group", journalPath.c_str(), line.c_str());
    }
}

void ControlGroupsReapplyRemovals()
{
    for (const std::string& name : removedAtStart) {
        uint32_t g = 0;
        if (!FindGroup(name.c_str(), &g))
            continue;
        std::string outcome;
        RemoveGroupByControl(name, &outcome);
        LogFormat("control: %s was removed by an rmgroup and named again at start-up: %s", name.c_str(),
                  outcome.c_str());
    }
    removedAtStart.clear();
}

bool CreateGroupByControl(const std::string& name, char flag, const std::string& description, std::string* outcome)
{
    uint32_t g = 0;
    if (FindGroup(name.c_str(), &g))
        return UpdateGroup(name, g, flag, description, outcome);
    if (!FindFreeGroupNumber(kNewGroupSlots, &g)) {
        *outcome = "group.dat has no free records (raise GroupArraySize)";
        return false;
    }
    const char post[2] = {flag, '\0'};
    if (!CreateGroup(name.c_str(), g, kNewGroupStart, kNewGroupSlots, post)) {
        *outcome = "the group database refused it";
        return false;
    }
    if (ConfigText(ConfigKey::kActiveFile) != nullptr && !AddActive(name.c_str(), kNewGroupStart, post)) {
        RemoveGroup(name.c_str());
        *outcome = "cannot append to the active file: " + std::string(std::strerror(errno));
        return false;
    }
    Remember(name, std::to_string(g));
    ActiveReload();
    if (!AddNewgroupEntry(name.c_str()))
        LogFormat("control: %s not added to the new-groups list (NewgroupsFile unset or not writable)", name.c_str());
    SetDescription(name, description);
    *outcome = "created as group " + std::to_string(g) + " with posting flag " + post;
    return true;
}

bool RemoveGroupByControl(const std::string& name, std::string* outcome)
{
    bool named = RemoveGroup(name.c_str()) != 0;
    int lines = RemoveActive(name.c_str());
    if (lines < 0) {
        *outcome = "cannot rewrite the active file: " + std::string(std::strerror(errno));
        return false;
    }
    if (!named && lines == 0) {
        *outcome = "not carried here";
        return true;
    }
    Remember(name, std::string(kRemovedMark));
    SetDescription(name, "");
    *outcome = "removed";
    return true;
}
