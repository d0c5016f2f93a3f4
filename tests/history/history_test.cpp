#include "history/history.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "article/store.h"
#include "history/history_format.h"
#include "platform/mapped_region.h"
#include "platform/process.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"
#include "support/server_harness.h"

namespace {

using verdalix_test::MakeTempDir;
using verdalix_test::ReadFile;

constexpr uint32_t kEntrySize = sizeof(SeenEntry);
constexpr uint32_t kHeaderSize = sizeof(SeenHeader);

void LoadConfig(const std::string& text)
{
    std::string copy = text;
    FILE* file = fmemopen(copy.data(), copy.size(), "r");
    ConfigClear();
    ConfigReadFile(file);
    std::fclose(file);
}

template <typename T>
T FieldAt(const std::string& bytes, size_t offset)
{
    T value {};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class History : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        ArtStoreInit();
    }
    void TearDown() override
    {
        seenclose();
        StoreSyncAndClose();
        std::filesystem::remove_all(dir);
    }

    // Opens the database with `count` entries and `tableSize` heads, and
    // store 0 (100 MB) whose current key is valid.
    void Open(uint32_t count, uint32_t tableSize)
    {
        LoadConfig("HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir + "\nLogDirectory = " + dir +
                   "\nSeenDataCount = " + std::to_string(count) + "\nSeenTableSize = " + std::to_string(tableSize) +
                   "\n");
        console_init();
        ASSERT_EQ(SeenInit(), 1);
        ASSERT_NE(BuildArtStore(0, dir.c_str(), "*", 100, 10), nullptr);
        validKey = GetStoreKey(0);
    }

    uint32_t AddArticle(ArticleKey key, uint8_t priority, uint32_t length = 100)
    {
        return AddSeen(key, validKey, length, 20, 30, 9, 40, priority);
    }
    uint32_t AddPlaceholder(ArticleKey key) { return AddSeen(key, 0, 0, 0, 0, 0, 0, 0); }

    std::string Data() const { return ReadFile(dir + "/seen.dat"); }
    std::string Log() const { return ReadFile(dir + "/verdalix.log"); }
    uint8_t Priority(uint32_t slot) const
    {
        return static_cast<uint8_t>(Data()[kHeaderSize + kEntrySize * slot + offsetof(SeenEntry, expirePriority)]);
    }
    uint32_t NextSlotInFile() const { return FieldAt<uint32_t>(Data(), offsetof(SeenHeader, nextSlot)); }

    std::string dir;
    uint64_t validKey = 0;
};

}  // namespace

TEST_F(History, NewFilesAndLayout)
{
    Open(10, 7);
    EXPECT_EQ(ReadFile(dir + "/seen.idx"), std::string(7 * 4, '\xff'));
    std::string data = Data();
    ASSERT_EQ(data.size(), kHeaderSize + 10 * kEntrySize);
    EXPECT_EQ(data.substr(0, kHeaderSize), std::string(kHeaderSize, '\0'));
    EXPECT_EQ(CheckSeen(0), 0);
    EXPECT_EQ(CheckSeen(12345), 0);

    // Key 15 falls in bucket 1.
    EXPECT_EQ(AddSeen(15, 0x0001000500000042ULL, 1000, 300, 200, 25, 310, 77), 0u);
    data = Data();
    const size_t e = kHeaderSize;
    EXPECT_EQ(FieldAt<uint32_t>(data, offsetof(SeenHeader, nextSlot)), 1u);
    EXPECT_EQ(FieldAt<uint64_t>(data, e + offsetof(SeenEntry, messageKey)), 15u);
    EXPECT_EQ(FieldAt<uint32_t>(data, e + offsetof(SeenEntry, next)), 0xFFFFFFFFu);
    EXPECT_EQ(FieldAt<uint64_t>(data, e + offsetof(SeenEntry, storeKey)), 0x0001000500000042ULL);
    EXPECT_EQ(FieldAt<uint32_t>(data, e + offsetof(SeenEntry, length)), 1000u);
    EXPECT_EQ(FieldAt<uint16_t>(data, e + offsetof(SeenEntry, headerLength)), 200u);
    EXPECT_EQ(FieldAt<uint16_t>(data, e + offsetof(SeenEntry, overviewLength)), 300u);
    EXPECT_EQ(FieldAt<uint16_t>(data, e + offsetof(SeenEntry, messageIdOffset)), 310u);
    EXPECT_EQ(static_cast<uint8_t>(data[e + offsetof(SeenEntry, messageIdLength)]), 25u);
    EXPECT_EQ(static_cast<uint8_t>(data[e + offsetof(SeenEntry, useCount)]), 1u);
    EXPECT_EQ(static_cast<uint8_t>(data[e + offsetof(SeenEntry, expirePriority)]), 77u);
    EXPECT_EQ(FieldAt<uint32_t>(ReadFile(dir + "/seen.idx"), 4), 0u);
}

TEST_F(History, AddFindCancelAndGetters)
{
    Open(10, 7);
    const uint32_t a = AddArticle(1, 50);
    const uint32_t twin1 = AddArticle(8, 50);  // same bucket as key 1
    const uint32_t twin2 = AddSeen(8, validKey, 3, 0, 0, 0, 0, 50);
    uint32_t index = 99;
    ASSERT_EQ(SeenGetEntry(8, &index), 1);
    EXPECT_EQ(index, twin2);  // the newer of two entries with one key
    EXPECT_NE(twin1, twin2);
    ASSERT_EQ(SeenGetEntry(1, &index), 1);
    EXPECT_EQ(index, a);
    EXPECT_GE(seenSearchCount.load(), 2u);
    EXPECT_GE(seenMaxDepth.load(), 2u);

    uint64_t key = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    ArticleKey articleKey = 0;
    ASSERT_EQ(SeenGetArticle(a, &key, &offset, &length), 1);
    EXPECT_EQ(key, validKey);
    EXPECT_EQ(offset, 20u);
    EXPECT_EQ(length, 100u);
    ASSERT_EQ(SeenGetArticleHeader(a, &key, &offset, &length), 1);
    EXPECT_EQ(offset, 20u);
    EXPECT_EQ(length, 30u);
    ASSERT_EQ(SeenGetArticleBody(a, &key, &offset, &length), 1);
    EXPECT_EQ(offset, 54u);
    EXPECT_EQ(length, 66u);
    ASSERT_EQ(SeenGetArticleMessageID(a, &key, &offset, &length), 1);
    EXPECT_EQ(offset, 40u);
    EXPECT_EQ(length, 9u);
    ASSERT_EQ(SeenGetXPath(a, &key, &length, &articleKey), 1);
    EXPECT_EQ(articleKey, 1u);
    ASSERT_EQ(SeenGetOverview(a, &key, &length), 1);
    EXPECT_EQ(length, 20u);
    // An article whose body is empty: header length + 4 is all of it.
    const uint32_t empty = AddSeen(22, validKey, 34, 0, 30, 0, 0, 50);
    ASSERT_EQ(SeenGetArticleBody(empty, &key, &offset, &length), 1);
    EXPECT_EQ(length, 0u);
    ASSERT_EQ(SeenGetArticleBody(twin2, &key, &offset, &length), 1);  // shorter than its header
    EXPECT_EQ(length, 0u);

    EXPECT_EQ(SeenValidateArticleEx(a, SeenGetUseCount(a)), 1);
    EXPECT_EQ(SeenValidateArticleEx(a, SeenGetUseCount(a) + 1), 0);

    EXPECT_EQ(UpdateSeen(a, 1, validKey + 5, 500, 1, 2, 3, 4), a);
    ASSERT_EQ(SeenGetArticleMessageID(a, &key, &offset, &length), 1);
    EXPECT_EQ(key, validKey + 5);
    EXPECT_EQ(offset, 3u);
    EXPECT_EQ(length, 4u);

    EXPECT_EQ(CancelSeen(1), 1);
    EXPECT_EQ(CheckSeen(1), 1);  // still seen, no article
    EXPECT_EQ(SeenGetArticle(a, &key, &offset, &length), 0);
    EXPECT_EQ(SeenValidateArticle(a), 0);
    EXPECT_EQ(CancelSeen(777), 0);
    EXPECT_EQ(SeenToast(twin2), 1);
    EXPECT_EQ(SeenGetXPath(twin2, &key, &length, &articleKey), 0);

    // A key whose store data is gone marks the entry gone.
    const uint32_t stale = AddSeen(30, validKey | (5ULL << 48), 10, 0, 0, 0, 0, 50);
    EXPECT_EQ(SeenGetArticle(stale, &key, &offset, &length), 1);
    EXPECT_EQ(SeenGetOverview(stale, &key, &length), 0);
    EXPECT_EQ(SeenGetArticle(stale, &key, &offset, &length), 0);
    EXPECT_EQ(CheckSeen(30), 1);

    // One past the last slot is refused everywhere.
    for (uint32_t bad : {10u, 0xFFFFFFFFu}) {
        EXPECT_EQ(SeenToast(bad), 0);
        EXPECT_EQ(SeenGetUseCount(bad), 0u);
        EXPECT_EQ(SeenValidateArticle(bad), 0);
        EXPECT_EQ(SeenValidateArticleEx(bad, 0), 0);
        EXPECT_EQ(SeenGetOverview(bad, &key, &length), 0);
        EXPECT_EQ(SeenGetArticle(bad, &key, &offset, &length), 0);
        EXPECT_EQ(SeenGetArticleMessageID(bad, &key, &offset, &length), 0);
        EXPECT_EQ(SeenGetArticleHeader(bad, &key, &offset, &length), 0);
        EXPECT_EQ(SeenGetArticleBody(bad, &key, &offset, &length), 0);
        EXPECT_EQ(SeenGetXPath(bad, &key, &length, &articleKey), 0);
        EXPECT_EQ(UpdateSeen(bad, 1, 1, 1, 1, 1, 1, 1), 0u);
    }
}

TEST_F(History, RingWrapsAndOverwritesTheOldest)
{
    Open(10, 7);
    for (ArticleKey k = 100; k < 110; ++k)
        AddArticle(k, 4);
    EXPECT_EQ(NextSlotInFile(), 0u);
    EXPECT_EQ(CheckSeen(100), 1);  // the oldest, reached through key 107 of its bucket
    EXPECT_EQ(AddPlaceholder(200), 0u);
    EXPECT_EQ(CheckSeen(100), 0);
    EXPECT_EQ(CheckSeen(200), 1);
    for (ArticleKey k = 101; k < 110; ++k)
        EXPECT_EQ(CheckSeen(k), 1) << k;
    EXPECT_EQ(SeenGetUseCount(0), 2u);
}

TEST_F(History, PrioritiesHalveUntilTheEntryGoes)
{
    Open(10, 7);
    for (ArticleKey k = 0; k < 10; ++k)
        AddArticle(k, 100);
    EXPECT_EQ(AddPlaceholder(50), 0u);
    // Five passes: 100, 50, 25, 12, 6, 3; at 3 the first slot is taken.
    for (uint32_t slot = 1; slot < 10; ++slot)
        EXPECT_EQ(Priority(slot), 3u) << slot;
    EXPECT_EQ(NextSlotInFile(), 1u);
    for (ArticleKey k = 1; k < 10; ++k)
        EXPECT_EQ(CheckSeen(k), 1) << k;
    std::string log = Log();
    EXPECT_EQ(log.find("WARN: seen"), std::string::npos);

    // Priorities of 250 and above never decay.
    AddArticle(60, 250);
    AddArticle(61, 4);
    AddPlaceholder(62);
    EXPECT_EQ(Priority(1), 250u);
}

TEST_F(History, SaturatedRingOverwritesWhereItStarted)
{
    Open(10, 7);
    for (ArticleKey k = 0; k < 10; ++k)
        AddArticle(k, 255);
    EXPECT_EQ(AddPlaceholder(99), 0u);
    std::string log = Log();
    EXPECT_NE(log.find("WARN: seen saturated, overwriting an entry"), std::string::npos);
    EXPECT_EQ(log.find("WARN: seen appears to be saturating"), std::string::npos);
    EXPECT_EQ(CheckSeen(0), 0);
    EXPECT_EQ(CheckSeen(99), 1);
    for (ArticleKey k = 1; k < 10; ++k)
        EXPECT_EQ(CheckSeen(k), 1) << k;
}

TEST_F(History, LongSkipWarnsAndTakesTheLowestSlot)
{
    Open(1500, 10007);
    for (ArticleKey k = 0; k < 1500; ++k)
        AddArticle(20000 + k, k == 1200 ? 40 : 255);
    // 1,200 slots of 255, the one of 40 halved to 20, then past 2,000 skips.
    EXPECT_EQ(AddPlaceholder(99), 1200u);
    std::string log = Log();
    EXPECT_NE(log.find("WARN: seen appears to be saturating"), std::string::npos);
    EXPECT_EQ(log.find("saturated"), std::string::npos);
    EXPECT_EQ(NextSlotInFile(), 1201u);
    EXPECT_EQ(CheckSeen(21200), 0);
    EXPECT_EQ(CheckSeen(20000), 1);
    EXPECT_EQ(CheckSeen(21499), 1);
}

TEST_F(History, KeptChainHeadKeepsItsOlderEntries)
{
    // Slot 0 decays to 5, so the cursor jumps back to it after 500 skips and
    // meets, right after it, entries it has already kept and made heads.
    Open(600, 10007);
    AddArticle(999, 10);
    AddArticle(3, 255);  // slot 1, bucket 3
    for (ArticleKey k = 2; k < 600; ++k)
        AddArticle(k == 550 ? 10010 : 1000 + k, 255);  // slot 550: bucket 3 too
    EXPECT_EQ(AddPlaceholder(5000), 0u);
    uint32_t index = 0;
    ASSERT_EQ(SeenGetEntry(10010, &index), 1);
    EXPECT_EQ(index, 550u);
    SeenToast(2);
    EXPECT_EQ(AddPlaceholder(5001), 2u);  // keeps slot 1, the head of bucket 3
    ASSERT_EQ(SeenGetEntry(10010, &index), 1);
    EXPECT_EQ(index, 550u);
    EXPECT_EQ(CheckSeen(3), 1);
    EXPECT_EQ(Log().find("Minor database corruption"), std::string::npos);
}

TEST_F(History, SelfLoopIsCut)
{
    Open(10, 7);
    AddArticle(2, 50);
    AddArticle(9, 50);  // slot 1, bucket 2: its next is slot 0
    // Corrupt slot 1 through a second view of the file.
    auto* view = static_cast<char*>(CreateMappedRegion((dir + "/seen.dat").c_str(), 0));
    ASSERT_NE(view, nullptr);
    const uint32_t self = 1;
    std::memcpy(view + kHeaderSize + kEntrySize + offsetof(SeenEntry, next), &self, 4);
    uint32_t index = 0;
    EXPECT_EQ(SeenGetEntry(16, &index), 0);  // bucket 2, absent: meets the loop
    EXPECT_NE(Log().find("Minor database corruption, pruning"), std::string::npos);
    uint32_t next = 0;
    std::memcpy(&next, view + kHeaderSize + kEntrySize + offsetof(SeenEntry, next), 4);
    EXPECT_EQ(next, 0xFFFFFFFFu);
    EXPECT_EQ(CheckSeen(9), 1);
    EXPECT_EQ(CheckSeen(2), 0);  // cut off with the loop
    DeleteMappedRegion(view);
}

TEST_F(History, ReopenKeepsEntriesAndRestartsAnOversizedCursor)
{
    Open(20, 7);
    for (ArticleKey k = 0; k < 15; ++k)
        AddArticle(k, 50);
    CancelSeen(3);
    seenclose();
    ASSERT_EQ(SeenInit(), 1);
    for (ArticleKey k = 0; k < 15; ++k)
        EXPECT_EQ(CheckSeen(k), 1) << k;
    uint64_t key = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    EXPECT_EQ(SeenGetArticle(3, &key, &offset, &length), 0);
    EXPECT_EQ(SeenGetArticle(4, &key, &offset, &length), 1);
    EXPECT_EQ(AddPlaceholder(40), 15u);

    // The same files with a smaller ring: the cursor lies beyond it.
    seenclose();
    LoadConfig("HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir + "\nLogDirectory = " + dir +
               "\nSeenDataCount = 10\nSeenTableSize = 7\n");
    ASSERT_EQ(SeenInit(), 1);
    EXPECT_EQ(CheckSeen(12), 0);  // its slot is outside the ring now
    EXPECT_EQ(CheckSeen(2), 1);
    EXPECT_EQ(AddArticle(41, 50), 3u);  // from slot 0 on: keeps 0-2, takes the cancelled 3
    EXPECT_EQ(CheckSeen(41), 1);
}

namespace {

// Runs in the death test's child: in debug mode the messages go to standard
// output, which the test reads on standard error.
void OpenWithLimits(const std::string& config, bool limitFileSize)
{
    ::dup2(2, 1);
    bDebug = 1;
    LoadConfig(config);
    if (limitFileSize) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    SeenInit();
}

}  // namespace

TEST(HistoryDeathTest, OpenAndMapFailuresEndTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string dir = MakeTempDir();
    auto expectFailure = [&](const std::string& config, const char* message, bool limitFileSize) {
        EXPECT_EXIT(OpenWithLimits(config, limitFileSize), ::testing::ExitedWithCode(1), message);
    };
    expectFailure("HistoryTablePath = " + dir + "/none\nHistoryDataPath = " + dir + "\n", "could not open table file",
                  false);
    expectFailure("HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir + "/none\n", "could not open seen file",
                  false);
    expectFailure("HistoryDataPath = " + dir + "\n", "could not open table file", false);
    expectFailure("HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir + "\nSeenTableSize = 100000\n",
                  "could not map table file", true);
    expectFailure("HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir + "\nSeenTableSize = 7\nSeenDataCount = 100000\n",
                  "could not map history file", true);
    std::filesystem::remove_all(dir);
}
