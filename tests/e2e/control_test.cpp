// End-to-end: control messages in the control queue acted on by the server
// under an operator policy: newgroup and rmgroup seen through LIST,
// NEWGROUPS and GROUP, signatures checked with gpgv, and malformed input.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/subprocess.h"
#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::ArticleDate;
using verdalix_test::ArticleText;
using verdalix_test::MakeTempDir;
using verdalix_test::NntpClient;
using verdalix_test::ReadFile;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;
using verdalix_test::WriteFile;

namespace {

using Lines = std::vector<std::string>;

constexpr const char* kGpg = "/usr/bin/gpg";
constexpr const char* kGpgv = "/usr/bin/gpgv";

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A control message in wire form (as the queue holds it): `extra` header
// lines (CR LF each) come before the empty line.
std::string ControlArticle(const std::string& control, const std::string& id, const std::string& body,
                           const std::string& extra = "", const std::string& from = "Admin <admin@admin.test>")
{
    return ArticleText({.id = id,
                        .path = "admin.test!not-for-mail",
                        .from = from,
                        .subject = "cmsg " + control,
                        .extra = "Control: " + control + "\r\n" + extra,
                        .body = body});
}

// A server with two groups, an active file, a new-groups list and a
// descriptions file, acting on control messages by `policy` (none: the
// built-in policy).
void StartServer(TestServer& server, const std::string& policy, const std::string& more = "")
{
    if (!policy.empty()) {
        ASSERT_TRUE(WriteFile(server.Path("control.policy"), policy));
        server.SetConfig("ControlPolicyFile", "@DIR@/control.policy");
    }
    server.SetConfig("ActiveFile", "@DIR@/groups/active");
    server.SetConfig("NewgroupsFile", "@DIR@/groups/newgroups");
    server.SetConfig("GroupDescriptionsFile", "@DIR@/groups/descriptions");
    server.SetScript("CreateArtStore 0 @DIR@/stores * 10 100\n"
                     "set fresh [expr {![file exists @DIR@/groups/active]}]\n"
                     "foreach {name number} {misc.test 0 test.old 1} {\n"
                     "    if {$fresh} { CreateGroup $name $number 1 y 1 } else { InsertGroup $name $number }\n"
                     "}\n"
                     "ActiveInit\n" +
                     more +
                     "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nAcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
}

void Queue(TestServer& server, int number, const std::string& article)
{
    ASSERT_TRUE(WriteFile(server.Path("control/" + std::to_string(number) + ".control"), article));
}

bool Gone(TestServer& server, int number)
{
    return WaitUntil([&] { return !Exists(server.Path("control/" + std::to_string(number) + ".control")); }, 30);
}

struct Reader {
    explicit Reader(TestServer& server)
    {
        EXPECT_TRUE(client.Connect(server.Port()));
        EXPECT_TRUE(client.ReadLine().starts_with("200"));
    }
    Lines Multi(const std::string& command)
    {
        Lines lines{client.Command(command)};
        Lines rest = client.ReadMultiline();
        lines.insert(lines.end(), rest.begin(), rest.end());
        return lines;
    }
    NntpClient client;
};

constexpr const char* kPolicy =
    "# type  sender  hierarchy  action\n"
    "newgroup *@admin.test test.* doit\n"
    "rmgroup *@admin.test test.* doit\n"
    "checkgroups *@admin.test test.* doit\n";

TEST(ControlMessages, NewgroupAndRmgroupWithDoit)
{
    TestServer server;
    StartServer(server, kPolicy);
    // The whole road: a peer feeds the newgroup, the pipeline queues it.
    NntpClient feeder;
    ASSERT_TRUE(feeder.Connect(server.Port()));
    ASSERT_TRUE(feeder.ReadLine().starts_with("200"));
    ASSERT_EQ(feeder.Command("IHAVE <ng1@admin.test>").substr(0, 3), "335");
    feeder.Send(ControlArticle("newgroup test.new moderated", "<ng1@admin.test>",
                               "test.new is a moderated group.\r\n\r\nFor your newsgroups file:\r\n"
                               "test.new\tGroup made by a control message (Moderated)\r\n") +
                ".\r\n");
    ASSERT_EQ(feeder.ReadLine().substr(0, 3), "235");
    ASSERT_TRUE(server.WaitForLog("newgroup test.new moderated from admin@admin.test <ng1@admin.test>: created"));

    Reader r(server);
    // The misc.test line waits for the overview rewriter: only test.* is sure.
    EXPECT_EQ(r.Multi("LIST ACTIVE test.*"),
              (Lines{"215 heres what I got", "test.old 000000001 000000001 y", "test.new 000000001 000000001 m"}));
    Lines all = r.Multi("LIST");
    EXPECT_NE(std::find(all.begin(), all.end(), "test.new 000000001 000000001 m"), all.end());
    EXPECT_EQ(r.Multi("NEWGROUPS 990101 000000 GMT"), (Lines{"231", "test.new 1 1 m"}));
    EXPECT_EQ(r.client.Command("GROUP test.new").substr(0, 3), "211");
    EXPECT_EQ(ReadFile(server.Path("groups/descriptions")),
              "test.new\tGroup made by a control message (Moderated)\n");

    // A newgroup of a group that exists changes its flag only.
    Queue(server, 100, ControlArticle("newgroup test.old moderated", "<ng2@admin.test>", "x\r\n"));
    Queue(server, 101, ControlArticle("rmgroup test.new", "<rm1@admin.test>", "gone\r\n"));
    ASSERT_TRUE(Gone(server, 101));
    ASSERT_TRUE(server.WaitForLog("rmgroup test.new from admin@admin.test <rm1@admin.test>: removed"));
    EXPECT_EQ(r.Multi("LIST ACTIVE test.*"), (Lines{"215 heres what I got", "test.old 000000001 000000001 m"}));
    EXPECT_EQ(r.client.Command("GROUP test.new").substr(0, 3), "411");
    EXPECT_EQ(r.Multi("NEWGROUPS 990101 000000 GMT"), (Lines{"231"}));
    EXPECT_EQ(ReadFile(server.Path("groups/descriptions")), "");

    // Made and removed groups stay so after a restart, though the start-up
    // script names test.old again.
    Queue(server, 102, ControlArticle("newgroup test.kept", "<ng3@admin.test>", "x\r\n"));
    Queue(server, 103, ControlArticle("rmgroup test.old", "<rm2@admin.test>", "x\r\n"));
    ASSERT_TRUE(Gone(server, 103));
    r.client.Close();
    feeder.Close();
    EXPECT_EQ(server.Restart(), 1);
    ASSERT_TRUE(server.WaitForListening());
    ASSERT_TRUE(server.WaitForLog("test.old was removed by an rmgroup and named again at start-up: removed"));
    Reader again(server);
    EXPECT_EQ(again.Multi("LIST ACTIVE test.*"), (Lines{"215 heres what I got", "test.kept 000000001 000000001 y"}));
    EXPECT_EQ(again.client.Command("GROUP test.kept").substr(0, 3), "211");
    EXPECT_EQ(again.client.Command("GROUP test.old").substr(0, 3), "411");
}

TEST(ControlMessages, DefaultPolicyAndUnmatchedRulesOnlyLog)
{
    TestServer server;
    StartServer(server, "");
    Queue(server, 0, ControlArticle("newgroup test.new", "<d1@admin.test>", "x\r\n"));
    Queue(server, 1, ControlArticle("rmgroup test.old", "<d2@admin.test>", "x\r\n"));
    ASSERT_TRUE(Gone(server, 0) && Gone(server, 1));
    EXPECT_TRUE(server.WaitForLog("newgroup test.new from admin@admin.test <d1@admin.test>: logged only"));
    Reader r(server);
    EXPECT_EQ(r.Multi("LIST"), (Lines{"215 heres what I got", "misc.test 000000001 000000001 y",
                                      "test.old 000000001 000000001 y"}));
    EXPECT_FALSE(Exists(server.Path("groups/newgroups")));
}

TEST(ControlMessages, RulesChooseBySenderAndHierarchyLastMatchWins)
{
    TestServer server;
    StartServer(server, std::string(kPolicy) + "newgroup *@admin.test test.quiet.* drop\n");
    Queue(server, 0, ControlArticle("newgroup test.other", "<s1@x>", "x\r\n", "", "intruder@elsewhere.test"));
    Queue(server, 1, ControlArticle("newgroup alt.other", "<s2@x>", "x\r\n"));
    Queue(server, 2, ControlArticle("newgroup test.quiet.one", "<s3@x>", "x\r\n"));
    Queue(server, 3, ControlArticle("checkgroups", "<s4@x>", "test.old\tstays\r\ntest.listed\tnot here\r\n"));
    ASSERT_TRUE(Gone(server, 0) && Gone(server, 1) && Gone(server, 2) && Gone(server, 3));
    EXPECT_TRUE(server.WaitForLog("newgroup test.other from intruder@elsewhere.test <s1@x>: logged only"));
    EXPECT_TRUE(server.WaitForLog("newgroup alt.other from admin@admin.test <s2@x>: logged only"));
    EXPECT_TRUE(server.WaitForLog("checkgroups from admin@admin.test <s4@x>: 2 groups listed; listed but not "
                                  "carried here: test.listed; carried here but not listed: none"));
    EXPECT_EQ(server.LogText().find("test.quiet.one"), std::string::npos);
    Reader r(server);
    EXPECT_EQ(r.Multi("LIST").size(), 3u);
}

TEST(ControlMessages, MalformedFilesAndPolicyLinesAreLoggedAndKept)
{
    TestServer server;
    StartServer(server, "newgroup * doit\nnewgroup * * maybe\nnewgroup * * doit verify=\n" + std::string(kPolicy));
    Queue(server, 0, "Path: x\r\nFrom: a@admin.test\r\nSubject: no control\r\n\r\nbody\r\n");
    Queue(server, 1, ControlArticle("newgroup test..bad", "<m2@x>", "x\r\n"));
    Queue(server, 2, "Control: newgroup test.a\r\nFrom: a@admin.test\r\nno blank line follows");
    Queue(server, 3, "Control: newgroup test.b\r\nbroken header line\r\nFrom: a@admin.test\r\n\r\nx\r\n");
    Queue(server, 4, ControlArticle("newgroup test.good", "<m5@x>", "x\r\n"));
    ASSERT_TRUE(Gone(server, 4));
    std::string log = server.LogText();
    EXPECT_NE(log.find("line 1 ignored: expected: type sender hierarchy action [verify]"), std::string::npos);
    EXPECT_NE(log.find("line 2 ignored: unknown action \"maybe\" (doit, log or drop)"), std::string::npos);
    EXPECT_NE(log.find("line 3 ignored: fifth field must be verify or verify=<signer>"), std::string::npos);
    EXPECT_NE(log.find("control: 0.control kept: no Control: header"), std::string::npos);
    EXPECT_NE(log.find("control: 1.control kept: newgroup without a valid group name"), std::string::npos);
    EXPECT_NE(log.find("control: 2.control kept: no empty line after the headers"), std::string::npos);
    EXPECT_NE(log.find("control: 3.control kept: header line without a name and colon"), std::string::npos);
    for (int n = 0; n < 4; ++n)
        EXPECT_TRUE(Exists(server.Path("control/" + std::to_string(n) + ".control"))) << n;
    Reader r(server);
    EXPECT_EQ(r.client.Command("GROUP test.good").substr(0, 3), "211");
    // Kept files are not taken up again on every pass.
    ASSERT_TRUE(server.Stop() == 1);
    EXPECT_EQ(verdalix_test::CountOccurrences(server.LogText(), "0.control kept"), 1u);
}

// A throw-away signing key in its own GnuPG home, and the exported keyring.
class SigningKey {
public:
    SigningKey() : home_(MakeTempDir())
    {
        ::chmod(home_.c_str(), 0700);
        ok_ = Gpg({"--passphrase", "", "--pinentry-mode", "loopback", "--quick-gen-key",
                   "Test Admin <admin@admin.test>", "ed25519", "sign", "never"}) &&
              Gpg({"--output", Keyring(), "--export", "admin@admin.test"});
    }
    ~SigningKey()
    {
        RunProgram({"/usr/bin/gpgconf", "--homedir", home_, "--kill", "gpg-agent"}, 4096, 30000);
        std::filesystem::remove_all(home_);
    }
    bool ok() const { return ok_; }
    std::string Keyring() const { return home_ + "/keyring.gpg"; }

    // The armour lines of a detached text-mode signature of `text`, between
    // the armour headers and the end line.
    std::vector<std::string> Sign(const std::string& text)
    {
        std::string input = home_ + "/signed.txt", output = home_ + "/signed.asc";
        std::filesystem::remove(output);
        if (!WriteFile(input, text) || !Gpg({"--textmode", "--armor", "--detach-sign", "--output", output, input}))
            return {};
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(output));
        bool body = false;
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("-----END"))
                break;
            if (body)
                lines.push_back(line);
            body = body || line.empty();
        }
        return lines;
    }

private:
    bool Gpg(std::vector<std::string> args)
    {
        args.insert(args.begin(), {kGpg, "--batch", "--homedir", home_});
        ProgramRun run = RunProgram(args, 65536, 120000);
        EXPECT_EQ(run.status, 0) << run.output;
        return run.status == 0;
    }

    std::string home_;
    bool ok_ = false;
};

TEST(ControlMessages, VerifyRuleActsOnlyOnGoodSignatures)
{
    if (::access(kGpg, X_OK) != 0 || ::access(kGpgv, X_OK) != 0)
        GTEST_SKIP() << "gpg or gpgv not installed (scripts/install-deps.sh installs them)";
    SigningKey key;
    ASSERT_TRUE(key.ok());
    // The signed text as the convention lays it out, written out by hand.
    const std::string date = ArticleDate();
    auto signedText = [&](const std::string& group, const std::string& id) {
        return "X-Signed-Headers: Subject,Control,Message-ID,Date,From\n"
               "Subject: cmsg newgroup " + group + "\nControl: newgroup " + group + "\nMessage-ID: " + id +
               "\nDate: " + date + "\nFrom: Admin <admin@admin.test>\n\nA signed group.\n. a dot-stuffed line\n";
    };
    auto signature = [&](const std::string& group, const std::string& id) {
        std::string header = "X-PGP-Sig: GnuPG Subject,Control,Message-ID,Date,From";
        for (const std::string& line : key.Sign(signedText(group, id)))
            header += "\r\n\t" + line;
        return header + "\r\n";
    };
    auto article = [&](const std::string& group, const std::string& id, const std::string& extra) {
        return "From: Admin <admin@admin.test>\r\nSubject: cmsg newgroup " + group + "\r\nControl: newgroup " + group +
               "\r\nMessage-ID: " + id + "\r\nDate: " + date + "\r\nPath: admin.test!not-for-mail\r\n" + extra +
               "\r\nA signed group.\r\n.. a dot-stuffed line\r\n";
    };
    std::string good = signature("test.signed", "<v1@admin.test>");
    ASSERT_GT(good.size(), 100u);

    TestServer server;
    server.SetConfig("ControlKeyring", key.Keyring());
    server.SetConfig("GpgvPath", kGpgv);
    StartServer(server, "newgroup * test.* doit verify\n"
                        "newgroup * test.strict.* doit verify=*<other@admin.test>\n");
    Queue(server, 0, article("test.signed", "<v1@admin.test>", good));
    // The same signature over a message changed in transit.
    Queue(server, 1, article("test.forged", "<v1@admin.test>", good));
    Queue(server, 2, article("test.unsigned", "<v3@admin.test>", ""));
    // A good signature, but not by the key the rule names.
    Queue(server, 3, article("test.strict.one", "<v4@admin.test>", signature("test.strict.one", "<v4@admin.test>")));
    ASSERT_TRUE(Gone(server, 0) && Gone(server, 1) && Gone(server, 2) && Gone(server, 3));
    EXPECT_TRUE(server.WaitForLog("newgroup test.signed from admin@admin.test <v1@admin.test>: good signature by "
                                  "Test Admin <admin@admin.test>"));
    EXPECT_TRUE(server.WaitForLog("newgroup test.forged from admin@admin.test <v1@admin.test>: signature not "
                                  "accepted (bad signature (gpgv status 1)); only logged"));
    EXPECT_TRUE(server.WaitForLog("newgroup test.unsigned from admin@admin.test <v3@admin.test>: signature not "
                                  "accepted (no X-PGP-Sig header); only logged"));
    Reader r(server);
    EXPECT_EQ(r.client.Command("GROUP test.signed").substr(0, 3), "211");
    EXPECT_EQ(r.client.Command("GROUP test.forged").substr(0, 3), "411");
    EXPECT_EQ(r.client.Command("GROUP test.unsigned").substr(0, 3), "411");
    EXPECT_TRUE(server.WaitForLog("newgroup test.strict.one from admin@admin.test <v4@admin.test>: signature not "
                                  "accepted (signer Test Admin <admin@admin.test> does not match "
                                  "*<other@admin.test>); only logged"));
    EXPECT_EQ(r.client.Command("GROUP test.strict.one").substr(0, 3), "411");
}

}  // namespace
