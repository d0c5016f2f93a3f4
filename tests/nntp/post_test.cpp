// The post queue files and the cancel-file workers.
#include "nntp/post.h"
#include "nntp/post_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "article/article_key.h"
#include "history/history.h"
#include "server/client_context.h"
#include "support/server_harness.h"
#include "support/unit_config.h"

namespace {

using verdalix_test::ReadFile;
using verdalix_test::WriteFile;

std::string dir;

class PostQueue : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!dir.empty())
            return;
        dir = verdalix_test::MakeTempDir();
        std::string config = "PostQueueDirectory = " + dir + "/posts\nHistoryTablePath = " + dir +
                             "\nHistoryDataPath = " + dir + "\nSeenTableSize = 256\nSeenDataCount = 1024\n";
        verdalix_test::UseConfigText(config);
        ::mkdir((dir + "/posts").c_str(), 0755);
        PostInit();
        SeenInit();
    }
    // Each test may run in a process of its own: the files go with it
    // (the mappings stay valid).
    static void TearDownTestSuite() { std::filesystem::remove_all(dir); }

    void SetUp() override
    {
        ctx_ = AllocClientContext();
        std::snprintf(ctx_->peerAddress, sizeof ctx_->peerAddress, "10.1.2.3:4567");
    }
    void TearDown() override { AddContextToFreeList(ctx_); }

    void Hold(const std::string& article)
    {
        std::memcpy(ctx_->buffer, (article + "\r\n.\r\n").c_str(), article.size() + 6);
        ctx_->articleLength = static_cast<uint32_t>(article.size());
    }

    ClientContext* ctx_ = nullptr;
};

std::string PostName(std::time_t t, const char* suffix)
{
    return dir + "/posts/" + std::to_string(t) + suffix;
}

TEST_F(PostQueue, PostFileHoldsAddressCountAndTheArticleAsReceived)
{
    const std::string article = "Newsgroups: misc.test\r\nSubject: x\r\n\r\n..dotted\r\nlast line";
    Hold(article);
    // Names taken by other writers in the seconds this test may run in.
    std::time_t now = std::time(nullptr);
    for (std::time_t t = now; t < now + 3; ++t) {
        ASSERT_TRUE(WriteFile(PostName(t, ".post"), "taken"));
        ASSERT_TRUE(WriteFile(PostName(t, "-0.post"), "taken"));
    }
    ASSERT_EQ(QueuePost(ctx_), 1);
    ASSERT_EQ(QueuePost(ctx_), 1);
    int found = 0;
    for (std::time_t t = now; t < now + 3; ++t) {
        EXPECT_EQ(ReadFile(PostName(t, ".post")), "taken");
        EXPECT_EQ(ReadFile(PostName(t, "-0.post")), "taken");
        for (const char* suffix : {"-1.post", "-2.post"}) {
            std::string text = ReadFile(PostName(t, suffix));
            if (text.empty())
                continue;
            ++found;
            EXPECT_EQ(text.substr(0, 15), "10.1.2.3:4567\r\n");
            EXPECT_EQ(text.substr(18), article);
        }
    }
    EXPECT_EQ(found, 2);
    EXPECT_EQ(ctx_->postCount, 2u);
}

TEST_F(PostQueue, CancelFileCancelsItsMessageIdLinesAndIsDeleted)
{
    ArticleKey kept = 0, cancelled = 0;
    GetArticleIDFromString("<kept@test>", nullptr, &kept);
    GetArticleIDFromString("<cancel@test>", nullptr, &cancelled);
    const uint64_t storeKey = 1;  // any location: the entry then has an article
    uint32_t keptSlot = AddSeen(kept, storeKey, 100, 0, 10, 12, 0, 0);
    uint32_t cancelSlot = AddSeen(cancelled, storeKey, 100, 0, 10, 12, 0, 0);
    const std::string name = dir + "/cancels";
    ASSERT_TRUE(WriteFile(name, "# cancels\n\n <kept@test>\n<cancel@test>\n<unknown@test>\nnot an id\n"));
    EXPECT_EQ(ProcessFile(name.c_str()), 1);
    EXPECT_TRUE(ReadFile(name).empty());
    EXPECT_NE(::access(name.c_str(), F_OK), 0);
    uint64_t key = 0;
    uint32_t offset = 0, length = 0;
    EXPECT_EQ(SeenGetArticle(keptSlot, &key, &offset, &length), 1);
    EXPECT_EQ(SeenGetArticle(cancelSlot, &key, &offset, &length), 0);
    EXPECT_EQ(CheckSeen(cancelled), 1);  // still seen, so it is not taken again
}

// Workers block in opening a FIFO until the test writes to it.
TEST_F(PostQueue, AtMostThreeCancelWorkersRunAtOnce)
{
    std::string fifos[3];
    for (int i = 0; i < 3; ++i) {
        fifos[i] = dir + "/fifo" + std::to_string(i);
        ASSERT_EQ(::mkfifo(fifos[i].c_str(), 0600), 0);
        EXPECT_EQ(ProcessCancelFile(fifos[i].c_str()), 1);
    }
    EXPECT_EQ(ProcessCancelFile(fifos[0].c_str()), 0);
    EXPECT_EQ(CancelWorkersRunning(), 3);
    for (const std::string& fifo : fifos) {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "<none@test>\n", 12), 12);
        ::close(fd);
    }
    for (int wait = 0; wait < 3000 && CancelWorkersRunning() != 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(CancelWorkersRunning(), 0);
    for (const std::string& fifo : fifos)
        EXPECT_NE(::access(fifo.c_str(), F_OK), 0) << fifo;
    EXPECT_EQ(ProcessCancelFile((dir + "/missing").c_str()), 1);
}

}  // namespace
