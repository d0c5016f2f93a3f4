#include "feed/site.h"

#include <gtest/gtest.h>
#include <tcl.h>

#include <string>

#include "access/incoming.h"
#include "control/tcl_commands.h"
#include "feed/connection.h"

namespace {

const char* const kFreshConfig =
    "{news1 {{parameters {{hostname {(not set)}} {port 0} {maxqfiles 140} {connections 0} {realtime 1} "
    "{requeuesAllowed 0} {doStreaming 1} {dequeue {(none)}} {feedspec {(send all)}}}} "
    "{statistics {{accepts 0} {refused 0} {rejected 0} {requeues 0} {commandErrors 0} {articleq 0} "
    "{transmitq 0} {curSendFileName (none)} {transmitQOverflows 0} {missing 0}}} {connections {}}}}";

class Sites : public ::testing::Test {
protected:
    // The list is process-wide: every test starts without sites.
    void SetUp() override
    {
        while (siteHead != nullptr)
            ASSERT_EQ(SiteDelete(siteHead->name.c_str()), 1);
    }

    static std::string Config(const char* name) { return SiteGetConfig(name).value_or("<none>"); }
};

int DisconnectRequests(const Site* site)
{
    int count = 0;
    for (const Connection* c : site->connection)
        count += c != nullptr && c->disconnectRequested;
    return count;
}

int OccupiedSlots(const Site* site)
{
    int count = 0;
    for (const Connection* c : site->connection)
        count += c != nullptr;
    return count;
}

}  // namespace

TEST_F(Sites, ConfigurationTextOfFreshAndConfiguredSite)
{
    ASSERT_EQ(SiteCreate("news1"), 1);
    EXPECT_EQ(Config("NEWS1"), kFreshConfig);

    EXPECT_EQ(SiteSetParameter("news1", "HostName", "feed.example.net"), 1);
    EXPECT_EQ(SiteSetParameter("news1", "port", "119"), 1);
    EXPECT_EQ(SiteSetParameter("news1", "maxqfiles", "7"), 1);
    EXPECT_EQ(SiteSetParameter("news1", "connections", "2"), 1);
    EXPECT_EQ(SiteSetParameter("news1", "realtime", "0"), 1);
    EXPECT_EQ(SiteSetParameter("news1", "requeuesallowed", "1"), 1);
    EXPECT_EQ(SiteSetParameter("news1", "DOSTREAMING", "0"), 1);
    EXPECT_EQ(SiteSetParameter("news1", "feedspec", "comp.*,!comp.binaries.*"), 1);
    Site* site = SiteFind("news1");
    ASSERT_NE(site, nullptr);
    site->accepts = 5;
    site->missing = 2;
    site->connection[1]->outstanding = -3;
    site->connection[1]->errors = 4;
    site->connection[1]->streaming = 1;
    *site->articleQWrite++ = 'x';
    EXPECT_EQ(Config("news1"),
              "{news1 {{parameters {{hostname {feed.example.net}} {port 119} {maxqfiles 7} {connections 2} "
              "{realtime 0} {requeuesAllowed 1} {doStreaming 0} {dequeue {(none)}} "
              "{feedspec {comp.*,!comp.binaries.*}}}} "
              "{statistics {{accepts 5} {refused 0} {rejected 0} {requeues 0} {commandErrors 0} {articleq 1} "
              "{transmitq 0} {curSendFileName (none)} {transmitQOverflows 0} {missing 2}}} "
              "{connections {{0 {{state 64} {outstanding: 0} {errors 0} {streaming 0}}} "
              "{1 {{state 64} {outstanding: -3} {errors 4} {streaming 1}}} }}}}");
    EXPECT_FALSE(SiteGetConfig("news2").has_value());
}

TEST_F(Sites, RefusedParameterValuesChangeNothing)
{
    SiteCreate("news1");
    EXPECT_EQ(SiteSetParameter("news1", "port", "0"), 0);
    EXPECT_EQ(SiteSetParameter("news1", "port", "abc"), 0);
    EXPECT_EQ(SiteSetParameter("news1", "port", "70000"), 0);
    EXPECT_EQ(SiteSetParameter("news1", "maxQFiles", "0"), 0);
    EXPECT_EQ(SiteSetParameter("news1", "connections", "21"), 0);
    EXPECT_EQ(SiteSetParameter("news1", "connections", "-1"), 0);
    EXPECT_EQ(SiteSetParameter("news1", "weight", "3"), 0);
    EXPECT_EQ(SiteSetParameter("nosuch", "port", "119"), 0);
    for (const char* parameter : {"hostname", "port", "maxQFiles", "connections", "feedspec", "realtime",
                                  "requeuesAllowed", "doStreaming", "dequeue"})
        EXPECT_EQ(SiteSetParameter("news1", parameter, nullptr), 0) << parameter;
    EXPECT_EQ(Config("news1"), kFreshConfig);
}

TEST_F(Sites, HostnameAndFeedspecCanBeCleared)
{
    SiteCreate("news1");
    SiteSetParameter("news1", "hostname", "feed.example.net");
    SiteSetParameter("news1", "feedspec", "comp.*");
    EXPECT_NE(SiteFind("news1")->feedSpec, nullptr);
    EXPECT_EQ(SiteSetParameter("news1", "hostname", "(NOT SET)"), 1);
    EXPECT_EQ(SiteSetParameter("news1", "feedspec", "(all)"), 1);
    EXPECT_EQ(SiteFind("news1")->feedSpec, nullptr);
    EXPECT_EQ(Config("news1"), kFreshConfig);

    // A text that does not compile fails and keeps the expression in force.
    SiteSetParameter("news1", "feedspec", "comp.*");
    MatchExpression* kept = SiteFind("news1")->feedSpec;
    EXPECT_EQ(SiteSetParameter("news1", "feedspec", "&,comp.*"), 0);
    EXPECT_EQ(SiteFind("news1")->feedSpec, kept);
    EXPECT_NE(Config("news1").find("{feedspec {comp.*}}"), std::string::npos);

    // An empty expression is one, matching no article: shown as it is, not
    // as sending everything.
    EXPECT_EQ(SiteSetParameter("news1", "feedspec", ""), 1);
    EXPECT_NE(SiteFind("news1")->feedSpec, nullptr);
    EXPECT_NE(Config("news1").find("{feedspec {}}"), std::string::npos);
    EXPECT_EQ(Config("news1").find("(send all)"), std::string::npos);
}

TEST_F(Sites, ConnectionCountOpensAndClosesConnections)
{
    SiteCreate("news1");
    Site* site = SiteFind("news1");
    EXPECT_EQ(SiteSetParameter("news1", "connections", "3"), 1);
    EXPECT_EQ(OccupiedSlots(site), 3);
    EXPECT_EQ(SiteSetParameter("news1", "connections", "1"), 1);
    EXPECT_EQ(site->connections, 1);
    EXPECT_EQ(DisconnectRequests(site), 2);
    // The two highest slots were told to end.
    EXPECT_FALSE(site->connection[0]->disconnectRequested);
    EXPECT_NE(Config("news1").find("{connections 1}"), std::string::npos);

    // createfeeder adds one until all 20 slots are taken.
    for (int i = 3; i < kSiteSlots; ++i)
        ASSERT_EQ(SiteSetParameter("news1", "createfeeder", nullptr), 1) << i;
    EXPECT_EQ(SiteSetParameter("news1", "createfeeder", nullptr), 0);
    EXPECT_EQ(site->connections, 18);

    // Deleting tells every connection to end.
    EXPECT_EQ(SiteDelete("NEWS1"), 1);
    EXPECT_EQ(site->deleted, 1);
    EXPECT_EQ(DisconnectRequests(site), kSiteSlots);
    EXPECT_EQ(SiteFind("news1"), nullptr);
    EXPECT_EQ(SiteDelete("news1"), 0);
}

TEST_F(Sites, DequeueLinksTheIncomingHost)
{
    ASSERT_EQ(AddIncoming("10.9.8.7", 0), 1);
    ASSERT_EQ(AddIncoming("10.9.8.6", 0), 1);
    auto entry = [](const char* host) -> IncomingEntry& {
        for (IncomingEntry& e : incoming)
            if (e.inUse && std::string(e.host) == host)
                return e;
        throw std::runtime_error(host);
    };
    SiteCreate("first");
    SiteCreate("news1");
    Site* site = SiteFind("news1");
    EXPECT_EQ(SiteSetParameter("news1", "dequeue", "peerhost"), 0);
    EXPECT_EQ(Config("news1"), kFreshConfig);

    EXPECT_EQ(SiteSetParameter("news1", "dequeue", "10.9.8.7"), 1);
    EXPECT_EQ(entry("10.9.8.7").dequeue.load(), static_cast<int32_t>(site->number));
    EXPECT_NE(Config("news1").find("{dequeue {10.9.8.7}}"), std::string::npos);

    // Another host takes over the link.
    EXPECT_EQ(SiteSetParameter("news1", "dequeue", "10.9.8.6"), 1);
    EXPECT_EQ(entry("10.9.8.7").dequeue.load(), -1);
    EXPECT_EQ(entry("10.9.8.6").dequeue.load(), static_cast<int32_t>(site->number));

    EXPECT_EQ(SiteSetParameter("news1", "dequeue", "(None)"), 1);
    EXPECT_EQ(entry("10.9.8.6").dequeue.load(), -1);
    EXPECT_EQ(Config("news1"), kFreshConfig);
    DelIncoming("10.9.8.7");
    DelIncoming("10.9.8.6");
}

TEST_F(Sites, ListIsNewestFirstAndKeepsDuplicates)
{
    EXPECT_EQ(SiteGetList(), "");
    SiteCreate("news1");
    SiteCreate("other");
    SiteCreate("news1");
    EXPECT_EQ(SiteGetList(), "{news1} {other} {news1} ");
    Site* newer = SiteFind("news1");
    EXPECT_EQ(newer, siteHead);
    EXPECT_GT(newer->number, newer->next->number);
    ASSERT_EQ(SiteDelete("news1"), 1);
    EXPECT_EQ(SiteGetList(), "{other} {news1} ");
    EXPECT_NE(SiteFind("news1"), newer);
}

TEST_F(Sites, ConsoleDump)
{
    SiteCreate("news1");
    SiteSetParameter("news1", "connections", "1");
    Site* site = SiteFind("news1");
    site->connection[0]->outstanding = 2;
    site->connection[0]->lastChangeLine = 77;
    *site->transmitQWrite++ = 'a';
    *site->transmitQWrite++ = '\0';
    testing::internal::CaptureStdout();
    PrintSiteInfo();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "site: news1 tq: 2, aq: 0, sf ffffffff\n  state: 64, outstanding: 2, lastchangeline: 77\n");
}

class SiteCommands : public Sites {
protected:
    void SetUp() override
    {
        Sites::SetUp();
        interp_ = Tcl_CreateInterp();
        Tcl_CreateCommand(interp_, "CreateSite", Tcl_CreateSite, nullptr, nullptr);
        Tcl_CreateCommand(interp_, "DeleteSite", Tcl_DeleteSite, nullptr, nullptr);
        Tcl_CreateCommand(interp_, "SetSite", Tcl_SetSite, nullptr, nullptr);
        Tcl_CreateCommand(interp_, "GetSiteList", Tcl_GetSiteList, nullptr, nullptr);
        Tcl_CreateCommand(interp_, "GetSiteConfig", Tcl_GetSiteConfig, nullptr, nullptr);
    }
    void TearDown() override { Tcl_DeleteInterp(interp_); }

    // "code:result" of one script.
    std::string Eval(const char* script)
    {
        int code = Tcl_Eval(interp_, script);
        return std::to_string(code) + ":" + Tcl_GetStringResult(interp_);
    }

    Tcl_Interp* interp_ = nullptr;
};

TEST_F(SiteCommands, WordsResultsAndUsage)
{
    EXPECT_EQ(Eval("GetSiteList"), "0:");
    EXPECT_EQ(Eval("CreateSite"), "1:CreateSite sitename");
    EXPECT_EQ(Eval("CreateSite a b"), "1:CreateSite sitename");
    EXPECT_EQ(Eval("CreateSite peer1"), "0:created successfully");
    EXPECT_EQ(Eval("SetSite peer1"), "1:SetSite sitename parameter [arg]");
    EXPECT_EQ(Eval("SetSite peer1 hostname"), "1:SetSite: parameter hostname needs a value");
    EXPECT_EQ(Eval("SetSite peer1 port 119 extra"), "1:SetSite sitename parameter [arg]");
    EXPECT_EQ(Eval("SetSite nosuch port 119"), "1:SetSite: no site named \"nosuch\"");
    EXPECT_EQ(Eval("SetSite peer1 hostnme x"), "1:SetSite: unknown parameter \"hostnme\"; did you mean hostname?");
    EXPECT_EQ(Eval("SetSite peer1 xyzzy 1"), "1:SetSite: unknown parameter \"xyzzy\"");
    EXPECT_EQ(Eval("SetSite peer1 port 119"), "0:");
    EXPECT_EQ(Eval("SetSite peer1 createfeeder"), "0:");
    EXPECT_EQ(Eval("GetSiteList ignored words"), "0:{peer1} ");
    EXPECT_EQ(Eval("GetSiteConfig nosuch"), "1:site nosuch not found");
    EXPECT_EQ(Eval("GetSiteConfig"), "1:GetSiteConfig sitename");
    std::string config = Eval("GetSiteConfig peer1");
    EXPECT_EQ(config.rfind("0:{peer1 {{parameters {{hostname {(not set)}} {port 119}", 0), 0u) << config;
    EXPECT_EQ(Eval("DeleteSite"), "1:DeleteSite sitename");
    EXPECT_EQ(Eval("DeleteSite nosuch"), "1:");
    EXPECT_EQ(Eval("DeleteSite peer1"), "0:deleted successfully");
    EXPECT_EQ(Eval("GetSiteList"), "0:");
}
