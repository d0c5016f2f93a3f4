// End-to-end: reader logins with AUTHINFO USER/PASS over a raw socket, so
// the reply codes show: the login sequence and its refusals, an entry that
// admits everyone but demands a login, TLS demanded before logins and
// commands, a password file changed while the server runs, and what a
// server without a password file still does.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/shell.h"

using verdalix_test::NntpClient;
using verdalix_test::TestServer;

namespace {

// 127.0.0.1 feeds; every other address is admitted without rights of its
// own and must log in; 127.0.0.3 must use TLS first.
constexpr const char* kScript = "CreateArtStore 0 @DIR@/stores * 10 100\n"
                                "CreateGroup alt.test 0 1 y 1\n"
                                "AddIncoming 127.0.0.1\n"
                                "SetIncoming 127.0.0.1 rights 1\n"
                                "AddIncoming 127.0.0.3\n"
                                "SetIncoming 127.0.0.3 rights 2\n"
                                "SetIncoming 127.0.0.3 tls_required 1\n"
                                "AddIncoming *\n"
                                "SetIncoming * rights 0\n"
                                "SetIncoming * auth_required 1\n"
                                "AcceptConnections\n";

// The hash `verdalix -hash-password` prints for `password`.
std::string Hash(const std::string& password)
{
    auto [status, output] =
        verdalix_test::Shell("printf '%s\\n' '" + password + "' | " VERDALIX_BINARY " -hash-password");
    EXPECT_EQ(status, 0) << output;
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

void StartServer(TestServer& server, const std::string& passwords, bool tlsFirst = false)
{
    ASSERT_TRUE(verdalix_test::WriteFile(server.Path("passwords"), passwords));
    server.SetConfig("PasswordFile", "@DIR@/passwords");
    if (!tlsFirst)
        server.SetConfig("TLSRequiredForAuth", "0");
    server.SetScript(kScript);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
}

// A greeted connection from `source`.
void Connect(NntpClient& client, const TestServer& server, const char* source)
{
    ASSERT_TRUE(client.Connect(server.Port(), source));
    ASSERT_FALSE(client.ReadLine().empty());
}

std::vector<std::string> Capabilities(NntpClient& client)
{
    EXPECT_EQ(client.Command("CAPABILITIES"), "101 Capability list:");
    return client.ReadMultiline();
}

bool Has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(Authinfo, TheLoginSequenceAndTheRightsItOpens)
{
    TestServer server;
    StartServer(server, "# readers\nalice:" + Hash("s3cret words") + ":rp\n");
    NntpClient client;
    Connect(client, server, "127.0.0.2");

    std::vector<std::string> before = Capabilities(client);
    EXPECT_TRUE(Has(before, "AUTHINFO USER"));
    EXPECT_FALSE(Has(before, "READER"));
    EXPECT_EQ(client.Command("GROUP alt.test"), "480 Authentication required");
    EXPECT_EQ(client.Command("POST"), "480 Authentication required");
    EXPECT_EQ(client.Command("FROBNICATE"), "500 invalid command") << "no login makes an unknown command known";

    EXPECT_EQ(client.Command("AUTHINFO PASS s3cret words"), "482 Authentication commands issued out of sequence");
    EXPECT_EQ(client.Command("AUTHINFO"), "501 Syntax error");
    EXPECT_EQ(client.Command("AUTHINFO SASL PLAIN"), "501 Syntax error");
    EXPECT_EQ(client.Command("AUTHINFO USER alice"), "381 Password required");
    EXPECT_EQ(client.Command("AUTHINFO PASS wrong guess"), "481 Authentication failed");
    EXPECT_EQ(client.Command("AUTHINFO PASS s3cret words"), "482 Authentication commands issued out of sequence")
        << "a USER is good for one PASS";
    EXPECT_EQ(client.Command("AUTHINFO USER nobody"), "381 Password required") << "unknown names are not told apart";
    EXPECT_EQ(client.Command("AUTHINFO PASS s3cret words"), "481 Authentication failed");
    EXPECT_EQ(client.Command("authinfo user alice"), "381 Password required");
    EXPECT_EQ(client.Command("authinfo pass s3cret words"), "281 Authentication accepted");

    std::vector<std::string> after = Capabilities(client);
    EXPECT_TRUE(Has(after, "READER"));
    EXPECT_TRUE(Has(after, "POST"));
    EXPECT_FALSE(Has(after, "AUTHINFO USER"));
    EXPECT_FALSE(Has(after, "IHAVE")) << "the login gave no feed right";
    EXPECT_TRUE(client.Command("GROUP alt.test").starts_with("211 "));
    EXPECT_EQ(client.Command("AUTHINFO USER alice"), "502 Command unavailable");
    EXPECT_EQ(client.Command("AUTHINFO PASS s3cret words"), "502 Command unavailable");
    EXPECT_EQ(client.Command("POST"), "340 send it");
    client.Send("From: Alice <alice@example.org>\r\nNewsgroups: alt.test\r\nSubject: logged in\r\n\r\nhi\r\n.\r\n");
    EXPECT_EQ(client.ReadLine(), "240 got it");

    const std::string log = server.LogText();
    EXPECT_NE(log.find("authinfo: failed login as alice from 127.0.0.2:"), std::string::npos) << log;
    EXPECT_NE(log.find("authinfo: failed login as nobody from 127.0.0.2:"), std::string::npos) << log;
    EXPECT_NE(log.find("authinfo: alice logged in from 127.0.0.2:"), std::string::npos) << log;
    EXPECT_EQ(log.find("wrong guess"), std::string::npos) << "a password was logged";
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << "a password was logged";

    // The address's own rights still hold for a peer listed by address.
    NntpClient feeder;
    Connect(feeder, server, "127.0.0.1");
    EXPECT_EQ(feeder.Command("IHAVE <x@y>"), "335 Send it");
}

TEST(Authinfo, TlsComesFirstWhereDemanded)
{
    TestServer server;
    StartServer(server, "alice:" + Hash("pw") + ":r\n", true);
    NntpClient client;
    Connect(client, server, "127.0.0.2");
    std::vector<std::string> capabilities = Capabilities(client);
    EXPECT_TRUE(Has(capabilities, "AUTHINFO")) << "offered without USER until TLS is on";
    EXPECT_FALSE(Has(capabilities, "AUTHINFO USER"));
    EXPECT_EQ(client.Command("AUTHINFO USER alice"), "483 Encryption required");
    EXPECT_EQ(client.Command("AUTHINFO PASS pw"), "483 Encryption required");

    // An entry that demands TLS withholds even the rights it gives.
    NntpClient demanding;
    Connect(demanding, server, "127.0.0.3");
    EXPECT_EQ(demanding.Command("GROUP alt.test"), "483 Encryption required");
    EXPECT_EQ(demanding.Command("AUTHINFO USER alice"), "483 Encryption required");
    EXPECT_EQ(demanding.Command("QUIT"), "205 Goodbye");
}

TEST(Authinfo, APasswordFileChangedWhileRunningCountsAtTheNextLogin)
{
    TestServer server;
    StartServer(server, "alice:" + Hash("pw") + ":r\n");
    NntpClient first;
    Connect(first, server, "127.0.0.2");
    EXPECT_EQ(first.Command("AUTHINFO USER bob"), "381 Password required");
    EXPECT_EQ(first.Command("AUTHINFO PASS builder"), "481 Authentication failed");

    ASSERT_TRUE(verdalix_test::WriteFile(server.Path("passwords"), "bob:" + Hash("builder") + ":r\n"));
    NntpClient second;
    Connect(second, server, "127.0.0.2");
    EXPECT_EQ(second.Command("AUTHINFO USER bob"), "381 Password required");
    EXPECT_EQ(second.Command("AUTHINFO PASS builder"), "281 Authentication accepted");
    EXPECT_EQ(second.Command("AUTHINFO USER alice"), "502 Command unavailable");
    NntpClient third;
    Connect(third, server, "127.0.0.2");
    EXPECT_EQ(third.Command("AUTHINFO USER alice"), "381 Password required");
    EXPECT_EQ(third.Command("AUTHINFO PASS pw"), "481 Authentication failed") << "alice left the file";
}

TEST(Authinfo, WithoutAPasswordFileAddressesDecideAsBefore)
{
    TestServer server;
    server.SetScript(kScript);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    NntpClient reader;
    Connect(reader, server, "127.0.0.1");
    EXPECT_EQ(reader.Command("AUTHINFO USER alice"), "500 invalid command");
    EXPECT_EQ(reader.Command("GROUP alt.test"), "500 invalid command") << "a feeder without read rights";
    std::vector<std::string> capabilities = Capabilities(reader);
    EXPECT_FALSE(Has(capabilities, "AUTHINFO"));
    EXPECT_FALSE(Has(capabilities, "AUTHINFO USER"));
    NntpClient other;
    Connect(other, server, "127.0.0.2");
    EXPECT_EQ(other.Command("GROUP alt.test"), "480 Authentication required")
        << "auth_required still says a login is wanted";
}

}  // namespace
