// End-to-end: a news reader walking groups on a server fed by IHAVE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::NntpClient;
using verdalix_test::TestServer;
using verdalix_test::WireArticle;

namespace {

std::string Script(uint32_t storeMegabytes)
{
    return "CreateArtStore 0 @DIR@/stores * " + std::to_string(storeMegabytes) +
           " 100\n"
           "CreateGroup alt.test 0 1 y 1\n"
           "CreateGroup alt.empty 1 1 y 1\n"
           "CreateGroup misc.other 2 1 y 1\n"
           "ActiveInit\n"
           "AddIncoming 127.0.0.1\n"
           "SetIncoming 127.0.0.1 rights 7\n"
           "AcceptConnections\n";
}

void StartServer(TestServer& server, uint32_t storeMegabytes = 10)
{
    server.SetConfig("ActiveFile", "@DIR@/groups/active");
    server.SetScript(Script(storeMegabytes));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
}

// "<a<n>@reader.test>"
std::string Id(int n)
{
    return "<a" + std::to_string(n) + "@reader.test>";
}

// Offers an article by IHAVE; true when the server took it.
bool Feed(NntpClient& feeder, const std::string& id, const std::string& groups, const std::string& subject,
          const std::string& extra = "", const std::string& body = "body text\r\n")
{
    if (!feeder.Command("IHAVE " + id).starts_with("335"))
        return false;
    feeder.Send(WireArticle({.id = id, .groups = groups, .subject = subject, .extra = extra, .body = body}));
    return feeder.ReadLine().starts_with("235");
}

// Feeds articles 1..count to alt.test as numbers 2..count+1.
void FeedArticles(TestServer& server, int count)
{
    NntpClient feeder;
    ASSERT_TRUE(feeder.Connect(server.Port()));
    ASSERT_TRUE(feeder.ReadLine().starts_with("200"));
    for (int n = 1; n <= count; ++n)
        ASSERT_TRUE(Feed(feeder, Id(n), n == 1 ? "alt.test,misc.other" : "alt.test", "subject " + std::to_string(n)));
}

// A reader connection with its greeting read.
struct Reader {
    explicit Reader(TestServer& server)
    {
        EXPECT_TRUE(client.Connect(server.Port()));
        EXPECT_TRUE(client.ReadLine().starts_with("200"));
    }
    // The status line and, for a multi-line answer, the lines after it.
    std::vector<std::string> Multi(const std::string& command)
    {
        std::vector<std::string> lines{client.Command(command)};
        std::vector<std::string> rest = client.ReadMultiline();
        lines.insert(lines.end(), rest.begin(), rest.end());
        return lines;
    }
    // The numbers (first fields) of a multi-line answer.
    std::vector<std::string> Numbers(const std::string& command)
    {
        std::vector<std::string> lines = Multi(command), numbers;
        for (size_t i = 1; i < lines.size(); ++i)
            numbers.push_back(lines[i].substr(0, lines[i].find_first_of("\t ")));
        return numbers;
    }
    NntpClient client;
};

using Lines = std::vector<std::string>;

TEST(ReaderEndToEnd, SelectingAndFetching)
{
    TestServer server;
    server.SetConfig("NewgroupsFile", "@DIR@/groups/newgroups");
    ASSERT_TRUE(verdalix_test::WriteFile(server.Path("groups/newgroups"),
                                         "#915148800\nmisc.other\n#946684800\nalt.test\nno.such.group\n"));
    StartServer(server);
    FeedArticles(server, 5);
    Reader r(server);
    NntpClient& c = r.client;

    // By message-ID with no group selected; by number it needs one.
    Lines article = r.Multi("ARTICLE " + Id(3));
    ASSERT_EQ(article[0], "220 0 " + Id(3) + " article retrieved - head and body follow");
    EXPECT_EQ(article.back(), "body text");
    EXPECT_EQ(c.Command("ARTICLE 3"), "412 no newsgroup has been selected");
    EXPECT_EQ(c.Command("XOVER"), "412 no newsgroup has been selected");

    EXPECT_EQ(c.Command("GROUP alt.empty"), "211 0 1 1 alt.empty group selected");
    EXPECT_EQ(c.Command("group  alt.test"), "411 no such group");
    EXPECT_EQ(c.Command("GROUP alt.test"), "211 6 1 6 alt.test group selected");
    EXPECT_EQ(c.Command("ARTICLE"), "423 article not found");
    EXPECT_EQ(c.Command("NEXT"), "223 2 " + Id(1));
    EXPECT_EQ(r.Multi("ARTICLE")[0], "220 2 " + Id(1) + " article retrieved - head and body follow");
    EXPECT_EQ(c.Command("ARTICLE 17"), "423 article not found");
    EXPECT_EQ(c.Command("STAT " + Id(5)), "223 0 " + Id(5));
    EXPECT_EQ(c.Command("STAT"), "223 2 " + Id(1));
    EXPECT_EQ(r.Multi("HEAD 4")[0], "221 4 " + Id(3) + " article retrieved - header follows");
    EXPECT_EQ(r.Multi("BODY")[0], "222 4 " + Id(3) + " article retrieved - body follows");
    EXPECT_EQ(c.Command("LAST"), "223 3 " + Id(2));

    EXPECT_EQ(r.Numbers("XOVER 4"), (Lines{"4"}));
    EXPECT_EQ(r.Numbers("XOVER 5-"), (Lines{"5", "6"}));
    EXPECT_EQ(r.Numbers("XOVER 0-3"), (Lines{"2", "3"}));
    EXPECT_EQ(r.Multi("XOVER 5-3"), (Lines{"224 Overview information follows"}));
    Lines xover = r.Multi("XOVER 2");
    ASSERT_EQ(xover.size(), 2u);
    EXPECT_EQ(xover[1].substr(0, 12), "2\tsubject 1\t");
    EXPECT_NE(xover[1].find("\t" + Id(1) + "\t"), std::string::npos);
    EXPECT_EQ(r.Multi("XHDR subject 3-4"), (Lines{"221 Overview information follows", "3 subject 2", "4 subject 3"}));
    EXPECT_EQ(r.Numbers("LISTGROUP"), (Lines{"2", "3", "4", "5", "6"}));
    Lines dump = r.Multi("lgs misc.other");
    ASSERT_EQ(dump.size(), 4u);
    EXPECT_EQ(dump[0], "200");
    EXPECT_EQ(dump[1].substr(0, 14), "start=1,end=2,");
    EXPECT_EQ(dump[2].substr(0, 8), "200 key=");
    EXPECT_EQ(dump[3], "2");
    EXPECT_EQ(c.Command("XPATH 2").substr(0, 8), "200 key=");
    EXPECT_EQ(c.Command("XPATH " + Id(1)), "501 Syntax error");

    Lines list = r.Multi("LIST");
    EXPECT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0], "215 heres what I got");
    Lines active = r.Multi("LIST ACTIVE alt.*");
    ASSERT_EQ(active.size(), 3u);
    EXPECT_EQ(active[1].substr(0, 9), "alt.test ");
    EXPECT_EQ(active[2].substr(0, 10), "alt.empty ");
    EXPECT_EQ(r.Multi("LIST NEWSGROUPS"), (Lines{"215 descriptions follow"}));
    EXPECT_EQ(c.Command("LIST NOSUCH"), "500 invalid command");
    EXPECT_EQ(r.Multi("NEWGROUPS 990101 000000 GMT"), (Lines{"231", "alt.test 6 1 y"}));
    EXPECT_EQ(c.Command("NEWGROUPS 990101"), "501 Syntax error");

    EXPECT_EQ(c.Command("GROUP misc.other"), "211 2 1 2 misc.other group selected");
    c.Command("QUIT");
    ASSERT_TRUE(server.WaitForLog("GROUP misc.other 127.0.0.1:"));
    std::string log = server.LogText();
    size_t done = log.find("GROUPDONE article 4 xover 5 next 1 127.0.0.1:");
    ASSERT_NE(done, std::string::npos);
    EXPECT_LT(log.find("GROUP alt.test 127.0.0.1:"), done);
    EXPECT_LT(done, log.find("GROUP misc.other 127.0.0.1:"));
    EXPECT_EQ(server.Stop(), 1);
}

TEST(ReaderEndToEnd, CancelledArticlesDisappear)
{
    TestServer server;
    StartServer(server);
    FeedArticles(server, 4);
    Reader r(server);
    NntpClient& c = r.client;
    ASSERT_TRUE(Feed(c, "<cancel2@reader.test>", "alt.test", "cmsg cancel", "Control: cancel " + Id(2) + "\r\n"));
    ASSERT_TRUE(Feed(c, "<cancel3@reader.test>", "alt.test", "cmsg cancel", "Control: cancel " + Id(3) + "\r\n"));
    EXPECT_EQ(c.Command("ARTICLE " + Id(2)), "430 article not found");
    EXPECT_EQ(c.Command("GROUP alt.test"), "211 5 1 5 alt.test group selected");
    EXPECT_EQ(c.Command("ARTICLE 3"), "423 article not found");
    EXPECT_EQ(c.Command("STAT 2"), "223 2 " + Id(1));
    // Article 3 was toasted by the fetch, article 4 is toasted on the way.
    EXPECT_EQ(c.Command("NEXT"), "223 5 " + Id(4));
    EXPECT_EQ(r.Numbers("LISTGROUP"), (Lines{"2", "5"}));
    EXPECT_EQ(r.Numbers("XOVER 1-"), (Lines{"2", "5"}));
    c.Close();
    EXPECT_EQ(server.Stop(), 1);
}

TEST(ReaderEndToEnd, OverwrittenArticlesAreToasted)
{
    TestServer server;
    StartServer(server, 3);  // wraps after about 1 MB
    NntpClient feeder;
    ASSERT_TRUE(feeder.Connect(server.Port()));
    ASSERT_TRUE(feeder.ReadLine().starts_with("200"));
    std::string big;
    for (int i = 0; i < 1000; ++i)
        big += std::string(98, 'x') + "\r\n";
    for (int n = 1; n <= 14; ++n)
        ASSERT_TRUE(Feed(feeder, Id(n), "alt.test", "big " + std::to_string(n), "", big)) << n;
    Reader r(server);
    NntpClient& c = r.client;
    EXPECT_EQ(c.Command("ARTICLE " + Id(1)), "430 article not found");
    EXPECT_EQ(c.Command("GROUP alt.test"), "211 15 1 15 alt.test group selected");
    EXPECT_EQ(c.Command("ARTICLE 2"), "423 article not found");
    EXPECT_EQ(c.Command("STAT 2"), "423 article not found");
    EXPECT_EQ(r.Multi("ARTICLE 15")[0], "220 15 " + Id(14) + " article retrieved - head and body follow");
    // Walks and listings pass over what the fetches toasted; overview lines
    // of overwritten articles are left out.
    EXPECT_EQ(r.Multi("XOVER 3"), (Lines{"224 Overview information follows"}));
    std::vector<std::string> numbers = r.Numbers("LISTGROUP");
    ASSERT_EQ(numbers.size(), 13u);
    EXPECT_EQ(numbers.front(), "3");
    EXPECT_EQ(numbers.back(), "15");
    c.Close();
    feeder.Close();
    EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
