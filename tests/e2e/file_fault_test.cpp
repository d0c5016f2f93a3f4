// End-to-end: a full disk and failing devices under the store, the history,
// the group database, the queue files and the post queue, made by the fault
// file a debug run reads. The server must never acknowledge what it did not
// store, must tell peers to try again, log each burst once, keep serving
// readers, and work again once the fault clears.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::CountOccurrences;
using verdalix_test::FeedArticle;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::QueueFileText;
using verdalix_test::ReadFile;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;
using verdalix_test::WriteFile;

namespace {

const std::string kTryLater = "436 Transfer not possible; try again later";

std::string Id(const std::string& name) { return "<" + name + "." + std::to_string(::getpid()) + "@faults>"; }

// A feeding peer that may also read, one store, misc.test, and `more`.
void Prepare(TestServer& server, const std::string& more = "")
{
    server.AddEnvironment("VERDALIX_FILE_FAULTS=" + server.Path("faults"));
    // A deferred article's offer is remembered this long; its re-offer is
    // taken after that.
    server.SetConfig("MaxPrecommitAge", "300");
    server.SetScript("AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nSetIncoming 127.0.0.1 streaming 1\n"
                     "CreateArtStore 0 @DIR@/stores {*} 16 0\nCreateGroup misc.test 0 1 y 1\n" +
                     more + "AcceptConnections\n");
}

void Start(TestServer& server)
{
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
}

void Connect(TestServer& server, NntpClient& client)
{
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
}

// Puts `text` in force and waits until the server has taken it up.
void SetFaults(TestServer& server, const std::string& text, int change)
{
    ASSERT_TRUE(WriteFile(server.Path("faults"), text));
    ASSERT_TRUE(server.WaitForLog("file faults (change " + std::to_string(change) + "): ")) << text;
}

// The body lines of ARTICLE `what`, or the status line when it fails.
std::string Article(NntpClient& reader, const std::string& what)
{
    std::string status = reader.Command("ARTICLE " + what);
    if (status.substr(0, 3) != "220")
        return status;
    std::string text;
    for (const std::string& line : reader.ReadMultiline())
        text += line + "\r\n";
    return text.substr(text.find("\r\n\r\n") + 4);
}

long HighWater(NntpClient& reader)
{
    std::string reply = reader.Command("GROUP misc.test");
    EXPECT_EQ(reply.substr(0, 3), "211") << reply;
    size_t high = reply.find(' ', reply.find(' ', 4) + 1);
    return std::stol(reply.substr(high + 1));
}

// Offers `id` with IHAVE until its earlier offer is forgotten; the last reply.
std::string OfferAgain(NntpClient& feed, const std::string& id)
{
    std::string reply;
    WaitUntil([&] { return (reply = OfferWithIhave(feed, id)) != "435 Already got it"; }, 30);
    return reply;
}

class FileFaults : public ::testing::Test {
protected:
    // Starts the server and connects the feeding peer and the reader.
    void Begin(const std::string& more = "")
    {
        Prepare(server, more);
        Start(server);
        Connect(server, feed);
        Connect(server, reader);
    }
    // Closes the sessions first: the stop would wait for them.
    void StopServer()
    {
        feed.Close();
        reader.Close();
        stream.Close();
        EXPECT_EQ(server.Stop(), 1);
    }

    TestServer server;
    NntpClient feed, reader, stream;
};

TEST_F(FileFaults, FullStoreDefersArticlesKeepsReadersAndRecovers)
{
    Begin();
    ASSERT_EQ(OfferWithIhave(feed, Id("before")), "235 Got it");
    const long high = HighWater(reader);

    SetFaults(server, "stores/0-articles.dat write ENOSPC short\n", 1);
    for (const char* name : {"a", "b", "c"})
        EXPECT_EQ(OfferWithIhave(feed, Id(name)), kTryLater) << name;
    Connect(server, stream);
    ASSERT_EQ(stream.Command("MODE STREAM"), "203 StreamOK");
    ASSERT_EQ(stream.Command("CHECK " + Id("d")), "238 " + Id("d"));
    stream.Send("TAKETHIS " + Id("d") + "\r\n" + FeedArticle(Id("d")));
    EXPECT_EQ(stream.ReadLine(), "400 Service temporarily unavailable");
    EXPECT_TRUE(stream.WaitForClose());

    // Readers go on being served from what is stored.
    EXPECT_EQ(Article(reader, Id("before")), "body of " + Id("before") + "\r\n");
    EXPECT_EQ(Article(reader, Id("a")), "430 article not found");
    const std::string log = server.LogText();
    EXPECT_EQ(CountOccurrences(log, "article: Write failed, disk failure?"), 1u) << log;
    EXPECT_EQ(CountOccurrences(log, "Error 28 in WriteToStore for 0"), 1u) << log;

    SetFaults(server, "", 2);
    EXPECT_EQ(OfferAgain(feed, Id("a")), "235 Got it");
    Connect(server, stream);
    ASSERT_EQ(stream.Command("MODE STREAM"), "203 StreamOK");
    stream.Send("TAKETHIS " + Id("d") + "\r\n" + FeedArticle(Id("d")));
    EXPECT_EQ(stream.ReadLine(), "239 " + Id("d"));
    EXPECT_TRUE(server.WaitForLog("article: stored again after 4 failed writes"));
    EXPECT_TRUE(server.WaitForLog("ArtStore: store 0 written again after 4 failed writes"));

    for (const char* name : {"a", "d"})
        EXPECT_EQ(Article(reader, Id(name)), "body of " + Id(name) + "\r\n") << name;
    // The numbers the deferred articles were given lead to no article; the
    // re-offered ones were numbered afresh.
    EXPECT_EQ(HighWater(reader), high + 6);
    for (long n = high + 1; n <= high + 4; ++n)
        EXPECT_EQ(Article(reader, std::to_string(n)).substr(0, 3), "423") << n;
    EXPECT_EQ(Article(reader, std::to_string(high + 5)), "body of " + Id("a") + "\r\n");
    StopServer();
}

TEST_F(FileFaults, ReadErrorsOnTheStoreAnswerNotFoundAndPassWithTheFault)
{
    Begin();
    ASSERT_EQ(OfferWithIhave(feed, Id("stored")), "235 Got it");
    HighWater(reader);
    SetFaults(server, "stores/0-articles.dat read EIO\n", 1);
    EXPECT_EQ(Article(reader, Id("stored")).substr(0, 1), "4");
    EXPECT_EQ(reader.Command("FROBNICATE").substr(0, 3), "500") << "the session goes on";
    SetFaults(server, "# cleared\n", 2);
    EXPECT_EQ(Article(reader, Id("stored")), "body of " + Id("stored") + "\r\n");
    StopServer();
}

// The mapped files take their disk blocks at start: a full disk stops the
// start with a clear reason instead of a crash under a later store.
TEST_F(FileFaults, FullDiskForTheHistoryOrGroupDatabaseStopsTheStart)
{
    Prepare(server);
    const std::pair<std::string, std::string> cases[] = {
        {"history/seen.dat write ENOSPC\n", "could not map history file"},
        {"history/seen.idx write EDQUOT\n", "could not map table file"},
        {"groups/group.dat write ENOSPC\n", "group database not opened, exiting"},
    };
    for (const auto& [faults, reason] : cases) {
        ASSERT_TRUE(WriteFile(server.Path("faults"), faults));
        ASSERT_TRUE(server.Start());
        EXPECT_EQ(server.WaitForExit(), 1) << faults;
        EXPECT_NE(server.StdoutText().find(reason), std::string::npos) << server.StdoutText();
    }
    ASSERT_TRUE(WriteFile(server.Path("faults"), ""));
    Start(server);
    Connect(server, feed);
    EXPECT_EQ(OfferWithIhave(feed, Id("fits")), "235 Got it");
    StopServer();
}

TEST_F(FileFaults, FailedFlushesOfHistoryAndGroupDatabaseAreLoggedAtStop)
{
    Begin();
    SetFaults(server, "history/seen.dat sync EIO\ngroups/group.dat sync EIO\n", 1);
    StopServer();
    const std::string log = server.LogText();
    EXPECT_NE(log.find("could not flush " + server.Path("history") + "/seen.dat: Input/output error"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("could not flush the group database: Input/output error"), std::string::npos) << log;
    EXPECT_EQ(log.find("seen.idx: "), std::string::npos) << "only the failing file is named";
}

// The article is stored either way; what a full disk loses is the record
// for one site, and never leaves a torn one in its queue file.
TEST_F(FileFaults, FullDiskUnderTheQueueLosesNoArticleAndTearsNoRecord)
{
    Begin("CreateSite other\nSetSite other realtime 0\n");
    ASSERT_EQ(OfferWithIhave(feed, Id("q1")), "235 Got it");
    SetFaults(server, "feeds/other/ write ENOSPC short\n", 1);
    for (const char* name : {"q2", "q3"})
        EXPECT_EQ(OfferWithIhave(feed, Id(name)), "235 Got it") << name;
    EXPECT_EQ(CountOccurrences(server.LogText(), "(outgoing queue file): No space left on device"), 1u);
    SetFaults(server, "", 2);
    ASSERT_EQ(OfferWithIhave(feed, Id("q4")), "235 Got it");
    EXPECT_TRUE(server.WaitForLog("outgoing queue files written again after 2 failed writes"));

    EXPECT_EQ(QueueFileText(server, "other"), Id("q1") + '\0' + Id("q4") + '\0');
    HighWater(reader);
    for (const char* name : {"q1", "q2", "q3", "q4"})
        EXPECT_EQ(Article(reader, Id(name)), "body of " + Id(name) + "\r\n") << name;
    StopServer();
}

// The post directory's files, but for the spares the injector keeps.
std::vector<std::string> PostFiles(const TestServer& server)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(server.Path("posts")))
        if (entry.path().extension() != ".spare")
            names.push_back(entry.path().filename().string());
    return names;
}

TEST_F(FileFaults, PostThatCannotBeWrittenFailsAndLeavesNoFile)
{
    Begin();
    const std::string article = "From: poster@example\r\nNewsgroups: misc.test\r\nSubject: post\r\n\r\nbody\r\n.\r\n";
    SetFaults(server, "posts/ write ENOSPC short\n", 1);
    ASSERT_EQ(reader.Command("POST"), "340 send it");
    reader.Send(article);
    EXPECT_EQ(reader.ReadLine(), "441 post not queued, try again later");
    EXPECT_TRUE(PostFiles(server).empty());
    SetFaults(server, "", 2);
    const long high = HighWater(reader);
    ASSERT_EQ(reader.Command("POST"), "340 send it");
    reader.Send(article);
    EXPECT_EQ(reader.ReadLine(), "240 got it");
    EXPECT_TRUE(WaitUntil([&] { return HighWater(reader) == high + 1; }));
    EXPECT_EQ(Article(reader, std::to_string(high + 1)), "body\r\n");
    EXPECT_TRUE(PostFiles(server).empty());
    StopServer();
}

// An outside program consumes the queue: the post file stays as written.
TEST_F(FileFaults, PostForAnOutsideConsumerThatCannotBeWrittenFails)
{
    server.SetConfig("InjectPosts", "0");
    Begin();
    const std::string article = "Newsgroups: misc.test\r\nSubject: post\r\n\r\nbody\r\n.\r\n";
    SetFaults(server, "posts/ write ENOSPC short\n", 1);
    ASSERT_EQ(reader.Command("POST"), "340 send it");
    reader.Send(article);
    EXPECT_EQ(reader.ReadLine(), "435 post failed");
    EXPECT_TRUE(PostFiles(server).empty());
    SetFaults(server, "", 2);
    ASSERT_EQ(reader.Command("POST"), "340 send it");
    reader.Send(article);
    EXPECT_EQ(reader.ReadLine(), "240 got it");
    const std::vector<std::string> files = PostFiles(server);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(ReadFile(server.Path("posts/" + files[0])).find("Subject: post\r\n\r\nbody"), std::string::npos);
    StopServer();
}

}  // namespace
