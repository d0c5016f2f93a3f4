#include "nntp/nntp.h"
#include "nntp/nntp_internal.h"
#include "nntp/reply.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "access/incoming.h"
#include "platform/unique_fd.h"
#include "server/accept_internal.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"
#include "support/server_harness.h"

namespace {

// The word of the entry that takes `line`, or "" when none does.
std::string Word(const char* line, uint32_t rights, bool transit = false)
{
    const CommandEntry* entry = FindCommand(line, rights, transit);
    return entry != nullptr ? entry->word : "";
}

TEST(Dispatch, PrefixesAreComparedForTheirLengthWithoutCase)
{
    EXPECT_EQ(Word("CHECK <a@b>", kRightFeed), "check ");
    EXPECT_EQ(Word("check", kRightFeed), "");  // the blank belongs to the word
    EXPECT_EQ(Word("TakeThis <a@b>", kRightFeed), "takethis ");
    EXPECT_EQ(Word("ihave <a@b>", kRightFeed), "ihave ");
    EXPECT_EQ(Word("innoculate <a@b>", kRightFeed), "innoculate");
    EXPECT_EQ(Word("mode strea", kRightFeed), "mode stream");
    EXPECT_EQ(Word("MODE STREAMING", kRightFeed), "mode stream");
    EXPECT_EQ(Word("QUIT", 0), "quit");
    EXPECT_EQ(Word("quitting now", 0), "quit");
    EXPECT_EQ(Word("sspx", 0), "ssp");
    EXPECT_EQ(Word("sla", kRightRead), "slave");
    EXPECT_EQ(Word("slavery", kRightRead), "slave");
    EXPECT_EQ(Word("listgroup misc.test", kRightRead), "listgroup");
    EXPECT_EQ(Word("LIST active", kRightRead), "list");
    EXPECT_EQ(Word("xpath <a@b>", kRightRead), "xpath");
    EXPECT_EQ(Word("xover 1-2", kRightRead), "xover");
    EXPECT_EQ(Word("XHDR subject", kRightRead), "xhdr");
    EXPECT_EQ(Word("lgs misc.test", kRightRead), "lgs");
    EXPECT_EQ(Word("Article 12", kRightRead), "article");
    EXPECT_EQ(Word("artic", kRightRead), "");
    EXPECT_EQ(Word("newgroups 990101 000000", kRightRead), "newgroups");
    EXPECT_EQ(Word("", 7), "");
    EXPECT_EQ(Word("frobnicate", 7), "");
}

TEST(Dispatch, RightsAndTransitModeHideCommands)
{
    // Feed-only peers have no reader commands, and readers no feed commands.
    EXPECT_EQ(Word("group misc.test", kRightFeed), "");
    EXPECT_EQ(Word("mode reader", kRightFeed), "");
    EXPECT_EQ(Word("post", kRightFeed | kRightRead), "");
    EXPECT_EQ(Word("check <a@b>", kRightRead | kRightPost), "");
    EXPECT_EQ(Word("mode stream", kRightRead), "");
    EXPECT_EQ(Word("post", kRightPost), "post");
    EXPECT_EQ(Word("group misc.test", kRightRead), "group");
    EXPECT_EQ(Word("mode reader", kRightRead), "mode reader");

    // Transit mode hides POST and every reader command, not the feed ones.
    EXPECT_EQ(Word("post", 7, true), "");
    EXPECT_EQ(Word("mode reader", 7, true), "");
    EXPECT_EQ(Word("head 1", 7, true), "");
    EXPECT_EQ(Word("slave", 7, true), "");
    EXPECT_EQ(Word("takethis <a@b>", 7, true), "takethis ");
    EXPECT_EQ(Word("mode stream", 7, true), "mode stream");
    EXPECT_EQ(Word("quit", 0, true), "quit");
    EXPECT_EQ(Word("ssp", 0, true), "ssp");
}

// A context on one end of a socket pair; the test holds the other end.
class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ctx = AllocClientContext();
        ASSERT_NE(ctx, nullptr);
        ctx->transport.fd = fds[0];
        ctx->incomingEntry = &entry;
        ctx->peerName = "peer.test";
        peer.reset(fds[1]);
        timeval bound {30, 0};  // a broken loop fails the test instead of hanging it
        ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    }
    void TearDown() override
    {
        if (ctx != nullptr)
            AddContextToFreeList(ctx);
    }

    std::string Receive()
    {
        char data[70000];
        ssize_t got = ::recv(peer.get(), data, sizeof data, MSG_DONTWAIT);
        return got > 0 ? std::string(data, static_cast<size_t>(got)) : std::string();
    }
    void Put(const std::string& bytes) { ASSERT_EQ(::send(peer.get(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size())); }
    std::string Held() const { return std::string(ctx->buffer, ctx->used); }

    IncomingEntry entry;
    ClientContext* ctx = nullptr;
    UniqueFd peer;
};

TEST_F(Session, RepliesAndTheirCounters)
{
    std::strcpy(ctx->messageId, "<a@b>");
    const std::pair<int, const char*> lines[] = {
        {kReplyInvalidArticleId, "400 Invalid articleid\r\n"},
        {kReplySendIt, "335 Send it\r\n"},
        {kReplyAlreadyGot, "435 Already got it\r\n"},
        {kReplyGotIt, "235 Got it\r\n"},
        {kReplyStreamOk, "203 StreamOK\r\n"},
        {kReplyCheckRefuse, "438 <a@b>\r\n"},
        {kReplyTakethisOk, "239 <a@b>\r\n"},
        {kReplyInvalidCommand, "500 invalid command\r\n"},
        {kReplyGoodbye, "205 Goodbye\r\n"},
        {202, "202 slave status noted\r\n"},
        {211, "211 <a@b>\r\n"},
        {223, "223 <a@b>\r\n"},
        {238, "238 <a@b>\r\n"},
        {340, "340 send it\r\n"},
        {411, "411 no such group\r\n"},
        {412, "412 no newsgroup has been selected\r\n"},
        {421, "421 no next article\r\n"},
        {422, "422 no previous article\r\n"},
        {423, "423 article not found\r\n"},
        {430, "430 article not found\r\n"},
        {431, "431 <a@b>\r\n"},
        {436, "436 Transfer not possible; try again later\r\n"},
        {437, "437 Bad Article\r\n"},
        {439, "439 <a@b>\r\n"},
        {501, "501 Syntax error\r\n"},
        {kReplyOk, "200 OK\r\n"},
        {kReplyPostOk, "240 got it\r\n"},
        {kReplyPostFailed, "435 post failed\r\n"},
        {5, "500 OOPS. Unknown code in my code :)\r\n"},
        {200, "500 OOPS. Unknown code in my code :)\r\n"},
    };
    uint32_t refuse = ihave_refuse, accept = ihave_accept, reject = ihave_reject;
    uint32_t checkRefuse = check_refuse, takethisRefuse = takethis_refuse;
    for (const auto& [code, line] : lines) {
        EXPECT_EQ(Respond(ctx, code), 1);
        EXPECT_EQ(Receive(), line) << code;
    }
    EXPECT_EQ(ihave_refuse - refuse, 1u);
    EXPECT_EQ(ihave_accept - accept, 1u);
    EXPECT_EQ(ihave_reject - reject, 1u);
    EXPECT_EQ(check_refuse - checkRefuse, 1u);
    EXPECT_EQ(takethis_refuse - takethisRefuse, 1u);
    EXPECT_EQ(entry.refuses, 2u);  // 435 and 438
    EXPECT_EQ(entry.accepts, 2u);  // 235 and 239
    EXPECT_EQ(entry.rejects, 2u);  // 437 and 439

    // The statistics text is sent as it is, with no status code.
    Respond(ctx, kReplyStatistics);
    std::string stats = Receive();
    EXPECT_EQ(stats.rfind("{starttime ", 0), 0u) << stats;
    EXPECT_EQ(stats.substr(stats.size() - 2), "\r\n");

    // A message-ID of full length is sent whole.
    std::string longId = "<" + std::string(254, 'x');
    std::memcpy(ctx->messageId, longId.c_str(), longId.size() + 1);
    Respond(ctx, kReplyCheckRefuse);
    EXPECT_EQ(Receive(), "438 " + longId + "\r\n");
}

TEST_F(Session, FailedWriteEndsTheConnectionWithoutASignal)
{
    peer.reset();
    EXPECT_THROW(Respond(ctx, kReplyOk), ConnectionClosed);
}

TEST_F(Session, PostReadAppendsAndMovesTheSearchMark)
{
    Put("group a\r");
    EXPECT_EQ(PostRead(ctx), 1);
    EXPECT_EQ(Held(), "group a\r");
    EXPECT_EQ(ctx->buffer[ctx->used], '\0');
    EXPECT_EQ(ctx->scanFrom, 0u);  // 0 to 0 is within the 5-byte rescan
    Put("\nx");
    PostRead(ctx);
    EXPECT_EQ(Held(), "group a\r\nx");
    EXPECT_EQ(ctx->scanFrom, 3u);  // 5 bytes before the 8 already held

    ctx->scanFrom = 40;  // past the data: search again from the start
    Put("y");
    PostRead(ctx);
    EXPECT_EQ(ctx->scanFrom, 0u);
    EXPECT_EQ(ctx->used, 11u);
}

TEST_F(Session, PostReadEndsTheConnectionAtEndOfStreamOrAFullBuffer)
{
    ctx->used = ctx->bufferSize - 1;
    Put("z");
    EXPECT_THROW(PostRead(ctx), ConnectionClosed);
    ctx->used = 0;
    PostRead(ctx);
    EXPECT_EQ(Held(), "z");
    peer.reset();
    EXPECT_THROW(PostRead(ctx), ConnectionClosed);
}

TEST_F(Session, FixBufferRemovesTheFront)
{
    std::strcpy(ctx->buffer, "quit\r\nssp\r\n");
    ctx->used = 11;
    ctx->scanFrom = 9;
    FixBuffer(ctx, 6);
    EXPECT_EQ(Held(), "ssp\r\n");
    EXPECT_EQ(ctx->buffer[ctx->used], '\0');
    EXPECT_EQ(ctx->scanFrom, 0u);
    FixBuffer(ctx, 40);
    EXPECT_EQ(ctx->used, 0u);
    EXPECT_EQ(ctx->buffer[0], '\0');
}

// Runs the command loop on its own thread, as the accept loop would.
class Loop : public Session {
protected:
    void Run(uint32_t rights)
    {
        entry.rights = rights;
        ++entry.connected;
        ++TotalConnected;
        thread = std::thread(RunSession, std::exchange(ctx, nullptr));
    }
    // True when the session closed its end (false after the read bound).
    bool PeerClosed()
    {
        char c;
        return ::recv(peer.get(), &c, 1, 0) == 0;
    }
    // The session's thread has released the context; closing our end first
    // makes a session that failed to end by itself end now.
    void Join()
    {
        peer.reset();
        thread.join();
        EXPECT_EQ(entry.connected, 0);
    }
    // Reads until `count` lines or the end of the stream.
    std::string Lines(int count)
    {
        std::string text;
        char c;
        while (count > 0 && ::recv(peer.get(), &c, 1, 0) == 1) {
            text += c;
            if (c == '\n')
                --count;
        }
        return text;
    }

    std::thread thread;
};

TEST_F(Loop, PipelinedCommandsAreAnsweredInOrderAndQuitEndsTheSession)
{
    uint32_t total = TotalConnected;
    Run(kRightRead);
    Put("mode reader\r\nSLAVE\r\nfrob\r\nmode stream\r\nssp\r\n");
    EXPECT_EQ(Lines(4), "200 OK\r\n202 slave status noted\r\n500 invalid command\r\n500 invalid command\r\n");
    EXPECT_EQ(Lines(1).rfind("{starttime ", 0), 0u);
    Put("QuItter\r\n");
    EXPECT_EQ(Lines(1), "205 Goodbye\r\n");
    EXPECT_TRUE(PeerClosed());
    Join();
    EXPECT_EQ(TotalConnected, total);
}

TEST_F(Loop, LineEndSplitAcrossReadsIsFound)
{
    Run(kRightRead);
    Put("sla");
    Put("ve\r");
    Put("\nqu");
    EXPECT_EQ(Lines(1), "202 slave status noted\r\n");
    Put("it\r\n");
    EXPECT_EQ(Lines(1), "205 Goodbye\r\n");
    EXPECT_TRUE(PeerClosed());
    Join();
}

TEST_F(Loop, LongLinesWithoutALineEndAreGarbage)
{
    Run(kRightRead);
    Put(std::string(275, 'x'));
    Put("\r\n" + std::string(293, 'y') + "\r\n");  // a 300-byte line with its line end is served
    EXPECT_EQ(Lines(2), "500 invalid command\r\n500 invalid command\r\n");
    Put(std::string(276, 'z'));
    EXPECT_TRUE(PeerClosed());
    Join();
}

TEST_F(Loop, EndOfStreamEndsTheSession)
{
    Run(kRightRead);
    Put("slave\r\n");
    EXPECT_EQ(Lines(1), "202 slave status noted\r\n");
    ::shutdown(peer.get(), SHUT_WR);
    EXPECT_TRUE(PeerClosed());
    Join();
}

// The closing line of a connection that read with group commands.
TEST(CloseConnection, LogsGroupCountsOnlyWhenThereAreAny)
{
    std::string dir = verdalix_test::MakeTempDir();
    ConfigClear();
    std::string conf = "LogDirectory = " + dir + "\n";
    FILE* file = fmemopen(conf.data(), conf.size(), "r");
    ConfigReadFile(file);
    std::fclose(file);
    console_init();

    IncomingEntry entry;
    for (uint32_t articles : {0u, 3u}) {
        ClientContext* ctx = AllocClientContext();
        ASSERT_NE(ctx, nullptr);
        ctx->incomingEntry = &entry;
        ctx->peerName = "peer.test";
        std::strcpy(ctx->peerAddress, "127.0.0.1:4000");
        ctx->articleCount = articles;
        ctx->nextCount = articles == 0 ? 0 : 1;
        ctx->selection.group = 4;  // a group selected but nothing read
        ReleaseConnection(ctx);
    }
    LogLine(nullptr);
    ConfigClear();
    std::string log = verdalix_test::ReadFile(dir + "/verdalix.log");
    std::filesystem::remove_all(dir);
    size_t first = log.find("GROUPDONE");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("GROUPDONE article 3 xover 0 next 1 127.0.0.1:4000 peer.test"), std::string::npos) << log;
    EXPECT_EQ(log.find("GROUPDONE", first + 1), std::string::npos) << log;
}

}  // namespace
