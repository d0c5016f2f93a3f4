// End-to-end over IPv6: a listener on "::" takes peers of both families, the
// incoming table admits IPv6 peers by address and by prefix and refuses the
// rest, and a site named by an IPv6 address is fed.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::CountOccurrences;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::ReadFile;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;

namespace {

bool HaveIpv6Loopback()
{
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    return fd && ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A server listening on "::" with the incoming entries of `entries`.
void StartDualStack(TestServer& server, const std::string& entries, const std::string& more = "")
{
    server.SetConfig("ListenAddress", "::");
    server.SetScript(entries + "CreateArtStore 0 @DIR@/stores {*} 16 0\nCreateGroup misc.test 0 1 y 1\n" + more +
                     "AcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
}

// The greeting of a connection to [::1]:port; empty when it cannot connect.
std::string Greeting6(const TestServer& server, NntpClient& client)
{
    if (!client.Connect6(server.Port()))
        return "";
    return client.ReadLine();
}

std::string Id(int n)
{
    return "<v6feed" + std::to_string(n) + "." + std::to_string(::getpid()) + "@test>";
}

}  // namespace

TEST(Ipv6, DualStackListenerAdmitsPeersOfBothFamiliesByTheirEntries)
{
    if (!HaveIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    TestServer server;
    ASSERT_NO_FATAL_FAILURE(
        StartDualStack(server, "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 2\nAddIncoming 0:0:0:0:0:0:0:1\n"
                               "SetIncoming 0:0:0:0:0:0:0:1 rights 2\n"));
    NntpClient v6, v4;
    EXPECT_EQ(Greeting6(server, v6).substr(0, 4), "201 ");
    ASSERT_TRUE(v4.Connect(server.Port()));
    EXPECT_EQ(v4.ReadLine().substr(0, 4), "201 ");
    EXPECT_EQ(v6.Command("GROUP misc.test").substr(0, 3), "211");
    EXPECT_TRUE(server.WaitForLog("connect: [::1]:"));
    EXPECT_TRUE(server.WaitForLog("connect: 127.0.0.1:"));
    v6.Close();
    v4.Close();
    EXPECT_EQ(server.Stop(), 1);
}

TEST(Ipv6, PeerOutsideEveryEntryIsRefusedAndAPrefixEntryAdmitsAFeeder)
{
    if (!HaveIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    {
        TestServer server;
        ASSERT_NO_FATAL_FAILURE(StartDualStack(server, "AddIncoming 2001:db8::/32\nSetIncoming 2001:db8::/32 rights 7\n"
                                                       "AddIncoming 10.0.0.0/8\nSetIncoming 10.0.0.0/8 rights 7\n"));
        NntpClient client;
        EXPECT_EQ(Greeting6(server, client).substr(0, 4), "502 ");
        EXPECT_TRUE(server.WaitForLog("chopped ::1, no access"));
        EXPECT_EQ(server.Stop(), 1);
    }
    TestServer server;
    ASSERT_NO_FATAL_FAILURE(StartDualStack(server, "AddIncoming ::/0\nSetIncoming ::/0 rights 1\n"));
    NntpClient feeder;
    EXPECT_EQ(Greeting6(server, feeder).substr(0, 4), "200 ");
    EXPECT_EQ(OfferWithIhave(feeder, Id(0)).substr(0, 3), "235");
    EXPECT_EQ(OfferWithIhave(feeder, Id(0)).substr(0, 3), "435");
    feeder.Close();
    EXPECT_EQ(server.Stop(), 1);
}

// A is fed over IPv4 and feeds B at [::1]; B admits A by its IPv6 address.
TEST(Ipv6, SiteNamedByAnIpv6AddressIsFed)
{
    if (!HaveIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    TestServer a, b;
    b.SetConfig("HostPathIdentifier", "verdalix.b");
    ASSERT_NO_FATAL_FAILURE(StartDualStack(b, "AddIncoming ::1\nSetIncoming ::1 rights 7\n"));
    a.SetConfig("HostPathIdentifier", "verdalix.a");
    a.SetConfig("FeedRetryDelay", "1");
    ASSERT_NO_FATAL_FAILURE(
        StartDualStack(a, "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\n",
                       "CreateSite b\nSetSite b hostname ::1\nSetSite b connections 1\nSetSite b port " +
                           std::to_string(b.Port()) + "\n"));
    constexpr int kCount = 10;
    {
        NntpClient client;
        ASSERT_TRUE(client.Connect(a.Port()));
        ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
        for (int i = 0; i < kCount; ++i)
            ASSERT_EQ(OfferWithIhave(client, Id(100 + i)).substr(0, 3), "235") << i;
    }
    auto arrived = [&] {
        return CountOccurrences(ReadFile(b.Path("stores/0-articles.dat")), "Path: verdalix.b!verdalix.a!");
    };
    EXPECT_TRUE(WaitUntil([&] { return arrived() == kCount; })) << arrived();
    EXPECT_NE(b.LogText().find("connect: [::1]:"), std::string::npos);
    EXPECT_EQ(a.Stop(), 1);
    EXPECT_EQ(b.Stop(), 1);
}
