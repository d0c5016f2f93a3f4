// End-to-end: peers feeding articles with IHAVE and CHECK/TAKETHIS, posts
// landing in the post queue, and what ends up in the store files.
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::ArticleDate;
using verdalix_test::ArticleParts;
using verdalix_test::NntpClient;
using verdalix_test::ReadFile;
using verdalix_test::TestServer;
using verdalix_test::WireArticle;

namespace {

// A feeding peer with every right, one store for everything and a few groups.
std::string FeedScript(const std::string& storeSelection = "*", const std::string& more = "")
{
    std::string script = "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nSetIncoming 127.0.0.1 streaming 1\n"
                         "CreateArtStore 0 @DIR@/stores {" + storeSelection + "} 16 0\n"
                         "CreateGroup misc.test 0 1 y 1\nCreateGroup mod.test 1 1 m 1\n";
    for (int i = 0; i < 17; ++i)
        script += "CreateGroup cross.g" + std::to_string(i) + " " + std::to_string(2 + i) + " 1 y 1\n";
    return script + more + "AcceptConnections\n";
}

std::string Id(const std::string& name) { return "<" + name + "." + std::to_string(::getpid()) + "@test>"; }

// Connects as the feeding peer and reads the greeting.
void Feed(TestServer& server, NntpClient& client)
{
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
}

void StartServer(TestServer& server, const std::string& script = FeedScript())
{
    server.SetScript(script);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
}

std::string Ihave(NntpClient& client, const std::string& id, const std::string& article)
{
    std::string offer = client.Command("IHAVE " + id);
    if (offer.substr(0, 3) != "335")
        return offer;
    client.Send(article);
    return client.ReadLine();
}

std::string StoreFile(const TestServer& server) { return ReadFile(server.Path("stores/0-articles.dat")); }

size_t Count(const std::string& haystack, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

// The value of `{name value}` in the statistics reply.
long Stat(NntpClient& client, const std::string& name)
{
    std::string reply = client.Command("ssp");
    size_t at = reply.find("{" + name + " ");
    return at == std::string::npos ? -1 : std::stol(reply.substr(at + name.size() + 2));
}

// The number the article of `id` got in misc.test, from its stored Xref:.
long Number(const std::string& stored, const std::string& id)
{
    size_t at = stored.find("Message-ID: " + id + "\r\n");
    size_t xref = at == std::string::npos ? at : stored.find("Xref: verdalix.test misc.test:", at);
    return xref == std::string::npos ? -1 : std::stol(stored.substr(xref + 30, 12));
}

TEST(Pipeline, IhaveStoresTheArticleAndRefusesItsDuplicate)
{
    TestServer server;
    StartServer(server);
    NntpClient client;
    Feed(server, client);
    const std::string id = Id("ihave");
    const ArticleParts h{.id = id, .subject = "test " + id};
    EXPECT_EQ(Ihave(client, id, WireArticle(h)), "235 Got it");
    EXPECT_EQ(client.Command("IHAVE " + id), "435 Already got it");
    EXPECT_EQ(client.Command("IHAVE no-brackets"), "400 Invalid articleid");

    std::string stored = StoreFile(server);
    EXPECT_NE(stored.find("Path: verdalix.test!peer.example!poster\r\n"), std::string::npos);
    EXPECT_NE(stored.find("Date: " + h.date + "\r\nXref: verdalix.test misc.test:" + std::to_string(Number(stored, id)) +
                          " \r\n\r\nbody"),
              std::string::npos);
    // The overview record in front of it.
    EXPECT_NE(stored.find("test " + id + "\tposter@example\t"), std::string::npos);
}

TEST(Pipeline, StreamingPipelinedCommandsAreAnsweredInOrder)
{
    TestServer server;
    StartServer(server);
    NntpClient client;
    Feed(server, client);
    EXPECT_EQ(client.Command("MODE STREAM"), "203 StreamOK");
    constexpr int kCount = 200;
    std::string checks, takes;
    for (int i = 0; i < kCount; ++i) {
        checks += "CHECK " + Id("s" + std::to_string(i)) + "\r\n";
        takes += "TAKETHIS " + Id("s" + std::to_string(i)) + "\r\n" + WireArticle({.id = Id("s" + std::to_string(i))});
    }
    client.Send(checks);
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(client.ReadLine(), "238 " + Id("s" + std::to_string(i)));
    client.Send(takes);
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(client.ReadLine(), "239 " + Id("s" + std::to_string(i)));

    // A duplicate is read whole and refused; the command behind it in the
    // same packet is served.
    client.Send("TAKETHIS " + Id("s0") + "\r\n" + WireArticle({.id = Id("s0")}) + "CHECK " + Id("s1") + "\r\nCHECK " +
                Id("new") + "\r\n");
    EXPECT_EQ(client.ReadLine(), "439 " + Id("s0"));
    EXPECT_EQ(client.ReadLine(), "438 " + Id("s1"));
    EXPECT_EQ(client.ReadLine(), "238 " + Id("new"));
    // An invalid message-ID: the article is still read past.
    client.Send("TAKETHIS nobrackets\r\n" + WireArticle({.id = Id("bad")}) + "CHECK bad\r\n");
    EXPECT_EQ(client.ReadLine().substr(0, 4), "439 ");
    EXPECT_EQ(client.ReadLine().substr(0, 4), "439 ");
    EXPECT_EQ(Count(StoreFile(server), "Message-ID: " + Id("s7") + "\r\n"), 1u);
    EXPECT_EQ(Stat(client, "takethis"), kCount + 2);
}

// Offers of an article that another connection is receiving are asked to
// come back later; a TAKETHIS of it is read and stored all the same, and the
// transfer that finishes second is refused as a duplicate.
TEST(Pipeline, OfferInProgressOnAnotherConnectionIsPutOff)
{
    TestServer server;
    StartServer(server);
    NntpClient first, second;
    Feed(server, first);
    Feed(server, second);
    const std::string id = Id("busy");
    EXPECT_EQ(first.Command("CHECK " + id), "238 " + id);
    long saves = Stat(second, "precommit_saves");
    EXPECT_EQ(second.Command("CHECK " + id), "431 " + id);
    EXPECT_EQ(second.Command("IHAVE " + id), "436 Transfer not possible; try again later");
    EXPECT_EQ(Stat(second, "precommit_saves"), saves + 2);

    const std::string slow = Id("slow");
    const std::string article = WireArticle({.id = slow});
    ASSERT_EQ(first.Command("IHAVE " + slow), "335 Send it");
    first.Send(article.substr(0, 40));
    EXPECT_EQ(second.Command("IHAVE " + slow), "436 Transfer not possible; try again later");
    second.Send("TAKETHIS " + slow + "\r\n" + article);
    EXPECT_EQ(second.ReadLine(), "239 " + slow);
    first.Send(article.substr(40));
    EXPECT_EQ(first.ReadLine(), "437 Bad Article");
    EXPECT_EQ(Count(StoreFile(server), "Message-ID: " + slow + "\r\n"), 1u);
}

// Offers `id` with `offer` until the answer is no longer `busy` (the server
// may not yet have seen the other connection end); the last answer.
std::string OfferWhileBusy(NntpClient& client, const std::string& offer, const std::string& busy)
{
    std::string reply;
    verdalix_test::WaitUntil([&] { return (reply = client.Command(offer)) != busy; }, 60);
    return reply;
}

// A transfer cut by the peer's connection dropping mid-article, or an offer
// whose article never came, leaves nothing behind that refuses the article:
// the peer's re-offer on a new connection is taken and the article stored
// whole, once.
TEST(Pipeline, CutTransfersAreTakenWhenOfferedAgain)
{
    TestServer server;
    StartServer(server);
    const std::string streamed = Id("cut-stream"), locked = Id("cut-ihave"), unsent = Id("cut-check");
    {
        NntpClient cut;
        Feed(server, cut);
        ASSERT_EQ(cut.Command("CHECK " + streamed), "238 " + streamed);
        ASSERT_EQ(cut.Command("CHECK " + unsent), "238 " + unsent);
        cut.Send("TAKETHIS " + streamed + "\r\n" + WireArticle({.id = streamed}).substr(0, 60));
        NntpClient watcher;
        Feed(server, watcher);
        EXPECT_EQ(watcher.Command("CHECK " + streamed), "431 " + streamed);
    }
    {
        NntpClient cut;
        Feed(server, cut);
        ASSERT_EQ(cut.Command("IHAVE " + locked), "335 Send it");
        cut.Send(WireArticle({.id = locked}).substr(0, 60));
    }
    NntpClient again;
    Feed(server, again);
    EXPECT_EQ(OfferWhileBusy(again, "CHECK " + streamed, "431 " + streamed), "238 " + streamed);
    again.Send("TAKETHIS " + streamed + "\r\n" + WireArticle({.id = streamed}));
    EXPECT_EQ(again.ReadLine(), "239 " + streamed);
    EXPECT_EQ(OfferWhileBusy(again, "CHECK " + unsent, "431 " + unsent), "238 " + unsent);
    const std::string busy = "436 Transfer not possible; try again later";
    ASSERT_EQ(OfferWhileBusy(again, "IHAVE " + locked, busy), "335 Send it");
    again.Send(WireArticle({.id = locked}));
    EXPECT_EQ(again.ReadLine(), "235 Got it");

    std::string stored = StoreFile(server);
    for (const std::string& id : {streamed, locked}) {
        EXPECT_EQ(Count(stored, "Message-ID: " + id + "\r\n"), 1u) << id;
        EXPECT_NE(stored.find("Message-ID: " + id + "\r\nDate: "), std::string::npos) << id;
    }
    EXPECT_EQ(again.Command("IHAVE " + locked), "435 Already got it");
    EXPECT_EQ(again.Command("CHECK " + streamed), "438 " + streamed);
}

TEST(Pipeline, LargeEmptyAndOversizedArticles)
{
    TestServer server;
    StartServer(server);
    NntpClient client(120);
    Feed(server, client);
    std::string line(78, 'x');
    std::string big, huge;
    while (big.size() < 70000)
        big += line + "\r\n";
    while (huge.size() < 2 * 1024 * 1024)
        huge += line + "\r\n";
    EXPECT_EQ(Ihave(client, Id("big"), WireArticle({.id = Id("big"), .body = big})), "235 Got it");
    EXPECT_EQ(Ihave(client, Id("huge"), WireArticle({.id = Id("huge"), .body = huge})), "437 Bad Article");
    client.Send("TAKETHIS " + Id("huge2") + "\r\n" + WireArticle({.id = Id("huge2"), .body = huge}) + "CHECK " +
                Id("after") + "\r\n");
    EXPECT_EQ(client.ReadLine(), "439 " + Id("huge2"));
    EXPECT_EQ(client.ReadLine(), "238 " + Id("after"));
    EXPECT_EQ(Ihave(client, Id("empty"), ".\r\n"), "437 Bad Article");
    EXPECT_EQ(Ihave(client, Id("big2"), WireArticle({.id = Id("big2"), .body = big})), "235 Got it");
    // The stored text ends before the CR LF of the terminator line.
    EXPECT_NE(StoreFile(server).find(big.substr(0, big.size() - 2)), std::string::npos);
}

// Small articles pipelined around large ones in one send: an article is
// read where it lies in the buffer, so one that runs past the buffer's end
// behind others must still be read whole, and the ones after it too.
TEST(Pipeline, LargeArticlesAmongPipelinedSmallOnesAreStoredWhole)
{
    TestServer server;
    StartServer(server);
    NntpClient client(120);
    Feed(server, client);
    EXPECT_EQ(client.Command("MODE STREAM"), "203 StreamOK");
    std::string big;
    for (int i = 0; big.size() < 90000; ++i)
        big += "line " + std::to_string(i) + std::string(70, 'y') + "\r\n";
    std::vector<std::string> ids, bodies;
    std::string batch;
    for (int i = 0; i < 60; ++i) {
        ids.push_back(Id("mix" + std::to_string(i)));
        bodies.push_back(i % 20 == 7 ? big + "end " + std::to_string(i) + "\r\n"
                                     : "small body " + std::to_string(i) + "\r\n" + std::string(i * 40, 'z') + "\r\n");
        batch += "TAKETHIS " + ids.back() + "\r\n" + WireArticle({.id = ids.back(), .body = bodies.back()});
    }
    client.Send(batch);
    for (const std::string& id : ids)
        ASSERT_EQ(client.ReadLine(), "239 " + id);
    const std::string stored = StoreFile(server);
    for (size_t i = 0; i < ids.size(); ++i) {
        const size_t at = stored.find("Message-ID: " + ids[i] + "\r\n");
        ASSERT_NE(at, std::string::npos) << ids[i];
        const size_t body = stored.find("\r\n\r\n", at);
        ASSERT_NE(body, std::string::npos);
        EXPECT_EQ(stored.compare(body + 4, bodies[i].size() - 2, bodies[i], 0, bodies[i].size() - 2), 0) << ids[i];
    }
}

TEST(Pipeline, ArticlesRefusedForTheirHeaders)
{
    TestServer server;
    server.SetConfig("MaxArticleAge", "7");
    StartServer(server);
    NntpClient client;
    Feed(server, client);
    auto offer = [&client](const std::string& name, ArticleParts h) {
        h.id = Id(name);
        return Ihave(client, h.id, WireArticle(h));
    };
    ArticleParts h;
    h.groups = "";
    EXPECT_EQ(offer("nogroups", h), "437 Bad Article");
    h = {};
    h.path = "";
    EXPECT_EQ(offer("nopath", h), "437 Bad Article");
    std::string noId = WireArticle({.id = Id("noid")});
    noId.erase(noId.find("Message-ID: "), noId.find("\r\n", noId.find("Message-ID: ")) + 2 - noId.find("Message-ID: "));
    EXPECT_EQ(Ihave(client, Id("noid"), noId), "437 Bad Article");
    h = {};
    h.date = "";
    EXPECT_EQ(offer("nodate", h), "437 Bad Article");
    h.date = ArticleDate(10);
    EXPECT_EQ(offer("old", h), "437 Bad Article");
    EXPECT_TRUE(server.WaitForLog("article too old (10 days old)"));
    h.date = ArticleDate(400);
    EXPECT_EQ(offer("ancient", h), "235 Got it");
    h.date = std::string(81, '7');
    EXPECT_EQ(offer("longdate", h), "437 Bad Article");
    h = {};
    h.extra = "Path:" + h.path + "\r\n";
    h.path = "";
    EXPECT_EQ(offer("pathnoblank", h), "437 Bad Article");
    EXPECT_TRUE(server.WaitForLog("AddArticleToFile(): no path line found"));
    h = {};
    h.groups = "mod.test";
    EXPECT_EQ(offer("unapproved", h), "437 Bad Article");
    h.extra = "Approved: moderator@example\r\n";
    EXPECT_EQ(offer("approved", h), "235 Got it");

    // At most 16 groups (15 commas).
    std::string groups = "cross.g0";
    for (int i = 1; i < 16; ++i)
        groups += ",cross.g" + std::to_string(i);
    h = {};
    h.groups = groups;
    EXPECT_EQ(offer("sixteen", h), "235 Got it");
    h.groups = groups + ",cross.g16";
    EXPECT_EQ(offer("seventeen", h), "437 Bad Article");
}

// An article whose Message-ID: is not the ID it is offered under is refused
// (437 after IHAVE, 439 after TAKETHIS) and logged with both IDs; nothing is
// stored, numbered, queued or entered in the history, so each ID is taken
// later with its own article.
TEST(Pipeline, ArticleCarryingAnotherMessageIdIsRefused)
{
    TestServer server;
    StartServer(server, FeedScript("*", "CreateSite out\nSetSite out realtime 0\n"));
    NntpClient client;
    Feed(server, client);
    const std::string group = client.Command("GROUP misc.test");
    const ArticleParts inside{.id = Id("inside"), .body = "swapped body\r\n"};
    EXPECT_EQ(Ihave(client, Id("offered"), WireArticle(inside)), "437 Bad Article");
    EXPECT_TRUE(
        server.WaitForLog("offered as " + Id("offered") + " but its Message-ID is " + Id("inside") + ", refused"));
    client.Send("TAKETHIS " + Id("streamed") + "\r\n" + WireArticle(inside));
    EXPECT_EQ(client.ReadLine(), "439 " + Id("streamed"));
    EXPECT_TRUE(server.WaitForLog("offered as " + Id("streamed") + " but its Message-ID is " + Id("inside")));
    // A value that is no message-ID at all is shown with its control bytes masked.
    client.Send("TAKETHIS " + Id("garbled") + "\r\n" + WireArticle({.id = "no id\x01here"}));
    EXPECT_EQ(client.ReadLine(), "439 " + Id("garbled"));
    EXPECT_TRUE(server.WaitForLog("offered as " + Id("garbled") + " but its Message-ID is no id?here, refused"));

    EXPECT_EQ(StoreFile(server).find("swapped body"), std::string::npos);
    EXPECT_EQ(client.Command("GROUP misc.test"), group);
    client.Send("TAKETHIS " + Id("streamed") + "\r\n" + WireArticle({.id = Id("streamed")}));
    EXPECT_EQ(client.ReadLine(), "239 " + Id("streamed"));
    EXPECT_EQ(Ihave(client, Id("inside"), WireArticle(inside)), "235 Got it");
    EXPECT_TRUE(verdalix_test::WaitUntil([&server] {
        const std::string queued = verdalix_test::QueueFileText(server, "out");
        return queued.find(Id("streamed")) != std::string::npos && queued.find(Id("inside")) != std::string::npos;
    }));
    const std::string queued = verdalix_test::QueueFileText(server, "out");
    EXPECT_EQ(queued.find(Id("offered")), std::string::npos);
    EXPECT_EQ(queued.find(Id("garbled")), std::string::npos);
}

TEST(Pipeline, NoMatchingStoreAndFilterRefusalsAreLogged)
{
    TestServer server;
    server.SetConfig("ExternalFilter", std::string("/bin/sh ") + VERDALIX_SOURCE_DIR + "/etc/filter-example.sh spam");
    server.SetConfig("LogFilterRejects", "1");
    StartServer(server, FeedScript("mod.*"));
    NntpClient client;
    Feed(server, client);
    EXPECT_EQ(Ihave(client, Id("nostore"), WireArticle({.id = Id("nostore")})), "437 Bad Article");
    EXPECT_TRUE(server.WaitForLog("no store found"));
    ArticleParts h{.id = Id("stored"), .groups = "mod.test", .extra = "Approved: moderator@example\r\n"};
    EXPECT_EQ(Ihave(client, h.id, WireArticle(h)), "235 Got it");
    h.id = Id("spam");
    std::string spam = WireArticle(h);
    spam.replace(spam.find("Subject: test"), 13, "Subject: spam");
    EXPECT_EQ(Ihave(client, Id("spam"), spam), "437 Bad Article");
    EXPECT_TRUE(server.WaitForLog("external filter rejected " + Id("spam") + " from 127.0.0.1 with response: 437"));
}

TEST(Pipeline, InoculationAnswersNothing)
{
    TestServer server;
    StartServer(server);
    NntpClient client;
    Feed(server, client);
    client.Send("innoculate " + Id("ino") + "\r\ninnoculate " + Id("ino") + "\r\nCHECK " + Id("ino") + "\r\n");
    EXPECT_EQ(client.ReadLine(), "438 " + Id("ino"));
    EXPECT_EQ(client.Command("innoculate bad").substr(0, 4), "439 ");
}

TEST(Pipeline, SlaveModeNumbersFromTheMastersXref)
{
    TestServer server;
    server.SetConfig("OpMode", "slave");
    StartServer(server);
    NntpClient client;
    Feed(server, client);
    const ArticleParts h{.id = Id("slave"), .extra = "Xref: verdalix.test misc.test:77\r\n"};
    EXPECT_EQ(Ihave(client, h.id, WireArticle(h)), "235 Got it");
    std::string stored = StoreFile(server);
    EXPECT_NE(stored.find("\r\nXref: verdalix.test misc.test:77\r\n"), std::string::npos);
    EXPECT_NE(stored.find("\tXref: verdalix.test misc.test:77\r\n"), std::string::npos);
}

TEST(Pipeline, ArticlesHistoryAndNumbersSurviveARestart)
{
    TestServer server;
    StartServer(server);
    {
        NntpClient client;
        Feed(server, client);
        EXPECT_EQ(Ihave(client, Id("before"), WireArticle({.id = Id("before")})), "235 Got it");
    }
    // Existing groups are named again, not created anew.
    std::string script = FeedScript();
    script.replace(script.find("CreateGroup misc.test 0 1 y 1"), 29, "InsertGroup misc.test 0");
    server.SetScript(script);
    server.Restart();
    ASSERT_TRUE(server.WaitForListening());
    NntpClient client;
    Feed(server, client);
    EXPECT_EQ(client.Command("IHAVE " + Id("before")), "435 Already got it");
    EXPECT_EQ(Ihave(client, Id("after"), WireArticle({.id = Id("after")})), "235 Got it");
    std::string stored = StoreFile(server);
    long before = Number(stored, Id("before"));
    EXPECT_GT(before, 0);
    EXPECT_EQ(Number(stored, Id("after")), before + 1);
}

// Post files sorted by name, with their contents.
std::map<std::string, std::string> PostFiles(const TestServer& server)
{
    std::map<std::string, std::string> files;
    if (DIR* dir = ::opendir(server.Path("posts").c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                files[entry->d_name] = ReadFile(server.Path("posts/") + entry->d_name);
        ::closedir(dir);
    }
    return files;
}

// With InjectPosts 0 posts are left, unchecked and as received, to a program
// outside the server.
TEST(Pipeline, PostsLandInThePostQueueForAnOutsideConsumer)
{
    TestServer server;
    server.SetConfig("InjectPosts", "0");
    StartServer(server);
    NntpClient client;
    Feed(server, client);
    const std::string article = "Newsgroups: misc.test\r\nSubject: post\r\n\r\n..dotted\r\nend";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(client.Command("POST"), "340 send it");
        client.Send(article + "\r\n.\r\n");
        EXPECT_EQ(client.ReadLine(), "240 got it");
    }
    EXPECT_EQ(client.Command("POST"), "340 send it");
    client.Send(".\r\n");
    EXPECT_EQ(client.ReadLine(), "435 post failed");

    // Within one second T the names are T.post, T-0.post, T-1.post.
    std::map<std::string, std::vector<std::string>> bySecond;
    std::vector<std::string> counts;
    for (const auto& [name, text] : PostFiles(server)) {
        size_t cut = name.find_first_of("-.");
        bySecond[name.substr(0, cut)].push_back(name.substr(cut));
        size_t first = text.find("\r\n");
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(text.substr(0, 10), "127.0.0.1:");
        size_t second = text.find("\r\n", first + 2);
        counts.push_back(text.substr(first + 2, second - first - 2));
        EXPECT_EQ(text.substr(second + 2), article);
    }
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(counts, (std::vector<std::string>{"1", "2", "3"}));
    for (auto& [second, suffixes] : bySecond) {
        std::vector<std::string> expected{".post", "-0.post", "-1.post"};
        expected.resize(suffixes.size());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(suffixes, expected) << second;
    }
}

// Several peers stream at once, each offering the same articles in a
// different order; every article is stored once and the answers add up.
TEST(Pipeline, ConcurrentFeedsStoreEachArticleOnce)
{
    TestServer server;
    StartServer(server);
    constexpr int kFeeds = 3;
    constexpr int kArticles = 1500;
    std::vector<int> accepted(kFeeds, 0), refused(kFeeds, 0);
    std::vector<std::thread> feeds;
    for (int f = 0; f < kFeeds; ++f)
        feeds.emplace_back([&, f] {
            NntpClient client(120);
            Feed(server, client);
            constexpr int kBatch = 100;
            for (int start = 0; start < kArticles; start += kBatch) {
                std::string batch;
                std::vector<std::string> ids;
                for (int i = start; i < start + kBatch; ++i) {
                    int n = f % 2 == 0 ? i : kArticles - 1 - i;
                    ids.push_back(Id("stress" + std::to_string(n)));
                    batch += "TAKETHIS " + ids.back() + "\r\n" + WireArticle({.id = ids.back()});
                }
                client.Send(batch);
                for (const std::string& id : ids) {
                    std::string reply = client.ReadLine();
                    if (reply == "239 " + id)
                        ++accepted[f];
                    else if (reply == "439 " + id)
                        ++refused[f];
                    else
                        ADD_FAILURE() << reply;
                }
            }
        });
    for (auto& feed : feeds)
        feed.join();
    int total = 0;
    for (int f = 0; f < kFeeds; ++f) {
        total += accepted[f];
        EXPECT_EQ(accepted[f] + refused[f], kArticles);
    }
    EXPECT_EQ(total, kArticles);
    std::string stored = StoreFile(server);
    for (int n = 0; n < kArticles; n += 37)
        EXPECT_EQ(Count(stored, "Message-ID: " + Id("stress" + std::to_string(n)) + "\r\n"), 1u) << n;
    NntpClient client;
    Feed(server, client);
    EXPECT_EQ(Stat(client, "takethis"), kFeeds * kArticles);
    EXPECT_EQ(Stat(client, "takethis_reject"), kFeeds * kArticles - kArticles);
}

}  // namespace
