// End-to-end: admission of incoming peers and the command loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "support/nntp_client.h"
#include "support/server_harness.h"

using verdalix_test::NntpClient;
using verdalix_test::TestServer;

namespace {

constexpr const char* kHomePage = "http://www.verdalix.org/";

// Declares 127.0.0.1 with `rights`, then opens the port.
std::string PeerScript(int rights, const std::string& more = "")
{
    return "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights " + std::to_string(rights) + "\n" + more +
           "AcceptConnections\n";
}

// Connects (from `source` when given) once the port is open and returns the
// greeting; empty when the port never opened. Unlike the harness's probe
// this leaves no extra connection behind that could take a peer's slot.
std::string ConnectWhenOpen(TestServer& server, NntpClient& client, const char* source = nullptr)
{
    for (int attempt = 0; attempt < 600 && server.Running(); ++attempt) {
        if (client.Connect(server.Port(), source))
            return client.ReadLine();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the server never opened its port";
    return "";
}

// The ssp reply, polled until it contains `text` (a session that is ending
// may not have released its counts yet). The last reply either way.
std::string StatsWhen(NntpClient& client, const std::string& text)
{
    std::string reply;
    for (int attempt = 0; attempt < 300; ++attempt) {
        reply = client.Command("ssp");
        if (reply.find(text) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return reply;
}

// Connects and resets the connection at once, before the greeting is read.
bool ConnectAndReset(int port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    linger abort {1, 0};  // a zero linger time makes the close a reset
    return ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0;
}

TEST(Accept, NothingListensBeforeAcceptConnections)
{
    TestServer server;
    server.SetScript("AddIncoming 127.0.0.1\nLogLine {script done}\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("script done"));
    NntpClient client;
    EXPECT_FALSE(client.Connect(server.Port()));
}

TEST(Accept, GreetingFollowsRightsAndStrangersAreRefused)
{
    TestServer server;
    server.SetScript("AddIncoming 127.0.0.2\nSetIncoming 127.0.0.2 rights 1\n"
                     "AddIncoming 127.0.0.3\nSetIncoming 127.0.0.3 rights 4\n"
                     "AddIncoming 127.0.0.4\nSetIncoming 127.0.0.4 rights 5\n" +
                     PeerScript(2));
    ASSERT_TRUE(server.Start());
    NntpClient reader;
    EXPECT_EQ(ConnectWhenOpen(server, reader), std::string("201 Verdalix 2.0b1 -- ") + kHomePage);
    for (const char* feeder : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        NntpClient client;
        ASSERT_TRUE(client.Connect(server.Port(), feeder));
        EXPECT_EQ(client.ReadLine(), std::string("200 Verdalix 2.0b1 -- ") + kHomePage) << feeder;
    }
    NntpClient stranger;
    ASSERT_TRUE(stranger.Connect(server.Port(), "127.0.0.9"));
    EXPECT_EQ(stranger.ReadLine(), std::string("502 No Access -- Verdalix Internet News Server -- ") + kHomePage);
    EXPECT_TRUE(stranger.WaitForClose());
    EXPECT_TRUE(server.WaitForLog("chopped 127.0.0.9, no access\n"));
    EXPECT_TRUE(server.WaitForLog("connect: 127.0.0.2:"));
    EXPECT_NE(server.LogText().find(" (127.0.0.1)"), std::string::npos);
}

TEST(Accept, ConfiguredTextsWithinTheirLimitsAreUsed)
{
    TestServer fits;
    fits.SetConfig("ConnectBanner", std::string(70, 'b'));
    fits.SetConfig("NoAccessMessage", std::string(200, 'n'));
    fits.SetScript(PeerScript(1));
    TestServer tooLong;
    tooLong.SetConfig("ConnectBanner", std::string(71, 'b'));
    tooLong.SetConfig("NoAccessMessage", std::string(201, 'n'));
    tooLong.SetScript(PeerScript(1));
    ASSERT_TRUE(fits.Start());
    ASSERT_TRUE(tooLong.Start());

    NntpClient client;
    EXPECT_EQ(ConnectWhenOpen(fits, client), "200 " + std::string(70, 'b'));
    EXPECT_EQ(ConnectWhenOpen(tooLong, client), std::string("200 Verdalix 2.0b1 -- ") + kHomePage);
    ASSERT_TRUE(client.Connect(fits.Port(), "127.0.0.9"));
    EXPECT_EQ(client.ReadLine(), "502 " + std::string(200, 'n'));
    ASSERT_TRUE(client.Connect(tooLong.Port(), "127.0.0.9"));
    EXPECT_EQ(client.ReadLine(), std::string("502 No Access -- Verdalix Internet News Server -- ") + kHomePage);
}

// The backlog the kernel reports for the socket listening on `port` (the
// Send-Q column of "ss" for listeners); -1 when ss is missing or silent.
int ListeningBacklog(int port)
{
    std::string command = "ss -Hltn 'sport = :" + std::to_string(port) + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char state[32];
    int received = 0, backlog = -1;
    if (pipe == nullptr || std::fscanf(pipe.get(), "%31s %d %d", state, &received, &backlog) != 3)
        return -1;
    return backlog;
}

TEST(Accept, ListensWithTheConfiguredBacklog)
{
    TestServer server;
    server.SetConfig("ListenBacklog", "37");
    server.SetScript(PeerScript(7));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    int backlog = ListeningBacklog(server.Port());
    if (backlog < 0)
        GTEST_SKIP() << "ss cannot show the listening socket";
    EXPECT_EQ(backlog, 37);
}

TEST(Accept, SystemLimitIsCheckedBeforeTheAccessTable)
{
    TestServer server;
    server.SetConfig("MaxIncomingConnections", "2");
    server.SetScript(PeerScript(7));
    ASSERT_TRUE(server.Start());
    NntpClient first, second, third;
    ASSERT_EQ(ConnectWhenOpen(server, first).substr(0, 4), "200 ");
    ASSERT_TRUE(second.Connect(server.Port()));
    ASSERT_EQ(second.ReadLine().substr(0, 4), "200 ");

    ASSERT_TRUE(third.Connect(server.Port(), "127.0.0.9"));  // not in the table
    EXPECT_EQ(third.ReadLine(),
              std::string("400 System connection limit reached -- Verdalix Internet News Server -- ") + kHomePage);
    EXPECT_TRUE(third.WaitForClose());
    EXPECT_TRUE(server.WaitForLog("chopped 127.0.0.9, system connection limit (2) reached\n"));

    EXPECT_EQ(first.Command("quit"), "205 Goodbye");
    EXPECT_TRUE(first.WaitForClose());
    ASSERT_TRUE(third.Connect(server.Port()));
    EXPECT_EQ(third.ReadLine().substr(0, 4), "200 ");
}

TEST(Accept, PeerLimitRefusesUntilAConnectionEnds)
{
    TestServer server;
    server.SetConfig("SiteTooManyMessage", "busy");
    server.SetScript(PeerScript(2, "SetIncoming 127.0.0.1 max_connections 1\n"));
    ASSERT_TRUE(server.Start());
    NntpClient first, second;
    ASSERT_EQ(ConnectWhenOpen(server, first).substr(0, 4), "201 ");
    ASSERT_TRUE(second.Connect(server.Port()));
    EXPECT_EQ(second.ReadLine(), "400 busy");
    EXPECT_TRUE(second.WaitForClose());
    EXPECT_TRUE(server.WaitForLog("chopped 127.0.0.1 (127.0.0.1), connection limit (1) reached\n"));

    EXPECT_EQ(first.Command("QUIT"), "205 Goodbye");
    EXPECT_TRUE(first.WaitForClose());
    ASSERT_TRUE(second.Connect(server.Port()));
    EXPECT_EQ(second.ReadLine().substr(0, 4), "201 ");
}

TEST(CommandLoop, CommandsInOrderQuitInAnyCaseAndCountersReturnToZero)
{
    TestServer server;
    server.SetScript(PeerScript(7));
    ASSERT_TRUE(server.Start());
    NntpClient one, two;
    ASSERT_EQ(ConnectWhenOpen(server, one).substr(0, 4), "200 ");
    ASSERT_EQ(ConnectWhenOpen(server, two).substr(0, 4), "200 ");

    // Two commands in one packet are answered in order.
    two.Send("mode reader\r\nsla whatever\r\n");
    EXPECT_EQ(two.ReadLine(), "200 OK");
    EXPECT_EQ(two.ReadLine(), "202 slave status noted");
    EXPECT_EQ(two.Command("mode stream"), "203 StreamOK");

    std::string stats = StatsWhen(two, "{connects 2} ");  // counted just after the greeting
    EXPECT_EQ(stats.rfind("{starttime ", 0), 0u) << stats;
    EXPECT_NE(stats.find("{incoming {{host 127.0.0.1} {connected 2} {connects 2} "), std::string::npos) << stats;

    EXPECT_EQ(one.Command("QuIt"), "205 Goodbye");
    EXPECT_TRUE(one.WaitForClose());
    EXPECT_EQ(two.Command("quitting"), "205 Goodbye");
    EXPECT_TRUE(two.WaitForClose());
    NntpClient last;
    ASSERT_TRUE(last.Connect(server.Port()));
    ASSERT_EQ(last.ReadLine().substr(0, 4), "200 ");
    stats = StatsWhen(last, "{connected 1} {connects 3} ");
    EXPECT_NE(stats.find("{host 127.0.0.1} {connected 1} {connects 3} "), std::string::npos) << stats;
    EXPECT_EQ(last.Command("quit"), "205 Goodbye");
    EXPECT_TRUE(last.WaitForClose());
    EXPECT_EQ(server.Stop(), 1);
    EXPECT_NE(server.LogText().find("connect: 127.0.0.1:"), std::string::npos);
}

TEST(CommandLoop, UnknownAndUnavailableCommands)
{
    TestServer server;
    server.SetScript(PeerScript(2, "AddIncoming 127.0.0.2\nSetIncoming 127.0.0.2 rights 1\n"
                                   "SetIncoming 127.0.0.2 streaming 0\nSetLogCmds 1\n"));
    ASSERT_TRUE(server.Start());
    NntpClient reader, feeder;
    ASSERT_EQ(ConnectWhenOpen(server, reader).substr(0, 4), "201 ");
    EXPECT_EQ(reader.Command("frobnicate now"), "500 invalid command");
    EXPECT_EQ(reader.Command("list nosuch"), "500 invalid command");
    EXPECT_EQ(reader.Command("mode stream"), "500 invalid command");
    EXPECT_EQ(reader.Command("post"), "500 invalid command");
    EXPECT_TRUE(server.WaitForLog("frobnicate now"));

    ASSERT_TRUE(feeder.Connect(server.Port(), "127.0.0.2"));
    ASSERT_EQ(feeder.ReadLine().substr(0, 4), "200 ");
    EXPECT_EQ(feeder.Command("MODE STREAM"), "500 invalid command");
    EXPECT_EQ(feeder.Command("group misc.test"), "500 invalid command");
    EXPECT_EQ(feeder.Command("mode reader"), "500 invalid command");
    EXPECT_EQ(feeder.Command("ssp").rfind("{starttime ", 0), 0u);
}

TEST(CommandLoop, GarbageWithoutALineEndClosesTheConnection)
{
    TestServer server;
    server.SetScript(PeerScript(2));
    ASSERT_TRUE(server.Start());
    NntpClient client;
    ASSERT_EQ(ConnectWhenOpen(server, client).substr(0, 4), "201 ");
    EXPECT_EQ(client.Command("slave" + std::string(295, 'x')), "202 slave status noted");
    client.Send(std::string(300, 'x'));
    EXPECT_TRUE(client.WaitForClose());
    EXPECT_TRUE(server.WaitForLog("main: garbage on connection from 127.0.0.1\n"));
}

TEST(CommandLoop, ResetsAndBinaryJunkLeaveTheServerServing)
{
    TestServer server;
    server.SetScript(PeerScript(7));
    ASSERT_TRUE(server.Start());
    NntpClient client;
    ASSERT_EQ(ConnectWhenOpen(server, client).substr(0, 4), "200 ");

    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(ConnectAndReset(server.Port()));
    std::string junk;
    for (int i = 0; i < 1024; ++i)
        junk += static_cast<char>((i * 37) & 0xff);
    for (int i = 0; i < 4; ++i) {
        NntpClient noisy;
        ASSERT_TRUE(noisy.Connect(server.Port()));
        ASSERT_EQ(noisy.ReadLine().substr(0, 4), "200 ");
        noisy.Send(junk);
        EXPECT_TRUE(noisy.WaitForClose());
    }
    std::string stats = StatsWhen(client, "{connected 1} ");
    EXPECT_NE(stats.find("{host 127.0.0.1} {connected 1} "), std::string::npos) << stats;
    EXPECT_EQ(client.Command("mode reader"), "200 OK");
    NntpClient after;
    ASSERT_TRUE(after.Connect(server.Port()));
    EXPECT_EQ(after.ReadLine().substr(0, 4), "200 ");
    EXPECT_TRUE(server.Running());
}

TEST(ArticleStartup, OperatingModes)
{
    TestServer transit;
    transit.SetConfig("OpMode", "Transit");
    transit.SetScript(PeerScript(7));
    ASSERT_TRUE(transit.Start());
    NntpClient client;
    ASSERT_EQ(ConnectWhenOpen(transit, client).substr(0, 4), "200 ");
    EXPECT_EQ(client.Command("mode reader"), "500 invalid command");
    EXPECT_EQ(client.Command("post"), "500 invalid command");
    EXPECT_EQ(client.Command("slave"), "500 invalid command");
    EXPECT_EQ(client.Command("mode stream"), "203 StreamOK");
    EXPECT_TRUE(transit.WaitForLog("started in transit mode"));

    TestServer regular;
    regular.SetConfig("OpMode", "anything");
    ASSERT_TRUE(regular.Start());
    EXPECT_TRUE(regular.WaitForLog("started in regular reader mode (not slave, not transit)"));

    TestServer unnamed;
    unnamed.RemoveConfig("HostPathIdentifier");
    ASSERT_TRUE(unnamed.Start());
    EXPECT_EQ(unnamed.WaitForExit(), 1);
    EXPECT_NE(unnamed.StdoutText().find("no HostPathIdentifier specified, exiting\n"), std::string::npos);
}

}  // namespace
