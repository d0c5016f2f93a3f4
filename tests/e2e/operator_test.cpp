// End-to-end: running a site through verdalixctl and the control socket.
// Changes made with it show on the wire (LIST, NEWGROUPS, the feed
// commands); the socket admits only its owner, survives clients that
// misbehave, and a second server on the same configuration is refused.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/shell.h"
#include "support/test_articles.h"

using verdalix_test::FeedArticle;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::ReadFile;
using verdalix_test::Shell;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;

namespace {

using Lines = std::vector<std::string>;

const std::string kCtl = (std::filesystem::path(VERDALIX_BINARY).parent_path() / "verdalixctl").string();

void StartServer(TestServer& server)
{
    server.SetConfig("ActiveFile", "@DIR@/groups/active");
    server.SetConfig("NewgroupsFile", "@DIR@/groups/newgroups");
    server.SetConfig("GroupDescriptionsFile", "@DIR@/groups/descriptions");
    server.SetScript("CreateArtStore 0 @DIR@/stores * 10 100\n"
                     "CreateGroup misc.test 0 1 y 1\n"
                     "ActiveInit\n"
                     "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nAcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
}

// verdalixctl with the server's configuration file; status and output
// (standard error included).
std::pair<int, std::string> Ctl(const TestServer& server, const std::string& args)
{
    return Shell("VERDALIX_CONFIGFILE=" + server.Path("verdalix.conf") + " " + kCtl + " " + args + " 2>&1");
}

// verdalixctl --json, its output parsed by Python's json module and the
// expression `expression` of the parsed document `d` printed.
std::string Json(const TestServer& server, const std::string& args, const std::string& expression)
{
    auto [status, output] =
        Shell("VERDALIX_CONFIGFILE=" + server.Path("verdalix.conf") + " " + kCtl + " --json " + args +
              " | python3 -c 'import json,sys; d=json.load(sys.stdin); print(" + expression + ")'");
    EXPECT_EQ(status, 0) << args << ": " << output;
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

struct Reader {
    explicit Reader(const TestServer& server)
    {
        EXPECT_TRUE(client.Connect(server.Port()));
        EXPECT_TRUE(client.ReadLine().starts_with("200"));
    }
    bool Lists(const std::string& command, const std::string& prefix)
    {
        const Lines lines = client.BlockCommand(command);
        return std::any_of(lines.begin() + 1, lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
    }
    NntpClient client;
};

// One exchange on the control socket itself, without verdalixctl.
std::string Raw(const TestServer& server, const std::string& bytes)
{
    UniqueFd fd = ConnectLocal(server.Path("logs/verdalix.ctl").c_str());
    if (!fd || !SendAll(fd.get(), bytes.data(), bytes.size()))
        return "no connection";
    std::string answer;
    char chunk[4096];
    for (ssize_t got; (got = ReceiveSome(fd.get(), chunk, sizeof chunk)) > 0;) {
        answer.append(chunk, static_cast<size_t>(got));
        if (answer.find("\nOK ") != std::string::npos || answer.starts_with("OK ") || answer.starts_with("ERR ") ||
            answer.find("\nERR ") != std::string::npos)
            if (answer.back() == '\n')
                break;
    }
    return answer;
}

TEST(Operator, GroupCommandsShowOnTheWire)
{
    TestServer server;
    StartServer(server);
    auto [status, output] = Ctl(server, "newgroup local.chat m 'Chatting locally'");
    EXPECT_EQ(status, 0) << output;
    Reader reader(server);
    EXPECT_TRUE(reader.Lists("LIST ACTIVE local.*", "local.chat 000000001 000000001 m")) << server.LogText();
    EXPECT_TRUE(reader.Lists("NEWGROUPS 20000101 000000", "local.chat "));
    EXPECT_TRUE(reader.Lists("LIST NEWSGROUPS local.*", "local.chat\tChatting locally"));
    EXPECT_EQ(Json(server, "groups 'local.*'",
                   "d[\"ok\"], len(d[\"result\"]), d[\"result\"][0][\"name\"], "
                   "d[\"result\"][0][\"flag\"]"),
              "True 1 local.chat m");

    // The flag and description change in place; a bad name or flag is refused.
    EXPECT_EQ(Ctl(server, "tcl 'SetGroupFlag local.chat y'").first, 0);
    EXPECT_EQ(Ctl(server, "tcl 'SetGroupDescription local.chat {Now open}'").first, 0);
    EXPECT_TRUE(reader.Lists("LIST ACTIVE local.*", "local.chat 000000001 000000001 y"));
    EXPECT_TRUE(reader.Lists("LIST NEWSGROUPS local.*", "local.chat\tNow open"));
    EXPECT_EQ(Ctl(server, "tcl 'SetGroupFlag no.such.group y'").first, 1);
    auto [badStatus, badOutput] = Ctl(server, "newgroup 'bad name' y");
    EXPECT_EQ(badStatus, 1);
    EXPECT_NE(badOutput.find("not a valid group name"), std::string::npos) << badOutput;
    EXPECT_EQ(Ctl(server, "newgroup local.other x").first, 1);

    auto [removed, removedOutput] = Ctl(server, "rmgroup local.chat");
    EXPECT_EQ(removed, 0) << removedOutput;
    EXPECT_FALSE(reader.Lists("LIST ACTIVE", "local.chat "));
    EXPECT_EQ(reader.client.Command("GROUP local.chat").substr(0, 3), "411");
    EXPECT_EQ(Ctl(server, "rmgroup local.chat").first, 1);  // no longer carried
}

TEST(Operator, PauseRefusesOffersWhileReadersRead)
{
    TestServer server;
    StartServer(server);
    NntpClient feeder;
    ASSERT_TRUE(feeder.Connect(server.Port()));
    ASSERT_TRUE(feeder.ReadLine().starts_with("200"));
    ASSERT_EQ(OfferWithIhave(feeder, "<before@pause.test>").substr(0, 3), "235");

    auto [status, output] = Ctl(server, "pause store maintenance");
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(feeder.Command("IHAVE <during@pause.test>"), "436 intake paused: store maintenance");
    EXPECT_EQ(feeder.Command("CHECK <during@pause.test>"), "431 <during@pause.test> intake paused: store maintenance");
    EXPECT_EQ(Json(server, "status", "d[\"result\"][\"paused\"], d[\"result\"][\"reason\"]"), "1 store maintenance");
    Reader reader(server);
    EXPECT_EQ(reader.client.Command("GROUP misc.test").substr(0, 3), "211");
    EXPECT_EQ(reader.client.BlockCommand("ARTICLE <before@pause.test>").front().substr(0, 3), "220");

    // TAKETHIS cannot be told "later": the article is read, 400 answers it
    // and the connection closes, so the peer keeps it.
    NntpClient streamer;
    ASSERT_TRUE(streamer.Connect(server.Port()));
    ASSERT_TRUE(streamer.ReadLine().starts_with("200"));
    streamer.Send("TAKETHIS <stream@pause.test>\r\n" + FeedArticle("<stream@pause.test>"));
    EXPECT_EQ(streamer.ReadLine().substr(0, 3), "400");
    EXPECT_TRUE(streamer.WaitForClose());

    EXPECT_EQ(Ctl(server, "go").first, 0);
    EXPECT_EQ(feeder.Command("CHECK <during@pause.test>"), "238 <during@pause.test>");
    EXPECT_EQ(OfferWithIhave(feeder, "<after@pause.test>").substr(0, 3), "235");
    EXPECT_EQ(reader.client.Command("ARTICLE <stream@pause.test>").substr(0, 3), "430");
    EXPECT_NE(server.LogText().find("operator: intake paused: store maintenance"), std::string::npos);
}

TEST(Operator, StatusPeersSitesAndLogReopen)
{
    TestServer server;
    StartServer(server);
    NntpClient feeder;
    ASSERT_TRUE(feeder.Connect(server.Port()));
    ASSERT_TRUE(feeder.ReadLine().starts_with("200"));
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(OfferWithIhave(feeder, "<s" + std::to_string(i) + "@status.test>").substr(0, 3), "235");
    ASSERT_EQ(OfferWithIhave(feeder, "<s0@status.test>").substr(0, 3), "435");

    EXPECT_EQ(Json(server, "status",
                   "d[\"result\"][\"articles\"][\"accepted\"], d[\"result\"][\"articles\"][\"refused\"], "
                   "d[\"result\"][\"connections\"][\"feeders\"], d[\"result\"][\"history\"][\"entries\"], "
                   "len(d[\"result\"][\"stores\"])"),
              "5 1 1 5 1");
    EXPECT_EQ(Json(server, "peers",
                   "d[\"result\"][0][\"host\"], d[\"result\"][0][\"accepted\"], d[\"result\"][0][\"rights\"]"),
              "127.0.0.1 5 rpf");
    EXPECT_EQ(Json(server, "sites", "d[\"result\"]"), "[]");
    auto [status, text] = Ctl(server, "status");
    EXPECT_EQ(status, 0);
    EXPECT_NE(text.find("since start  5 accepted, 1 refused, 0 rejected"), std::string::npos) << text;

    // Log rotation: the file is moved away, the reopen starts a new one.
    ASSERT_EQ(std::rename(server.Path("logs/verdalix.log").c_str(), server.Path("logs/rotated.log").c_str()), 0);
    EXPECT_EQ(Ctl(server, "logreopen").first, 0);
    EXPECT_NE(ReadFile(server.Path("logs/verdalix.log")).find("operator: log reopened"), std::string::npos);

    // The plain-text commands in JSON too, failures included.
    EXPECT_EQ(Json(server, "pause 'json test'", "d[\"ok\"], d[\"result\"]"), "True intake paused");
    EXPECT_EQ(Json(server, "go", "d[\"ok\"], d[\"result\"]"), "True intake resumed");
    EXPECT_EQ(Json(server, "newgroup json.test", "d[\"ok\"]"), "True");
    EXPECT_EQ(Json(server, "rmgroup json.test", "d[\"ok\"], d[\"result\"]"), "True removed");
    EXPECT_EQ(Json(server, "tcl 'error \"a \\\"quoted\\\" failure\"'", "d[\"ok\"], d[\"result\"]"),
              "False a \"quoted\" failure");

    auto [down, downText] = Ctl(server, "shutdown");
    EXPECT_EQ(down, 0) << downText;
    EXPECT_EQ(server.WaitForExit(), 1);  // the console stop's status
}

TEST(Operator, SocketAdmitsOnlyItsOwnerAndSurvivesBadClients)
{
    TestServer server;
    server.SetConfig("ControlTimeLimit", "2");
    StartServer(server);
    struct stat info {};
    ASSERT_EQ(::stat(server.Path("logs/verdalix.ctl").c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    if (::geteuid() == 0 && Shell("command -v setpriv").first == 0) {
        // The socket's own mode, not only the directory, keeps others out.
        ASSERT_EQ(::chmod(server.Dir().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(server.Path("logs").c_str(), 0755), 0);
        auto [status, output] = Shell("setpriv --reuid=nobody --regid=nogroup --clear-groups " + kCtl + " -s " +
                                      server.Path("logs/verdalix.ctl") + " status 2>&1");
        EXPECT_EQ(status, 1);
        EXPECT_NE(output.find("permission denied"), std::string::npos) << output;
    }

    EXPECT_EQ(Raw(server, "SetLogCmds 1\n"), "OK \n");
    EXPECT_EQ(Raw(server, "expr {6 * 7}\n"), "OK 42\n");
    EXPECT_TRUE(server.WaitForLog("control: expr {6 * 7}"));
    EXPECT_EQ(Raw(server, "return \"one\\ntwo\"\n"), "OK-one\nOK two\n");
    EXPECT_EQ(Raw(server, "no_such_command\n"), "ERR invalid command name \"no_such_command\"\n");
    auto [status, output] = Ctl(server, "tcl 'error {it went wrong}'");
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("it went wrong"), std::string::npos);

    // Too long a line, a client gone mid-request and a script that runs
    // past the limit each end that client only.
    EXPECT_EQ(Raw(server, std::string(70000, 'x')).substr(0, 4), "ERR ");
    {
        UniqueFd gone = ConnectLocal(server.Path("logs/verdalix.ctl").c_str());
        ASSERT_TRUE(gone);
        ASSERT_TRUE(SendAll(gone.get(), "after 500; set x 1\nexpr", 23));
    }
    const std::string stopped = Raw(server, "while 1 {incr x}\n");
    EXPECT_NE(stopped.find("ERR time limit exceeded"), std::string::npos) << stopped;
    EXPECT_EQ(Raw(server, "expr {1 + 1}\n"), "OK 2\n");
    NntpClient reader;
    ASSERT_TRUE(reader.Connect(server.Port()));
    EXPECT_TRUE(reader.ReadLine().starts_with("200"));
}

TEST(Operator, StaleSocketReplacedLiveSocketRefused)
{
    TestServer server;
    {
        // A socket file nobody listens on, as a killed server leaves it.
        UniqueFd stale = ListenLocal(server.Path("logs/verdalix.ctl").c_str(), 1);
        ASSERT_TRUE(stale);
    }
    StartServer(server);
    EXPECT_EQ(Ctl(server, "go").second, "intake was not paused\n");

    TestServer second;
    second.SetConfig("ControlSocket", server.Path("logs/verdalix.ctl"));
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.WaitForExit(), 1);
    EXPECT_NE(second.StdoutText().find("is in use"), std::string::npos) << second.StdoutText();
    EXPECT_EQ(Ctl(server, "go").first, 0);  // the first one still answers

    // Without a server: a clear message and status 1.
    server.Stop();
    auto [status, output] = Ctl(server, "status");
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("is verdalix running?"), std::string::npos) << output;
    auto [usage, usageText] = Ctl(server, "frobnicate");
    EXPECT_EQ(usage, 1);
    EXPECT_NE(usageText.find("usage: verdalixctl"), std::string::npos);
}

}  // namespace
