#include "article/store_end.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "article/store.h"
#include "history/history.h"
#include "server/log.h"
#include "support/server_harness.h"
#include "support/unit_config.h"

namespace {

using verdalix_test::MakeTempDir;
using verdalix_test::ReadFile;

constexpr uint64_t kMB = 1048576;

uint64_t Key(uint32_t store, uint32_t wrap, uint64_t offset)
{
    return offset | (static_cast<uint64_t>(store) << 40) | (static_cast<uint64_t>(wrap & 0xFFFF) << 48);
}

void ExpectPlace(StorePlace place, uint32_t wrapCount, uint64_t position)
{
    EXPECT_EQ(place.wrapCount, wrapCount);
    EXPECT_EQ(place.position, position);
}

TEST(StoreEndFinder, FurthestRecordOfTheNewestCycle)
{
    StoreEndFinder finder(2, {3, 1000});
    ExpectPlace(finder.End(), 3, 1000);  // nothing known: the saved place
    finder.Add(Key(2, 3, 400), 500);     // ends before the saved position
    ExpectPlace(finder.End(), 3, 1000);
    finder.Add(Key(5, 3, 9 * kMB), 100);  // another store
    finder.Add(Key(2, 2, 9 * kMB), 100);  // the previous cycle
    ExpectPlace(finder.End(), 3, 1000);
    finder.Add(Key(2, 3, 7000), 300);  // written after the save; order does not matter
    finder.Add(Key(2, 3, 1000), 6000);
    finder.Add(Key(2, 3, 2000), 10);
    ExpectPlace(finder.End(), 3, 7300);
}

TEST(StoreEndFinder, WrapsTheMetadataMissed)
{
    StoreEndFinder finder(0, {7, 8 * kMB});
    finder.Add(Key(0, 7, 8 * kMB + 100), 5000);
    finder.Add(Key(0, 8, 1), 4000);
    finder.Add(Key(0, 8, 4001), 900);
    finder.Add(Key(0, 7, 8 * kMB + 9000), 5000);  // older cycle, further on: passed over
    ExpectPlace(finder.End(), 8, 4901);
    finder.Add(Key(0, 9, 1), 77);  // two wraps ahead
    ExpectPlace(finder.End(), 9, 78);
}

TEST(StoreEndFinder, CyclesCompareModuloSixteenBits)
{
    // The key keeps the low 16 bits of the wrap count: 0x2FFFF is 0xFFFF there.
    StoreEndFinder finder(1, {0x2FFFF, 500});
    finder.Add(Key(1, 0xFFFE, 9 * kMB), 10);  // one behind
    finder.Add(Key(1, 0x8FFFF, 600), 10);     // 0xFFFF: the saved cycle
    ExpectPlace(finder.End(), 0x2FFFF, 610);
    finder.Add(Key(1, 0x0000, 1), 20);  // one ahead, across the 16-bit wrap
    ExpectPlace(finder.End(), 0x30000, 21);
    finder.Add(Key(1, 0x7FFF, 1), 30);  // half the range back: older
    ExpectPlace(finder.End(), 0x30000, 21);
}

// A store and a history on disk, as a server killed after feeding left them.
class StoreEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        verdalix_test::UseConfigText("HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir +
                                     "\nLogDirectory = " + dir + "\nSeenDataCount = 50\nSeenTableSize = 47\n");
        console_init();
        ASSERT_EQ(SeenInit(), 1);
        ArtStoreInit();
    }
    void TearDown() override
    {
        seenclose();
        StoreSyncAndClose();
        LogLine(nullptr);
        std::filesystem::remove_all(dir);
    }

    // A record of `size` bytes appended to store 4 and entered in the history.
    uint64_t Append(uint32_t size, ArticleKey key)
    {
        StoreCheckAndWrap(4);
        const uint64_t storeKey = GetStoreKey(4);
        std::string record(size, 'r');
        EXPECT_EQ(WriteToStore(4, record.data(), size), size);
        AddSeen(key, storeKey, size - 10, 10, 5, 4, 0, 100);
        return storeKey;
    }

    std::string dir;
};

TEST_F(StoreEnd, RestartResumesAfterTheLastRecordTheHistoryNames)
{
    ASSERT_NE(BuildArtStore(4, dir.c_str(), "*", 10, 100), nullptr);
    Append(1000, 1);
    ASSERT_EQ(WriteStoreMeta(4), 1);  // the last save before the kill
    const std::string stale = ReadFile(dir + "/4-meta.dat");
    Append(2000, 2);
    const uint64_t last = Append(3000, 3);
    const uint64_t end = GetStorePosition(4);
    ASSERT_EQ(end, (last & 0xFFFFFFFFFF) + 3000);
    AddSeen(4, 0, 0, 0, 0, 0, 0, 0);  // a placeholder names no record
    ASSERT_NE(BuildArtStore(5, dir.c_str(), "*", 10, 100), nullptr);  // unrelated store

    StoreSyncAndClose();
    ASSERT_TRUE(verdalix_test::WriteFile(dir + "/4-meta.dat", stale));
    ArtStoreInit();
    ASSERT_NE(BuildArtStore(4, dir.c_str(), "*", 10, 100), nullptr);
    EXPECT_EQ(GetStorePosition(4), 1001u);
    ASSERT_EQ(ResumeStoreAtEnd(4), 1);
    EXPECT_EQ(GetStorePosition(4), end);
    EXPECT_NE(ReadFile(dir + "/verdalix.log")
                  .find("ArtStore: store 4 resumes at position " + std::to_string(end) +
                        ", wrapcount=0 (saved position 1001, wrapcount=0)"),
              std::string::npos);
    // The new place was saved at once.
    std::string meta = ReadFile(dir + "/4-meta.dat");
    ASSERT_EQ(meta.size(), 912u);
    uint64_t saved = 0;
    std::memcpy(&saved, meta.data() + 880, sizeof saved);
    EXPECT_EQ(saved, end);

    // Nothing newer: the store stays, and says nothing.
    ASSERT_NE(BuildArtStore(5, dir.c_str(), "*", 10, 100), nullptr);
    ASSERT_EQ(ResumeStoreAtEnd(5), 1);
    EXPECT_EQ(GetStorePosition(5), 1u);
    EXPECT_EQ(ReadFile(dir + "/verdalix.log").find("store 5 resumes"), std::string::npos);
    EXPECT_EQ(ResumeStoreAtEnd(9), 0);
}

TEST_F(StoreEnd, MissedWrapAndLiveRebuild)
{
    ASSERT_NE(BuildArtStore(4, dir.c_str(), "*", 10, 100), nullptr);
    AdvanceStore(4, 8386083);  // the third record below wraps
    Append(1000, 1);
    ASSERT_EQ(WriteStoreMeta(4), 1);
    const std::string stale = ReadFile(dir + "/4-meta.dat");
    Append(1000, 2);
    Append(1000, 3);  // wraps: cycle 1 from offset 1
    const uint64_t end = GetStorePosition(4);
    ASSERT_EQ(end, 1001u);
    // The wrap's own save was lost.
    ASSERT_TRUE(verdalix_test::WriteFile(dir + "/4-meta.dat", stale));

    // Built again while in use: the live place stays, whatever the file says.
    ArtStore* s = BuildArtStore(4, dir.c_str(), "*", 10, 100);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->wrapCount, 1u);
    EXPECT_EQ(GetStorePosition(4), end);
    ASSERT_EQ(ResumeStoreAtEnd(4), 1);
    EXPECT_EQ(GetStorePosition(4), end);

    StoreSyncAndClose();
    ASSERT_TRUE(verdalix_test::WriteFile(dir + "/4-meta.dat", stale));
    ArtStoreInit();
    s = BuildArtStore(4, dir.c_str(), "*", 10, 100);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->wrapCount, 0u);
    ASSERT_EQ(ResumeStoreAtEnd(4), 1);
    uint32_t wrap = 0;
    uint64_t position = 0;
    ASSERT_EQ(GetStorePlace(4, &wrap, &position), 1);
    EXPECT_EQ(wrap, 1u);
    EXPECT_EQ(position, end);
    // The record of the new cycle is readable; the old cycle's tail is not
    // within 10 MB of the writer.
    EXPECT_GE(GetStoreHandle(Key(4, 1, 1)), 0);
    EXPECT_EQ(GetStoreHandle(Key(4, 0, 8 * kMB)), -1);
}

}  // namespace
