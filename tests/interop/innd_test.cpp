// Interoperability: verdalix feeds a standard news server that nobody here
// wrote (innd from Debian's inn2 package), with streaming and with IHAVE.
// The peer runs from a private tree in a temporary directory, listening on
// 127.0.0.1 only. Runs as root (innd then drops to the "news" user, which
// owns the tree). Skipped when innd or the news user is missing; set
// VERDALIX_INND to use an innd binary elsewhere (makedbz beside it).
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::CountOccurrences;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::ReadFile;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;
using verdalix_test::WriteFile;

namespace fs = std::filesystem;

namespace {

std::string InndBinary()
{
    const char* path = std::getenv("VERDALIX_INND");
    return path ? path : "/usr/lib/news/bin/innd";
}

// A private innd: its own inn.conf, active file, empty history and
// traditional spool below one temporary directory.
class Innd {
public:
    Innd() : dir_(verdalix_test::MakeTempDir()), port_(verdalix_test::FreePort()) {}
    ~Innd()
    {
        if (pid_ > 0)
            Stop();
        if (::testing::Test::HasFailure())
            std::fprintf(stderr, "--- innd output ---\n%s\n", ReadFile(dir_ + "/out.txt").c_str());
        std::error_code error;
        fs::remove_all(dir_, error);
    }
    Innd(const Innd&) = delete;
    Innd& operator=(const Innd&) = delete;

    // Writes the tree, hands it to the news user and starts innd in the
    // foreground; true once it accepts connections.
    bool Start(const passwd& news)
    {
        if (!WriteTree() || ::chown(dir_.c_str(), news.pw_uid, news.pw_gid) != 0)
            return false;
        for (const auto& entry : fs::recursive_directory_iterator(dir_))
            if (::chown(entry.path().c_str(), news.pw_uid, news.pw_gid) != 0)
                return false;
        if (!MakeHistory())
            return false;
        pid_ = Spawn({InndBinary(), "-f"});
        return pid_ > 0 && WaitUntil([&] {
                   NntpClient probe(5);
                   return probe.Connect(port_);
               }, 30);
    }

    int Port() const { return port_; }

    // Every stored article of misc.test, one after the other.
    std::string Spool() const
    {
        std::string text;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir_ + "/spool/articles/misc/test", error))
            text += ReadFile(entry.path().string());
        return text;
    }

    // True when innd answers CHECK for every id with 438 (it has it).
    bool HasAll(const std::vector<std::string>& ids) const
    {
        NntpClient client;
        if (!client.Connect(port_) || client.ReadLine().substr(0, 3) != "200" ||
            client.Command("MODE STREAM").substr(0, 3) != "203")
            return false;
        for (const std::string& id : ids)
            if (client.Command("CHECK " + id).substr(0, 3) != "438")
                return false;
        return true;
    }

private:
    // innd takes SIGTERM but only acts on it at its next periodic wake-up,
    // which can be minutes away; its files are thrown away anyway.
    void Stop()
    {
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 20 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            ::usleep(100 * 1000);
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }

    std::string Conf() const
    {
        std::string text =
            "domain: localdomain\npathhost: interop.innd\nserver: 127.0.0.1\norganization: interop\n"
            "mta: \"/bin/true\"\nbindaddress: 127.0.0.1\nport: " +
            std::to_string(port_) +
            "\nenableoverview: false\novmethod: tradindexed\nhismethod: hisv6\nnoreader: true\n"
            "artcutoff: 0\npathnews: " +
            fs::path(InndBinary()).parent_path().parent_path().string() +
            "\npathbin: " + fs::path(InndBinary()).parent_path().string() + "\n";
        for (const char* name : {"etc", "db", "run", "log", "http", "tmp", "spool"})
            text += std::string("path") + name + ": " + dir_ + "/" + name + "\n";
        for (const char* name : {"articles", "overview", "outgoing", "incoming", "archive"})
            text += std::string("path") + name + ": " + dir_ + "/spool/" + name + "\n";
        return text;
    }

    bool WriteTree() const
    {
        for (const char* sub : {"etc", "db", "run", "log", "http", "tmp", "spool/articles", "spool/overview",
                                "spool/outgoing", "spool/incoming", "spool/archive"})
            fs::create_directories(dir_ + "/" + sub);
        return WriteFile(dir_ + "/etc/inn.conf", Conf()) &&
               WriteFile(dir_ + "/etc/incoming.conf",
                         "streaming: true\nmax-connections: 8\npeer ME {\n  hostname: \"127.0.0.1\"\n}\n") &&
               WriteFile(dir_ + "/etc/newsfeeds", "ME:*::\n") &&
               WriteFile(dir_ + "/etc/storage.conf", "method tradspool {\n  newsgroups: *\n  class: 0\n}\n") &&
               WriteFile(dir_ + "/etc/readers.conf", "") &&
               WriteFile(dir_ + "/db/active",
                         "misc.test 0000000000 0000000001 y\ncontrol 0000000000 0000000001 n\n"
                         "control.cancel 0000000000 0000000001 n\njunk 0000000000 0000000001 n\n") &&
               WriteFile(dir_ + "/db/active.times", "") && WriteFile(dir_ + "/db/newsgroups", "") &&
               WriteFile(dir_ + "/db/history", "");
    }

    bool MakeHistory() const
    {
        const std::string makedbz = fs::path(InndBinary()).replace_filename("makedbz").string();
        pid_t pid = Spawn({makedbz, "-i", "-o"}, dir_ + "/db");
        int status = -1;
        return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    // Runs `args` with INNCONF pointing at the private tree, output to out.txt.
    pid_t Spawn(const std::vector<std::string>& args, const std::string& cwd = "/") const
    {
        std::string conf = "INNCONF=" + dir_ + "/etc/inn.conf";
        std::string out = dir_ + "/out.txt";
        pid_t pid = ::fork();
        if (pid != 0)
            return pid;
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0 || ::chdir(cwd.c_str()) != 0)
            ::_exit(127);
        ::putenv(conf.data());
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }

    std::string dir_;
    int port_;
    pid_t pid_ = -1;
};

// Skips the test unless innd can run here; the news user otherwise.
const passwd* NewsUser()
{
    if (::access(InndBinary().c_str(), X_OK) != 0 || ::getuid() != 0)
        return nullptr;
    return ::getpwnam("news");
}

std::string Id(const char* mode, int n)
{
    return "<interop." + std::string(mode) + "." + std::to_string(n) + "." + std::to_string(::getpid()) + "@test>";
}

// Starts innd and a verdalix that feeds it through one site with
// `siteSettings`, offers `count` articles to verdalix with IHAVE, and checks
// that innd stored each exactly once, those it did not have yet with
// verdalix's name in their Path.
void FeedInnd(const char* mode, const std::string& siteSettings, int count)
{
    const passwd* news = NewsUser();
    if (news == nullptr)
        GTEST_SKIP() << InndBinary() << " is not installed or the test does not run as root";
    Innd innd;
    ASSERT_TRUE(innd.Start(*news));

    TestServer server;
    server.SetConfig("HostPathIdentifier", "verdalix.interop");
    server.SetConfig("FeedRetryDelay", "1");
    server.SetScript("AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\n"
                     "CreateArtStore 0 @DIR@/stores {*} 16 0\nCreateGroup misc.test 0 1 y 1\n"
                     "CreateSite innd\nSetSite innd hostname 127.0.0.1\nSetSite innd port " +
                     std::to_string(innd.Port()) + "\n" + siteSettings + "AcceptConnections\n");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());

    // innd has the first one already: it must refuse it, not store it twice.
    std::vector<std::string> ids{Id(mode, 0)};
    NntpClient direct;
    ASSERT_TRUE(direct.Connect(innd.Port()));
    ASSERT_EQ(direct.ReadLine().substr(0, 3), "200");
    ASSERT_EQ(OfferWithIhave(direct, ids[0]).substr(0, 3), "235");
    direct.Close();

    NntpClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_EQ(client.ReadLine().substr(0, 3), "200");
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            ids.push_back(Id(mode, i));
        ASSERT_EQ(OfferWithIhave(client, ids[i]).substr(0, 3), "235") << i;
    }
    const std::string path = "Path: interop.innd!verdalix.interop!peer.example!poster";
    EXPECT_TRUE(WaitUntil([&] { return CountOccurrences(innd.Spool(), path) == size_t(count - 1); }))
        << CountOccurrences(innd.Spool(), path) << " of " << count - 1 << " stored by innd";
    EXPECT_TRUE(innd.HasAll(ids));
    std::string spool = innd.Spool();
    for (const std::string& id : ids)
        EXPECT_EQ(CountOccurrences(spool, "Message-ID: " + id), 1u) << id;
    EXPECT_EQ(server.Stop(), 1);
}

}  // namespace

TEST(Innd, AcceptsArticlesStreamedWithCheckAndTakethis)
{
    FeedInnd("stream", "SetSite innd connections 2\n", 300);
}

TEST(Innd, AcceptsArticlesOfferedWithIhave)
{
    FeedInnd("ihave", "SetSite innd connections 1\nSetSite innd doStreaming 0\n", 60);
}
