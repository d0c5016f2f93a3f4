// End-to-end: the standard reader commands and argument forms, over a raw
// socket where a library client would hide the reply codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::NntpClient;
using verdalix_test::TestServer;

namespace {

using Lines = std::vector<std::string>;

// alt.test numbers from 2, big.numbers from 1234567891 (ten digits).
constexpr const char* kScript = "CreateArtStore 0 @DIR@/stores * 10 100\n"
                                "CreateGroup alt.test 0 1 y 1\n"
                                "CreateGroup alt.empty 1 1 y 1\n"
                                "CreateGroup misc.other 2 1 n 1\n"
                                "CreateGroup big.numbers 3 1 y 1234567890\n"
                                "ActiveInit\n"
                                "AddIncoming 127.0.0.1\n"
                                "SetIncoming 127.0.0.1 rights 7\n"
                                "AddIncoming 127.0.0.2\n"
                                "SetIncoming 127.0.0.2 rights 1\n"
                                "AcceptConnections\n";

// A greeted connection with the commands the tests use.
class Session {
public:
    explicit Session(const TestServer& server, const char* source = nullptr)
    {
        EXPECT_TRUE(client_.Connect(server.Port(), source));
        EXPECT_TRUE(client_.ReadLine().starts_with("200"));
    }
    std::string Command(const std::string& line) { return client_.Command(line); }
    // The status line and, unless it is a refusal, the block after it.
    Lines Multi(const std::string& line)
    {
        Lines lines{client_.Command(line)};
        if (lines[0].starts_with('1') || lines[0].starts_with('2')) {
            Lines rest = client_.ReadMultiline();
            lines.insert(lines.end(), rest.begin(), rest.end());
        }
        return lines;
    }
    // Offers an article by IHAVE; true when taken.
    bool Feed(const std::string& id, const std::string& groups, const std::string& extra = "")
    {
        if (!client_.Command("IHAVE " + id).starts_with("335"))
            return false;
        client_.Send(verdalix_test::WireArticle({.id = id,
                                                 .from = "someone@rfc.test",
                                                 .groups = groups,
                                                 .subject = "about " + id,
                                                 .extra = extra,
                                                 .body = "body of " + id + "\r\n"}));
        return client_.ReadLine().starts_with("235");
    }

private:
    NntpClient client_;
};

// "yyyymmdd hhmmss" of now plus `seconds`, in GMT.
std::string NntpTime(long seconds)
{
    std::time_t when = std::time(nullptr) + seconds;
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d %H%M%S", &parts);
    return text;
}

// Field `index` of a TAB-separated line.
std::string Field(const std::string& line, int index)
{
    size_t start = 0;
    for (int i = 0; i < index && start != std::string::npos; ++i)
        start = line.find('\t', start) + 1;
    return line.substr(start, line.find('\t', start) - start);
}

class Rfc3977 : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_.SetConfig("ActiveFile", "@DIR@/groups/active");
        server_.SetConfig("NewgroupsFile", "@DIR@/groups/newgroups");
        ASSERT_TRUE(verdalix_test::WriteFile(server_.Path("groups/newgroups"),
                                             "#946684800\nalt.test\nno.such.group\n#1000000000\nmisc.other\n"));
        server_.SetConfig("GroupDescriptionsFile", "@DIR@/groups/descriptions");
        ASSERT_TRUE(verdalix_test::WriteFile(server_.Path("groups/descriptions"),
                                             "alt.test\tTesting, alternatively\nmisc.other\tOther things\n"
                                             "\tno name\nbig.numbers\tLarge numbers\n.dotted\tA dotted name\n"));
        server_.SetScript(kScript);
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(server_.WaitForListening());
        Session feeder(server_);
        for (int n = 1; n <= 4; ++n)
            ASSERT_TRUE(feeder.Feed(Id(n), "alt.test,big.numbers", n == 2 ? "X-Tag: two\r\n" : ""));
    }
    void TearDown() override { EXPECT_EQ(server_.Stop(), 1); }
    static std::string Id(int n) { return "<r" + std::to_string(n) + "@rfc.test>"; }

    TestServer server_;
};

TEST_F(Rfc3977, MessageIdFormsLookTheArticleUp)
{
    Session r(server_);
    // No group is needed by message-ID, and the current article stays.
    EXPECT_EQ(r.Command("STAT " + Id(3)), "223 0 " + Id(3));
    EXPECT_EQ(r.Command("STAT <none@rfc.test>"), "430 article not found");
    EXPECT_EQ(r.Command("STAT 2"), "412 no newsgroup has been selected");
    EXPECT_EQ(r.Command("GROUP alt.test"), "211 5 1 5 alt.test group selected");
    EXPECT_EQ(r.Command("STAT 3"), "223 3 " + Id(2));
    EXPECT_EQ(r.Command("STAT " + Id(4)), "223 0 " + Id(4));
    EXPECT_EQ(r.Command("STAT"), "223 3 " + Id(2));
    EXPECT_EQ(r.Command("STAT <none@rfc.test>"), "430 article not found");
    EXPECT_EQ(r.Command("STAT <unclosed"), "501 Syntax error");
    EXPECT_EQ(r.Command("NEXT"), "223 4 " + Id(3));
    for (auto [command, code] : {std::pair{"ARTICLE ", "220 0 "}, {"HEAD ", "221 0 "}, {"BODY ", "222 0 "}}) {
        EXPECT_EQ(r.Command(command + std::string("<none@rfc.test>")), "430 article not found") << command;
        EXPECT_TRUE(r.Multi(command + Id(1))[0].starts_with(code + Id(1) + " ")) << command;
    }
    EXPECT_EQ(r.Command("STAT"), "223 4 " + Id(3));
}

TEST_F(Rfc3977, ArticleNumbersAreReadWhole)
{
    Session r(server_);
    EXPECT_EQ(r.Command("GROUP big.numbers"), "211 5 1234567890 1234567894 big.numbers group selected");
    EXPECT_EQ(r.Command("STAT 1234567892"), "223 1234567892 " + Id(2));
    // Leading zeros and surrounding blanks change nothing.
    EXPECT_EQ(r.Command("STAT 0001234567893"), "223 1234567893 " + Id(3));
    EXPECT_EQ(r.Multi("ARTICLE  01234567894 ")[0],
              "220 1234567894 " + Id(4) + " article retrieved - head and body follow");
    // The first seven digits are another article number, not this one.
    EXPECT_EQ(r.Command("STAT 1234567"), "423 article not found");
    EXPECT_EQ(r.Command("STAT 12345678"), "423 article not found");
    EXPECT_EQ(r.Command("STAT 2147483647"), "423 article not found");
    for (const char* bad : {"STAT 2147483648", "ARTICLE 12345678901", "HEAD 99999999999999999999", "BODY 1234567892x",
                            "XOVER 1234567892-1234567893y", "XOVER 1-2147483648"})
        EXPECT_EQ(r.Command(bad), "501 Syntax error") << bad;
    EXPECT_EQ(r.Command("STAT"), "223 1234567894 " + Id(4));
    Lines over = r.Multi("XOVER 1234567893-01234567894");
    ASSERT_EQ(over.size(), 3u);
    EXPECT_EQ(over[1].substr(0, 11), "1234567893\t");
    EXPECT_EQ(over[2].substr(0, 11), "1234567894\t");
}

TEST_F(Rfc3977, NewgroupsTakesFourDigitYears)
{
    Session r(server_);
    EXPECT_EQ(r.Multi("NEWGROUPS 19991231 235959 GMT"), (Lines{"231", "alt.test 5 1 y", "misc.other 1 1 n"}));
    EXPECT_EQ(r.Multi("NEWGROUPS 20010909 014640"), (Lines{"231"}));
    EXPECT_EQ(r.Command("NEWGROUPS 2000011 000000"), "501 Syntax error");
}

TEST_F(Rfc3977, OverAndHdrRefuseBeforeTheirFirstLine)
{
    Session r(server_);
    EXPECT_EQ(r.Command("OVER 1-5"), "412 no newsgroup has been selected");
    EXPECT_EQ(r.Command("HDR Subject"), "412 no newsgroup has been selected");
    EXPECT_EQ(r.Command("OVER <none@rfc.test>"), "430 article not found");
    EXPECT_EQ(r.Command("HDR Subject <none@rfc.test>"), "430 article not found");
    // By message-ID the article number is 0 and no group is needed.
    Lines byId = r.Multi("OVER " + Id(2));
    ASSERT_EQ(byId.size(), 2u);
    EXPECT_EQ(byId[0], "224 Overview information follows");
    EXPECT_TRUE(byId[1].starts_with("0\tabout " + Id(2) + "\tsomeone@rfc.test\t")) << byId[1];
    EXPECT_EQ(r.Multi("HDR X-Tag " + Id(2)), (Lines{"225 Headers follow", "0 two"}));
    EXPECT_EQ(r.Multi("HDR X-Tag " + Id(3)), (Lines{"225 Headers follow", "0 "}));
    EXPECT_EQ(r.Multi("HDR message-id " + Id(3)), (Lines{"225 Headers follow", "0 " + Id(3)}));

    EXPECT_EQ(r.Command("GROUP alt.empty"), "211 0 1 1 alt.empty group selected");
    EXPECT_EQ(r.Command("OVER"), "420 no current article selected");
    EXPECT_EQ(r.Command("HDR Subject"), "420 no current article selected");
    EXPECT_EQ(r.Command("GROUP alt.test"), "211 5 1 5 alt.test group selected");
    EXPECT_EQ(r.Command("OVER 6-9"), "423 no articles in that range");
    EXPECT_EQ(r.Command("OVER 4-3"), "423 no articles in that range");
    EXPECT_EQ(r.Command("HDR Subject 1"), "423 no articles in that range");
    EXPECT_EQ(r.Command("OVER 2147483648"), "501 Syntax error");
    EXPECT_EQ(r.Command("HDR"), "501 Syntax error");
    // XOVER keeps its empty answers.
    EXPECT_EQ(r.Multi("XOVER 6-9"), (Lines{"224 Overview information follows"}));
}

TEST_F(Rfc3977, OverAndHdrServeRangesAndTheCurrentArticle)
{
    Session r(server_);
    EXPECT_EQ(r.Command("GROUP alt.test"), "211 5 1 5 alt.test group selected");
    Lines over = r.Multi("OVER 3-");
    Lines xover = r.Multi("XOVER 3-");
    EXPECT_EQ(over, xover);
    ASSERT_EQ(over.size(), 4u);
    EXPECT_TRUE(over[1].starts_with("3\tabout " + Id(2) + "\t")) << over[1];
    EXPECT_NE(over[3].find("\tXref: "), std::string::npos) << over[3];
    EXPECT_EQ(r.Command("STAT 3"), "223 3 " + Id(2));
    EXPECT_EQ(r.Multi("OVER"), (Lines{"224 Overview information follows", over[1]}));

    // An absent header gives an empty value; overview fields and the
    // counts come from the overview.
    EXPECT_EQ(r.Multi("HDR x-tag 2-5"), (Lines{"225 Headers follow", "2 ", "3 two", "4 ", "5 "}));
    EXPECT_EQ(r.Multi("HDR Subject"), (Lines{"225 Headers follow", "3 about " + Id(2)}));
    EXPECT_EQ(r.Multi("HDR Subject: 0-3"), (Lines{"225 Headers follow", "2 about " + Id(1), "3 about " + Id(2)}));
    Lines bytes = r.Multi("HDR :bytes 4");
    ASSERT_EQ(bytes.size(), 2u);
    EXPECT_EQ(bytes[1], "4 " + Field(over[2], 6));
    EXPECT_EQ(r.Multi("HDR :lines 4"), (Lines{"225 Headers follow", "4 " + Field(over[2], 7)}));
    Lines xref = r.Multi("HDR Xref 5");
    ASSERT_EQ(xref.size(), 2u);
    EXPECT_TRUE(xref[1].starts_with("5 ")) << xref[1];
    EXPECT_NE(xref[1].find(" alt.test:5"), std::string::npos) << xref[1];
    EXPECT_EQ(xref[1].find("Xref:"), std::string::npos) << xref[1];

    EXPECT_EQ(r.Multi("LIST OVERVIEW.FMT"),
              (Lines{"215 Order of fields in overview database.",
                     "Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes", ":lines", "Xref:full"}));
    EXPECT_EQ(r.Multi("LIST HEADERS"), (Lines{"215 Field list follows", ":", ":bytes", ":lines"}));
    EXPECT_EQ(r.Multi("list headers range"), (Lines{"215 Field list follows", ":", ":bytes", ":lines"}));
}

TEST_F(Rfc3977, ListKeywordsAndWildmats)
{
    Session r(server_);
    EXPECT_EQ(r.Multi("LIST NEWSGROUPS"),
              (Lines{"215 descriptions follow", "alt.test\tTesting, alternatively", "misc.other\tOther things",
                     "big.numbers\tLarge numbers", ".dotted\tA dotted name"}));
    EXPECT_EQ(r.Multi("list newsgroups *.*,!misc.*,!.*"),
              (Lines{"215 descriptions follow", "alt.test\tTesting, alternatively", "big.numbers\tLarge numbers"}));
    EXPECT_EQ(r.Multi("LIST ACTIVE.TIMES"), (Lines{"215 information follows", "alt.test 946684800 verdalix.test",
                                                   "misc.other 1000000000 verdalix.test"}));
    EXPECT_EQ(
        r.Multi("LIST ACTIVE.TIMES !alt.*,*"),
        (Lines{"215 information follows", "alt.test 946684800 verdalix.test", "misc.other 1000000000 verdalix.test"}));
    EXPECT_EQ(r.Multi("LIST ACTIVE.TIMES *,!alt.*"),
              (Lines{"215 information follows", "misc.other 1000000000 verdalix.test"}));
    EXPECT_EQ(r.Multi("LIST DISTRIB.PATS"), (Lines{"215 information follows"}));
    EXPECT_EQ(r.Command("LIST NOSUCH"), "500 invalid command");

    // LIST ACTIVE with a negation; the marks are the ones GROUP shows now.
    Lines active = r.Multi("LIST ACTIVE *,!alt.*,alt.test");
    EXPECT_EQ(active, (Lines{"215 heres what I got", "alt.test 000000005 000000001 y",
                             "misc.other 000000001 000000001 n", "big.numbers 999999999 999999999 y"}));
    EXPECT_EQ(r.Multi("LIST ACTIVE alt.e*,misc.*"),
              (Lines{"215 heres what I got", "alt.empty 000000001 000000001 y", "misc.other 000000001 000000001 n"}));
    EXPECT_EQ(r.Multi("LIST ACTIVE !*"), (Lines{"215 heres what I got"}));
}

TEST_F(Rfc3977, NewnewsListsArrivalsInTheWildmatsGroups)
{
    Session r(server_);
    const Lines all{"230 list of new articles follows", Id(1), Id(2), Id(3), Id(4)};
    EXPECT_EQ(r.Multi("NEWNEWS * " + NntpTime(-3600) + " GMT"), all);
    EXPECT_EQ(r.Multi("NEWNEWS big.*,misc.* " + NntpTime(-3600).substr(2)), all);
    // Asked from before the window: the window's articles.
    EXPECT_EQ(r.Multi("NEWNEWS alt.test 19990101 000000"), all);
    EXPECT_EQ(r.Multi("NEWNEWS *,!alt.*,!big.* " + NntpTime(-3600)), (Lines{"230 list of new articles follows"}));
    EXPECT_EQ(r.Multi("NEWNEWS * " + NntpTime(3600)), (Lines{"230 list of new articles follows"}));
    ASSERT_TRUE(Session(server_).Feed("<late@rfc.test>", "misc.other"));
    EXPECT_EQ(r.Multi("NEWNEWS misc.* " + NntpTime(-60)),
              (Lines{"230 list of new articles follows", "<late@rfc.test>"}));
    EXPECT_EQ(r.Command("NEWNEWS * 2000011 000000"), "501 Syntax error");
    EXPECT_EQ(r.Command("NEWNEWS " + NntpTime(-60)), "501 Syntax error");
    EXPECT_EQ(r.Command("NEWNEWS"), "501 Syntax error");
    Lines capabilities = r.Multi("CAPABILITIES");
    EXPECT_NE(std::find(capabilities.begin(), capabilities.end(), "NEWNEWS"), capabilities.end());
}

TEST_F(Rfc3977, NewnewsCanBeTurnedOff)
{
    for (const char* setting : {"AllowNewnews", "NewnewsWindow"}) {
        server_.Stop();
        server_.SetConfig(setting, "0");
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(server_.WaitForListening());
        Session r(server_);
        EXPECT_EQ(r.Command("NEWNEWS * 19990101 000000"), "500 invalid command") << setting;
        Lines capabilities = r.Multi("CAPABILITIES");
        EXPECT_EQ(std::find(capabilities.begin(), capabilities.end(), "NEWNEWS"), capabilities.end()) << setting;
        Lines help = r.Multi("HELP");
        EXPECT_EQ(std::find_if(help.begin(), help.end(), [](auto& l) { return l.starts_with("  NEWNEWS"); }),
                  help.end())
            << setting;
    }
}

TEST_F(Rfc3977, CapabilitiesFollowTheConnectionsRights)
{
    Session reader(server_);
    Lines capabilities = reader.Multi("CAPABILITIES");
    ASSERT_GE(capabilities.size(), 4u);
    EXPECT_EQ(capabilities[0], "101 Capability list:");
    EXPECT_EQ(capabilities[1], "VERSION 2");
    for (const char* line : {"READER", "POST", "IHAVE", "OVER MSGID", "HDR",
                             "LIST ACTIVE ACTIVE.TIMES DISTRIB.PATS HEADERS NEWSGROUPS OVERVIEW.FMT"})
        EXPECT_NE(std::find(capabilities.begin(), capabilities.end(), line), capabilities.end()) << line;
    Lines help = reader.Multi("help");
    EXPECT_EQ(help[0], "100 Help text follows");
    EXPECT_NE(std::find(help.begin(), help.end(), "  LISTGROUP [newsgroup [range]]"), help.end());
    std::string date = reader.Command("DATE");
    ASSERT_EQ(date.size(), 18u) << date;
    EXPECT_TRUE(date.starts_with("111 20")) << date;

    // A feeding peer is offered what it may use, and no reader commands.
    Session feeder(server_, "127.0.0.2");
    capabilities = feeder.Multi("CAPABILITIES");
    EXPECT_EQ(capabilities,
              (Lines{"101 Capability list:", "VERSION 2", "IMPLEMENTATION Verdalix", "IHAVE", "STREAMING"}));
    help = feeder.Multi("HELP");
    EXPECT_NE(std::find(help.begin(), help.end(), "  IHAVE message-ID"), help.end());
    EXPECT_EQ(std::find(help.begin(), help.end(), "  GROUP newsgroup"), help.end());
    EXPECT_EQ(feeder.Command("DATE"), "500 invalid command");
}

TEST_F(Rfc3977, ListgroupTakesARange)
{
    Session r(server_);
    EXPECT_EQ(r.Multi("LISTGROUP alt.test 2-4"), (Lines{"211 5 1 5 alt.test list follows", "2", "3", "4"}));
    EXPECT_EQ(r.Multi("LISTGROUP alt.test 4-"), (Lines{"211 5 1 5 alt.test list follows", "4", "5"}));
    // Beyond the high mark the list is empty, the first line unchanged.
    EXPECT_EQ(r.Multi("LISTGROUP alt.test 6-900"), (Lines{"211 5 1 5 alt.test list follows"}));
    EXPECT_EQ(r.Multi("LISTGROUP alt.test 9"), (Lines{"211 5 1 5 alt.test list follows"}));
    EXPECT_EQ(r.Multi("LISTGROUP big.numbers 1234567893"),
              (Lines{"211 5 1234567890 1234567894 big.numbers list follows", "1234567893"}));
    EXPECT_EQ(r.Multi("LISTGROUP"), (Lines{"211 5 1234567890 1234567894 big.numbers list follows", "1234567891",
                                           "1234567892", "1234567893", "1234567894"}));
    EXPECT_EQ(r.Command("LISTGROUP alt.test 2-x"), "501 Syntax error");
    EXPECT_EQ(r.Command("LISTGROUP no.such 2-4"), "411 no such group");
}

}  // namespace
