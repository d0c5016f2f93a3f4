// End-to-end: instance A feeds instance B over loopback, live and from its
// queue files after B was down.
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/server_harness.h"

using verdalix_test::NntpClient;
using verdalix_test::ReadFile;
using verdalix_test::TestServer;

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

std::string Article(const std::string& id)
{
    char date[64];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return "Path: peer.example!poster\r\nFrom: poster@example\r\nNewsgroups: misc.test\r\nSubject: feed " + id +
           "\r\nMessage-ID: " + id + "\r\nDate: " + date + "\r\n\r\nbody of " + id + "\r\n.\r\n";
}

void FeedArticles(const TestServer& server, int from, int to)
{
    NntpClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
    for (int i = from; i < to; ++i) {
        ASSERT_EQ(client.Command("IHAVE " + Id(i)).substr(0, 3), "335") << i;
        client.Send(Article(Id(i)));
        ASSERT_EQ(client.ReadLine().substr(0, 3), "235") << i;
    }
}

size_t Count(const std::string& haystack, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

// Articles stored in B that came through A.
size_t ArrivedFromA(const TestServer& b)
{
    return Count(ReadFile(b.Path("stores/0-articles.dat")), "Path: verdalix.b!verdalix.a!peer.example!poster\r\n");
}

bool WaitUntil(const std::function<bool()>& condition, int seconds = 60)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::string QueueFiles(const TestServer& server, const std::string& site)
{
    std::string text;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(server.Path("feeds/" + site), error))
        text += ReadFile(entry.path().string());
    return text;
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
    std::string other = QueueFiles(pair.b, "other");
    for (int i = 0; i < kCount; ++i)
        EXPECT_NE(other.find(Id(i) + std::string(1, '\0')), std::string::npos) << i;
    EXPECT_EQ(QueueFiles(pair.b, "a"), "");
    EXPECT_EQ(pair.a.Stop(), 1);
    EXPECT_EQ(pair.b.Stop(), 1);
}

TEST(Feed, BacklogWhileBIsDownArrivesAfterwards)
{
    Pair pair(2);
    ASSERT_TRUE(pair.b.Start());
    ASSERT_TRUE(pair.b.WaitForListening());
    ASSERT_TRUE(pair.a.Start());
    ASSERT_TRUE(pair.a.WaitForListening());
    FeedArticles(pair.a, 0, 5);
    ASSERT_TRUE(WaitUntil([&] { return ArrivedFromA(pair.b) == 5; }));
    EXPECT_EQ(pair.b.Stop(), 1);

    // More ids than the memory queue holds: the rest goes to a queue file.
    constexpr int kCount = 1000;
    FeedArticles(pair.a, 5, kCount);
    EXPECT_NE(QueueFiles(pair.a, "b").find(Id(kCount - 1)), std::string::npos);
    // A restart closes the queue file being written, so it is read back.
    EXPECT_EQ(pair.a.Restart(), 1);
    ASSERT_TRUE(pair.a.WaitForListening());
    ASSERT_TRUE(pair.b.Start());
    ASSERT_TRUE(pair.b.WaitForListening());
    EXPECT_TRUE(WaitUntil([&] { return ArrivedFromA(pair.b) == kCount; })) << ArrivedFromA(pair.b);
    for (int i = 0; i < kCount; i += 97)
        EXPECT_EQ(Count(ReadFile(pair.b.Path("stores/0-articles.dat")), "Message-ID: " + Id(i) + "\r\n"), 1u) << i;
    EXPECT_EQ(pair.a.Stop(), 1);
    EXPECT_EQ(pair.b.Stop(), 1);
}
