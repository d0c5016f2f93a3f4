// End-to-end: two servers fed the same articles, one of them with an
// overview cache store, must give byte-identical XOVER answers whether a
// range is served from the cache, from the history or from both.
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::NntpClient;
using verdalix_test::TestServer;
using verdalix_test::WireArticle;

namespace {

std::string Script(bool cached)
{
    return std::string("AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\n"
                       "CreateArtStore 0 @DIR@/stores * 16 0\n") +
           (cached ? "CreateArtStore 1 @DIR@/stores overcache 4 0\n" : "") +
           // Every second append request becomes a full rewrite.
           "SetRewriteThreshold 0\nCreateGroup misc.test 0 1 y 2\nActiveInit\nAcceptConnections\n";
}

bool WaitFor(const std::function<bool()>& done)
{
    for (int i = 0; i < 300 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return done();
}

class Server {
public:
    explicit Server(bool cached)
    {
        server.SetConfig("ActiveFile", "@DIR@/active");
        server.SetConfig("OverviewRewriteDelay", "2");
        server.SetScript(Script(cached));
    }
    void Start()
    {
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(server.WaitForListening());
        ASSERT_TRUE(client.Connect(server.Port()));
        ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
        ASSERT_EQ(client.Command("GROUP misc.test").substr(0, 3), "211");
    }
    void Feed(int from, int to)
    {
        for (int i = from; i < to; ++i) {
            std::string id = "<oc" + std::to_string(i) + "." + std::to_string(::getpid()) + "@test>";
            ASSERT_EQ(client.Command("IHAVE " + id).substr(0, 3), "335");
            // Lines of different lengths, some with references.
            std::string refs = i % 3 == 0 ? "References: <oc" + std::to_string(i - 1) + "@test>\r\n" : "";
            client.Send(WireArticle({.id = id,
                                     .subject = "article " + std::string(static_cast<size_t>(i % 17), 'x'),
                                     .extra = refs,
                                     .body = "body " + std::to_string(i) + "\r\n"}));
            ASSERT_EQ(client.ReadLine(), "235 Got it");
        }
    }
    std::string Xover(const std::string& range)
    {
        std::string text = client.Command("XOVER " + range) + "\n";
        for (const std::string& line : client.ReadMultiline())
            text += line + "\n";
        return text;
    }
    // The high mark in the active file, which the rewriter refreshes after
    // each rewrite or append (LIST shows the group's current marks instead).
    long ActiveHigh()
    {
        std::string active = verdalix_test::ReadFile(server.Path("active"));
        size_t line = active.find("misc.test ");
        return line == std::string::npos ? -1 : std::stol(active.substr(line + 10));
    }
    // The slot dump's "start=…,end=…,…,cend=…" line.
    std::string BlockState()
    {
        EXPECT_EQ(client.Command("lgs misc.test"), "200");
        std::vector<std::string> lines = client.ReadMultiline();
        return lines.empty() ? "" : lines.front();
    }
    // The group's high mark as the slot dump shows it.
    long High()
    {
        std::string state = BlockState();
        size_t at = state.find(",end=");
        return at == std::string::npos ? -1 : std::stol(state.substr(at + 5));
    }
    // Waits for the rewriter to cover everything fed so far, then checks
    // that the block ends there.
    void WaitForCache()
    {
        long high = High();
        ASSERT_TRUE(WaitFor([&] { return ActiveHigh() == high; })) << BlockState();
        EXPECT_TRUE(BlockState().ends_with(",cend=" + std::to_string(high))) << BlockState();
    }

    TestServer server;
    NntpClient client;
};

const std::vector<std::string> kRanges = {"1-5",   "2-2",  "4-20", "10-", "1-200", "30-40",
                                          "38-60", "45-90", "100-120", "60-3", "25"};

void ExpectSameXover(Server& cached, Server& plain, const std::string& when)
{
    for (const std::string& range : kRanges)
        EXPECT_EQ(cached.Xover(range), plain.Xover(range)) << "XOVER " << range << " " << when;
}

TEST(OverviewCache, XoverIsTheSameWithAndWithoutTheCache)
{
    Server cached(true), plain(false);
    cached.Start();
    plain.Start();
    ASSERT_FALSE(testing::Test::HasFatalFailure());

    // The first request is carried out as a full rewrite.
    cached.Feed(0, 30);
    plain.Feed(0, 30);
    ASSERT_EQ(cached.High(), plain.High());
    cached.WaitForCache();
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    EXPECT_NE(cached.Xover("1-100").find("\tarticle xxxx\t"), std::string::npos);
    ExpectSameXover(cached, plain, "after the first rewrite");

    // New articles beyond the cache's end: compared at once (served partly
    // from the history), then after they were appended.
    cached.Feed(30, 45);
    plain.Feed(30, 45);
    ExpectSameXover(cached, plain, "before the append");
    cached.WaitForCache();
    ExpectSameXover(cached, plain, "after the append");

    // The next request is a full rewrite again (threshold 0).
    cached.Feed(45, 60);
    plain.Feed(45, 60);
    cached.WaitForCache();
    ExpectSameXover(cached, plain, "after the second rewrite");
    EXPECT_LT(plain.ActiveHigh(), plain.High()) << "without a cache store the active file is not refreshed";

    cached.client.Close();
    plain.client.Close();
    EXPECT_EQ(cached.server.Stop(), 1);
    EXPECT_EQ(plain.server.Stop(), 1);
}

}  // namespace
