#include "access/filter.h"
#include "access/filter_internal.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include "access/match.h"
#include "platform/unique_fd.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"
#include "support/server_harness.h"
#include "support/test_articles.h"
#include "support/unit_config.h"

using verdalix_test::ArticleText;
using verdalix_test::MakeTempDir;
using verdalix_test::ReadFile;
using verdalix_test::UseConfigText;

namespace {

// Answers each article with the next word of REPLIES, then exits.
std::string ReplyingFilter(const std::string& replies)
{
    return "cr=$(printf '\\r'); for r in " + replies +
           "; do while IFS= read -r l; do [ \"$l\" = \".$cr\" ] && break; done; printf '%s\\r\\n' $r; done";
}

class ExternalFilter : public ::testing::Test {
protected:
    void TearDown() override
    {
        filterclose();
        LogLine(nullptr);
        // Every filter process has been reaped.
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        ConfigClear();
        std::filesystem::remove_all(dir_);
    }

    void Start(const std::string& settings)
    {
        dir_ = MakeTempDir();
        UseConfigText("LogDirectory = " + dir_ + "\n" + settings);
        console_init();
        ExternalFilterInit();
    }

    int Check(const std::string& subject, const std::string& groups = "misc.test")
    {
        article_ = ArticleText({.path = "a!b", .groups = groups, .subject = subject});
        ClientContext context;
        context.buffer = article_.data();
        context.articleLength = static_cast<uint32_t>(article_.size());
        EXPECT_EQ(PrepareForMatch(context), 1);
        int code = ExternalFilterCheck(&context);
        FreeMatchData(context);
        return code;
    }

    std::string LogText() const { return ReadFile(dir_ + "/verdalix.log"); }

    std::string dir_;
    std::string article_;
};

uint16_t LocalPort(int fd)
{
    sockaddr_in address {};
    socklen_t length = sizeof address;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    return ntohs(address.sin_port);
}

}  // namespace

TEST_F(ExternalFilter, ExampleScriptAcceptsAndRefusesBySubject)
{
    Start("ExternalFilter = /bin/sh " VERDALIX_SOURCE_DIR "/etc/filter-example.sh forbidden\n");
    EXPECT_EQ(Check("an ordinary article"), 335);
    EXPECT_EQ(Check("something forbidden here"), 437);
    EXPECT_EQ(Check("ordinary again"), 335);
    EXPECT_EQ(LogText().find("external filter"), std::string::npos);
}

TEST_F(ExternalFilter, MatchStringKeepsArticlesAwayFromTheFilter)
{
    Start("ExternalFilterMatchString = comp.*\n"
          "ExternalFilter = /bin/sh " VERDALIX_SOURCE_DIR "/etc/filter-example.sh forbidden\n");
    EXPECT_EQ(Check("forbidden", "misc.test,alt.test"), 335);
    EXPECT_EQ(Check("forbidden", "misc.test,comp.lang.c"), 437);
    EXPECT_EQ(Check("allowed", "comp.lang.c"), 335);
}

TEST_F(ExternalFilter, ReplyCodes)
{
    Start("ExternalFilter = " + ReplyingFilter("999 abc 4377 12") + "\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(Check("one"), 335);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "hey there is not response\n");
    EXPECT_EQ(Check("two"), 0);     // letters read as 0, which refuses
    EXPECT_EQ(Check("three"), 437);  // only three characters count
    EXPECT_EQ(Check("four"), 12);
}

TEST_F(ExternalFilter, FilterThatExitsIsSwitchedOff)
{
    // Refuses one article, then exits.
    Start("ExternalFilter = " + ReplyingFilter("437") + "\n");
    EXPECT_EQ(Check("first"), 437);
    EXPECT_EQ(Check("second"), 335);
    std::string log = LogText();
    EXPECT_TRUE(log.find("external filter write failure, err=") != std::string::npos ||
                log.find("external filter read failure, err=") != std::string::npos)
        << log;
    EXPECT_EQ(log.find("restarting filter"), std::string::npos);

    EXPECT_EQ(Check("third"), 335);
    log = LogText();
    size_t restarting = log.find("restarting filter");
    ASSERT_NE(restarting, std::string::npos);
    EXPECT_NE(log.find("filter restared", restarting), std::string::npos);

    EXPECT_EQ(Check("fourth"), 335);
    EXPECT_EQ(LogText(), log);  // no filter any more, nothing logged
}

TEST_F(ExternalFilter, FilterThatNeverAnswersTimesOut)
{
    Start("ExternalFilterTimeout = 200\nExternalFilter = cat > /dev/null\n");
    EXPECT_EQ(Check("unanswered"), 335);
    EXPECT_NE(LogText().find("external filter read failure, err=" + std::to_string(EAGAIN)), std::string::npos);
    EXPECT_EQ(Check("next"), 335);
    EXPECT_NE(LogText().find("filter restared"), std::string::npos);
}

TEST_F(ExternalFilter, IdleFilterKeepsReadingPastTheTimeOut)
{
    // Our time-outs must not reach the filter's end of the connection.
    Start("ExternalFilterTimeout = 100\n"
          "ExternalFilter = /bin/sh " VERDALIX_SOURCE_DIR "/etc/filter-example.sh forbidden\n");
    EXPECT_EQ(Check("first"), 335);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(Check("forbidden after a pause"), 437);
}

size_t OpenDescriptors()
{
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator{}));
}

TEST_F(ExternalFilter, NoFilterConfiguredLetsEverythingPass)
{
    Start("");
    const size_t afterInit = OpenDescriptors();
    filterclose();  // nothing to close: no socket end is kept without a filter
    EXPECT_EQ(OpenDescriptors(), afterInit);
    EXPECT_EQ(CreateChildProcess(0, 1), 0);
    EXPECT_EQ(Check("anything"), 335);
}

TEST(ExternalFilterSockets, TakenPortIsPassedOver)
{
    // Hold 5001 (if another process already does, it is taken all the same).
    UniqueFd holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address {};
    ASSERT_EQ(CreateSocketAddress(&address, "127.0.0.1", 5001), 1);
    ::bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);

    int child = -1, server = -1;
    ASSERT_EQ(CreateSocket(&child, &server), 1);
    UniqueFd childEnd(child), serverEnd(server);
    uint16_t first = LocalPort(child);
    EXPECT_GT(first, 5001);
    EXPECT_LE(first, 25000);
    ASSERT_EQ(::send(server, "ab", 2, MSG_NOSIGNAL), 2);
    char got[2];
    ASSERT_EQ(::recv(child, got, 2, MSG_WAITALL), 2);
    EXPECT_EQ(std::string(got, 2), "ab");

    // The port search goes on from where it stopped.
    int child2 = -1, server2 = -1;
    ASSERT_EQ(CreateSocket(&child2, &server2), 1);
    UniqueFd childEnd2(child2), serverEnd2(server2);
    EXPECT_GT(LocalPort(child2), first);
}

TEST(ExternalFilterSockets, SocketAddresses)
{
    sockaddr_in address {};
    ASSERT_EQ(CreateSocketAddress(&address, nullptr, 119), 1);
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(ntohs(address.sin_port), 119);
    ASSERT_EQ(CreateSocketAddress(&address, "10.1.2.3", 0), 1);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(0x0A010203));
    ASSERT_EQ(CreateSocketAddress(&address, "localhost", 7), 1);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}
