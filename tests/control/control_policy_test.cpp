#include "control/control_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ControlRule Parse(const std::string& line, bool* ok, std::string* error = nullptr)
{
    ControlRule rule;
    bool isRule = false;
    std::string why;
    *ok = ParseControlRule(line, &rule, &isRule, &why);
    if (error != nullptr)
        *error = why;
    EXPECT_TRUE(isRule) << line;
    return rule;
}

TEST(ControlPolicy, RuleFields)
{
    bool ok = false;
    ControlRule rule = Parse("newgroup\t*@example.org   example.*  doit", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(rule.type, "newgroup");
    EXPECT_EQ(rule.sender, "*@example.org");
    EXPECT_EQ(rule.hierarchy, "example.*");
    EXPECT_EQ(rule.action, ControlAction::kDoit);
    EXPECT_FALSE(rule.verify);

    rule = Parse("rmgroup * * drop verify", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(rule.action, ControlAction::kDrop);
    EXPECT_TRUE(rule.verify);
    EXPECT_EQ(rule.signer, "*");

    rule = Parse("* * * log verify=*<admin@example.org>", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(rule.action, ControlAction::kLog);
    EXPECT_EQ(rule.signer, "*<admin@example.org>");
}

TEST(ControlPolicy, EmptyAndCommentLinesAreNoRules)
{
    for (const char* line : {"", "   \t ", "# newgroup * * doit", "  #x"}) {
        ControlRule rule;
        bool isRule = true;
        std::string error;
        EXPECT_TRUE(ParseControlRule(line, &rule, &isRule, &error)) << line;
        EXPECT_FALSE(isRule) << line;
    }
}

TEST(ControlPolicy, MalformedLinesSayWhy)
{
    const std::pair<const char*, const char*> cases[] = {
        {"newgroup * doit", "expected: type sender hierarchy action [verify]"},
        {"newgroup * * doit verify extra", "expected: type sender hierarchy action [verify]"},
        {"newgroup * * DOIT", "unknown action \"DOIT\" (doit, log or drop)"},
        {"newgroup * * doit verified", "fifth field must be verify or verify=<signer>"},
        {"newgroup * * doit verify=", "fifth field must be verify or verify=<signer>"},
    };
    for (const auto& [line, why] : cases) {
        bool ok = true;
        std::string error;
        Parse(line, &ok, &error);
        EXPECT_FALSE(ok) << line;
        EXPECT_EQ(error, why) << line;
    }
}

TEST(ControlPolicy, LastMatchingRuleWinsAndTheDefaultOnlyLogs)
{
    std::vector<ControlRule> rules;
    for (const char* line : {"* * * drop", "newgroup *@example.org example.* doit verify",
                             "newgroup *@example.org example.test.* log"}) {
        bool ok = false;
        rules.push_back(Parse(line, &ok));
    }
    EXPECT_EQ(ChooseControlRule(rules, "newgroup", "a@example.org", "example.x").action, ControlAction::kDoit);
    EXPECT_TRUE(ChooseControlRule(rules, "newgroup", "a@example.org", "example.x").verify);
    EXPECT_EQ(ChooseControlRule(rules, "newgroup", "a@example.org", "example.test.x").action, ControlAction::kLog);
    EXPECT_EQ(ChooseControlRule(rules, "newgroup", "a@example.com", "example.x").action, ControlAction::kDrop);
    EXPECT_EQ(ChooseControlRule(rules, "rmgroup", "a@example.org", "example.x").action, ControlAction::kDrop);

    ControlRule fallback = ChooseControlRule({}, "newgroup", "a@example.org", "example.x");
    EXPECT_EQ(fallback.action, ControlAction::kLog);
    EXPECT_FALSE(fallback.verify);
}

}  // namespace
