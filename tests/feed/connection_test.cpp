#include "feed/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>
#include <thread>

#include "article/article_key.h"
#include "article/store.h"
#include "control/scheduler.h"
#include "corvask/corvask.h"
#include "feed/queue.h"
#include "feed/site.h"
#include "history/history.h"
#include "platform/unique_fd.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 10000;

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits, with a bound, until the condition holds under the site's lock.
bool WaitFor(Site* site, const std::function<bool()>& condition)
{
    for (int i = 0; i < kWaitMs / 5; ++i) {
        {
            CsLock lock(site->lock);
            if (condition())
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// One accepted connection of the fake peer, scripted by the test.
class PeerSession {
public:
    explicit PeerSession(UniqueFd fd) : fd_(std::move(fd)) {}
    bool Valid() const { return static_cast<bool>(fd_); }
    void Send(const std::string& text) { ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL); }

    // Exactly n bytes, or what came before the peer closed or the bound ran out.
    std::string Read(size_t n)
    {
        while (pending_.size() < n && Fill()) {
        }
        std::string out = pending_.substr(0, n);
        pending_.erase(0, out.size());
        return out;
    }
    std::string ReadLine()
    {
        size_t end;
        while ((end = pending_.find("\r\n")) == std::string::npos && Fill()) {
        }
        if (end == std::string::npos)
            return "<none>";
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 2);
        return line;
    }
    // True when the other side closed (with no unread bytes in between).
    bool ClosedByServer()
    {
        while (Fill()) {
        }
        return closed_ && pending_.empty();
    }
    void Close() { fd_.reset(); }

private:
    bool Fill()
    {
        pollfd p{fd_.get(), POLLIN, 0};
        if (closed_ || ::poll(&p, 1, kWaitMs) <= 0)
            return false;
        char buffer[16384];
        ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        pending_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    UniqueFd fd_;
    std::string pending_;
    bool closed_ = false;
};

// A loopback listener the site is pointed at.
class FakePeer {
public:
    FakePeer()
    {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(fd_.get(), 8), 0);
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    int Port() const { return port_; }
    PeerSession Accept()
    {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) <= 0)
            return PeerSession(UniqueFd());
        return PeerSession(UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC)));
    }

private:
    UniqueFd fd_;
    int port_ = 0;
};

int OccupiedSlots(const Site* site)
{
    int count = 0;
    for (const Connection* c : site->connection)
        count += c != nullptr;
    return count;
}

// Returns once the I/O worker has run everything posted before: a handler
// on a socket pair of our own answers after them.
void DrainWorker()
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::atomic<bool> seen{false};
    AioHandle* handle = RegisterHandleForAIO(
        fds[0], [](AioHandle*, void*) {},
        [](AioHandle*, void* context, char*, int length) {
            static_cast<std::atomic<bool>*>(context)->store(true);
            return length;
        },
        nullptr, &seen, nullptr);
    ASSERT_NE(handle, nullptr);
    ::send(fds[1], "x", 1, MSG_NOSIGNAL);
    for (int i = 0; i < kWaitMs / 5 && !seen.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(seen.load());
    AIOClose(handle);
    ::close(fds[1]);
}

class FeedConnections : public ::testing::Test {
public:
    static constexpr uint32_t kStore = 5;
    static void SetUpTestSuite()
    {
        char name[] = "/tmp/connection_test.XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
        std::string config = "HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir +
                             "\nSeenDataCount = 200\nSeenTableSize = 97\nLogDirectory = " + dir +
                             "\nFeedQueuePath = " + dir + "\nFeedRetryDelay = 1\n";
        ConfigClear();
        FILE* file = fmemopen(config.data(), config.size(), "r");
        ConfigReadFile(file);
        std::fclose(file);
        console_init();
        ASSERT_EQ(SeenInit(), 1);
        ArtStoreInit();
        ASSERT_NE(BuildArtStore(kStore, dir.c_str(), "*", 10, 100), nullptr);
        FeedInit();
        SchedCallbackInit();
    }
    static void TearDownTestSuite()
    {
        StoreSyncAndClose();
        LogLine(nullptr);
        ConfigClear();
        fs::remove_all(dir);
    }

protected:
    void SetUp() override
    {
        siteName_ = "peer" + std::to_string(++siteCount);
        SiteCreate(siteName_.c_str());
        site_ = SiteFind(siteName_.c_str());
        SiteSetParameter(siteName_.c_str(), "hostname", "127.0.0.1");
        SiteSetParameter(siteName_.c_str(), "port", std::to_string(peer_.Port()).c_str());
        // Nothing from an earlier test's queue files may be offered.
        site_->filesPending = 0;
    }
    void TearDown() override { SiteDelete(siteName_.c_str()); }

    void Set(const char* parameter, const char* value)
    {
        ASSERT_EQ(SiteSetParameter(siteName_.c_str(), parameter, value), 1);
    }
    void Enqueue(const std::string& id) { EnqueueForSite(site_, id.c_str(), static_cast<uint32_t>(id.size())); }
    Connection* First() const { return site_->connection[0]; }

    // Opens one connection and answers its greeting (and "mode stream").
    PeerSession Open(const char* modeAnswer)
    {
        Set("connections", "1");
        PeerSession session = peer_.Accept();
        EXPECT_TRUE(session.Valid());
        session.Send("200 fake peer ready\r\n");
        if (modeAnswer != nullptr) {
            EXPECT_EQ(session.ReadLine(), "mode stream");
            session.Send(modeAnswer);
        }
        EXPECT_TRUE(WaitFor(site_, [this] { return First() != nullptr && First()->state == kConnIdle; }));
        return session;
    }

    std::string QueueFileText()
    {
        std::string text;
        fs::path directory = fs::path(dir) / siteName_;
        for (const std::string& name : GetQFileList(directory.string()))
            text += ReadFile(directory / name);
        return text;
    }
    std::string LogText() const { return ReadFile(fs::path(dir) / "verdalix.log"); }
    void ExpectIdleConnectionsQuit(const std::function<void()>& tellThem);

    static inline std::string dir;
    static inline int siteCount = 0;
    FakePeer peer_;
    std::string siteName_;
    Site* site_ = nullptr;
};

// Stores an article and records it in the history; returns its bytes.
std::string StoreArticle(const std::string& messageId)
{
    std::string overview = "subject\tme@example\tdate\t" + messageId + "\t\t10\t1\r\n";
    std::string article = "Path: here\r\nMessage-ID: " + messageId + "\r\nNewsgroups: t\r\n\r\nbody line\r\n";
    StoreCheckAndWrap(FeedConnections::kStore);
    uint64_t storeKey = GetStoreKey(FeedConnections::kStore);
    std::string record = overview + article;
    EXPECT_EQ(WriteToStore(FeedConnections::kStore, record.data(), static_cast<uint32_t>(record.size())),
              record.size());
    ArticleKey key = 0;
    GetArticleIDFromString(messageId.c_str(), nullptr, &key);
    AddSeen(key, storeKey, static_cast<uint32_t>(article.size()), static_cast<uint16_t>(overview.size()),
            static_cast<uint16_t>(article.find("\r\n\r\n")), static_cast<uint8_t>(messageId.size()),
            static_cast<uint16_t>(overview.size() + article.find(messageId)), 100);
    return article;
}

// An id of exactly 60 characters.
std::string Id60(int n)
{
    std::string id = "<" + std::to_string(n) + "@";
    id += std::string(59 - id.size(), 'x');
    return id + ">";
}

}  // namespace

TEST_F(FeedConnections, StreamingBatchesChecksAndSendsWantedArticles)
{
    PeerSession session = Open("203 streaming ok\r\n");
    EXPECT_EQ(First()->streaming, 1u);

    // Held lock: the ids are all queued before a connection is woken, the
    // first batch goes out from this thread, and its write completion waits
    // on the worker, so the batch can be looked at whole.
    {
        CsLock lock(site_->lock);
        for (int i = 0; i < 30; ++i) {
            std::string id = Id60(i);
            site_->articleQWrite = std::copy(id.c_str(), id.c_str() + id.size() + 1, site_->articleQWrite);
        }
        EXPECT_EQ(SiteWakeConnection(site_), 1);
        EXPECT_EQ(First()->state, kConnStreaming);
        EXPECT_EQ(First()->outstanding.load(), 27);
        EXPECT_EQ(site_->articleQRead - site_->articleQ, 27 * 61);
    }
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(session.ReadLine(), "check " + Id60(i)) << i;
    EXPECT_TRUE(WaitFor(site_, [this] { return First()->outstanding.load() == 30 && First()->state == kConnIdle; }));

    // 238 sends the stored article after its takethis line; a wanted article
    // that is gone is skipped; the rest of the answers are counted.
    std::string article = StoreArticle(Id60(0));
    uint32_t acceptsBefore = total_accept.load();
    session.Send("238 " + Id60(1) + "\r\n238 " + Id60(0) + "\r\n");
    std::string expected = "takethis " + Id60(0) + "\r\n" + article + "\r\n.\r\n";
    EXPECT_EQ(session.Read(expected.size()), expected);
    session.Send("239 " + Id60(0) + "\r\n438 " + Id60(2) + "\r\n435 x\r\n439 " + Id60(3) + "\r\n");
    EXPECT_TRUE(WaitFor(site_, [this] { return site_->rejected.load() == 1; }));
    EXPECT_EQ(site_->accepts.load(), 1u);
    EXPECT_EQ(total_accept.load(), acceptsBefore + 1);
    EXPECT_EQ(site_->refused.load(), 2u);
    EXPECT_EQ(First()->outstanding.load(), 30 - 2 + 1 - 4);

    // 431 requeues to a queue file only when allowed, never in memory; an
    // id too long for the copy area is dropped with a log line.
    session.Send("431 " + Id60(4) + "\r\n");
    EXPECT_TRUE(WaitFor(site_, [this] { return First()->responses.load() == 7; }));
    Set("requeuesAllowed", "1");
    std::string longId = "<" + std::string(300, 'y') + ">";
    session.Send("431 " + Id60(5) + " later\r\n431 " + longId + "\r\n431 <>\r\n");
    EXPECT_TRUE(WaitFor(site_, [this] { return site_->requeues.load() == 1; }));
    EXPECT_TRUE(WaitFor(site_, [this] { return First()->responses.load() == 10; }));
    EXPECT_EQ(QueueFileText(), Id60(5) + std::string(1, '\0'));
    EXPECT_EQ(site_->articleQRead, site_->articleQWrite);
    EXPECT_NE(LogText().find("message-id of 302 bytes from " + siteName_ + " not requeued"), std::string::npos);
}

// More "238" answers than the transmit queue holds, and then nothing more
// from the peer: the ones held back are still sent once there is room.
TEST_F(FeedConnections, AnswersHeldForAFullTransmitQueueAreStillSent)
{
    PeerSession session = Open("203 streaming ok\r\n");
    constexpr int kWanted = 160;  // the queue holds 134 ids of 60 characters
    std::vector<std::string> articles;
    std::string answers;
    for (int i = 0; i < kWanted; ++i) {
        std::string id = Id60(1000 + i);
        articles.push_back(StoreArticle(id));
        answers += "238 " + id + "\r\n";
    }
    const uint32_t overflowsBefore = site_->transmitQOverflows.load();
    session.Send(answers);
    for (int i = 0; i < kWanted; ++i) {
        std::string expected = "takethis " + Id60(1000 + i) + "\r\n" + articles[i] + "\r\n.\r\n";
        ASSERT_EQ(session.Read(expected.size()), expected) << i;
    }
    EXPECT_GT(site_->transmitQOverflows.load(), overflowsBefore);
    EXPECT_NE(LogText().find("TransmitQ overflow for " + siteName_), std::string::npos);
}

TEST_F(FeedConnections, IhaveModeWhenStreamingIsRefused)
{
    Set("requeuesAllowed", "1");
    std::string stored = "<stored@here>";
    std::string article = StoreArticle(stored);
    PeerSession session = Open("500 what?\r\n");
    EXPECT_EQ(First()->streaming, 0u);

    Enqueue(stored);
    Enqueue("<gone@here>");
    Enqueue("<later@here>");
    EXPECT_EQ(session.ReadLine(), "ihave " + stored);
    session.Send("335 send it\r\n");
    EXPECT_EQ(session.Read(article.size() + 5), article + "\r\n.\r\n");
    session.Send("235 thanks\r\n");
    // After 335 for an article that is not there the peer gets an empty one.
    EXPECT_EQ(session.ReadLine(), "ihave <gone@here>");
    session.Send("335 send it\r\n");
    EXPECT_EQ(session.Read(5), "\r\n.\r\n");
    session.Send("437 empty\r\n");
    EXPECT_EQ(session.ReadLine(), "ihave <later@here>");
    // 436 queues the offered id in a file although the site is fed in real time.
    session.Send("436 try later\r\n");
    EXPECT_TRUE(WaitFor(site_, [this] { return First()->state == kConnIdle && site_->requeues.load() == 1; }));
    EXPECT_EQ(site_->accepts.load(), 1u);
    EXPECT_EQ(site_->rejected.load(), 1u);
    EXPECT_EQ(site_->missing.load(), 1u);
    EXPECT_EQ(First()->outstanding.load(), 0);
    EXPECT_EQ(QueueFileText(), std::string("<later@here>") + '\0');

    // Without requeuesAllowed a 436 drops the id.
    Set("requeuesAllowed", "0");
    Enqueue("<dropped@here>");
    EXPECT_EQ(session.ReadLine(), "ihave <dropped@here>");
    session.Send("436 try later\r\n");
    EXPECT_TRUE(WaitFor(site_, [this] { return First()->state == kConnIdle; }));
    EXPECT_EQ(site_->requeues.load(), 1u);
    EXPECT_EQ(QueueFileText(), std::string("<later@here>") + '\0');
}

TEST_F(FeedConnections, RefusedGreetingAndAccessDeniedCloseAndAreReplaced)
{
    Set("connections", "1");
    PeerSession first = peer_.Accept();
    ASSERT_TRUE(first.Valid());
    first.Send("502 go away\r\n");
    EXPECT_TRUE(first.ClosedByServer());

    // The replacement comes after the (shortened) retry delay.
    PeerSession second = peer_.Accept();
    ASSERT_TRUE(second.Valid());
    second.Send("201 no posting\r\n");
    EXPECT_EQ(second.ReadLine(), "mode stream");
    second.Send("203 ok\r\n");
    second.Send("480 who are you\r\n");
    EXPECT_TRUE(second.ClosedByServer());
    EXPECT_NE(LogText().find("480 (access denied) received from 127.0.0.1 (" + siteName_ +
                             "), disconnecting (will retry in 60 seconds)"),
              std::string::npos);
    PeerSession third = peer_.Accept();
    EXPECT_TRUE(third.Valid());
}

TEST_F(FeedConnections, TooManyErrorsClose)
{
    PeerSession session = Open("203 ok\r\n");
    std::string errors;
    for (int i = 0; i < 13; ++i)
        errors += "500 huh\r\n";
    session.Send(errors);
    EXPECT_TRUE(WaitFor(site_, [this] { return First() != nullptr && First()->errors.load() == 13; }));
    session.Send("501 huh\r\n");
    EXPECT_TRUE(session.ClosedByServer());
    EXPECT_NE(LogText().find("too many errors received from 127.0.0.1 (" + siteName_ + ")"), std::string::npos);

    // After 100 other responses the errors may reach a quarter of them plus 10.
    session = peer_.Accept();
    ASSERT_TRUE(session.Valid());
    session.Send("200 again\r\n");
    EXPECT_EQ(session.ReadLine(), "mode stream");
    session.Send("203 ok\r\n");
    std::string script;
    for (int i = 0; i < 100; ++i)
        script += "435 <no@thanks>\r\n";
    for (int i = 0; i < 46; ++i)
        script += "500 huh\r\n";
    session.Send(script);
    EXPECT_TRUE(WaitFor(site_, [this] { return First() != nullptr && First()->errors.load() == 46; }));
    EXPECT_EQ(site_->commandErrors.load(), 14u + 46u);
    session.Send("500 huh\r\n");
    EXPECT_TRUE(session.ClosedByServer());
}

TEST_F(FeedConnections, UnendedLineFromPeerCloses)
{
    PeerSession session = Open("203 ok\r\n");
    session.Send(std::string(70000, 'x'));
    EXPECT_TRUE(session.ClosedByServer());
    EXPECT_NE(LogText().find("without a line end from 127.0.0.1 (" + siteName_ + "), disconnecting"),
              std::string::npos);
}

// Two idle streaming connections; `tellThem` makes both end. Each sends
// "quit" at once and none is replaced.
void FeedConnections::ExpectIdleConnectionsQuit(const std::function<void()>& tellThem)
{
    Set("connections", "2");
    PeerSession a = peer_.Accept();
    PeerSession b = peer_.Accept();
    ASSERT_TRUE(a.Valid() && b.Valid());
    for (PeerSession* s : {&a, &b}) {
        s->Send("200 hi\r\n");
        EXPECT_EQ(s->ReadLine(), "mode stream");
        s->Send("203 ok\r\n");
    }
    EXPECT_TRUE(WaitFor(site_, [this] {
        return site_->connection[0]->state == kConnIdle && site_->connection[1]->state == kConnIdle;
    }));
    tellThem();
    for (PeerSession* s : {&a, &b}) {
        EXPECT_EQ(s->ReadLine(), "quit");
        s->Send("205 bye\r\n");
        s->Close();
    }
    EXPECT_TRUE(WaitFor(site_, [this] { return OccupiedSlots(site_) == 0; }));
    DrainWorker();
    CsLock lock(site_->lock);
    EXPECT_EQ(OccupiedSlots(site_), 0);
}

TEST_F(FeedConnections, ConnectionsZeroQuitsIdleConnectionsWithoutReplacement)
{
    ExpectIdleConnectionsQuit([this] { Set("connections", "0"); });
}

TEST_F(FeedConnections, DeletedSiteQuitsIdleConnectionsAtOnce)
{
    ExpectIdleConnectionsQuit([this] { EXPECT_EQ(SiteDelete(siteName_.c_str()), 1); });
}

TEST_F(FeedConnections, DeletedSiteQuitsAfterTheCurrentWrite)
{
    PeerSession session = Open("203 ok\r\n");
    {
        CsLock list(csSiteList());
        CsLock lock(site_->lock);
        Enqueue(Id60(1));
        ASSERT_EQ(First()->state, kConnStreaming);
        ASSERT_EQ(SiteDelete(siteName_.c_str()), 1);
    }
    EXPECT_EQ(session.ReadLine(), "check " + Id60(1));
    EXPECT_EQ(session.ReadLine(), "quit");
    session.Close();
    EXPECT_TRUE(WaitFor(site_, [this] { return OccupiedSlots(site_) == 0; }));
    DrainWorker();
    CsLock lock(site_->lock);
    EXPECT_EQ(OccupiedSlots(site_), 0);
}
