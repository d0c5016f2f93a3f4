// End-to-end: start-up reports the configuration lines it reads otherwise
// than written, and runs on.
#include <gtest/gtest.h>

#include "support/server_harness.h"

namespace {

TEST(ConfigurationCheck, MisspelledKeysAndPartNumbersAreLoggedAndTheServerRuns)
{
    verdalix_test::TestServer server;
    server.SetConfig("ListenPrt", "119");
    server.SetConfig("SeenTableSize", "55,997");
    server.SetConfig("MaxArticleAge", "30");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    std::string log = server.LogText();
    EXPECT_NE(log.find("ListenPrt: unknown key; did you mean ListenPort?\n"), std::string::npos);
    EXPECT_NE(log.find("SeenTableSize = 55,997: read as 55\n"), std::string::npos);
    EXPECT_EQ(log.find("MaxArticleAge"), std::string::npos) << "a whole number is not reported";
    EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
