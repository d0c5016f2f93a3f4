// End-to-end: the store, group and active-file commands of the start-up script.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/server_harness.h"

using verdalix_test::ReadFile;
using verdalix_test::TestServer;

namespace {

// Each `run` line of the script records "code|result" of its command.
constexpr const char* kScriptHead =
    "set out [open @DIR@/results.txt w]\n"
    "proc run {args} { set code [catch {uplevel 1 $args} r]; puts $::out \"$code|$r\"; flush $::out }\n";
constexpr const char* kScriptTail = "close $out\nAcceptConnections\n";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Runs `commands` through the start-up script; the results, one per command.
std::vector<std::string> RunScript(TestServer& server, const std::string& commands)
{
    server.SetScript(std::string(kScriptHead) + commands + kScriptTail);
    EXPECT_TRUE(server.Start());
    EXPECT_TRUE(server.WaitForListening());
    return Lines(ReadFile(server.Path("results.txt")));
}

TEST(GroupCommands, ResultsAndUsageReplies)
{
    TestServer server;
    server.SetConfig("ActiveFile", "@DIR@/active");
    std::vector<std::string> results = RunScript(server,
                                                 "run CreateGroup alt.test 5 3 y 1\n"
                                                 "run CreateGroup alt.test 9 1 y 1\n"
                                                 "run CreateGroup alt.short 9 1\n"
                                                 "run CreateGroup alt.bad x 1 y 1\n"
                                                 "run CreateGroup alt.far 1000 1 y 1\n"
                                                 "run CreateGroup misc.mod 20 1 m 40\n"
                                                 "run InsertGroup misc.old 30\n"
                                                 "run InsertGroup misc.old\n"
                                                 "run InsertGroup misc.over 6\n"
                                                 "run SetGroupStart alt.test 10\n"
                                                 "run SetGroupStart no.such 10\n"
                                                 "run SetGroupStart alt.test\n"
                                                 "run MoveGroup alt.test 5 6\n"
                                                 "run MoveGroup alt.test 5 40 2\n"
                                                 "run MoveGroup no.such 5 50 2\n"
                                                 "run ActiveInit now\n"
                                                 "run ActiveInit\n"
                                                 "run ReloadActive with extra words\n");
    std::vector<std::string> expected = {
        "0|create succeeded",
        "1|create failed",
        "1|CreateGroup group number start post numslots",
        "1|expected integer but got \"x\"",
        "1|create failed",
        "0|create succeeded",
        "0|insert succeeded",
        "1|InsertGroup group number",
        "1|insert failed",
        "0|set succeeded",
        "1|set failed",
        "1|SetGroupStart group number",
        "1|MoveGroup group number destnumber slots",
        "0|move succeeded",
        "1|move failed",
        "1|ActiveInit (no args allowed)",
        "0|active init successful",
        "0|",
    };
    EXPECT_EQ(results, expected);
    // One line per created group, none for the refused ones.
    EXPECT_EQ(ReadFile(server.Path("active")),
              "alt.test 000000001 000000001 y\r\nmisc.mod 000000040 000000040 m\r\n");
    std::string log = server.LogText();
    EXPECT_NE(log.find("tried to create a duplicate group"), std::string::npos);
    EXPECT_NE(log.find("active file processed, 2 groups, 64 bytes"), std::string::npos);
    EXPECT_EQ(server.Stop(), 1);
}

TEST(StoreCommands, BuildResultsAndUsage)
{
    TestServer server;
    std::vector<std::string> results = RunScript(server,
                                                 "run CreateArtStore 1 @DIR@/stores * 10 100\n"
                                                 "run CreateArtStore 2 @DIR@/no/such/dir * 10 100\n"
                                                 "run CreateArtStore 1 d:/spool *\n"
                                                 "run CreateArtStore 3 @DIR@/stores * big 100\n");
    std::vector<std::string> expected = {
        "0|build succeeded",
        "1|build failed",
        "1|CreateArtStore number dir selectString storeSize expirePriority",
        "1|expected integer but got \"big\"",
    };
    EXPECT_EQ(results, expected);
    EXPECT_TRUE(std::filesystem::exists(server.Path("stores/1-articles.dat")));
    EXPECT_NE(server.LogText().find("directory " + server.Path("no/such/dir") + " does not exist"), std::string::npos);
    EXPECT_EQ(server.Stop(), 1);
}

TEST(GroupDatabase, StartUpStopsWithoutIt)
{
    TestServer server;
    server.RemoveConfig("GroupDataPath");
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.WaitForExit(), 1);
    EXPECT_NE(server.LogText().find("GroupDataPath not set"), std::string::npos);
    EXPECT_NE(server.StdoutText().find("group database not opened, exiting"), std::string::npos);
}

}  // namespace
