#include "article/retrieval.h"

#include <stdlib.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "article/article_key.h"
#include "article/store.h"
#include "history/history.h"
#include "platform/unique_fd.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

namespace {

// One store and one history for the suite, as the server has them for the
// life of the process; other suites of this program may rebuild their own.
class Retrieval : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "retrieval-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        std::string config = "HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir +
                             "\nSeenDataCount = 100\nSeenTableSize = 97\nLogDirectory = " + dir + "\n";
        ConfigClear();
        FILE* file = fmemopen(config.data(), config.size(), "r");
        ConfigReadFile(file);
        std::fclose(file);
        console_init();
        ASSERT_EQ(SeenInit(), 1);
        ArtStoreInit();
        ASSERT_NE(BuildArtStore(kStore, dir.c_str(), "*", 10, 100), nullptr);
    }
    static void TearDownTestSuite()
    {
        StoreSyncAndClose();
        LogLine(nullptr);
        ConfigClear();
        std::filesystem::remove_all(dir);
    }

    static constexpr uint32_t kStore = 3;
    static inline std::string dir;
};

struct Stored {
    uint32_t slot;
    uint64_t key;
    std::string messageId;
};

// Stores overview + article in the test store and records it in the history.
Stored StoreArticle(const std::string& messageId, const std::string& overview, const std::string& article)
{
    uint32_t store = Retrieval::kStore;
    StoreCheckAndWrap(store);
    uint64_t storeKey = GetStoreKey(store);
    std::string record = overview + article;
    EXPECT_EQ(WriteToStore(store, record.data(), static_cast<uint32_t>(record.size())), record.size());
    ArticleKey key = 0;
    GetArticleIDFromString(messageId.c_str(), nullptr, &key);
    uint32_t headerLength = static_cast<uint32_t>(article.find("\r\n\r\n"));
    uint32_t idOffset = static_cast<uint32_t>(overview.size() + article.find(messageId));
    uint32_t slot = AddSeen(key, storeKey, static_cast<uint32_t>(article.size()), static_cast<uint16_t>(overview.size()),
                            static_cast<uint16_t>(headerLength), static_cast<uint8_t>(messageId.size()),
                            static_cast<uint16_t>(idOffset), 100);
    return {slot, key, messageId};
}

std::string Overview(const std::string& messageId, const std::string& subject)
{
    return subject + "\tme@example\tTue, 8 Dec 2026 03:00:00 GMT\t" + messageId + "\t\t120\t3\tXref: h g:1\r\n";
}

// A connected socket pair: the context writes on one end, the test reads
// what came out on the other.
class Connection {
public:
    Connection()
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ours_.reset(fds[0]);
        theirs_.reset(fds[1]);
        ctx.transport.fd = theirs_.get();
    }
    // Everything sent so far.
    std::string Sent()
    {
        theirs_.reset();
        std::string text;
        char buffer[8192];
        for (ssize_t n; (n = ::read(ours_.get(), buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }
    ClientContext ctx;

private:
    UniqueFd ours_, theirs_;
};

const std::string kHeader = "Message-ID: <one@test>\r\nSubject: hello\r\nX-Folded: a\r\n\tb";
const std::string kBody = "line one\r\n..dotted";

TEST_F(Retrieval, ArticleHeadAndBodyWithTheirStatusLines)
{
    Stored s = StoreArticle("<one@test>", Overview("<one@test>", "hello"), kHeader + "\r\n\r\n" + kBody);
    {
        Connection c;
        ASSERT_EQ(TransmitArticle(&c.ctx, s.slot, 12), 1);
        EXPECT_EQ(c.Sent(), "220 12 <one@test> article retrieved - head and body follow\r\n" + kHeader + "\r\n\r\n" +
                                kBody + "\r\n.\r\n");
        EXPECT_STREQ(c.ctx.messageId, "<one@test>");
    }
    {
        Connection c;
        ASSERT_EQ(TransmitHeader(&c.ctx, s.slot, 12), 1);
        EXPECT_EQ(c.Sent(), "221 12 <one@test> article retrieved - header follows\r\n" + kHeader + "\r\n.\r\n");
    }
    {
        Connection c;
        ASSERT_EQ(TransmitArticleBody(&c.ctx, s.slot, 12), 1);
        EXPECT_EQ(c.Sent(), "222 12 <one@test> article retrieved - body follows\r\n" + kBody + "\r\n.\r\n");
    }
    {
        Connection c;
        c.ctx.articleKey = s.key;
        ASSERT_EQ(TransmitArticleByID(&c.ctx), 1);
        EXPECT_EQ(c.Sent().substr(0, 24), "220 0 <one@test> article");
    }

    Stored empty = StoreArticle("<empty@test>", Overview("<empty@test>", "empty"),
                                "Message-ID: <empty@test>\r\nSubject: empty\r\n\r\n");
    Connection c;
    ASSERT_EQ(TransmitArticleBody(&c.ctx, empty.slot, 3), 1);
    EXPECT_EQ(c.Sent(), "222 3 <empty@test> article retrieved - body follows\r\n\r\n.\r\n");
}

TEST_F(Retrieval, HeaderFieldsAndLocation)
{
    Stored s = StoreArticle("<two@test>", Overview("<two@test>", "two"),
                            "Message-ID: <two@test>\r\nSubject: two\r\nX-Folded: a\r\n\tb\r\n\r\nbody");
    {
        Connection c;
        ASSERT_EQ(TransmitXHeader(&c.ctx, s.slot, 7, "x-folded:"), 1);
        ASSERT_EQ(TransmitXHeader(&c.ctx, s.slot, 7, "Subject:"), 1);
        EXPECT_EQ(TransmitXHeader(&c.ctx, s.slot, 7, "References:"), 0);
        EXPECT_EQ(c.Sent(), "7 ab\r\n7 two\r\n");
    }
    Connection c;
    ASSERT_EQ(TransmitXpath(&c.ctx, s.slot, 7), 1);
    char expected[200];
    uint64_t storeKey = 0;
    uint32_t length = 0;
    ArticleKey key = 0;
    ASSERT_EQ(SeenGetXPath(s.slot, &storeKey, &length, &key), 1);
    std::snprintf(expected, sizeof expected, "200 key=%llx,length=%u,number=7,entry=%u id=%llu\r\n",
                  static_cast<unsigned long long>(storeKey), length, s.slot, static_cast<unsigned long long>(s.key));
    EXPECT_EQ(c.Sent(), expected);
    EXPECT_EQ(key, s.key);
}

TEST_F(Retrieval, OverviewLinesWholeAndChecked)
{
    std::string subject(9000, 's');
    for (size_t i = 0; i < subject.size(); i += 100)
        subject[i] = static_cast<char>('a' + (i / 100) % 26);  // out-of-order pieces would show
    std::string overview = Overview("<long@test>", subject);
    Stored s = StoreArticle("<long@test>", overview, "Message-ID: <long@test>\r\n\r\nbody");
    {
        Connection c;
        ASSERT_EQ(TransmitOverview(&c.ctx, s.slot, 42), 1);
        EXPECT_EQ(c.Sent(), "42\t" + overview);
    }
    uint32_t length = 0;
    std::unique_ptr<char[]> line = ReadOverviewLine(s.slot, 42, &length);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line.get(), length), "42\t" + overview);

    // A record whose fields do not count right is not overview data: the
    // article is marked gone.
    Stored bad = StoreArticle("<bad@test>", "no\ttabs\r\n", "Message-ID: <bad@test>\r\n\r\nbody");
    EXPECT_EQ(ReadOverviewLine(bad.slot, 1, &length), nullptr);
    EXPECT_EQ(length, 0u);
    Connection c;
    EXPECT_EQ(TransmitArticle(&c.ctx, bad.slot, 1), 0);
    EXPECT_EQ(c.Sent(), "");
}

// A record that a store resuming too early wrote over the start of another.
struct Overwritten {
    Stored lost;
    Stored over;
};

Overwritten WriteOver(const std::string& name)
{
    uint32_t wrap = 0;
    uint64_t start = 0;
    EXPECT_EQ(GetStorePlace(Retrieval::kStore, &wrap, &start), 1);
    const std::string lostId = "<lost." + name + "@test>";
    const std::string overId = "<over." + name + "@test>";
    Stored lost = StoreArticle(lostId, Overview(lostId, "lost"), "Message-ID: " + lostId + "\r\nSubject: lost\r\n\r\nbody");
    EXPECT_EQ(SetStorePlace(Retrieval::kStore, wrap, start), 1);
    Stored over = StoreArticle(overId, Overview(overId, "the article written later"),
                               "Message-ID: " + overId + "\r\nSubject: over\r\n\r\n" + std::string(300, 'b'));
    return {lost, over};
}

bool Gone(uint32_t slot)
{
    uint64_t storeKey = 0;
    uint32_t offset = 0, length = 0;
    return SeenGetArticle(slot, &storeKey, &offset, &length) == 0;
}

TEST_F(Retrieval, ARecordOfAnotherArticleIsNotServedAndMarksTheSlotGone)
{
    uint32_t length = 0;
    char id[kMessageIdSize];
    Connection c;
    Overwritten w = WriteOver("a");
    EXPECT_EQ(TransmitArticle(&c.ctx, w.lost.slot, 2), 0);
    EXPECT_TRUE(Gone(w.lost.slot));
    w = WriteOver("h");
    EXPECT_EQ(TransmitHeader(&c.ctx, w.lost.slot, 2), 0);
    EXPECT_TRUE(Gone(w.lost.slot));
    w = WriteOver("b");
    EXPECT_EQ(TransmitArticleBody(&c.ctx, w.lost.slot, 2), 0);
    w = WriteOver("x");
    EXPECT_EQ(TransmitXHeader(&c.ctx, w.lost.slot, 2, "Subject:"), 0);
    EXPECT_TRUE(Gone(w.lost.slot));
    w = WriteOver("o");
    EXPECT_EQ(TransmitOverview(&c.ctx, w.lost.slot, 2), 0);
    EXPECT_TRUE(Gone(w.lost.slot));
    w = WriteOver("r");
    EXPECT_EQ(ReadOverviewLine(w.lost.slot, 2, &length), nullptr);
    EXPECT_TRUE(Gone(w.lost.slot));
    w = WriteOver("i");
    EXPECT_EQ(ArticleGetMessageIDBuf(id, w.lost.slot), 0);
    EXPECT_TRUE(Gone(w.lost.slot));
    w = WriteOver("id");
    c.ctx.articleKey = w.lost.key;
    EXPECT_EQ(TransmitHeaderByID(&c.ctx), 0);
    // The later article is served as ever.
    ASSERT_EQ(ArticleGetMessageIDBuf(id, w.over.slot), 1);
    EXPECT_EQ(std::string(id), w.over.messageId);
    EXPECT_EQ(TransmitXHeader(&c.ctx, w.over.slot, 9, "Subject:"), 1);
    EXPECT_EQ(c.Sent(), "423 article not found\r\n430 article not found\r\n430 article not found\r\n9 over\r\n");
}

TEST_F(Retrieval, ASupersededIdServesItsSuccessor)
{
    Stored old = StoreArticle("<first@test>", Overview("<first@test>", "first"), "Message-ID: <first@test>\r\n\r\n1");
    const std::string article = "Message-ID: <second@test>\r\nSupersedes: <first@test>\r\n\r\n2";
    Stored next = StoreArticle("<second@test>", Overview("<second@test>", "second"), article);
    // As the pipeline leaves a superseded entry: the successor's record.
    SeenIdentity identity {};
    uint64_t storeKey = 0;
    uint32_t overviewLength = 0, length = 0, headerOffset = 0, headerLength = 0;
    ASSERT_EQ(SeenGetIdentity(next.slot, &identity), 1);
    ASSERT_EQ(SeenGetArticle(next.slot, &storeKey, &overviewLength, &length), 1);
    ASSERT_EQ(SeenGetArticleHeader(next.slot, &storeKey, &headerOffset, &headerLength), 1);
    UpdateSeen(old.slot, old.key, storeKey, length, static_cast<uint16_t>(overviewLength),
               static_cast<uint16_t>(headerLength), static_cast<uint16_t>(identity.messageIdOffset),
               static_cast<uint8_t>(identity.messageIdLength));
    Connection c;
    c.ctx.articleKey = old.key;
    ASSERT_EQ(TransmitArticleByID(&c.ctx), 1);
    EXPECT_EQ(c.Sent(), "220 0 <second@test> article retrieved - head and body follow\r\n" + article + "\r\n.\r\n");
    EXPECT_FALSE(Gone(old.slot));
}

TEST_F(Retrieval, MissingArticlesGetTheFailureAnswers)
{
    {
        Connection c;
        GetArticleIDFromString("<never@seen>", nullptr, &c.ctx.articleKey);
        EXPECT_EQ(TransmitArticleByID(&c.ctx), 0);
        EXPECT_EQ(TransmitHeaderByID(&c.ctx), 0);
        EXPECT_EQ(TransmitBodyByID(&c.ctx), 0);
        EXPECT_EQ(c.Sent(), "430 article not found\r\n430 article not found\r\n430 article not found\r\n");
    }
    {
        // Seen, but refused after its entry was made: the same answer to all three.
        Connection c;
        GetArticleIDFromString("<refused@test>", nullptr, &c.ctx.articleKey);
        AddSeen(c.ctx.articleKey, 0, 0, 0, 0, 0, 0, 0);
        EXPECT_EQ(TransmitArticleByID(&c.ctx), 0);
        EXPECT_EQ(TransmitHeaderByID(&c.ctx), 0);
        EXPECT_EQ(TransmitBodyByID(&c.ctx), 0);
        EXPECT_EQ(c.Sent(), "430 article not found\r\n430 article not found\r\n430 article not found\r\n");
    }
    // Wrap the store past the article: its key no longer holds its data.
    Stored s = StoreArticle("<old@test>", Overview("<old@test>", "old"), "Message-ID: <old@test>\r\n\r\nbody");
    uint32_t store = Retrieval::kStore;
    AdvanceStore(store, 9 * 1024 * 1024);
    StoreCheckAndWrap(store);
    Connection c;
    c.ctx.articleKey = s.key;
    EXPECT_EQ(TransmitArticle(&c.ctx, s.slot, 5), 0);
    EXPECT_EQ(TransmitHeader(&c.ctx, s.slot, 5), 0);
    EXPECT_EQ(TransmitArticleBody(&c.ctx, s.slot, 5), 0);
    EXPECT_EQ(TransmitXHeader(&c.ctx, s.slot, 5, "Message-ID:"), 0);
    EXPECT_EQ(TransmitOverview(&c.ctx, s.slot, 5), 0);
    EXPECT_EQ(TransmitArticleByID(&c.ctx), 0);
    EXPECT_EQ(c.Sent(), "423 article not found\r\n430 article not found\r\n430 article not found\r\n");
    char id[kMessageIdSize];
    EXPECT_EQ(ArticleGetMessageIDBuf(id, s.slot), 0);
}

}  // namespace

namespace {

TEST(OverviewFields, NamesAndValues)
{
    EXPECT_EQ(OverviewFieldIndex("SUBJECT"), 0);
    EXPECT_EQ(OverviewFieldIndex("Message-ID"), 3);
    EXPECT_EQ(OverviewFieldIndex(":lines"), 6);
    EXPECT_EQ(OverviewFieldIndex("xref"), 7);
    EXPECT_EQ(OverviewFieldIndex("lines"), -1);
    EXPECT_EQ(OverviewFieldIndex("Subject:"), -1);
    EXPECT_EQ(OverviewFieldIndex(""), -1);
    const std::string record = "s\tf\td\t<m@x>\t\t120\t3\tXref:  host a.b:7\r\n";
    EXPECT_EQ(OverviewField(record, 0), "s");
    EXPECT_EQ(OverviewField(record, 3), "<m@x>");
    EXPECT_EQ(OverviewField(record, 4), "");
    EXPECT_EQ(OverviewField(record, 5), "120");
    EXPECT_EQ(OverviewField(record, 7), "host a.b:7");
    // A short record has no value for the fields it lacks.
    EXPECT_EQ(OverviewField("s\tf", 5), "");
}

}  // namespace
