// End-to-end: Python's standard NNTP client library against a server set up
// from the demo's configuration and start-up script templates. Skipped when
// python3 or its nntplib module is missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "support/server_harness.h"
#include "support/shell.h"

using verdalix_test::ReadFile;
using verdalix_test::Shell;
using verdalix_test::TestServer;

namespace {

void UseDemoTemplates(TestServer& server)
{
    std::istringstream conf(ReadFile(VERDALIX_SOURCE_DIR "/etc/verdalix.conf.in"));
    for (std::string line; std::getline(conf, line);) {
        size_t equals = line.find('=');
        if (line.starts_with('#') || equals == std::string::npos)
            continue;
        server.SetConfig(line.substr(0, line.find_last_not_of(" \t", equals - 1) + 1),
                         line.substr(line.find_first_not_of(" \t", equals + 1)));
    }
    server.SetScript(ReadFile(VERDALIX_SOURCE_DIR "/etc/init.tcl.in"));
}

TEST(Nntplib, ReadsListsPostsAndReadsThePostsBack)
{
    if (Shell("python3 -W ignore -c 'import nntplib'").first != 0)
        GTEST_SKIP() << "python3 with the nntplib module is not available";
    TestServer server;
    UseDemoTemplates(server);
    ASSERT_TRUE(verdalix_test::WriteFile(server.Path("groups/descriptions"),
                                         "alt.test\tTesting, alternatively\nmisc.test\tMiscellaneous tests\n"));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    auto [status, output] =
        Shell("python3 " VERDALIX_SOURCE_DIR "/tests/e2e/nntplib_test.py " + std::to_string(server.Port()));
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("nntplib session ok"), std::string::npos) << output;

    // Every post went in: nothing is left in the queue (spare files are
    // the injector's, kept for reuse).
    for (const auto& entry : std::filesystem::directory_iterator(server.Path("posts")))
        if (entry.path().extension() != ".spare")
            ADD_FAILURE() << "left in the post queue: " << entry.path();
    EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
