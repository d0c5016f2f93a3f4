#include "article/control_message.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "article/article.h"
#include "article/article_key.h"
#include "article/store.h"
#include "history/history.h"
#include "server/client_context.h"
#include "server/config.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

namespace {

using verdalix_test::ArticleText;
using verdalix_test::MakeTempDir;
using verdalix_test::ReadFile;
using verdalix_test::WriteFile;

void LoadConfig(const std::string& text)
{
    std::string copy = text;
    FILE* file = fmemopen(copy.data(), copy.size(), "r");
    ConfigClear();
    ConfigReadFile(file);
    std::fclose(file);
}

ArticleKey KeyOf(const char* messageId)
{
    ArticleKey key = 0;
    GetArticleIDFromString(messageId, nullptr, &key);
    return key;
}

// An article as the pipeline holds it: text, then the end marker.
struct Received {
    std::string storage;
    ClientContext c;
    explicit Received(const std::string& text, const char* messageId = "<new@x>") : storage(text + "\r\n.\r\n")
    {
        c.buffer = storage.data();
        c.articleLength = static_cast<uint32_t>(text.size());
        c.articleKey = KeyOf(messageId);
    }
};

std::string Article(const std::string& headers)
{
    return ArticleText({.path = "a!b", .extra = headers, .body = "body\r\n.. dotted\r\n"});
}

// History, store 0 and the control queue in a temporary directory.
class ControlMessage : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        queue = dir + "/control";
        std::filesystem::create_directory(queue);
        LoadConfig("HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir + "\nSeenDataCount = 100\n" +
                   "SeenTableSize = 31\nControlQueueDirectory = " + queue + "\n");
        ASSERT_EQ(SeenInit(), 1);
        ArtStoreInit();
        ASSERT_NE(BuildArtStore(0, dir.c_str(), "*", 10, 10), nullptr);
        ControlMessagePattern = "newgroup*,rmgroup*,checkgroups*";
        honorSupersedes = 1;
        ASSERT_EQ(ControlMessageInit(), 1);
    }
    void TearDown() override
    {
        seenclose();
        StoreSyncAndClose();
        std::filesystem::remove_all(dir);
    }

    // Stores an overview record and an article and enters them in history.
    uint32_t StoreArticle(const char* messageId, const std::string& overview, const std::string& article)
    {
        uint64_t key = GetStoreKey(0);
        EXPECT_EQ(WriteToStore(0, overview.data(), static_cast<uint32_t>(overview.size())), overview.size());
        EXPECT_EQ(WriteToStore(0, article.data(), static_cast<uint32_t>(article.size())), article.size());
        const std::string record = overview + article;
        return AddSeen(KeyOf(messageId), key, static_cast<uint32_t>(article.size()),
                       static_cast<uint16_t>(overview.size()), 10, static_cast<uint8_t>(std::strlen(messageId)),
                       static_cast<uint16_t>(record.find(messageId)), 10);
    }

    std::string ControlFile(unsigned n) const { return ReadFile(queue + "/" + std::to_string(n) + ".control"); }
    bool HasControlFile(unsigned n) const
    {
        return std::filesystem::exists(queue + "/" + std::to_string(n) + ".control");
    }
    size_t ControlFileCount() const
    {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(queue))
            ++count;
        return count;
    }

    std::string dir;
    std::string queue;
};

}  // namespace

TEST_F(ControlMessage, CancelKnownAndUnknownMessageIds)
{
    const uint32_t slot = StoreArticle("<old@x>", "s\tf\td\t<old@x>\t\t1\t1\tXref: h g:1\r\n", Article(""));
    uint64_t storeKey = 0;
    uint32_t offset = 0, length = 0;
    ASSERT_EQ(SeenGetArticle(slot, &storeKey, &offset, &length), 1);

    Received cancel(Article("Control: cancel <old@x>\r\n"));
    EXPECT_EQ(ProcessControlMessage(cancel.c, "cancel <old@x>"), 1);
    // Gone at once, yet still seen so that it is not taken again.
    EXPECT_EQ(SeenGetArticle(slot, &storeKey, &offset, &length), 0);
    EXPECT_EQ(CheckSeen(KeyOf("<old@x>")), 1);

    // Not here yet: a placeholder makes the article refused when it comes.
    EXPECT_EQ(CheckSeen(KeyOf("<later@x>")), 0);
    EXPECT_EQ(ProcessControlMessage(cancel.c, " \t CANCEL <later@x>"), 1);
    EXPECT_EQ(CheckSeen(KeyOf("<later@x>")), 1);
    uint32_t placeholder = 0;
    ASSERT_EQ(SeenGetEntry(KeyOf("<later@x>"), &placeholder), 1);
    EXPECT_EQ(SeenGetArticle(placeholder, &storeKey, &offset, &length), 0);

    // No readable message-ID: nothing happens and the caller is told.
    EXPECT_EQ(ProcessControlMessage(cancel.c, "cancel <>"), 0);
    EXPECT_EQ(ProcessControlMessage(cancel.c, "cancel no-id"), 0);
    EXPECT_EQ(ProcessControlMessage(cancel.c, "cancel <open@x"), 0);
    EXPECT_EQ(CheckSeen(KeyOf("<open@x")), 0);
    // "cancel" needs its blank; a cancel never goes to the queue.
    EXPECT_EQ(ProcessControlMessage(cancel.c, "cancel<gone@x>"), 1);
    EXPECT_EQ(CheckSeen(KeyOf("<gone@x>")), 0);
    EXPECT_EQ(ControlFileCount(), 0u);
}

TEST_F(ControlMessage, PatternsChooseWhatIsQueued)
{
    const std::string text = Article("Control: newgroup alt.test\r\n");
    Received newgroup(text);
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "newgroup alt.test"), 1);
    EXPECT_EQ(ControlFile(0), text);  // exactly as received, without the end marker
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "  rmgroup alt.test"), 1);
    EXPECT_TRUE(HasControlFile(1));
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "checkgroups"), 1);
    EXPECT_TRUE(HasControlFile(2));

    // Types the patterns do not name, or name only as a part, are not queued.
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "sendsys"), 1);
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "xnewgroup alt.test"), 1);
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "Newgroup alt.test"), 1);
    EXPECT_EQ(ControlFileCount(), 3u);

    // A configured list, empty entries included, is tried entry by entry.
    ControlMessagePattern = ",version,,send*";
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "newgroup alt.test"), 1);
    EXPECT_EQ(ProcessControlMessage(newgroup.c, ""), 1);
    EXPECT_EQ(ControlFileCount(), 3u);
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "sendsys"), 1);
    EXPECT_EQ(ProcessControlMessage(newgroup.c, "version"), 1);
    EXPECT_TRUE(HasControlFile(3));
    EXPECT_TRUE(HasControlFile(4));
}

TEST_F(ControlMessage, FileNumbersSkipExistingFiles)
{
    ASSERT_TRUE(WriteFile(queue + "/0.control", "older"));
    ASSERT_TRUE(WriteFile(queue + "/2.control", "older too"));
    Received a(Article("Control: newgroup a\r\n"));
    Received b(Article("Control: newgroup b\r\n"));
    Received c(Article("Control: newgroup c\r\n"));
    EXPECT_EQ(WriteControlMessage(a.c), 1);
    EXPECT_EQ(WriteControlMessage(b.c), 1);
    EXPECT_EQ(WriteControlMessage(c.c), 1);
    EXPECT_EQ(ControlFile(0), "older");
    EXPECT_EQ(ControlFile(1), a.storage.substr(0, a.c.articleLength));
    EXPECT_EQ(ControlFile(2), "older too");
    EXPECT_EQ(ControlFile(3), b.storage.substr(0, b.c.articleLength));
    EXPECT_EQ(ControlFile(4), c.storage.substr(0, c.c.articleLength));

    // A new run counts from 0 again and still overwrites nothing.
    ASSERT_EQ(ControlMessageInit(), 1);
    EXPECT_EQ(WriteControlMessage(a.c), 1);
    EXPECT_TRUE(HasControlFile(5));
    EXPECT_EQ(ControlFile(0), "older");

    // Without the directory nothing can be written, and the message is
    // still handled.
    std::filesystem::remove_all(queue);
    EXPECT_EQ(WriteControlMessage(a.c), 0);
    EXPECT_EQ(ProcessControlMessage(a.c, "newgroup a"), 1);
}

TEST_F(ControlMessage, SupersedesTakesOverTheOldXref)
{
    const std::string xref = "Xref: here alt.test:12 misc.test:7 \r\n";
    const uint32_t old = StoreArticle("<old@x>", "s\tf\td\t<old@x>\tr\t9\t1\t" + xref, Article(""));
    char out[kSupersedesXrefSize];
    uint32_t slot = 0xFFFFFFFF;

    Received known(Article("Supersedes: <old@x>\r\n"));
    EXPECT_EQ(CheckSupersedes(known.c, out, &slot), 1);
    EXPECT_EQ(slot, old);
    EXPECT_EQ(std::string(out), xref);

    // Switched off, unknown, unreadable or its own message-ID: an ordinary
    // article, and the out values stay as they were.
    std::string untouched(out);
    slot = 0xFFFFFFFF;
    honorSupersedes = 0;
    EXPECT_EQ(CheckSupersedes(known.c, out, &slot), 0);
    honorSupersedes = 1;
    Received unknown(Article("Supersedes: <never@x>\r\n"));
    EXPECT_EQ(CheckSupersedes(unknown.c, out, &slot), 0);
    Received unreadable(Article("Supersedes: old@x\r\n"));
    EXPECT_EQ(CheckSupersedes(unreadable.c, out, &slot), 0);
    Received none(ArticleText({.subject = "<old@x>"}));
    EXPECT_EQ(CheckSupersedes(none.c, out, &slot), 0);
    Received itself(Article("Supersedes: <old@x>\r\n"), "<old@x>");
    EXPECT_EQ(CheckSupersedes(itself.c, out, &slot), 0);
    EXPECT_EQ(slot, 0xFFFFFFFFu);
    EXPECT_EQ(std::string(out), untouched);

    // A cancelled target is still superseded, without an Xref: line.
    EXPECT_EQ(CancelSeen(KeyOf("<old@x>")), 1);
    EXPECT_EQ(CheckSupersedes(known.c, out, &slot), 1);
    EXPECT_EQ(slot, old);
    EXPECT_EQ(std::string(out), "");
}

TEST_F(ControlMessage, SupersedesOfUnfitOverviewRecords)
{
    char out[kSupersedesXrefSize];
    uint32_t slot = 0;

    // Other data over the record (not 7 TABs): the target is marked gone.
    const uint32_t bad = StoreArticle("<bad@x>", "no\ttabs\tenough\r\n", Article(""));
    Received overwritten(Article("Supersedes: <bad@x>\r\n"));
    EXPECT_EQ(CheckSupersedes(overwritten.c, out, &slot), 1);
    EXPECT_EQ(slot, bad);
    EXPECT_EQ(std::string(out), "");
    EXPECT_EQ(SeenValidateArticle(bad), 0);

    // An Xref: line that does not fit the buffer is left out, not cut.
    const std::string longXref = "Xref: here " + std::string(kSupersedesXrefSize, 'g') + ":1 \r\n";
    const uint32_t big = StoreArticle("<big@x>", "s\tf\td\t<big@x>\t\t9\t1\t" + longXref, Article(""));
    Received huge(Article("Supersedes: <big@x>\r\n"));
    EXPECT_EQ(CheckSupersedes(huge.c, out, &slot), 1);
    EXPECT_EQ(slot, big);
    EXPECT_EQ(std::string(out), "");
}
