// End-to-end: posts checked at POST time, injected into the groups, sent on
// to a peer, diverted for moderation, and injected once across a kill.
#include <signal.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "date/article_date.h"
#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::CountOccurrences;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::ReadFile;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;
using verdalix_test::WriteFile;

namespace {

std::string Script(const std::string& more = "")
{
    return "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nSetIncoming 127.0.0.1 streaming 1\n"
           "CreateArtStore 0 @DIR@/stores {*} 16 0\nCreateGroup misc.test 0 4 y 1\n"
           "CreateGroup closed.group 10 1 n 1\nCreateGroup mod.group 11 1 m 1\n" +
           more + "AcceptConnections\n";
}

// The script of a restart: the groups made at the first start are named again.
std::string RestartScript()
{
    return "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nCreateArtStore 0 @DIR@/stores {*} 16 0\n"
           "InsertGroup misc.test 0\nInsertGroup closed.group 10\nInsertGroup mod.group 11\nAcceptConnections\n";
}

void Start(TestServer& server)
{
    if (!server.Running()) {
        ASSERT_TRUE(server.Start());
    }
    ASSERT_TRUE(server.WaitForListening());
}

void Connect(const TestServer& server, NntpClient& client)
{
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
}

std::string Post(NntpClient& client, const std::string& article)
{
    std::string go = client.Command("POST");
    if (go != "340 send it")
        return go;
    client.Send(article + "\r\n.\r\n");
    return client.ReadLine();
}

std::string Header(const std::string& subject, const std::string& groups = "misc.test")
{
    return "From: Poster <poster@example.org>\r\nNewsgroups: " + groups + "\r\nSubject: " + subject + "\r\n";
}

std::string DateLine(long offsetSeconds)
{
    char date[kArticleDateSize];
    FormatArticleDate(std::time(nullptr) + offsetSeconds, date);
    return std::string("Date: ") + date + "\r\n";
}

// The overview lines of the group, by number.
std::map<long, std::string> Overview(NntpClient& client, const std::string& group = "misc.test")
{
    std::map<long, std::string> lines;
    std::string reply = client.Command("GROUP " + group);
    EXPECT_EQ(reply.substr(0, 3), "211") << reply;
    if (reply.substr(0, 3) != "211" || reply.substr(0, 6) == "211 0 ")
        return lines;
    client.Send("XOVER 1-\r\n");
    if (client.ReadLine().substr(0, 3) != "224")
        return lines;
    for (const std::string& line : client.ReadMultiline())
        lines[std::stol(line)] = line;
    return lines;
}

// The overview line whose subject field is `subject`; empty until it is there.
std::string WaitForSubject(NntpClient& client, const std::string& subject, const std::string& group = "misc.test")
{
    std::string found;
    WaitUntil(
        [&] {
            for (const auto& [number, line] : Overview(client, group))
                if (line.find("\t" + subject + "\t") != std::string::npos)
                    found = line;
            return !found.empty();
        },
        30);
    return found;
}

// Field `n` (0: the number) of an overview line.
std::string Field(const std::string& line, int n)
{
    size_t start = 0;
    for (int i = 0; i < n; ++i)
        start = line.find('\t', start) + 1;
    return line.substr(start, line.find('\t', start) - start);
}

// The files of `dir`, but for the spares the injector keeps for reuse.
std::vector<std::string> FilesIn(const std::string& dir)
{
    std::vector<std::string> names;
    if (std::filesystem::is_directory(dir))
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.is_regular_file() && entry.path().extension() != ".spare")
                names.push_back(entry.path().filename().string());
    return names;
}

struct Refusal {
    std::string article;
    std::string reply;
};

std::vector<Refusal> Refusals()
{
    const std::string ok = Header("fine");
    std::string manyGroups = "misc.test";
    for (int i = 0; i < 499; ++i)
        manyGroups += (i % 20 == 19 ? ",\r\n group" : ",group") + std::to_string(i);
    std::string manyHeaders = ok;
    for (int i = 0; i < 10000; ++i)
        manyHeaders += "X-Header-" + std::to_string(i) + ": x\r\n";
    std::string bigHeader = ok;
    for (int i = 0; i < 70; ++i)
        bigHeader += "X-Long-" + std::to_string(i) + ": " + std::string(900, 'a') + "\r\n";
    return {
        {Header("x").substr(Header("x").find("Newsgroups")) + "\r\nbody", "441 missing From header"},
        {"From: nobody\r\nNewsgroups: misc.test\r\nSubject: x\r\n\r\nbody", "441 malformed From header"},
        {"From: a@b.example\r\nNewsgroups: misc.test\r\n\r\nbody", "441 missing Subject header"},
        {"From: a@b.example\r\nSubject: x\r\n\r\nbody", "441 missing Newsgroups header"},
        {Header("x", "not.carried") + "\r\nbody", "441 no newsgroup carried here"},
        {Header("x", "misc.test,closed.group") + "\r\nbody", "441 posting to closed.group is not allowed"},
        {Header("x", manyGroups) + "\r\nbody", "441 more than 16 newsgroups"},
        {Header("x", "misc.test,,other") + "\r\nbody", "441 malformed Newsgroups header"},
        {Header("x", "misc.test/../x") + "\r\nbody", "441 malformed Newsgroups header"},
        {ok + "Message-ID: <no-at-sign>\r\n\r\nbody", "441 malformed Message-ID header"},
        {ok + "Message-ID: <fed@post.test>\r\n\r\nbody", "441 duplicate Message-ID <fed@post.test>"},
        {ok + "Subject: twice\r\n\r\nbody", "441 duplicate Subject header"},
        {ok + "No colon here\r\n\r\nbody", "441 malformed header line"},
        {ok + "X-Tight:value\r\n\r\nbody", "441 malformed header line"},
        {" folded first\r\n" + ok + "\r\nbody", "441 malformed header line"},
        {ok + "\r\nbody with a NUL " + std::string(1, '\0') + " in it", "441 NUL byte in the article"},
        {ok + "\r\nbody\nwith a bare LF", "441 bare LF in the article"},
        {ok + "X-Odd: a\rb\r\n\r\nbody", "441 bare CR in the article"},
        {ok + "X-Long: " + std::string(991, 'a') + "\r\n\r\nbody", "441 header line longer than 998 bytes"},
        {manyHeaders + "\r\nbody", "441 more than 1000 header lines"},
        {bigHeader + "\r\nbody", "441 header longer than 60000 bytes"},
        {ok + "Control: frobnicate all\r\n\r\nbody", "441 unsupported control message frobnicate"},
        {ok + "Control: cancel nothing\r\n\r\nbody", "441 malformed Control header"},
        {ok + "Path: somewhere!.POSTED!not-for-mail\r\n\r\nbody", "441 forged Path header"},
        {ok + "Path: two words\r\n\r\nbody", "441 malformed Path header"},
        {ok + "Injection-Info: elsewhere.example\r\n\r\nbody", "441 Injection-Info header not allowed in a post"},
        {ok + "Injection-Date: " + DateLine(0).substr(6) + "\r\nbody",
         "441 Injection-Date header not allowed in a post"},
        {ok + "Xref: elsewhere misc.test:5\r\n\r\nbody", "441 Xref header not allowed in a post"},
        {ok + "Date: the day after tomorrow\r\n\r\nbody", "441 malformed Date header"},
        {ok + DateLine(3 * 86400) + "\r\nbody", "441 Date header more than a day ahead"},
        {ok + DateLine(-30 * 86400) + "\r\nbody", "441 Date header older than 7 days"},
        {ok + "Supersedes: nothing\r\n\r\nbody", "441 malformed Supersedes header"},
        {ok + "\r\n" + std::string(1100000, 'x'), "441 article too large"},
    };
}

}  // namespace

TEST(Post, EveryBadPostIsRefusedWith441AndItsReasonAndNothingIsQueued)
{
    TestServer server;
    server.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    NntpClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(server, client));
    ASSERT_EQ(OfferWithIhave(client, "<fed@post.test>"), "235 Got it");
    EXPECT_EQ(client.Command("POST"), "340 send it");
    client.Send(".\r\n");
    EXPECT_EQ(client.ReadLine(), "441 empty article");
    for (const Refusal& refusal : Refusals())
        EXPECT_EQ(Post(client, refusal.article), refusal.reply) << refusal.article.substr(0, 200);
    // A header line of exactly 998 bytes is fine, and the session goes on.
    EXPECT_EQ(Post(client, Header("longest line") + "X-Long: " + std::string(990, 'a') + "\r\n\r\nbody"), "240 got it");
    EXPECT_FALSE(WaitForSubject(client, "longest line").empty());
    EXPECT_TRUE(FilesIn(server.Path("posts")).empty());
    EXPECT_FALSE(std::filesystem::exists(server.Path("posts/bad")));
    client.Close();
    EXPECT_EQ(server.Stop(), 1);
}

// What a poster gives is kept; the server completes the rest. A post
// without a body gets the blank line it lacks (its body reads as one empty
// line).
TEST(Post, PostIsCompletedAndReadableByNumberAndMessageId)
{
    TestServer server;
    server.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    NntpClient client;
    Connect(server, client);
    const std::string date = DateLine(-60);
    ASSERT_EQ(Post(client, Header("given") + date +
                               "Path: poster.example!not-for-mail\r\n"
                               "Message-ID: <given@post.test>\r\n\r\n..dotted\r\nend"),
              "240 got it");
    ASSERT_EQ(Post(client, Header("headers only")), "240 got it");
    std::string line = WaitForSubject(client, "given");
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(Field(line, 3), date.substr(6, date.size() - 8));
    EXPECT_EQ(Field(line, 4), "<given@post.test>");
    EXPECT_EQ(client.Command("HEAD <given@post.test>").substr(0, 3), "221");
    std::string head;
    for (const std::string& header : client.ReadMultiline())
        head += header + "\n";
    EXPECT_NE(head.find("Path: verdalix.test!.POSTED!poster.example!not-for-mail\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Injection-Info: verdalix.test; posting-host=\"127.0.0.1\"; logging-data=\""),
              std::string::npos)
        << head;
    EXPECT_EQ(CountOccurrences(head, "Date: "), 2u) << head;  // the poster's and Injection-Date
    EXPECT_EQ(client.Command("BODY " + Field(line, 0)).substr(0, 3), "222");
    EXPECT_EQ(client.ReadMultiline(), (std::vector<std::string>{".dotted", "end"}));

    line = WaitForSubject(client, "headers only");
    ASSERT_FALSE(line.empty());
    EXPECT_NE(Field(line, 4).find("@verdalix.test>"), std::string::npos) << line;
    EXPECT_EQ(client.Command("BODY " + Field(line, 4)).substr(0, 3), "222");
    EXPECT_EQ(client.ReadMultiline(), std::vector<std::string>{""});
    client.Close();
    EXPECT_EQ(server.Stop(), 1);
}

// The injector keeps injected files as spares and writes later posts
// through them: a short post in a spare that held a long one keeps nothing
// of it, and spares left by an earlier process are removed, never injected.
TEST(Post, SpareFilesAreRewrittenWholeAndNeverTakenForPosts)
{
    TestServer server;
    server.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    NntpClient client;
    Connect(server, client);
    ASSERT_EQ(Post(client, Header("long one") + "\r\n" + std::string(5000, 'x')), "240 got it");
    ASSERT_FALSE(WaitForSubject(client, "long one").empty());
    ASSERT_EQ(Post(client, Header("short one") + "\r\nshort"), "240 got it");
    const std::string line = WaitForSubject(client, "short one");
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(client.Command("BODY " + Field(line, 0)).substr(0, 3), "222");
    EXPECT_EQ(client.ReadMultiline(), std::vector<std::string>{"short"});
    client.Close();
    EXPECT_EQ(server.Stop(), 1);

    ASSERT_TRUE(WriteFile(server.Path("posts/77.spare"), "127.0.0.1\r\n1\r\n" + Header("left spare") +
                                                             "Message-ID: <spare@post.test>\r\n\r\nbody\r\n"));
    server.SetScript(RestartScript());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(server.Path("posts/77.spare")); }));
    Connect(server, client);
    ASSERT_EQ(Post(client, Header("after restart") + "\r\nbody"), "240 got it");
    ASSERT_FALSE(WaitForSubject(client, "after restart").empty());
    EXPECT_EQ(client.Command("STAT <spare@post.test>").substr(0, 3), "430");
    client.Close();
    EXPECT_EQ(server.Stop(), 1);
}

TEST(Post, ModeratedGroupWithoutApprovedGoesToItsModerationDirectory)
{
    TestServer server;
    server.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    NntpClient client;
    Connect(server, client);
    EXPECT_EQ(Post(client, Header("for the moderator", "misc.test,mod.group") + "\r\nbody"), "240 got it");
    ASSERT_TRUE(server.WaitForLog("to moderated mod.group without Approved: moved to moderation/mod.group/"));
    const std::vector<std::string> held = FilesIn(server.Path("posts/moderation/mod.group"));
    ASSERT_EQ(held.size(), 1u);
    EXPECT_NE(ReadFile(server.Path("posts/moderation/mod.group/" + held[0])).find("Subject: for the moderator\r\n"),
              std::string::npos);
    EXPECT_EQ(Post(client, Header("approved", "mod.group") + "Approved: moderator@example.org\r\n\r\nbody"),
              "240 got it");
    EXPECT_FALSE(WaitForSubject(client, "approved", "mod.group").empty());
    for (const auto& [number, line] : Overview(client))
        EXPECT_EQ(line.find("for the moderator"), std::string::npos) << line;
    EXPECT_TRUE(FilesIn(server.Path("posts")).empty());
    client.Close();
    EXPECT_EQ(server.Stop(), 1);
}

TEST(Post, PostIsFedToASecondInstance)
{
    TestServer a, b;
    a.SetConfig("HostPathIdentifier", "verdalix.a");
    b.SetConfig("HostPathIdentifier", "verdalix.b");
    a.SetConfig("FeedRetryDelay", "1");
    a.SetScript(Script("CreateSite b\nSetSite b hostname 127.0.0.1\nSetSite b port " + std::to_string(b.Port()) +
                       "\nSetSite b connections 1\n"));
    b.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(b));
    ASSERT_NO_FATAL_FAILURE(Start(a));
    NntpClient poster, reader;
    Connect(a, poster);
    Connect(b, reader);
    ASSERT_EQ(Post(poster, Header("travels") + "\r\nbody"), "240 got it");
    const std::string line = WaitForSubject(reader, "travels");
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(reader.Command("HEAD " + Field(line, 4)).substr(0, 3), "221");
    std::string head;
    for (const std::string& header : reader.ReadMultiline())
        head += header + "\n";
    EXPECT_NE(head.find("Path: verdalix.b!verdalix.a!.POSTED!not-for-mail\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Injection-Info: verdalix.a; "), std::string::npos) << head;
    poster.Close();
    reader.Close();
    EXPECT_EQ(a.Stop(), 1);
    EXPECT_EQ(b.Stop(), 1);
}

TEST(Post, TwentyConcurrentPostersPostFiftyEachAndEveryArticleAppearsOnce)
{
    constexpr int kPosters = 20;
    constexpr int kPosts = 50;
    TestServer server;
    server.SetConfig("SiteDefaultMaxIncomingConnections", "30");
    server.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
        posters.emplace_back([&, p] {
            NntpClient client(120);
            Connect(server, client);
            for (int i = 0; i < kPosts && client.Connected(); ++i)
                EXPECT_EQ(
                    Post(client, Header("poster " + std::to_string(p) + " post " + std::to_string(i)) + "\r\nbody"),
                    "240 got it");
        });
    for (std::thread& poster : posters)
        poster.join();
    NntpClient reader(120);
    Connect(server, reader);
    std::map<long, std::string> lines;
    EXPECT_TRUE(WaitUntil([&] { return (lines = Overview(reader)).size() >= kPosters * kPosts; }, 120)) << lines.size();
    std::multiset<std::string> subjects, ids;
    for (const auto& [number, line] : lines) {
        subjects.insert(Field(line, 1));
        ids.insert(Field(line, 4));
    }
    for (int p = 0; p < kPosters; ++p)
        for (int i = 0; i < kPosts; ++i)
            EXPECT_EQ(subjects.count("poster " + std::to_string(p) + " post " + std::to_string(i)), 1u);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
    EXPECT_EQ(lines.size(), static_cast<size_t>(kPosters * kPosts));
    reader.Close();
    EXPECT_EQ(server.Stop(), 1);
}

namespace {

// Puts the faults of the text in force and waits until the server has them.
void SetFaults(TestServer& server, const std::string& text, int change)
{
    ASSERT_TRUE(WriteFile(server.Path("faults"), text));
    ASSERT_TRUE(server.WaitForLog("file faults (change " + std::to_string(change) + "): "));
}

void Kill(TestServer& server)
{
    server.Signal(SIGKILL);
    EXPECT_EQ(server.WaitForExit(), 128 + SIGKILL);
}

size_t CountSubject(NntpClient& client, const std::string& subject)
{
    size_t count = 0;
    for (const auto& [number, line] : Overview(client))
        count += Field(line, 1) == subject ? 1 : 0;
    return count;
}

}  // namespace

// The store cannot take the post, so it is still queued when the server is
// killed; after the restart it goes in once.
TEST(Post, PostQueuedWhenKilledIsInjectedOnceAfterRestart)
{
    TestServer server;
    server.AddEnvironment("VERDALIX_FILE_FAULTS=" + server.Path("faults"));
    server.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    SetFaults(server, "stores/ write ENOSPC\n", 1);
    {
        NntpClient client;
        Connect(server, client);
        ASSERT_EQ(Post(client, Header("survives a kill") + "\r\nbody"), "240 got it");
        ASSERT_TRUE(server.WaitForLog("article: Write failed"));
        EXPECT_EQ(FilesIn(server.Path("posts")).size(), 1u);
    }
    Kill(server);
    ASSERT_TRUE(WriteFile(server.Path("faults"), ""));
    server.SetScript(RestartScript());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    NntpClient reader;
    Connect(server, reader);
    EXPECT_FALSE(WaitForSubject(reader, "survives a kill").empty());
    EXPECT_EQ(CountSubject(reader, "survives a kill"), 1u);
    EXPECT_TRUE(FilesIn(server.Path("posts")).empty());
    reader.Close();
    EXPECT_EQ(server.Stop(), 1);
}

// Killed after the article was stored but before its file went: the second
// injection is refused as a duplicate, and the article is there once.
TEST(Post, PostStoredButNotRemovedWhenKilledIsNotStoredTwice)
{
    TestServer server;
    server.AddEnvironment("VERDALIX_FILE_FAULTS=" + server.Path("faults"));
    server.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    SetFaults(server, "posts/ rename EIO\n", 1);
    {
        NntpClient client;
        Connect(server, client);
        ASSERT_EQ(Post(client, Header("stored before the kill") + "\r\nbody"), "240 got it");
        EXPECT_FALSE(WaitForSubject(client, "stored before the kill").empty());
        ASSERT_TRUE(server.WaitForLog("but not removed: a second injection will be refused"));
        EXPECT_EQ(FilesIn(server.Path("posts")).size(), 1u);
    }
    Kill(server);
    ASSERT_TRUE(WriteFile(server.Path("faults"), ""));
    server.SetScript(RestartScript());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    ASSERT_TRUE(server.WaitForLog("moved to bad/"));
    EXPECT_NE(server.LogText().find("refused: duplicate Message-ID"), std::string::npos);
    NntpClient reader;
    Connect(server, reader);
    EXPECT_EQ(CountSubject(reader, "stored before the kill"), 1u);
    EXPECT_TRUE(FilesIn(server.Path("posts")).empty());
    EXPECT_EQ(FilesIn(server.Path("posts/bad")).size(), 1u);
    reader.Close();
    EXPECT_EQ(server.Stop(), 1);
}

// Posts left by a run that queued them for an outside program are injected
// at the next start with injection on: a Message-ID is made from the file,
// and a post that fails the checks goes to bad/.
TEST(Post, PostsQueuedWithoutInjectionAreInjectedAtTheNextStart)
{
    TestServer server;
    server.SetConfig("InjectPosts", "0");
    server.SetScript(Script());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    {
        NntpClient client;
        Connect(server, client);
        ASSERT_EQ(Post(client, Header("queued earlier") + "\r\nbody"), "240 got it");
        ASSERT_EQ(Post(client, "Newsgroups: misc.test\r\nSubject: no sender\r\n\r\nbody"), "240 got it");
    }
    EXPECT_EQ(server.Stop(), 1);
    ASSERT_EQ(FilesIn(server.Path("posts")).size(), 2u);
    server.SetConfig("InjectPosts", "1");
    server.SetScript(RestartScript());
    ASSERT_NO_FATAL_FAILURE(Start(server));
    NntpClient reader;
    Connect(server, reader);
    const std::string line = WaitForSubject(reader, "queued earlier");
    ASSERT_FALSE(line.empty());
    EXPECT_NE(Field(line, 4).find("@verdalix.test>"), std::string::npos) << line;
    ASSERT_TRUE(server.WaitForLog("refused: missing From header; moved to bad/"));
    EXPECT_TRUE(FilesIn(server.Path("posts")).empty());
    EXPECT_EQ(FilesIn(server.Path("posts/bad")).size(), 1u);
    reader.Close();
    EXPECT_EQ(server.Stop(), 1);
}

namespace {

std::string Cancel(const std::string& from, const std::string& id)
{
    return "From: " + from + "\r\nNewsgroups: misc.test\r\nSubject: cmsg cancel " + id + "\r\nControl: cancel " + id +
           "\r\n\r\ncancel";
}

std::string Status(NntpClient& client, const std::string& command)
{
    std::string reply = client.Command(command);
    if (reply.substr(0, 3) == "220")
        client.ReadMultiline();
    return reply.substr(0, 3);
}

}  // namespace

// By default a reader's cancel removes any article; with RestrictCancels a
// reader's cancel needs the article's own From: address, and a feeding
// peer's cancel still acts.
TEST(Post, RestrictedCancelsNeedTheSameFromUnlessAPeerFedThem)
{
    for (const char* restrict : {"0", "1"}) {
        SCOPED_TRACE(std::string("RestrictCancels ") + restrict);
        TestServer server;
        server.SetConfig("RestrictCancels", restrict);
        server.SetScript(Script());
        ASSERT_NO_FATAL_FAILURE(Start(server));
        NntpClient client;
        ASSERT_NO_FATAL_FAILURE(Connect(server, client));
        ASSERT_EQ(Post(client, Header("to be cancelled") + "Message-ID: <victim@post.test>\r\n\r\nbody"), "240 got it");
        ASSERT_TRUE(WaitUntil([&] { return Status(client, "ARTICLE <victim@post.test>") == "220"; }));
        ASSERT_EQ(Post(client, Cancel("Someone Else <else@example.org>", "<victim@post.test>")), "240 got it");
        if (restrict[0] == '1') {
            ASSERT_TRUE(server.WaitForLog("may not remove another poster's article (RestrictCancels)"));
            EXPECT_EQ(Status(client, "ARTICLE <victim@post.test>"), "220");
            ASSERT_EQ(Post(client, Cancel("The Poster <POSTER@example.org>", "<victim@post.test>")), "240 got it");
        }
        EXPECT_TRUE(WaitUntil([&] { return Status(client, "ARTICLE <victim@post.test>") == "430"; }));

        ASSERT_EQ(OfferWithIhave(client, "<fed@post.test>"), "235 Got it");
        EXPECT_EQ(client.Command("IHAVE <cancel@post.test>"), "335 Send it");
        client.Send("Path: peer.example!someone\r\nMessage-ID: <cancel@post.test>\r\n" + DateLine(0) +
                    Cancel("else@example.org", "<fed@post.test>") + "\r\n.\r\n");
        EXPECT_EQ(client.ReadLine(), "235 Got it");
        EXPECT_EQ(Status(client, "ARTICLE <fed@post.test>"), "430");
        client.Close();
        EXPECT_EQ(server.Stop(), 1);
    }
}
