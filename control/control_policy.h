// The operator's control-message policy: which control messages, from whom
// and for which groups, are acted on, only logged, or dropped, and whether
// their signature must be checked first (docs/formats.md, "Control policy
// file").
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class ControlAction { kDoit, kLog, kDrop };

struct ControlRule {
    std::string type;       // wildcard over the message type (lower case)
    std::string sender;     // wildcard over the sender's address (lower case)
    std::string hierarchy;  // wildcard over the group name
    ControlAction action = ControlAction::kLog;
    bool verify = false;
    std::string signer = "*";  // wildcard over the signing key's user ID
};

// One line of the file: true with *rule filled for a rule, or with
// *isRule false for an empty or comment line; false with the reason in
// *error for a malformed one.
bool ParseControlRule(std::string_view line, ControlRule* rule, bool* isRule, std::string* error);

// Reads the policy at `path`: each malformed line is logged with its number
// and skipped. False (logged) when the file cannot be read.
bool LoadControlPolicy(const std::string& path, std::vector<ControlRule>* rules);

// The last rule that matches all three, or the built-in rule that only logs.
ControlRule ChooseControlRule(const std::vector<ControlRule>& rules, const std::string& type,
                              const std::string& sender, const std::string& group);

// "doit", "log" or "drop".
const char* ControlActionName(ControlAction action);
