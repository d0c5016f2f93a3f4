// End-to-end: TLS on both ports with real clients. Python's nntplib logs in
// over STARTTLS and over the TLS port; openssl s_client checks the chain and
// the protocol versions the server takes; hostile peers of the TLS port
// (garbage, a long line, a handshake cut short, peers that never speak) end
// only their own connections. One instance feeds another over TLS.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/shell.h"
#include "support/test_articles.h"

using verdalix_test::CountOccurrences;
using verdalix_test::FreePort;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::Shell;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;

namespace {

constexpr const char* kScript = "CreateArtStore 0 @DIR@/stores * 10 100\n"
                                "CreateGroup alt.test 0 1 y 1\n"
                                "AddIncoming *\n"
                                "SetIncoming * rights 0\n"
                                "SetIncoming * auth_required 1\n"
                                "SetIncoming * max_connections 300\n"
                                "AcceptConnections\n";

// A certificate authority and a server certificate for 127.0.0.1 signed by
// it, made with the openssl command in `dir`.
bool MakeCertificates(const std::string& dir)
{
    const std::string script =
        "cd " + dir +
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key "
        "-out ca.pem -days 2 -subj /CN=test-ca"
        " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key "
        "-out server.csr -subj /CN=127.0.0.1"
        " && printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile san.ext -out server.pem";
    auto [status, output] = Shell("(" + script + ") 2>&1");
    EXPECT_EQ(status, 0) << output;
    return status == 0;
}

constexpr int kClientTimeout = 4;

class Tls : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(MakeCertificates(server_.Dir()));
        auto [status, hash] = Shell("printf 'pw of alice\\n' | " VERDALIX_BINARY " -hash-password");
        ASSERT_EQ(status, 0);
        hash.resize(hash.find_last_not_of('\n') + 1);
        ASSERT_TRUE(verdalix_test::WriteFile(server_.Path("passwords"), "alice:" + hash + ":rp\n"));
        tlsPort_ = FreePort();
        server_.SetConfig("PasswordFile", "@DIR@/passwords");
        server_.SetConfig("TLSCertificateFile", "@DIR@/server.pem");
        server_.SetConfig("TLSKeyFile", "@DIR@/server.key");
        server_.SetConfig("TLSListenPort", std::to_string(tlsPort_));
        // Short, so the test sees silent peers released.
        server_.SetConfig("ClientTimeout", std::to_string(kClientTimeout));
        server_.SetScript(kScript);
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(server_.WaitForListening());
        ASSERT_TRUE(server_.WaitForLog("connect: 127.0.0.1"));
    }

    // openssl s_client against the TLS port (or STARTTLS on the plain one)
    // with `options`, QUIT as its input; its output.
    std::pair<int, std::string> Client(const std::string& options, bool starttls = false)
    {
        const int port = starttls ? server_.Port() : tlsPort_;
        return Shell("printf 'QUIT\\r\\n' | timeout 30 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                     (starttls ? " -starttls nntp" : "") + " -CAfile " + server_.Path("ca.pem") +
                     " -verify_return_error -ign_eof " + options + " 2>&1");
    }

    // A reader on the plain port still gets its greeting and answers.
    void ExpectServing()
    {
        NntpClient reader;
        ASSERT_TRUE(reader.Connect(server_.Port()));
        EXPECT_TRUE(reader.ReadLine().starts_with("201 "));
        EXPECT_EQ(reader.Command("GROUP alt.test"), "480 Authentication required");
    }

    TestServer server_;
    int tlsPort_ = 0;
};

TEST_F(Tls, NntplibLogsInOverStartTlsAndTheTlsPort)
{
    if (Shell("python3 -W ignore -c 'import nntplib'").first != 0)
        GTEST_SKIP() << "python3 with the nntplib module is not available";
    auto [status, output] =
        Shell("python3 " VERDALIX_SOURCE_DIR "/tests/e2e/tls_nntplib_test.py " + std::to_string(server_.Port()) + " " +
              std::to_string(tlsPort_) + " " + server_.Path("ca.pem") + " 'pw of alice' 2>&1");
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("tls nntplib session ok"), std::string::npos) << output;
    EXPECT_NE(server_.LogText().find("authinfo: alice logged in from 127.0.0.1:"), std::string::npos);
}

TEST_F(Tls, OpenSslChecksTheChainAndOnlyTls12AndLaterAreTaken)
{
    for (bool starttls : {false, true}) {
        auto [status, output] = Client("", starttls);
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("Verify return code: 0 (ok)"), std::string::npos) << output;
        EXPECT_NE(output.find("205 "), std::string::npos) << "QUIT under TLS: " << output;
    }
    auto [status12, output12] = Client("-tls1_2");
    EXPECT_EQ(status12, 0) << output12;
    EXPECT_NE(output12.find("Protocol  : TLSv1.2"), std::string::npos) << output12;
    for (const char* old : {"-tls1", "-tls1_1"}) {
        auto [status, output] = Client(std::string(old) + " -cipher DEFAULT@SECLEVEL=0");
        EXPECT_NE(status, 0) << old << " was taken: " << output;
        EXPECT_EQ(output.find("205 "), std::string::npos) << old << ": " << output;
    }
    // A second connection resumes the first one's session.
    const std::string session = server_.Path("session.pem");
    auto [firstStatus, first] = Client("-sess_out " + session);
    ASSERT_EQ(firstStatus, 0) << first;
    auto [againStatus, again] = Client("-sess_in " + session);
    EXPECT_EQ(againStatus, 0) << again;
    EXPECT_NE(again.find("Reused, TLSv1.3"), std::string::npos) << again;
    // A client that trusts another authority refuses the server.
    auto [status, output] =
        Shell("printf 'QUIT\\r\\n' | timeout 30 openssl s_client -connect 127.0.0.1:" + std::to_string(tlsPort_) +
              " -CAfile /dev/null -verify_return_error 2>&1");
    EXPECT_NE(status, 0) << output;
    ExpectServing();
}

// Renewing the certificate needs no restart: the next handshake presents
// the new one; a broken renewal leaves the one before in use.
TEST_F(Tls, ARenewedCertificateIsPresentedWithoutARestart)
{
    auto [before, first] = Client("");
    ASSERT_EQ(before, 0) << first;
    EXPECT_EQ(first.find("O = renewed"), std::string::npos) << first;
    auto [made, output] =
        Shell("(cd " + server_.Dir() +
              " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
              "-keyout new.key -out new.csr -subj /CN=127.0.0.1/O=renewed"
              " && openssl x509 -req -in new.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
              "-extfile san.ext -out new.pem && mv new.key server.key && mv new.pem server.pem) 2>&1");
    ASSERT_EQ(made, 0) << output;
    auto [after, renewed] = Client("");
    EXPECT_EQ(after, 0) << renewed;
    EXPECT_NE(renewed.find("O = renewed"), std::string::npos) << renewed;

    ASSERT_TRUE(verdalix_test::WriteFile(server_.Path("server.pem"), "not a certificate\n"));
    auto [broken, kept] = Client("");
    EXPECT_EQ(broken, 0) << kept;
    EXPECT_NE(kept.find("O = renewed"), std::string::npos) << kept;
    EXPECT_TRUE(server_.WaitForLog("TLS certificate"));
}

TEST_F(Tls, HostilePeersOfTheTlsPortEndOnlyTheirOwnConnections)
{
    NntpClient garbage;
    ASSERT_TRUE(garbage.Connect(tlsPort_));
    garbage.Send(std::string(100 * 1024, 'x') + "\r\n");
    EXPECT_TRUE(garbage.WaitForClose()) << "garbage instead of a ClientHello ends the connection";
    EXPECT_TRUE(server_.WaitForLog("tls: 127.0.0.1"));

    // A ClientHello's first bytes, then nothing more, and peers that never
    // speak: the server goes on serving others meanwhile.
    NntpClient cut;
    ASSERT_TRUE(cut.Connect(tlsPort_));
    cut.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
    std::vector<NntpClient> silent(200);
    for (NntpClient& peer : silent)
        ASSERT_TRUE(peer.Connect(tlsPort_));
    ExpectServing();
    auto [status, output] = Client("");
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("205 "), std::string::npos) << output;

    // Plain NNTP on the TLS port is not answered in clear text.
    NntpClient plain;
    ASSERT_TRUE(plain.Connect(tlsPort_));
    plain.Send("CAPABILITIES\r\n");
    EXPECT_TRUE(plain.WaitForClose());

    // At the time-out the stalled handshakes are given up, every one.
    EXPECT_TRUE(cut.WaitForClose()) << "a handshake cut half way is released";
    int released = 0;
    for (NntpClient& peer : silent)
        released += peer.WaitForClose() ? 1 : 0;
    EXPECT_EQ(released, 200);
    ExpectServing();
}

}  // namespace

namespace {

std::string FeedId(int n)
{
    return "<tlsfeed" + std::to_string(n) + "." + std::to_string(::getpid()) + "@test>";
}

// Instance A feeds B over B's TLS port, checking B's certificate against the
// test authority; B takes A's address only under TLS.
TEST(TlsFeed, ArticlesFedIntoAArriveInBOverTls)
{
    TestServer a;
    TestServer b;
    ASSERT_TRUE(MakeCertificates(b.Dir()));
    const int tlsPort = FreePort();
    b.SetConfig("HostPathIdentifier", "verdalix.b");
    b.SetConfig("TLSCertificateFile", "@DIR@/server.pem");
    b.SetConfig("TLSKeyFile", "@DIR@/server.key");
    b.SetConfig("TLSListenPort", std::to_string(tlsPort));
    b.SetScript("AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nSetIncoming 127.0.0.1 streaming 1\n"
                "SetIncoming 127.0.0.1 tls_required 1\n"
                "CreateArtStore 0 @DIR@/stores {*} 16 0\nCreateGroup misc.test 0 1 y 1\nAcceptConnections\n");
    a.SetConfig("HostPathIdentifier", "verdalix.a");
    a.SetConfig("FeedRetryDelay", "1");
    a.SetScript("AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\n"
                "CreateArtStore 0 @DIR@/stores {*} 16 0\nCreateGroup misc.test 0 1 y 1\n"
                "CreateSite b\nSetSite b hostname 127.0.0.1\nSetSite b port " +
                std::to_string(tlsPort) + "\nSetSite b connections 1\nSetSite b tls 1\nSetSite b tlsCAFile " +
                b.Path("ca.pem") + "\nAcceptConnections\n");
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.WaitForListening());
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(a.WaitForListening());

    NntpClient feeder;
    ASSERT_TRUE(feeder.Connect(a.Port()));
    ASSERT_EQ(feeder.ReadLine().substr(0, 3), "200");
    constexpr int kCount = 30;
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(OfferWithIhave(feeder, FeedId(i)).substr(0, 3), "235") << i;
    auto arrived = [&] {
        return CountOccurrences(verdalix_test::ReadFile(b.Path("stores/0-articles.dat")),
                                "Path: verdalix.b!verdalix.a!");
    };
    EXPECT_TRUE(WaitUntil([&] { return arrived() == kCount; })) << arrived() << "\n" << a.LogText();
    EXPECT_NE(b.LogText().find(" tls"), std::string::npos) << "A's connection came to the TLS port";

    // Plain, the same address is held back: the feed could only come over TLS.
    NntpClient plain;
    ASSERT_TRUE(plain.Connect(b.Port()));
    ASSERT_FALSE(plain.ReadLine().empty());
    EXPECT_EQ(plain.Command("IHAVE " + FeedId(kCount)), "483 Encryption required");
    EXPECT_EQ(a.Stop(), 1);
    EXPECT_EQ(b.Stop(), 1);
}

}  // namespace
