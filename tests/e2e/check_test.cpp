// End-to-end: `verdalix -check` on good and broken configurations and
// start-up scripts, without starting the server.

#include <string>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "support/server_harness.h"

using verdalix_test::TestServer;

namespace {

// Runs -check on the server's configuration and script: status and output.
std::pair<int, std::string> Check(TestServer& server)
{
    server.SetArgs({"-check"});
    EXPECT_TRUE(server.Start());
    const int status = server.WaitForExit();
    return {status, server.StdoutText()};
}

}  // namespace

TEST(Check, GoodConfigurationAndScriptPass)
{
    TestServer server;
    server.SetScript("CreateSite peer\nSetSite peer hostname news.example\nproc later {} {}\nlater\n"
                     "AcceptConnections\n");
    const auto [status, output] = Check(server);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "configuration and start-up script ok\n");
}

TEST(Check, EveryProblemIsNamedOnItsOwnLine)
{
    TestServer server;
    server.SetConfig("ListenPrt", "1190");
    server.SetConfig("HistoryTablePath", "@DIR@/no-such-dir");
    server.SetScript("CreateSite peer\nSetSite peer hostnme news.example\nCreatGroup misc.test 0 1 y 1\n");
    const auto [status, output] = Check(server);
    EXPECT_EQ(status, 1) << output;
    const std::string script = server.Path("init.tcl");
    for (const std::string& line : {
             std::string("ListenPrt: unknown key; did you mean ListenPort?\n"),
             "HistoryTablePath = " + server.Path("no-such-dir") + ": not a directory\n",
             script + ":2: SetSite: unknown parameter \"hostnme\"; did you mean hostname?\n",
             script + ":3: unknown command \"CreatGroup\"; did you mean CreateGroup?\n",
             script + ": never calls AcceptConnections: the server would not listen\n",
             std::string("5 problems found\n"),
         })
        EXPECT_NE(output.find(line), std::string::npos) << line << "in:\n" << output;
}

TEST(Check, ScriptThatDoesNotParseAndAMissingScript)
{
    TestServer server;
    server.SetScript("LogLine fine\nset broken {\nAcceptConnections\n");
    auto [status, output] = Check(server);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find(server.Path("init.tcl") + ": line 2: missing close-brace\n"), std::string::npos) << output;

    server.SetConfig("StartupScript", "@DIR@/absent.tcl");
    std::tie(status, output) = Check(server);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("StartupScript = " + server.Path("absent.tcl") + ": cannot be read\n"), std::string::npos)
        << output;
}

TEST(Check, PortInUseIsAProblem)
{
    TestServer server;
    const UniqueFd taken = verdalix_test::TakePort(server.Port());
    ASSERT_TRUE(taken.valid());
    const auto [status, output] = Check(server);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(
        output.find("cannot listen on 127.0.0.1:" + std::to_string(server.Port()) + ": bind: Address already in use\n"),
        std::string::npos)
        << output;
}
