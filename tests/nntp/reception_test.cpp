// Reading article text into the context's buffer: the terminator search,
// growing and shrinking the buffer, over-long and empty articles.
#include "nntp/reception.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "nntp/nntp.h"
#include "server/client_context.h"

namespace {

// A context whose socket is one end of a socket pair; the test writes the
// peer's bytes into the other end from a thread of its own.
class ReadArticle : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ctx_ = AllocClientContext();
        ASSERT_NE(ctx_, nullptr);
        ctx_->transport.fd = fds[0];
        peer_ = fds[1];
    }

    void TearDown() override
    {
        if (writer_.joinable())
            writer_.join();
        ::close(peer_);
        AddContextToFreeList(ctx_);
    }

    void PeerSends(std::string bytes)
    {
        if (writer_.joinable())
            writer_.join();
        writer_ = std::thread([this, bytes = std::move(bytes)] {
            for (size_t done = 0; done < bytes.size();) {
                ssize_t n = ::send(peer_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                done += static_cast<size_t>(n);
            }
        });
    }

    // Reads one article and cleans up; the result of nntp_readarticle and
    // the article text as it was in the buffer.
    int ReadOne(std::string* text = nullptr)
    {
        int result = nntp_readarticle(ctx_);
        if (text != nullptr && result == 1)
            text->assign(ctx_->buffer, ctx_->articleLength);
        nntp_readarticle_cleanup(ctx_);
        return result;
    }

    std::string Held() const { return std::string(ctx_->buffer, ctx_->used); }

    ClientContext* ctx_ = nullptr;
    int peer_ = -1;
    std::thread writer_;
};

std::string Article(size_t length)
{
    std::string text = "Path: a\r\nSubject: s\r\n\r\n";
    while (text.size() < length)
        text += std::string(std::min<size_t>(70, length - text.size()), 'x') + "\r\n";
    text.resize(length);
    if (text.back() == '\r')
        text.back() = 'y';  // no line end split by the cut
    return text;
}

TEST_F(ReadArticle, ArticleTextEndsBeforeTerminatorAndWhatFollowsIsKept)
{
    const std::string text = "Path: a\r\nSubject: s\r\n\r\n..stuffed line\r\n.x\r\nlast";
    PeerSends(text + "\r\n.\r\nCHECK <next@id>\r\n");
    std::string got;
    EXPECT_EQ(ReadOne(&got), 1);
    EXPECT_EQ(got, text);  // dot-stuffing stays as sent
    // The next command may not have arrived with the article.
    while (Held().size() < 17)
        PostRead(ctx_);
    EXPECT_EQ(Held(), "CHECK <next@id>\r\n");
    EXPECT_EQ(ctx_->scanFrom, 0u);
}

TEST_F(ReadArticle, LargeArticleGrowsTheBufferOnceAndShrinksItAfter)
{
    const std::string text = Article(70000);
    PeerSends(text + "\r\n.\r\n");
    EXPECT_EQ(nntp_readarticle(ctx_), 1);
    EXPECT_EQ(ctx_->bufferSize, 1048576u);
    EXPECT_EQ(std::string(ctx_->buffer, ctx_->articleLength), text);
    nntp_readarticle_cleanup(ctx_);
    EXPECT_EQ(ctx_->bufferSize, 65536u);
    EXPECT_EQ(ctx_->used, 0u);
}

// An empty article, then an over-long one: both refused, the stream stays
// in step and the buffer is back at 64 KB.
TEST_F(ReadArticle, EmptyAndOverLongArticlesAreRefusedInStep)
{
    PeerSends(".\r\n" + Article(2 * 1024 * 1024) + "\r\n.\r\nQUIT\r\n");
    while (ctx_->used < 3)
        PostRead(ctx_);
    EXPECT_EQ(ReadOne(), 0);
    EXPECT_EQ(ReadOne(), 0);
    while (ctx_->used < 6)
        PostRead(ctx_);
    EXPECT_EQ(Held(), "QUIT\r\n");
    EXPECT_EQ(ctx_->bufferSize + ctx_->bufferOffset, 65536u);
}

// The buffer fills at 1,048,575 bytes; a terminator that straddles that
// point is found although the article's bytes are thrown away.
TEST_F(ReadArticle, TerminatorSplitWhereTheFullBufferIsDroppedIsFound)
{
    for (size_t split : {1048572u, 1048574u}) {
        PeerSends(Article(split) + "\r\n.\r\nQUIT\r\n");
        EXPECT_EQ(ReadOne(), 0) << split;
        while (ctx_->used < 6)
            PostRead(ctx_);
        EXPECT_EQ(Held(), "QUIT\r\n") << split;
        ctx_->used = 0;
    }
}

// The limit: text, CR LF "." CR LF and the NUL byte must fit in 1 MB.
TEST_F(ReadArticle, SizeLimitIsTheFullBuffer)
{
    PeerSends(Article(1048569) + "\r\n.\r\n");
    std::string got;
    EXPECT_EQ(ReadOne(&got), 1);
    EXPECT_EQ(got.size(), 1048569u);
    PeerSends(Article(1048570) + "\r\n.\r\n");
    EXPECT_EQ(ReadOne(), 0);
    EXPECT_EQ(ctx_->used, 0u);
}

}  // namespace

// The terminator is found at every place a sixteen-byte scan can put it,
// and near misses ("\r\n.x", "\n.\r\n" without its CR, a dot-stuffed line)
// never end the article early.
TEST_F(ReadArticle, TerminatorAtEveryAlignmentAndNearMissesPassed)
{
    for (size_t length = 40; length < 40 + 40; ++length) {
        std::string text = Article(length);
        text.replace(24, 12, "\r\n.x\n.\r\n..\r\n");  // inside the body
        PeerSends(text + "\r\n.\r\n");
        std::string got;
        ASSERT_EQ(ReadOne(&got), 1) << length;
        EXPECT_EQ(got, text) << length;
    }
}
