// The acceptance pipeline against a real history, store and group database
// in a temporary directory: the stored bytes and history entry of accepted
// articles, the refusals and what they leave behind, the date check.
#include "article/article.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "access/incoming.h"
#include "access/match.h"
#include "article/article_internal.h"
#include "article/article_key.h"
#include "article/store.h"
#include "groups/groupdb.h"
#include "history/history.h"
#include "platform/file_faults.h"
#include "server/client_context.h"
#include "support/server_harness.h"
#include "support/test_articles.h"
#include "support/unit_config.h"

namespace {

using verdalix_test::ArticleDate;
using verdalix_test::ArticleText;
using verdalix_test::MakeTempDir;

std::string dir;
IncomingEntry peer;

// One history, store and group database per test process.
class Acceptance : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!dir.empty())
            return;
        dir = MakeTempDir();
        std::string config = "HostPathIdentifier = test.host\nHistoryTablePath = " + dir +
                             "\nHistoryDataPath = " + dir + "\nGroupDataPath = " + dir +
                             "\nControlQueueDirectory = " + dir + "\nSeenTableSize = 1024\nSeenDataCount = 4096\n";
        verdalix_test::UseConfigText(config);
        SeenInit();
        ArtStoreInit();
        ASSERT_NE(BuildArtStore(0, dir.c_str(), "*", 8, 0), nullptr);
        ArticleInit();
        ASSERT_EQ(CreateGroup("misc.test", 0, 1, 1, "y"), 1);
        ASSERT_EQ(CreateGroup("mod.test", 1, 1, 1, "m"), 1);
    }
    // Each test may run in a process of its own: the files go with it
    // (the mappings stay valid).
    static void TearDownTestSuite() { std::filesystem::remove_all(dir); }

    void TearDown() override
    {
        for (ClientContext* c : contexts_) {
            FreeMatchData(*c);
            AddContextToFreeList(c);
        }
    }

    // A context holding `text` as received (followed by the terminator),
    // with its message-ID and match data prepared like reception does.
    ClientContext* Received(const std::string& text)
    {
        ClientContext* c = AllocClientContext();
        contexts_.push_back(c);
        std::string wire = text + "\r\n.\r\n";
        if (wire.size() >= c->bufferSize) {
            c->buffer = static_cast<char*>(std::realloc(c->buffer, wire.size() + 1));
            c->bufferSize = static_cast<uint32_t>(wire.size());
        }
        std::memcpy(c->buffer, wire.c_str(), wire.size() + 1);
        c->used = static_cast<uint32_t>(wire.size());
        c->articleLength = static_cast<uint32_t>(text.size());
        const char* id = std::strstr(text.c_str(), "Message-ID: ");
        EXPECT_NE(id, nullptr);
        GetArticleIDFromString(id + 12, c->messageId, &c->articleKey);
        c->incomingEntry = &peer;
        c->peerName = "peer.test";
        PrepareForMatch(*c);
        return c;
    }

    std::vector<ClientContext*> contexts_;
};

int serial = 0;

// An article with a fresh message-ID, dated a day ago; `extra` goes in before
// the blank line.
std::string Article(const std::string& extra = "", const std::string& groups = "misc.test",
                    const std::string& subject = "hello\tworld")
{
    return ArticleText({.id = "<" + std::to_string(++serial) + "." + std::to_string(::getpid()) + "@test>",
                        .path = "peer.test!origin",
                        .from = "someone@test",
                        .groups = groups,
                        .subject = subject,
                        .date = ArticleDate(1),
                        .extra = extra,
                        .body = "body line\r\n..dotted\r\n"});
}

std::string Read(uint64_t storeKey, uint32_t offset, uint32_t length)
{
    std::string bytes(length, '\0');
    EXPECT_EQ(ReadStore(storeKey, bytes.data(), offset, length), length);
    return bytes;
}

// What the history entry of the context's message-ID leads to.
struct Stored {
    std::string article, overview, messageId;
    uint32_t headerLength = 0;
};

Stored ReadBack(const ClientContext& c)
{
    Stored s;
    uint32_t slot = 0;
    EXPECT_EQ(SeenGetEntry(c.articleKey, &slot), 1);
    uint64_t key = 0;
    uint32_t offset = 0, length = 0;
    EXPECT_EQ(SeenGetArticle(slot, &key, &offset, &length), 1);
    s.article = Read(key, offset, length);
    uint32_t overviewLength = 0;
    EXPECT_EQ(SeenGetOverview(slot, &key, &overviewLength), 1);
    s.overview = Read(key, 0, overviewLength);
    EXPECT_EQ(SeenGetArticleMessageID(slot, &key, &offset, &length), 1);
    s.messageId = Read(key, offset, length);
    EXPECT_EQ(SeenGetArticleHeader(slot, &key, &offset, &length), 1);
    s.headerLength = length;
    return s;
}

std::string XrefLine(const std::string& stored)
{
    size_t at = stored.find("\r\nXref: ");
    return at == std::string::npos ? "" : stored.substr(at + 2, stored.find("\r\n", at + 2) - at);
}

TEST_F(Acceptance, AcceptedArticleIsStoredWithPathXrefAndOverview)
{
    std::string text = Article();
    ClientContext* c = Received(text);
    ASSERT_EQ(AddArticleToFile(c), 1);
    Stored s = ReadBack(*c);

    std::string xref = XrefLine(s.article);
    ASSERT_EQ(xref.rfind("Xref: test.host misc.test:", 0), 0u) << s.article;
    std::string expected = text;
    expected.insert(expected.find("\r\n\r\n") + 2, xref);
    expected.insert(6, "test.host!");
    EXPECT_EQ(s.article, expected);
    EXPECT_EQ(s.article.substr(s.headerLength, 4), "\r\n\r\n");
    EXPECT_EQ(s.messageId, c->messageId);

    // TAB in the subject becomes a blank; no References gives an empty field.
    std::string lines = std::to_string(std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ(s.overview, "hello world\tsomeone@test\t" + ArticleDate(1) + "\t" + c->messageId + "\t\t" +
                              std::to_string(text.size()) + "\t" + lines + "\t" + xref);
}

TEST_F(Acceptance, OldXrefIsReplacedWhereItStood)
{
    for (bool beforePath : {true, false}) {
        std::string text = Article();
        if (beforePath)
            text = "Xref: other 1:2\r\n" + text;
        else
            text.insert(text.find("\r\n\r\n") + 2, "Xref: other 1:2\r\n");
        ClientContext* c = Received(text);
        ASSERT_EQ(AddArticleToFile(c), 1);
        Stored s = ReadBack(*c);
        std::string xref = XrefLine("\r\n" + s.article);
        std::string expected = text;
        expected.replace(expected.find("Xref: other 1:2\r\n"), 17, xref);
        expected.insert(expected.find("Path: ") + 6, "test.host!");
        EXPECT_EQ(s.article, expected) << beforePath;
        EXPECT_EQ(s.article.substr(s.headerLength, 4), "\r\n\r\n");
        EXPECT_EQ(s.messageId, c->messageId);
    }
}

TEST_F(Acceptance, DuplicateIsCountedAsRefusedNotRejected)
{
    std::string text = Article();
    ASSERT_EQ(AddArticleToFile(Received(text)), 1);
    uint32_t refuses = peer.refuses, rejects = peer.rejects;
    EXPECT_EQ(AddArticleToFile(Received(text)), 0);
    EXPECT_EQ(peer.refuses, refuses + 1);
    EXPECT_EQ(peer.rejects, rejects - 1);  // the caller's 437/439 adds it back
}

TEST_F(Acceptance, RefusalsBeforeTheSlotLeaveNoHistoryEntryLaterOnesAPlaceholder)
{
    std::string noBlank = Article();
    noBlank.replace(0, 6, "Path:");
    ClientContext* c = Received(noBlank);
    EXPECT_EQ(AddArticleToFile(c), 0);
    EXPECT_EQ(CheckSeen(c->articleKey), 0);

    std::string old = Article();
    old.replace(old.find(ArticleDate(1)), ArticleDate(1).size(), ArticleDate(10));
    c = Received(old);
    EXPECT_EQ(AddArticleToFile(c), 0);
    EXPECT_EQ(CheckSeen(c->articleKey), 0);

    // Refused once numbered or laid out: the message-ID stays seen.
    for (const std::string& text : {Article("", "misc.test", "\xe4\xf6\xfc"), Article("", "mod.test"),
                                    Article("", "no.such.group")}) {
        c = Received(text);
        uint64_t position = GetStorePosition(0);
        EXPECT_EQ(AddArticleToFile(c), 0) << text;
        EXPECT_EQ(CheckSeen(c->articleKey), 1) << text;
        EXPECT_EQ(GetStorePosition(0), position);
    }
    EXPECT_EQ(AddArticleToFile(Received(Article("Approved: mod@test\r\n", "mod.test"))), 1);
}

// History entries hold 16-bit offsets and an 8-bit message-ID length.
TEST_F(Acceptance, ArticleTooLargeForItsHistoryEntryIsRefusedBeforeWriting)
{
    std::string huge = "X-Long: " + std::string(70000, 'a') + "\r\n";
    std::string longRefs = "References: <" + std::string(66000, 'r') + "@x>\r\n";
    for (const std::string& extra : {huge, longRefs}) {
        ClientContext* c = Received(Article(extra));
        uint64_t position = GetStorePosition(0);
        EXPECT_EQ(AddArticleToFile(c), 0);
        EXPECT_EQ(CheckSeen(c->articleKey), 1);
        EXPECT_EQ(GetStorePosition(0), position);
    }
}

TEST_F(Acceptance, TransitModeStoresWithoutXrefOrOverview)
{
    std::string text = Article();
    text.insert(text.find("\r\n\r\n") + 2, "Xref: other misc.test:5\r\n");
    transitMode = 1;
    ClientContext* c = Received(text);
    int accepted = AddArticleToFile(c);
    transitMode = 0;
    ASSERT_EQ(accepted, 1);
    Stored s = ReadBack(*c);
    std::string expected = text;
    expected.erase(expected.find("Xref: other"), 25);
    expected.insert(6, "test.host!");
    EXPECT_EQ(s.article, expected);
    EXPECT_EQ(s.overview, "");
    EXPECT_EQ(s.messageId, c->messageId);
    EXPECT_EQ(s.article.substr(s.headerLength, 4), "\r\n\r\n");
}

// A full disk or a failing device: nothing keeps the article, so the
// peer's next offer of it is taken and stored whole once the fault clears.
TEST_F(Acceptance, StoreWriteFailureDefersTheArticleAndItIsTakenAgainLater)
{
    const std::string text = Article();
    const uint64_t position = GetStorePosition(0);
    const std::string storeFile = dir + "/0-articles.dat";
    for (bool shortFirst : {false, true}) {
        SetFileFaults({FileFault{storeFile, kFileOpWrite, shortFirst ? ENOSPC : EIO, shortFirst}});
        ClientContext* c = Received(text);
        EXPECT_EQ(AddArticleToFile(c), kArticleDeferred);
        SetFileFaults({});
        EXPECT_EQ(CheckSeen(c->articleKey), 0) << shortFirst;
        EXPECT_EQ(GetStorePosition(0), position) << shortFirst;
    }
    bool free = false;
    std::thread([&free] {
        free = csArtFile().try_lock();
        if (free)
            csArtFile().unlock();
    }).join();
    EXPECT_TRUE(free);

    ClientContext* c = Received(text);
    ASSERT_EQ(AddArticleToFile(c), 1);
    Stored s = ReadBack(*c);
    EXPECT_EQ(s.messageId, c->messageId);
    std::string expected = text;
    expected.insert(expected.find("\r\n\r\n") + 2, XrefLine(s.article));
    expected.insert(6, "test.host!");
    EXPECT_EQ(s.article, expected) << "the torn first half is overwritten";
}

TEST_F(Acceptance, IncomingFilterAndInoculation)
{
    ASSERT_EQ(SetIncomingFilter("alt.*"), 1);
    EXPECT_EQ(AddArticleToFile(Received(Article())), 0);
    EXPECT_EQ(SetIncomingFilter("&,broken"), 0);  // the filter in force stays
    EXPECT_EQ(AddArticleToFile(Received(Article())), 0);
    ASSERT_EQ(SetIncomingFilter("*"), 1);
    EXPECT_EQ(AddArticleToFile(Received(Article())), 1);

    ClientContext* c = Received(Article());
    EXPECT_EQ(InnoculateHistory(c), 1);
    EXPECT_EQ(CheckSeen(c->articleKey), 1);
    EXPECT_EQ(InnoculateHistory(c), 0);
    EXPECT_EQ(AddArticleToFile(c), 0);
}

uint32_t SlotOf(const ClientContext& c)
{
    uint32_t slot = 0;
    EXPECT_EQ(SeenGetEntry(c.articleKey, &slot), 1);
    return slot;
}

std::string ArticleAt(uint32_t slot)
{
    uint64_t key = 0;
    uint32_t offset = 0, length = 0;
    return SeenGetArticle(slot, &key, &offset, &length) ? Read(key, offset, length) : "";
}

TEST_F(Acceptance, SupersedingArticleTakesOverTheOldSlotAndXref)
{
    ClientContext* old = Received(Article());
    ASSERT_EQ(AddArticleToFile(old), 1);
    const std::string oldXref = XrefLine(ReadBack(*old).article);
    ClientContext* next = Received(Article("Supersedes: " + std::string(old->messageId) + "\r\n"));
    ASSERT_EQ(AddArticleToFile(next), 1);
    Stored s = ReadBack(*next);
    EXPECT_EQ(XrefLine(s.article), oldXref);
    EXPECT_EQ(ArticleAt(SlotOf(*old)), s.article);
    EXPECT_EQ(ArticleAt(SlotOf(*next)), s.article);
}

TEST_F(Acceptance, CancelControlMessageIsStoredUnnumberedAndTakesEffect)
{
    ClientContext* target = Received(Article());
    ASSERT_EQ(AddArticleToFile(target), 1);
    const uint32_t slot = SlotOf(*target);
    ClientContext* cancel = Received(Article("Control: cancel " + std::string(target->messageId) + "\r\n"));
    ASSERT_EQ(AddArticleToFile(cancel), 1);
    EXPECT_EQ(ArticleAt(slot), "");
    Stored s = ReadBack(*cancel);
    EXPECT_EQ(s.overview, "");
    EXPECT_EQ(XrefLine(s.article), "");
    EXPECT_EQ(s.messageId, cancel->messageId);
}

// An article whose own Message-ID is not the one it was offered under is
// refused before anything is recorded: no history entry under either ID, no
// number, no store bytes, and a cancel it carries is not carried out. Plain
// articles are checked by their "Message-ID: " header, control messages by
// their first "Message-Id:".
TEST_F(Acceptance, ArticleOfferedUnderAnotherMessageIdIsRefusedBeforeAnythingIsRecorded)
{
    ClientContext* target = Received(Article());
    ASSERT_EQ(AddArticleToFile(target), 1);
    const uint32_t slot = SlotOf(*target);
    const std::string article = ArticleAt(slot);
    const std::string cancel = Article("Control: cancel " + std::string(target->messageId) + "\r\n");
    for (const std::string& text : {Article(), cancel}) {
        ClientContext* c = Received(text);
        const ArticleKey own = c->articleKey;
        GetArticleIDFromString("<offered.elsewhere@test>", c->messageId, &c->articleKey);
        const uint64_t position = GetStorePosition(0);
        const uint32_t high = groupArray[0].end;
        EXPECT_EQ(AddArticleToFile(c), 0) << text;
        EXPECT_EQ(CheckSeen(c->articleKey), 0);
        EXPECT_EQ(CheckSeen(own), 0);
        EXPECT_EQ(GetStorePosition(0), position);
        EXPECT_EQ(groupArray[0].end, high);
    }
    EXPECT_EQ(ArticleAt(slot), article);
}

TEST_F(Acceptance, DateCheck)
{
    MaxArticleAge = 7;
    auto dated = [this](const std::string& date) {
        std::string text = Article();
        text.replace(text.find(ArticleDate(1)), ArticleDate(1).size(), date);
        return Received(text);
    };
    EXPECT_EQ(CheckArticleDate(dated(ArticleDate(10))), 0);
    EXPECT_EQ(CheckArticleDate(dated(ArticleDate(400))), 1);
    EXPECT_EQ(CheckArticleDate(dated(ArticleDate(6))), 1);
    EXPECT_EQ(CheckArticleDate(dated("not a date at all")), 1);
    EXPECT_EQ(CheckArticleDate(dated(std::string(81, '1'))), 0);
    ClientContext* future = dated(ArticleDate(-1));
    EXPECT_EQ(CheckArticleDate(future), 1);
    EXPECT_GT(future->futureSeconds, 86000);
    EXPECT_LE(future->futureSeconds, 86400);
    std::string noDate = Article();
    noDate.replace(noDate.find("Date: "), 6, "Data: ");
    EXPECT_EQ(CheckArticleDate(Received(noDate)), 0);
}

}  // namespace
