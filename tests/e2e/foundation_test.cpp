// End-to-end: the program's switches, its start-up script and its stop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/shell.h"
#include "support/test_articles.h"

using verdalix_test::MakeTempDir;
using verdalix_test::NntpClient;
using verdalix_test::ReadFile;
using verdalix_test::RunVerdalix;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;
using verdalix_test::WriteFile;

namespace {

// Position of `text` in `output` after `from`, or npos.
size_t FindAfter(const std::string& output, const std::string& text, size_t from)
{
    return from == std::string::npos ? std::string::npos : output.find(text, from);
}

const char* const kClosingOrder[] = {
    "Stopping Verdalix Internet News Server.\n",
    "shutting down...\n",
    "locking out article insertions...\n",
    "article insertions locked out\n",
    "closing connections.done.\n",
    "shutting down ArtStores...\n",
    "stores shut down...\n",
    "shutting down seendb...\n",
    "...seendb shut down\n",
    "shutting down groupdb...\n",
    "groupdb shut down\n",
};

const char kUsage[] =
    "Verdalix -install          to install the service\n"
    "Verdalix -remove           to remove the service\n"
    "Verdalix -debug            to run as a console app for debugging\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

// Checks that the texts appear in `output` in this order.
template <typename Texts>
void ExpectInOrder(const std::string& output, const Texts& texts)
{
    size_t at = 0;
    for (const char* text : texts) {
        at = FindAfter(output, text, at);
        EXPECT_NE(at, std::string::npos) << "missing or out of order: " << text << "\noutput:\n" << output;
    }
}

TEST(ServerStop, InterruptRunsTheClosingOrderAndExitsWithOne)
{
    TestServer server;
    server.SetArgs({"/DeBuG"});  // any case, after "/" as after "-"
    server.SetScript("LogLine ready\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("ready"));
    EXPECT_TRUE(server.StdoutText().starts_with("Debugging Verdalix Internet News Server.\n"));
    EXPECT_EQ(server.Stop(), 1);
    ExpectInOrder(server.StdoutText(), kClosingOrder);
    std::string log = server.LogText();
    EXPECT_TRUE(log.ends_with("base: shutting down\n")) << log;
}

TEST(ServerStop, RestartKeepsTheDirectory)
{
    TestServer server;
    server.SetScript("LogLine \"first run in [pwd]\"\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("first run in " + server.Dir() + "\n"));
    server.SetScript("LogLine {second run}\n");
    EXPECT_EQ(server.Restart(), 1);
    ASSERT_TRUE(server.WaitForLog("second run"));
    std::string log = server.LogText();
    EXPECT_LT(log.find("first run"), log.find("base: shutting down\n"));
    EXPECT_LT(log.find("base: shutting down\n"), log.find("second run"));
    EXPECT_EQ(server.Stop(), 1);
}

// Sessions still open after the 8-second wait do not hold the closing order up.
TEST(ServerStop, OpenSessionsAreWaitedForAtMostEightSeconds)
{
    TestServer server;
    server.SetScript("AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nAcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    NntpClient sessions[3];
    for (NntpClient& session : sessions) {
        ASSERT_TRUE(session.Connect(server.Port()));
        ASSERT_TRUE(session.ReadLine().starts_with("200"));
        // An answered command shows the session's thread is in its loop, so
        // it is not still starting when the stop begins.
        ASSERT_TRUE(session.Command("mode reader").starts_with("20"));
    }
    EXPECT_EQ(server.Stop(), 1);
    std::string out = server.StdoutText();
    EXPECT_NE(out.find("closing connections.........done.\n"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("groupdb shut down\n")) << out;
}

TEST(StartupScript, ErrorIsLoggedAndTheServerKeepsRunning)
{
    TestServer server;
    server.SetScript("LogLine {before the error}\nset broken {\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("Startup error:"));
    ASSERT_TRUE(server.WaitForLog("missing close-brace"));
    std::string log = server.LogText();
    size_t error = log.find(": Startup error:\n");
    ASSERT_NE(error, std::string::npos) << log;
    EXPECT_NE(log.find(": missing close-brace", error), std::string::npos) << log;
    EXPECT_LT(log.find("before the error"), error);
    EXPECT_TRUE(server.Running());
    EXPECT_EQ(server.Stop(), 1);
    ExpectInOrder(server.StdoutText(), kClosingOrder);
}

// A port that is taken: the log names the address, port and error, and
// AcceptConnections fails with that text, so the script's error says it.
TEST(StartupScript, PortInUseFailsAcceptConnectionsWithTheReason)
{
    TestServer server;
    const UniqueFd taken = verdalix_test::TakePort(server.Port());
    ASSERT_TRUE(taken.valid());
    server.SetScript("AcceptConnections\nLogLine {not reached}\n");
    ASSERT_TRUE(server.Start());
    const std::string reason =
        "cannot listen on 127.0.0.1:" + std::to_string(server.Port()) + ": bind: Address already in use\n";
    ASSERT_TRUE(server.WaitForLog("Startup error:"));
    const std::string log = server.LogText();
    const size_t error = log.find(": Startup error:\n");
    EXPECT_LT(log.find(": " + reason), error) << log;
    EXPECT_NE(log.find(": " + reason, error), std::string::npos) << log;
    EXPECT_EQ(log.find("not reached"), std::string::npos) << log;
    EXPECT_TRUE(server.Running());
    EXPECT_EQ(server.Stop(), 1);
}

// A misspelt site parameter is named, with the one meant, in the script's error.
TEST(StartupScript, MisspeltSiteParameterIsNamed)
{
    TestServer server;
    server.SetScript("CreateSite peer\nSetSite peer hostnme news.example\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("Startup error:"));
    EXPECT_TRUE(server.WaitForLog(": SetSite: unknown parameter \"hostnme\"; did you mean hostname?\n"))
        << server.LogText();
    EXPECT_EQ(server.Stop(), 1);
}

TEST(StartupScript, MissingScriptIsAStartupError)
{
    TestServer server;
    server.SetConfig("StartupScript", "@DIR@/no such script.tcl");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("no such script.tcl"));
    EXPECT_NE(server.LogText().find("Startup error:"), std::string::npos);
    EXPECT_TRUE(server.Running());
}

TEST(StartupScript, GeneralCommandsFromTheScript)
{
    TestServer server;
    server.SetConfig("Greeting", "hello  there ");
    server.SetScript(
        "LogLine \"greeting=<[GetConfigString greeting]>\"\n"
        "LogLine \"unset=<[GetConfigString nosuchkey]>\"\n"
        "LogLine \"state=<[GetWriteState]>\"\n"
        "catch {AcceptConnections now} message\n"
        "LogLine \"accept=<$message>\"\n"
        "LogLine \"stats=<[lindex [GetBaseStats] 0 0]>\"\n"
        "LogLine done\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog(": done\n"));
    std::string log = server.LogText();
    EXPECT_NE(log.find(": greeting=<hello  there >\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": unset=<>\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": state=<no state>\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": accept=<AcceptConnections (no args allowed)>\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": stats=<starttime>\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Startup error:"), std::string::npos) << log;
}

TEST(StartupScript, TimersKeepRunningInTheEventLoop)
{
    TestServer server;
    server.SetScript("after 50 {LogLine {timer fired}}\n");
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(server.WaitForLog("timer fired"));
}

TEST(StartupScript, CrashClosesTheLogAndSkipsTheClosingOrder)
{
    TestServer server;
    server.SetScript("LogLine {about to crash}\ncrash\n");
    ASSERT_TRUE(server.Start());
    int status = server.WaitForExit();
    EXPECT_NE(status, -1) << "crash did not end the process";
    EXPECT_NE(status, 0);
    std::string log = server.LogText();
    EXPECT_TRUE(log.ends_with("about to crash\nbase: shutting down\n")) << log;
    std::string out = server.StdoutText();
    EXPECT_EQ(out.find("shutting down..."), std::string::npos) << out;
}

TEST(CommandLine, ScriptPrintsTheResultAndExitsZero)
{
    std::string dir = MakeTempDir();
    ASSERT_TRUE(WriteFile(dir + "/ok.tcl", "set x [expr {6 * 7}]\nlist $x [info commands AcceptConnections]\n"));
    ASSERT_TRUE(WriteFile(dir + "/fails.tcl", "error {went wrong}\n"));
    verdalix_test::ProgramResult ok = RunVerdalix({"-script", dir + "/ok.tcl"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.output, "42 {}\n");  // a plain interpreter: no server commands
    verdalix_test::ProgramResult fails = RunVerdalix({"-SCRIPT", dir + "/fails.tcl"});
    EXPECT_EQ(fails.status, 0);
    EXPECT_EQ(fails.output, "went wrong\n");
    verdalix_test::ProgramResult missing = RunVerdalix({"-script", dir + "/absent.tcl"});
    EXPECT_EQ(missing.status, 0);
    EXPECT_NE(missing.output.find("couldn't read file"), std::string::npos) << missing.output;
    verdalix_test::ProgramResult none = RunVerdalix({"-script"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.output, "");
    std::filesystem::remove_all(dir);
}

TEST(CommandLine, MissingConfigurationFileExitsWithOne)
{
    verdalix_test::ProgramResult result =
        RunVerdalix({"-debug"}, {"VERDALIX_CONFIGFILE=/nonexistent/verdalix.conf"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output,
              "Debugging Verdalix Internet News Server.\n"
              "could not open config file, exiting...\n"
              "/nonexistent/verdalix.conf\n");
}

TEST(CommandLine, UnknownSwitchPrintsUsageAndFailsOutsideTheServiceManager)
{
    for (const char* word : {"debug", "-help"}) {
        verdalix_test::ProgramResult result = RunVerdalix({word}, {"INVOCATION_ID"});
        EXPECT_EQ(result.output, kUsage) << word;
        EXPECT_EQ(result.status, 0) << word;
    }
    EXPECT_EQ(RunVerdalix({}, {"INVOCATION_ID"}).output, kUsage);
}

// A directory for a fake systemctl that records its calls; the unit counts
// as active while the file "active" exists, and stopping removes it.
class ServiceInstall : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = MakeTempDir();
        std::filesystem::create_directory(dir_ + "/units");
        std::filesystem::create_directory(dir_ + "/bin");
        std::filesystem::create_directory(dir_ + "/nobin");
        std::string fake = "#!/bin/sh\necho \"$*\" >> " + dir_ +
                           "/calls\n"
                           "case \"$1\" in\n"
                           "  show) if [ -e " + dir_ + "/active ]; then echo active; else echo inactive; fi ;;\n"
                           "  stop) /bin/rm -f " + dir_ + "/active ;;\n"
                           "esac\nexit 0\n";
        ASSERT_TRUE(WriteFile(dir_ + "/bin/systemctl", fake));
        ::chmod((dir_ + "/bin/systemctl").c_str(), 0755);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    verdalix_test::ProgramResult Run(const char* action, const std::string& unitDir, const char* bin = "bin")
    {
        return RunVerdalix({action}, {"VERDALIX_UNIT_DIR=" + unitDir, "PATH=" + dir_ + "/" + bin});
    }

    std::string dir_;
};

TEST_F(ServiceInstall, InstallWritesTheUnitAndRemoveDeletesIt)
{
    std::string units = dir_ + "/units";
    verdalix_test::ProgramResult installed = Run("-install", units);
    EXPECT_EQ(installed.output, "Verdalix Internet News Server installed.\n");
    EXPECT_EQ(installed.status, 0);
    std::string unit = ReadFile(units + "/verdalix.service");
    EXPECT_NE(unit.find("Description=Verdalix Internet News Server\n"), std::string::npos) << unit;
    std::string self = std::filesystem::canonical(VERDALIX_BINARY).string();
    EXPECT_EQ(unit.find("@VERDALIX@"), std::string::npos) << unit;
    for (const std::string& line :
         {"ExecStart=" + self + "\n", "ExecStartPre=" + self + " -check\n", std::string("Type=notify\n"),
          std::string("User=verdalix\n"), std::string("AmbientCapabilities=CAP_NET_BIND_SERVICE\n"),
          std::string("ProtectSystem=strict\n"),
          "ExecReload=" + self.substr(0, self.rfind('/')) + "/verdalixctl logreopen\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
    // The unit -install writes is the file the package ships.
    std::string shipped = ReadFile(VERDALIX_SOURCE_DIR "/etc/verdalix.service.in");
    for (size_t at; (at = shipped.find("@VERDALIXCTL@")) != std::string::npos;)
        shipped.replace(at, 13, self.substr(0, self.rfind('/')) + "/verdalixctl");
    for (size_t at; (at = shipped.find("@VERDALIX@")) != std::string::npos;)
        shipped.replace(at, 10, self);
    EXPECT_EQ(unit, shipped);
    if (verdalix_test::Shell("command -v systemd-analyze").first == 0) {
        const auto [status, output] =
            verdalix_test::Shell("systemd-analyze verify --man=no " + units + "/verdalix.service");
        EXPECT_EQ(output.find("verdalix.service:"), std::string::npos) << output;
    }
    EXPECT_NE(ReadFile(dir_ + "/calls").find("daemon-reload"), std::string::npos);

    EXPECT_EQ(Run("-install", units).output, "CreateService failed - File exists (0x11)\n");

    verdalix_test::ProgramResult removed = Run("/REMOVE", units);
    EXPECT_EQ(removed.output, "Verdalix Internet News Server removed.\n");
    EXPECT_EQ(removed.status, 0);
    EXPECT_FALSE(std::filesystem::exists(units + "/verdalix.service"));
    EXPECT_EQ(ReadFile(dir_ + "/calls").find("stop"), std::string::npos) << "an inactive unit is not stopped";

    EXPECT_EQ(Run("-remove", units).output, "OpenService failed - No such file or directory (0x2)\n");
}

TEST_F(ServiceInstall, RemoveStopsAnActiveUnitFirst)
{
    std::string units = dir_ + "/units";
    ASSERT_EQ(Run("-install", units, "nobin").output, "Verdalix Internet News Server installed.\n");
    ASSERT_TRUE(WriteFile(dir_ + "/active", ""));
    verdalix_test::ProgramResult removed = Run("-remove", units);
    EXPECT_EQ(removed.output,
              "Stopping Verdalix Internet News Server.\n"
              "Verdalix Internet News Server stopped.\n"
              "Verdalix Internet News Server removed.\n");
    EXPECT_NE(ReadFile(dir_ + "/calls").find("stop --no-block verdalix.service"), std::string::npos);
}

TEST_F(ServiceInstall, MissingUnitDirectory)
{
    std::string missing = dir_ + "/no-such-dir";
    EXPECT_EQ(Run("-install", missing).output, "OpenSCManager failed - No such file or directory (0x2)\n");
    EXPECT_EQ(Run("-remove", missing).output, "OpenSCManager failed - No such file or directory (0x2)\n");
    std::string file = dir_ + "/calls-file";
    ASSERT_TRUE(WriteFile(file, ""));
    EXPECT_EQ(Run("-install", file).output, "OpenSCManager failed - Not a directory (0x14)\n");
}

namespace {

// A datagram socket standing in for the service manager's notify socket.
struct NotifyListener {
    explicit NotifyListener(const std::string& path)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        EXPECT_LT(path.size(), sizeof addr.sun_path);
        std::memcpy(addr.sun_path, path.c_str(), std::min(path.size() + 1, sizeof addr.sun_path));
        EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    // Every datagram received so far, each followed by "|".
    std::string Messages()
    {
        char datagram[512];
        for (ssize_t got; (got = ::recv(socket.get(), datagram, sizeof datagram, MSG_DONTWAIT)) > 0;)
            received.append(datagram, static_cast<size_t>(got)).append("|");
        return received;
    }
    UniqueFd socket{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    std::string received;
};

void RunAsService(TestServer& server, const std::string& script)
{
    server.SetArgs({"-service"});
    server.AddEnvironment("INVOCATION_ID=test");
    server.AddEnvironment("NOTIFY_SOCKET=" + server.Path("notify"));
    server.SetScript(script);
}

}  // namespace

// Under the service manager: READY=1 once the port listens, SIGTERM stops
// with status 0.
TEST(ServiceMode, NotifiesTheServiceManagerAndStopsOnTerm)
{
    TestServer server;
    NotifyListener notify(server.Path("notify"));
    RunAsService(server, "LogLine started\nAcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);
    std::string out = server.StdoutText();
    EXPECT_TRUE(out.starts_with(kUsage)) << out;
    EXPECT_NE(out.find("groupdb shut down\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Stopping"), std::string::npos) << out;
    EXPECT_EQ(notify.Messages(), "READY=1|STOPPING=1|");
}

// A script that fails before AcceptConnections never reports ready: the
// service manager sees a failed start, with the script's error as status.
TEST(ServiceMode, ScriptFailingBeforeAcceptConnectionsIsNeverReady)
{
    TestServer server;
    NotifyListener notify(server.Path("notify"));
    RunAsService(server, "LogLine started\nNoSuchCommand here\nAcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("Startup error:"));
    EXPECT_TRUE(WaitUntil([&] { return !notify.Messages().empty(); }, 30));
    EXPECT_EQ(notify.Messages(), "STATUS=Startup error: invalid command name \"NoSuchCommand\"|");
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);
    EXPECT_EQ(notify.Messages().find("READY=1"), std::string::npos);
}

// The demo's templates must stay a working configuration and start-up script.
TEST(Templates, DemoConfigurationAndScriptRunCleanly)
{
    TestServer server;
    std::istringstream conf(ReadFile(VERDALIX_SOURCE_DIR "/etc/verdalix.conf.in"));
    int keys = 0;
    for (std::string line; std::getline(conf, line);) {
        size_t equals = line.find('=');
        if (line.starts_with('#') || equals == std::string::npos)
            continue;
        std::string key = line.substr(0, line.find_last_not_of(" \t", equals - 1) + 1);
        std::string value = line.substr(line.find_first_not_of(" \t", equals + 1));
        server.SetConfig(key, value);
        ++keys;
    }
    EXPECT_GT(keys, 10);
    server.SetScript(ReadFile(VERDALIX_SOURCE_DIR "/etc/init.tcl.in") + "\nLogLine {demo script done}\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog("demo script done")) << "the template script stopped early";
    EXPECT_EQ(server.LogText().find("Startup error:"), std::string::npos);
    EXPECT_EQ(server.LogText().find("unknown key"), std::string::npos);
    ASSERT_TRUE(server.WaitForListening());
    NntpClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    EXPECT_TRUE(client.ReadLine().starts_with("200 ")) << "the demo admits this machine with all rights";
    client.Close();
    EXPECT_EQ(server.Stop(), 1);
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
