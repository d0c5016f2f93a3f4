// End-to-end: LIST ACTIVE patterns that would make a backtracking matcher
// run for ever still get their answer, and the connection goes on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/nntp_client.h"
#include "support/server_harness.h"

using verdalix_test::NntpClient;
using verdalix_test::TestServer;

TEST(ListPatternEndToEnd, ManyStarsAnswerNormally)
{
    TestServer server;
    server.SetConfig("ActiveFile", "@DIR@/groups/active");
    server.SetScript("CreateArtStore 0 @DIR@/stores * 10 100\n"
                     "CreateGroup alt.test 0 1 y 1\n"
                     "CreateGroup misc.other 1 1 y 1\n"
                     "ActiveInit\n"
                     "AddIncoming 127.0.0.1\n"
                     "SetIncoming 127.0.0.1 rights 7\n"
                     "AcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    NntpClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    ASSERT_TRUE(c.ReadLine().starts_with("200"));

    const std::string stars(40, '*');
    EXPECT_EQ(c.Command("LIST ACTIVE " + stars + "#"), "215 heres what I got");
    EXPECT_EQ(c.ReadMultiline(), std::vector<std::string>{});
    EXPECT_EQ(c.Command("LIST ACTIVE " + stars + "t" + stars + "t"), "215 heres what I got");
    std::vector<std::string> lines = c.ReadMultiline();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("alt.test ")) << lines[0];
    EXPECT_EQ(c.Command("GROUP misc.other"), "211 0 1 1 misc.other group selected");
    EXPECT_EQ(server.Stop(), 1);
}
