// The status page in a real browser: headless Chromium driven by Selenium
// loads it from a running server, waits for the charts to be drawn and
// reads the figures it shows, which must be the server's own. Skipped when
// Chromium, its driver or Python's selenium module is missing.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/shell.h"
#include "support/test_articles.h"

using verdalix_test::FreePort;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::Shell;
using verdalix_test::TestServer;

namespace {

bool BrowserAvailable()
{
    return Shell("test -x /usr/bin/chromium && test -x /usr/bin/chromedriver && "
                 "/usr/bin/python3 -c 'import selenium'")
               .first == 0;
}

TEST(StatusPage, ChartsDrawnAndFiguresMatchTheServer)
{
    if (!BrowserAvailable())
        GTEST_SKIP() << "chromium, chromium-driver or python3-selenium is not installed";
    const int metricsPort = FreePort();
    TestServer server;
    server.SetConfig("MetricsPort", std::to_string(metricsPort));
    server.SetScript("CreateArtStore 0 @DIR@/stores * 10 100\nCreateGroup misc.test 0 1 y 1\n"
                     "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nAcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    NntpClient feeder;
    ASSERT_TRUE(feeder.Connect(server.Port()));
    ASSERT_TRUE(feeder.ReadLine().starts_with("200"));
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(OfferWithIhave(feeder, "<p" + std::to_string(i) + "@page.test>").substr(0, 3), "235");
    ASSERT_EQ(OfferWithIhave(feeder, "<p0@page.test>").substr(0, 3), "435");

    auto [status, output] =
        Shell("/usr/bin/python3 " VERDALIX_SOURCE_DIR "/tests/browser/status_page.py http://127.0.0.1:" +
              std::to_string(metricsPort) + "/");
    ASSERT_EQ(status, 0) << output;
    std::istringstream lines(output);
    std::string chartIn, chartOut;
    std::getline(lines, chartIn);
    std::getline(lines, chartOut);
    // One peer line drawn in, no site out; axes and labels inked on both.
    EXPECT_TRUE(chartIn.starts_with("chart-in 1 ")) << output;
    EXPECT_TRUE(chartOut.starts_with("chart-out 0 ")) << output;
    EXPECT_GT(std::stoi(chartIn.substr(chartIn.rfind(' ') + 1)), 100) << output;
    // The figures are those of the statistics: 4 stored, 1 duplicate, one
    // feeder connected, 4 of 50000 history entries.
    const std::string rest(std::istreambuf_iterator<char>(lines), {});
    EXPECT_NE(rest.find("feeders 1\n"), std::string::npos) << output;
    EXPECT_NE(rest.find("accepted 4\n"), std::string::npos) << output;
    EXPECT_NE(rest.find("refused 1\n"), std::string::npos) << output;
    EXPECT_NE(rest.find("rejected 0\n"), std::string::npos) << output;
    EXPECT_NE(rest.find("history 0.0 %\n"), std::string::npos) << output;
    EXPECT_NE(rest.find("legend-in \u25A0 127.0.0.1\n"), std::string::npos) << output;
    EXPECT_NE(rest.find("stores 1\n"), std::string::npos) << output;
    EXPECT_NE(rest.find("paused False\n"), std::string::npos) << output;
}

}  // namespace
