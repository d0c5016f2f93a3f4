// Control policy: parsing the rule file and choosing the rule for a message.
#include "control/control_policy.h"

#include <fcntl.h>

#include <cstring>

#include "access/wildcard.h"
#include "platform/file_io.h"
#include "platform/line_reader.h"
#include "server/log.h"

namespace {

constexpr size_t kMaxLine = 4095;
constexpr std::string_view kVerify = "verify";

std::vector<std::string_view> Fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
        i = line.find_first_not_of(" \t", i);
        if (i == std::string_view::npos)
            break;
        size_t end = std::min(line.find_first_of(" \t", i), line.size());
        fields.push_back(line.substr(i, end - i));
        i = end;
    }
    return fields;
}

bool ParseAction(std::string_view word, ControlAction* action)
{
    if (word == "doit")
        *action = ControlAction::kDoit;
    else if (word == "log")
        *action = ControlAction::kLog;
    else if (word == "drop")
        *action = ControlAction::kDrop;
    else
        return false;
    return true;
}

// "verify" or "verify=<signer pattern>".
bool ParseVerify(std::string_view word, ControlRule* rule)
{
    if (word.substr(0, kVerify.size()) != kVerify)
        return false;
    std::string_view rest = word.substr(kVerify.size());
    if (!rest.empty() && (rest.front() != '=' || rest.size() == 1))
        return false;
    rule->verify = true;
    if (!rest.empty())
        rule->signer = std::string(rest.substr(1));
    return true;
}

}  // namespace

bool ParseControlRule(std::string_view line, ControlRule* rule, bool* isRule, std::string* error)
{
    std::vector<std::string_view> fields = Fields(line);
    *isRule = !fields.empty() && fields[0].front() != '#';
    if (!*isRule)
        return true;
    if (fields.size() < 4 || fields.size() > 5) {
        *error = "expected: type sender hierarchy action [verify]";
        return false;
    }
    ControlRule parsed;
    parsed.type = std::string(fields[0]);
    parsed.sender = std::string(fields[1]);
    parsed.hierarchy = std::string(fields[2]);
    if (!ParseAction(fields[3], &parsed.action)) {
        *error = "unknown action \"" + std::string(fields[3]) + "\" (doit, log or drop)";
        return false;
    }
    if (fields.size() == 5 && !ParseVerify(fields[4], &parsed)) {
        *error = "fifth field must be verify or verify=<signer>";
        return false;
    }
    *rule = std::move(parsed);
    return true;
}

bool LoadControlPolicy(const std::string& path, std::vector<ControlRule>* rules)
{
    UniqueFd file = OpenFile(path.c_str(), O_RDONLY);
    if (!file) {
        LogFormat("control policy %s cannot be read: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    LineReader lines(file.get(), kMaxLine);
    char line[kMaxLine + 1];
    for (unsigned number = 1; lines.Next(line); ++number) {
        ControlRule rule;
        bool isRule = false;
        std::string error;
        if (!ParseControlRule(line, &rule, &isRule, &error))
            LogFormat("control policy %s line %u ignored: %s", path.c_str(), number, error.c_str());
        else if (isRule)
            rules->push_back(std::move(rule));
    }
    return true;
}

ControlRule ChooseControlRule(const std::vector<ControlRule>& rules, const std::string& type,
                              const std::string& sender, const std::string& group)
{
    for (auto rule = rules.rbegin(); rule != rules.rend(); ++rule) {
        if (StringMatch(type.c_str(), rule->type.c_str()) && StringMatch(sender.c_str(), rule->sender.c_str()) &&
            StringMatch(group.c_str(), rule->hierarchy.c_str()))
            return *rule;
    }
    return ControlRule{"*", "*", "*", ControlAction::kLog, false, "*"};
}

const char* ControlActionName(ControlAction action)
{
    switch (action) {
    case ControlAction::kDoit:
        return "doit";
    case ControlAction::kDrop:
        return "drop";
    case ControlAction::kLog:
        break;
    }
    return "log";
}
