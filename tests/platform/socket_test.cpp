// Socket wrappers: a loopback connection set up through them carries data
// (whole and gathered) both ways and reports the peer's end; prompt reads;
// time-outs end a blocked receive;
// address look-ups and the service manager's datagram.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

struct Connection {
    UniqueFd listener, client, server;
    sockaddr_in peer{};
};

void Connect(Connection& c)
{
    c.listener = NewTcpSocket();
    ASSERT_TRUE(c.listener);
    ASSERT_TRUE(SetReuseAddress(c.listener.get()));
    ASSERT_TRUE(BindSocket(c.listener.get(), Loopback(0)));
    ASSERT_TRUE(ListenSocket(c.listener.get(), 4));
    sockaddr_in bound{};
    ASSERT_TRUE(LocalAddress(c.listener.get(), &bound));
    ASSERT_NE(bound.sin_port, 0);
    c.client = NewTcpSocket();
    ASSERT_TRUE(ConnectSocket(c.client.get(), bound));
    c.server = AcceptSocket(c.listener.get(), &c.peer);
    ASSERT_TRUE(c.server);
}

TEST(Socket, LoopbackConnectionCarriesDataAndNamesThePeer)
{
    Connection c;
    Connect(c);
    sockaddr_in own{};
    ASSERT_TRUE(LocalAddress(c.client.get(), &own));
    EXPECT_EQ(c.peer.sin_port, own.sin_port);
    EXPECT_EQ(c.peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(SetNoDelay(c.server.get()));
    EXPECT_TRUE(SetKeepAlive(c.server.get()));

    // More than a socket buffer holds at once goes out whole.
    std::string big(1 << 20, 'x');
    std::string got;
    std::thread reader([&] {
        char buffer[65536];
        while (got.size() < big.size()) {
            ssize_t n = ReceiveSome(c.server.get(), buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
    });
    EXPECT_TRUE(SendAll(c.client.get(), big.data(), big.size()));
    reader.join();
    EXPECT_EQ(got, big);

    c.client.reset();
    char byte;
    EXPECT_EQ(ReceiveSome(c.server.get(), &byte, 1), 0);
    // The peer has gone: a send fails instead of raising SIGPIPE.
    std::string chunk(65536, 'y');
    bool failed = false;
    for (int i = 0; i < 64 && !failed; ++i)
        failed = !SendAll(c.server.get(), chunk.data(), chunk.size());
    EXPECT_TRUE(failed);
}

// Pieces larger than the socket buffer, empty ones among them, go out in
// order even when a send takes only part of a piece.
TEST(Socket, GatheredPiecesGoOutWholeAndInOrder)
{
    Connection c;
    Connect(c);
    std::vector<std::string> texts = {"head ", "", std::string(700000, 'a'), "", "", std::string(300001, 'b'), "end"};
    std::vector<iovec> pieces;
    std::string expected;
    for (std::string& text : texts) {
        pieces.push_back({text.data(), text.size()});
        expected += text;
    }
    std::string got;
    std::thread reader([&] {
        char buffer[4096];  // small reads keep the sender's buffer full
        while (got.size() < expected.size()) {
            ssize_t n = ReceiveSome(c.server.get(), buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
    });
    EXPECT_TRUE(SendAllV(c.client.get(), pieces.data(), static_cast<int>(pieces.size())));
    reader.join();
    EXPECT_TRUE(got == expected) << got.size() << " bytes of " << expected.size();
}

TEST(Socket, TimeoutEndsABlockedReceive)
{
    Connection c;
    Connect(c);
    ASSERT_TRUE(SetTimeouts(c.server.get(), 50));
    char byte;
    EXPECT_EQ(ReceiveSome(c.server.get(), &byte, 1), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    SendWithoutWaiting(c.client.get(), "205\r\n", 5);
    char line[8] = {};
    EXPECT_EQ(ReceiveSome(c.server.get(), line, sizeof line), 5);
    EXPECT_STREQ(line, "205\r\n");
}

// Prompt reads poll before they sleep: a lock-step peer gets every byte in
// order, a peer slower than the poll is read by sleeping (and the connection
// stops polling), and neither the end of the stream nor the receive time-out
// is mistaken for the poll's "nothing yet".
// Lock-step rounds: each request waits for its answer, the server side
// reading by ReceivePrompt. Every request must arrive whole and in order.
void ExpectLockStepStream(Connection& c)
{
    constexpr int kRounds = 2000;
    std::string got;
    std::thread server([&] {
        bool prompt = false;
        char buffer[64];
        while (got.size() < kRounds * 6u) {
            const ssize_t n = ReceivePrompt(c.server.get(), buffer, sizeof buffer, &prompt);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
            if (!SendAll(c.server.get(), "ok\r\n", 4))
                break;
        }
    });
    std::string sent;
    char answer[4];
    for (int i = 0; i < kRounds; ++i) {
        char request[8];
        std::snprintf(request, sizeof request, "%04d\r\n", i % 10000);
        ASSERT_TRUE(SendAll(c.client.get(), request, 6));
        sent.append(request, 6);
        size_t have = 0;
        while (have < sizeof answer) {
            const ssize_t n = ReceiveSome(c.client.get(), answer + have, sizeof answer - have);
            ASSERT_GT(n, 0);
            have += static_cast<size_t>(n);
        }
    }
    server.join();
    EXPECT_TRUE(got == sent) << got.size() << " bytes of " << sent.size();
}

TEST(Socket, PromptReceiveKeepsTheStreamAndItsEnds)
{
    Connection c;
    Connect(c);
    ExpectLockStepStream(c);
    SetPromptPoll(0);  // ReadPollMicroseconds = 0: every read sleeps
    ExpectLockStepStream(c);
    SetPromptPoll(30);

    bool prompt = true;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        SendAll(c.client.get(), "late", 4);
    });
    char buffer[8] = {};
    EXPECT_EQ(ReceivePrompt(c.server.get(), buffer, sizeof buffer, &prompt), 4);
    late.join();
    EXPECT_STREQ(buffer, "late");

    // Nothing is ever sent here: the poll finds nothing, which stops the
    // polling, and the sleeping read ends at the time-out.
    ASSERT_TRUE(SetTimeouts(c.server.get(), 50));
    prompt = true;
    EXPECT_EQ(ReceivePrompt(c.server.get(), buffer, sizeof buffer, &prompt), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    EXPECT_FALSE(prompt);
    c.client.reset();
    prompt = true;
    EXPECT_EQ(ReceivePrompt(c.server.get(), buffer, sizeof buffer, &prompt), 0);
}

TEST(Socket, LookUpsOfKnownAndUnknownNames)
{
    std::vector<uint32_t> addresses;
    ASSERT_TRUE(ResolveHost("127.0.0.1", &addresses));
    ASSERT_FALSE(addresses.empty());
    EXPECT_EQ(addresses[0], htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(ResolveHost("", &addresses));
}

TEST(Socket, DatagramReachesAnAbstractUnixSocket)
{
    UniqueFd receiver(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(receiver);
    std::string name = "@verdalix-socket-test-" + std::to_string(::getpid());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    addr.sun_path[0] = '\0';
    ASSERT_EQ(::bind(receiver.get(), reinterpret_cast<sockaddr*>(&addr),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
              0);
    ASSERT_TRUE(SendDatagram(name.c_str(), "READY=1", 7));
    char buffer[32] = {};
    EXPECT_EQ(::recv(receiver.get(), buffer, sizeof buffer, 0), 7);
    EXPECT_STREQ(buffer, "READY=1");
    EXPECT_FALSE(SendDatagram("/nonexistent/verdalix.sock", "x", 1));
}

}  // namespace
