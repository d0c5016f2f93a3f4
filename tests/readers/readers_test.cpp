// End-to-end with real news readers: slrn and tin, driven in a tmux
// terminal, list the groups, enter one, read an article and post a
// follow-up that the server then serves. Skipped when tmux or the reader is
// not installed; every wait polls the screen or the server, with no clock
// assertions.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/shell.h"
#include "support/test_articles.h"

using verdalix_test::NntpClient;
using verdalix_test::Shell;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;
using verdalix_test::WriteFile;

namespace {

constexpr int kScreenSeconds = 30;
const std::string kSeedSubject = "seed for readers";

bool Installed(const std::string& program)
{
    return Shell("command -v " + program).first == 0;
}

// A tmux server of the test's own (its socket named after the process), so
// the test neither sees nor disturbs anyone else's sessions; killed at the end.
class Terminal {
public:
    explicit Terminal(const std::string& name) : socket_("verdalix-" + name + "-" + std::to_string(::getpid())) {}
    // The reader outlives a killed tmux server (it ignores the hang-up), so
    // it is killed by its pid first.
    ~Terminal()
    {
        const std::string pid = Shell(Tmux() + " display-message -p -t r '#{pane_pid}'").second;
        if (const long number = std::atol(pid.c_str()); number > 1)
            ::kill(static_cast<pid_t>(number), SIGKILL);
        Shell(Tmux() + " kill-server");
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool Start(const std::string& command)
    {
        return Shell(Tmux() + " new-session -d -s r -x 120 -y 40 '" + command + "'").first == 0;
    }
    void Keys(const std::string& keys) { Shell(Tmux() + " send-keys -t r " + keys); }
    std::string Screen() { return Shell(Tmux() + " capture-pane -p -t r").second; }
    // True once `text` is on the screen.
    bool WaitFor(const std::string& text)
    {
        return WaitUntil([&] { return Screen().find(text) != std::string::npos; }, kScreenSeconds);
    }

private:
    std::string Tmux() const { return "tmux -L " + socket_; }
    std::string socket_;
};

void StartServer(TestServer& server)
{
    server.SetScript("AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nCreateArtStore 0 @DIR@/stores {*} 16 0\n"
                     "CreateGroup misc.test 0 4 y 1\nCreateGroup alt.quiet 10 1 y 1\nAcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    NntpClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
    ASSERT_EQ(client.Command("POST"), "340 send it");
    client.Send("From: Seeder <seed@example.org>\r\nNewsgroups: misc.test\r\nSubject: " + kSeedSubject +
                "\r\n\r\nthe seed body\r\n.\r\n");
    ASSERT_EQ(client.ReadLine(), "240 got it");
}

// The overview lines of misc.test.
std::vector<std::string> Overview(const TestServer& server)
{
    NntpClient client;
    if (!client.Connect(server.Port()) || client.ReadLine().empty() ||
        client.Command("GROUP misc.test").substr(0, 3) != "211" || client.Command("XOVER 1-").substr(0, 3) != "224")
        return {};
    return client.ReadMultiline();
}

// Field `n` (0 the number) of an overview line.
std::string Field(const std::string& line, int n)
{
    size_t start = 0;
    for (int i = 0; i < n && start != std::string::npos; ++i)
        start = line.find('\t', start) == std::string::npos ? std::string::npos : line.find('\t', start) + 1;
    return start == std::string::npos ? "" : line.substr(start, line.find('\t', start) - start);
}

// The follow-up from `from` once the server serves it, threaded under the
// seed (its References name the seed's Message-ID); empty if it never comes.
std::string FollowUpFrom(const TestServer& server, const std::string& from)
{
    std::string found;
    WaitUntil(
        [&] {
            std::string seedId;
            for (const std::string& line : Overview(server))
                if (Field(line, 1) == kSeedSubject)
                    seedId = Field(line, 4);
            for (const std::string& line : Overview(server))
                if (Field(line, 1) == "Re: " + kSeedSubject && Field(line, 2) == from && !seedId.empty() &&
                    Field(line, 5).find(seedId) != std::string::npos)
                    found = line;
            return !found.empty();
        },
        kScreenSeconds);
    return found;
}

// The screen line slrn marks as current ("->").
std::string CursorLine(const std::string& screen)
{
    const size_t cursor = screen.find("->");
    return cursor == std::string::npos ? "" : screen.substr(cursor, screen.find('\n', cursor) - cursor);
}

// An editor for the reader: appends a line to the file it is given.
std::string WriteEditor(const std::string& home, const std::string& line)
{
    const std::string path = home + "/edit.sh";
    EXPECT_TRUE(WriteFile(path, "#!/bin/sh\nfor f; do :; done\nprintf '\\n" + line + "\\n' >> \"$f\"\n"));
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

}  // namespace

TEST(Readers, SlrnListsEntersReadsAndFollowsUp)
{
    if (!Installed("tmux") || !Installed("slrn"))
        GTEST_SKIP() << "tmux or slrn is not installed";
    TestServer server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server));
    const std::string home = server.Path("slrn-home");
    std::filesystem::create_directories(home);
    const std::string editor = WriteEditor(home, "A follow-up written by slrn.");
    ASSERT_TRUE(WriteFile(home + "/.slrnrc", "set hostname \"reader.example\"\nset username \"slrnuser\"\n"
                                             "set realname \"Slrn Reader\"\nset editor_command \"" +
                                                 editor +
                                                 " %s\"\nset confirm_actions 0\n"
                                                 "set query_read_group_cutoff 0\n"));
    Terminal terminal("slrn");
    ASSERT_TRUE(terminal.Start("env HOME=" + home + " TERM=screen slrn --nntp -h 127.0.0.1 -p " +
                               std::to_string(server.Port()) + " -f " + home + "/newsrc --create"));
    ASSERT_TRUE(terminal.WaitFor("alt.quiet")) << terminal.Screen();
    ASSERT_TRUE(terminal.WaitFor("misc.test")) << terminal.Screen();
    for (int i = 0; i < 5 && CursorLine(terminal.Screen()).find("misc.test") == std::string::npos; ++i) {
        terminal.Keys("Down");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the screen follow the key
    }
    ASSERT_NE(CursorLine(terminal.Screen()).find("misc.test"), std::string::npos) << terminal.Screen();
    terminal.Keys("Enter");
    ASSERT_TRUE(terminal.WaitFor(kSeedSubject)) << terminal.Screen();
    terminal.Keys("Space");
    ASSERT_TRUE(terminal.WaitFor("the seed body")) << terminal.Screen();
    terminal.Keys("f");
    ASSERT_TRUE(terminal.WaitFor("Post the message?")) << terminal.Screen();
    terminal.Keys("y");
    EXPECT_FALSE(FollowUpFrom(server, "Slrn Reader <slrnuser@reader.example>").empty()) << terminal.Screen();
    EXPECT_EQ(server.Stop(), 1);
}

TEST(Readers, TinListsEntersReadsAndFollowsUp)
{
    if (!Installed("tmux") || !Installed("tin"))
        GTEST_SKIP() << "tmux or tin is not installed";
    TestServer server;
    ASSERT_NO_FATAL_FAILURE(StartServer(server));
    const std::string home = server.Path("tin-home");
    std::filesystem::create_directories(home + "/.tin");
    const std::string editor = WriteEditor(home, "A follow-up written by tin.");
    // A tinrc of its own also spares the first-start welcome page.
    ASSERT_TRUE(WriteFile(home + "/.tin/tinrc", "mail_address=Tin Reader <tinuser@reader.example>\n"));
    Terminal terminal("tin");
    ASSERT_TRUE(terminal.Start("env HOME=" + home + " EDITOR=" + editor + " VISUAL=" + editor +
                               " TERM=screen tin -r -g 127.0.0.1 -p " + std::to_string(server.Port())));
    ASSERT_TRUE(terminal.WaitFor("Group Selection")) << terminal.Screen();
    terminal.Keys("y");  // every group, not only the subscribed ones
    ASSERT_TRUE(terminal.WaitFor("alt.quiet")) << terminal.Screen();
    ASSERT_TRUE(terminal.WaitFor("misc.test")) << terminal.Screen();
    terminal.Keys("g");
    ASSERT_TRUE(terminal.WaitFor("Go to newsgroup")) << terminal.Screen();
    terminal.Keys("misc.test Enter");
    terminal.Keys("Enter");
    ASSERT_TRUE(terminal.WaitFor(kSeedSubject)) << terminal.Screen();
    terminal.Keys("Enter");
    ASSERT_TRUE(terminal.WaitFor("the seed body")) << terminal.Screen();
    terminal.Keys("f");
    ASSERT_TRUE(terminal.WaitFor("p=post")) << terminal.Screen();
    terminal.Keys("p");
    EXPECT_FALSE(FollowUpFrom(server, "Tin Reader <tinuser@reader.example>").empty()) << terminal.Screen();
    EXPECT_EQ(server.Stop(), 1);
}
