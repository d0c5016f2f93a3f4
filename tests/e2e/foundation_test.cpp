// End-to-end: the program's switches, its start-up script and its stop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <thread>

#include "support/nntp_client.h"
#include "support/server_harness.h"

using verdalix_test::NntpClient;
using verdalix_test::TestServer;

namespace {

// Position of `text` in `output` after `from`, or npos.
size_t FindAfter(const std::string& output, const std::string& text, size_t from)
{
    return from == std::string::npos ? std::string::npos : output.find(text, from);
}

TEST(ServerStop, InterruptRunsTheClosingOrderAndExitsWithOne)
{
    TestServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForOutput("Debugging Verdalix Internet News Server."));
    EXPECT_EQ(server.Stop(), 1);
    std::string out = server.StdoutText();
    const char* order[] = {
        "Stopping Verdalix Internet News Server.\n",
        "shutting down...\n",
        "locking out article insertions...\n",
        "article insertions locked out\n",
        "closing connections.",
        "done.\n",
        "shutting down ArtStores...\n",
        "stores shut down...\n",
        "shutting down seendb...\n",
        "...seendb shut down\n",
        "shutting down groupdb...\n",
        "groupdb shut down\n",
    };
    size_t at = 0;
    for (const char* text : order) {
        at = FindAfter(out, text, at);
        EXPECT_NE(at, std::string::npos) << "missing or out of order: " << text << "\noutput:\n" << out;
    }
    EXPECT_NE(server.LogText().find("base: shutting down"), std::string::npos);
}

// The client the other end-to-end tests rely on, against a scripted peer.
TEST(TestClient, ReadsLinesAndMultilineBlocks)
{
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &length), 0);
    std::string received;
    std::thread peer([&] {
        UniqueFd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        const char greeting[] = "200 hello\r\n";
        ::send(conn.get(), greeting, sizeof greeting - 1, MSG_NOSIGNAL);
        char command[64];
        ssize_t got = ::recv(conn.get(), command, sizeof command, 0);
        received.assign(command, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        const char block[] = "220 article\r\nfirst\r\n..dotted\r\n\r\nbare lf\n.\r\n";
        ::send(conn.get(), block, sizeof block - 1, MSG_NOSIGNAL);
    });
    NntpClient client;
    ASSERT_TRUE(client.Connect(ntohs(addr.sin_port)));
    EXPECT_EQ(client.ReadLine(), "200 hello");
    EXPECT_EQ(client.Command("ARTICLE 1"), "220 article");
    EXPECT_EQ(client.ReadMultiline(), (std::vector<std::string>{"first", ".dotted", "", "bare lf"}));
    EXPECT_TRUE(client.WaitForClose());
    peer.join();
    EXPECT_EQ(received, "ARTICLE 1\r\n");
}

}  // namespace
