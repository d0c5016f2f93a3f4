// End-to-end: instance A feeds instance B over loopback, live and from its
// queue files after B was down.
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::CountOccurrences;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::QueueFileText;
using verdalix_test::ReadFile;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;

namespace {

// Both instances take everything from 127.0.0.1 (the test's own feeding
// client and A's connections).
std::string InstanceScript(const std::string& sites)
{
    return "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nSetIncoming 127.0.0.1 streaming 1\n"
           "CreateArtStore 0 @DIR@/stores {*} 16 0\nCreateGroup misc.test 0 1 y 1\n" +
           sites + "AcceptConnections\n";
}

void Configure(TestServer& server, const char* name)
{
    server.SetConfig("HostPathIdentifier", name);
    server.SetConfig("FeedRetryDelay", "1");
}

std::string Id(int n) { return "<feed" + std::to_string(n) + "." + std::to_string(::getpid()) + "@test>"; }

void FeedArticles(const TestServer& server, int from, int to)
{
    NntpClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
    for (int i = from; i < to; ++i)
        ASSERT_EQ(OfferWithIhave(client, Id(i)).substr(0, 3), "235") << i;
}

// Articles stored in B that came through A.
size_t ArrivedFromA(const TestServer& b)
{
    return CountOccurrences(ReadFile(b.Path("stores/0-articles.dat")),
                            "Path: verdalix.b!verdalix.a!peer.example!poster\r\n");
}

// A feeds B with `connections` connections; B has a site for A (linked to
// A's incoming entry by dequeue) and a control site without the link, both
// writing to queue files only.
struct Pair {
    explicit Pair(int connections = 1)
    {
        Configure(a, "verdalix.a");
        Configure(b, "verdalix.b");
        a.SetScript(InstanceScript("CreateSite b\nSetSite b hostname 127.0.0.1\nSetSite b port " +
                                   std::to_string(b.Port()) + "\nSetSite b connections " +
                                   std::to_string(connections) + "\n"));
        b.SetScript(InstanceScript("CreateSite a\nSetSite a realtime 0\nSetSite a dequeue 127.0.0.1\n"
                                   "CreateSite other\nSetSite other realtime 0\n"));
    }
    TestServer a, b;
};

// B goes down while A is fed more ids than A's memory queue holds: the rest
// goes to a queue file. With `restartA`, A's restart closes that file;
// without, A hands it to its connections once B is back. Either way every
// article arrives exactly once.
void BacklogWhileBIsDownArrives(bool restartA)
{
    Pair pair(2);
    ASSERT_TRUE(pair.b.Start());
    ASSERT_TRUE(pair.b.WaitForListening());
    ASSERT_TRUE(pair.a.Start());
    ASSERT_TRUE(pair.a.WaitForListening());
    FeedArticles(pair.a, 0, 5);
    ASSERT_TRUE(WaitUntil([&] { return ArrivedFromA(pair.b) == 5; }));
    EXPECT_EQ(pair.b.Stop(), 1);

    constexpr int kCount = 1000;
    FeedArticles(pair.a, 5, kCount);
    EXPECT_NE(QueueFileText(pair.a, "b").find(Id(kCount - 1)), std::string::npos);
    if (restartA) {
        EXPECT_EQ(pair.a.Restart(), 1);
        ASSERT_TRUE(pair.a.WaitForListening());
    }
    ASSERT_TRUE(pair.b.Start());
    ASSERT_TRUE(pair.b.WaitForListening());
    EXPECT_TRUE(WaitUntil([&] { return ArrivedFromA(pair.b) == kCount; })) << ArrivedFromA(pair.b);
    const std::string stored = ReadFile(pair.b.Path("stores/0-articles.dat"));
    for (int i = 0; i < kCount; i += 97)
        EXPECT_EQ(CountOccurrences(stored, "Message-ID: " + Id(i) + "\r\n"), 1u) << i;
    EXPECT_EQ(pair.a.Stop(), 1);
    EXPECT_EQ(pair.b.Stop(), 1);
}

}  // namespace

TEST(Feed, ArticlesPostedIntoAArriveInBAndAreNotQueuedBack)
{
    Pair pair;
    ASSERT_TRUE(pair.b.Start());
    ASSERT_TRUE(pair.b.WaitForListening());
    ASSERT_TRUE(pair.a.Start());
    ASSERT_TRUE(pair.a.WaitForListening());
    constexpr int kCount = 40;
    FeedArticles(pair.a, 0, kCount);
    EXPECT_TRUE(WaitUntil([&] { return ArrivedFromA(pair.b) == kCount; })) << ArrivedFromA(pair.b);

    // The control site queues every id; the site of A none of those A offered.
    std::string other = QueueFileText(pair.b, "other");
    for (int i = 0; i < kCount; ++i)
        EXPECT_NE(other.find(Id(i) + std::string(1, '\0')), std::string::npos) << i;
    EXPECT_EQ(QueueFileText(pair.b, "a"), "");
    EXPECT_EQ(pair.a.Stop(), 1);
    EXPECT_EQ(pair.b.Stop(), 1);
}

TEST(Feed, BacklogWhileBIsDownArrivesAfterARestartOfA)
{
    BacklogWhileBIsDownArrives(true);
}

TEST(Feed, BacklogWhileBIsDownArrivesOnceBIsBack)
{
    BacklogWhileBIsDownArrives(false);
}
