#include "groups/overview_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "article/article_key.h"
#include "article/store.h"
#include "article/store_end.h"
#include "group_fixture.h"
#include "groups/groupdb.h"
#include "groups/groupdb_format.h"
#include "groups/overview_cache_internal.h"
#include "history/history.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"

namespace {

using group_test::LoadConfig;
using group_test::MakeDir;
using group_test::ReadText;

constexpr uint32_t kArticleStore = 0;
constexpr uint32_t kCacheStore = 1;
constexpr uint32_t kCacheStoreMegabytes = 12;

// The overview line an article numbered n in group g is given, as XOVER
// sends it; a function of (g, n) so that reader threads need no shared map.
std::string OverviewRecord(uint32_t g, uint32_t n)
{
    std::string id = "<" + std::to_string(g) + "." + std::to_string(n) + "@test>";
    return "Subject " + std::to_string(n) + "\tme@example\tTue, 8 Dec 2026 03:00:00 GMT\t" + id + "\t\t120\t3\t" +
           "Xref: news.test g" + std::to_string(g) + ":" + std::to_string(n) + "\r\n";
}

std::string ExpectedLine(uint32_t g, uint32_t n)
{
    return std::to_string(n) + "\t" + OverviewRecord(g, n);
}

// Group database, history, an article store and a cache store in a temporary
// directory. The rewriter waits `delay` seconds before it takes a request;
// the default keeps it out of the way of tests that call the cache directly.
class OverviewCache : public ::testing::Test {
protected:
    explicit OverviewCache(int delay = 3600, uint32_t groups = 200) : delay_(delay), groups_(groups) {}

    void SetUp() override
    {
        dir_ = MakeDir();
        ASSERT_FALSE(dir_.empty());
        LoadConfig("GroupDataPath = " + dir_ + "\nGroupArraySize = " + std::to_string(groups_) +
                   "\nHostPathIdentifier = news.test\nLogDirectory = " + dir_ + "\nHistoryTablePath = " + dir_ +
                   "\nHistoryDataPath = " + dir_ + "\nSeenDataCount = 3000\nSeenTableSize = 2999\n" +
                   "OverviewRewriteDelay = " + std::to_string(delay_) + "\n");
        console_init();
        ASSERT_EQ(SeenInit(), 1);
        ArtStoreInit();
        ASSERT_NE(BuildArtStore(kArticleStore, dir_.c_str(), "*", 20, 100), nullptr);
        ASSERT_NE(BuildArtStore(kCacheStore, dir_.c_str(), "overcache", kCacheStoreMegabytes, 100), nullptr);
        ASSERT_EQ(GroupInit(), 1);
        savedThreshold_ = OverviewRewriteThreshold();
    }
    void TearDown() override
    {
        GroupClose();
        StoreSyncAndClose();
        SetOverviewRewriteThreshold(savedThreshold_);
        LogLine(nullptr);
        ConfigClear();
        std::filesystem::remove_all(dir_);
    }

    void MakeGroup(uint32_t g, uint32_t slots = 1)
    {
        ASSERT_EQ(CreateGroup(("g" + std::to_string(g)).c_str(), g, 1, slots, "y"), 1);
    }

    // Stores a new article, records it in the history and numbers it in g.
    uint32_t AddArticle(uint32_t g)
    {
        uint32_t n = groupArray[g].end + 1;
        std::string overview = OverviewRecord(g, n);
        std::string id = "<" + std::to_string(g) + "." + std::to_string(n) + "@test>";
        std::string article = "Message-ID: " + id + "\r\nSubject: s\r\n\r\nbody\r\n";
        std::string record = overview + article;
        StoreCheckAndWrap(kArticleStore);
        uint64_t storeKey = GetStoreKey(kArticleStore);
        EXPECT_EQ(WriteToStore(kArticleStore, record.data(), static_cast<uint32_t>(record.size())), record.size());
        ArticleKey key = 0;
        GetArticleIDFromString(id.c_str(), nullptr, &key);
        uint32_t slot = AddSeen(key, storeKey, static_cast<uint32_t>(article.size()),
                                static_cast<uint16_t>(overview.size()), static_cast<uint16_t>(article.find("\r\n\r\n")),
                                static_cast<uint8_t>(id.size()), static_cast<uint16_t>(overview.size() + 12), 100);
        slots_[n] = slot;
        EXPECT_EQ(GroupAddArticle(g, slot, static_cast<uint8_t>(SeenGetUseCount(slot))), n);
        return n;
    }
    std::vector<uint32_t> AddArticles(uint32_t g, int count)
    {
        std::vector<uint32_t> numbers;
        for (int i = 0; i < count; ++i)
            numbers.push_back(AddArticle(g));
        return numbers;
    }

    // Everything StreamOverviewCache offers for `first`, its pieces joined;
    // "-" when it offers nothing.
    static std::string Cached(uint32_t g, uint32_t first, uint32_t* cacheEnd = nullptr)
    {
        std::string text;
        const CacheStream stream = StreamOverviewCache(g, first, [&](std::string_view piece) {
            text += piece;
            return true;
        });
        if (cacheEnd != nullptr)
            *cacheEnd = stream.cacheEnd;
        return stream.used ? text : "-";
    }
    // The block's text as stored, from offset 0.
    std::string BlockText(uint32_t g)
    {
        std::string text(groupArray[g].ocachelen, '\0');
        EXPECT_EQ(ReadStore(groupArray[g].ocacheKey, text.data(), 0, groupArray[g].ocachelen), text.size());
        return text;
    }
    static std::string Lines(uint32_t g, const std::vector<uint32_t>& numbers)
    {
        std::string text;
        for (uint32_t n : numbers)
            text += ExpectedLine(g, n);
        return text;
    }
    static bool Valid(uint32_t g) { return (groupArray[g].flags & kGroupCacheValid) != 0; }
    static uint32_t Changes(uint32_t g) { return (groupArray[g].flags & kChangeCountMask) >> kChangeCountShift; }

    // Waits (bounded) for the rewriter to bring about `done`.
    static bool WaitFor(const std::function<bool()>& done)
    {
        for (int i = 0; i < 600 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return done();
    }

    std::string LogText() const { return ReadText(dir_ + "/verdalix.log"); }

    std::string dir_;
    std::map<uint32_t, uint32_t> slots_;  // article number → history slot

private:
    int delay_;
    uint32_t groups_;
    int savedThreshold_ = 30;
};

TEST_F(OverviewCache, RewriteAndAppendInPlace)
{
    MakeGroup(3);
    std::vector<uint32_t> numbers = AddArticles(3, 5);
    EXPECT_EQ(Cached(3, 0), "-");
    ASSERT_EQ(WriteGroupOverviewCache(3), 1);
    const GroupRecord& r = groupArray[3];
    EXPECT_TRUE(Valid(3));
    EXPECT_EQ(+r.ocacheblen, 16384u);
    EXPECT_EQ(+r.cstart, numbers.front());
    EXPECT_EQ(+r.cend, numbers.back());
    uint32_t cacheEnd = 0;
    EXPECT_EQ(Cached(3, 0, &cacheEnd), Lines(3, numbers));
    EXPECT_EQ(cacheEnd, numbers.back());

    // Appends go behind the lines in place; the index stays as it was.
    uint64_t key = r.ocacheKey;
    auto* indexAt = reinterpret_cast<const char*>(&r) + OverviewIndexOf(1).offsets;
    std::string index(indexAt, 200);
    for (uint32_t n : AddArticles(3, 3))
        numbers.push_back(n);
    ASSERT_EQ(AppendToOverviewCache(3), 1);
    EXPECT_EQ(+r.ocacheKey, key);
    EXPECT_EQ(+r.cend, numbers.back());
    EXPECT_EQ(std::string(indexAt, 200), index);
    EXPECT_EQ(Cached(3, 0, &cacheEnd), Lines(3, numbers));
    EXPECT_EQ(cacheEnd, numbers.back());
    EXPECT_EQ(Changes(3), 1u);

    // A full rewrite whose text still fits overwrites the block in place.
    ASSERT_EQ(WriteGroupOverviewCache(3), 1);
    EXPECT_EQ(+r.ocacheKey, key);
    EXPECT_EQ(BlockText(3), Lines(3, numbers));
}

TEST_F(OverviewCache, BlockOutgrowingItsReserveIsPlacedAnew)
{
    MakeGroup(4);
    std::vector<uint32_t> numbers = AddArticles(4, 3);
    ASSERT_EQ(WriteGroupOverviewCache(4), 1);
    uint64_t oldKey = groupArray[4].ocacheKey;
    // About 140 bytes a line: 200 lines no longer fit 16384 bytes.
    for (uint32_t n : AddArticles(4, 200))
        numbers.push_back(n);
    EXPECT_EQ(AppendToOverviewCache(4), 0);
    uint64_t writePosition = GetStoreKey(kCacheStore);
    ASSERT_EQ(WriteGroupOverviewCache(4), 1);
    const GroupRecord& r = groupArray[4];
    std::string text = Lines(4, numbers);
    ASSERT_GT(text.size(), 16384u);
    EXPECT_NE(+r.ocacheKey, oldKey);
    EXPECT_EQ(+r.ocacheKey, writePosition);
    EXPECT_EQ(+r.ocachelen, text.size());
    EXPECT_EQ(+r.ocacheblen, text.size() / 16384 * 16384 + 16384);
    EXPECT_EQ(Cached(4, 0), text);
    // The reserve was taken from the store: the next block goes behind it.
    EXPECT_EQ(GetStoreKey(kCacheStore), writePosition + r.ocacheblen);
}

TEST_F(OverviewCache, GoneArticlesRaiseTheLowMarkAndEmptyTheBlock)
{
    MakeGroup(5);
    std::vector<uint32_t> numbers = AddArticles(5, 6);
    ASSERT_EQ(WriteGroupOverviewCache(5), 1);
    // Two leave the group's ring, one only the history.
    GroupToastArticle(5, numbers[0]);
    GroupToastArticle(5, numbers[1]);
    SeenToast(slots_[numbers[3]]);
    ASSERT_EQ(WriteGroupOverviewCache(5), 1);
    const GroupRecord& r = groupArray[5];
    EXPECT_EQ(+r.start, numbers[2]);
    EXPECT_EQ(+r.cstart, numbers[2]);
    EXPECT_EQ(GroupEntryOf(5, numbers[3]), nullptr);
    EXPECT_EQ(Cached(5, 0), Lines(5, {numbers[2], numbers[4], numbers[5]}));

    for (uint32_t n : {numbers[2], numbers[4], numbers[5]})
        SeenToast(slots_[n]);
    ASSERT_EQ(WriteGroupOverviewCache(5), 1);
    EXPECT_EQ(+r.ocachelen, 0u);
    EXPECT_FALSE(Valid(5));
    EXPECT_EQ(Cached(5, 0), "-");
    EXPECT_EQ(AppendToOverviewCache(5), 0);
}

TEST_F(OverviewCache, LostOrDamagedBlocksAreRebuiltFromTheStores)
{
    MakeGroup(6);
    std::vector<uint32_t> numbers = AddArticles(6, 4);
    ASSERT_EQ(WriteGroupOverviewCache(6), 1);
    uint64_t key = groupArray[6].ocacheKey;

    // The cache store's ring runs over the block.
    AdvanceStore(kCacheStore, (kCacheStoreMegabytes - 1) * 1048576);
    StoreCheckAndWrap(kCacheStore);
    ASSERT_LT(GetStoreHandle(key), 0);
    ASSERT_EQ(WriteGroupOverviewCache(6), 1);
    EXPECT_NE(LogText().find("overview cache block lapped for 6, pounding the spool..."), std::string::npos);
    EXPECT_NE(+groupArray[6].ocacheKey, key);
    EXPECT_EQ(Cached(6, 0), Lines(6, numbers));

    // A block that does not start with a digit is dropped.
    ASSERT_EQ(WriteToStoreSpec(groupArray[6].ocacheKey, "x", 0, 1), 1u);
    ASSERT_EQ(WriteGroupOverviewCache(6), 1);
    std::string log = LogText();
    EXPECT_NE(log.find("corrupt overview block found"), std::string::npos);
    EXPECT_NE(log.find("overview cache block not available for 6, pounding the spool..."), std::string::npos);
    EXPECT_EQ(Cached(6, 0), Lines(6, numbers));

    // A line without a number inside the block is skipped when copying and
    // the article's line read from the store instead.
    std::string block = BlockText(6);
    size_t second = block.find("\r\n") + 2;
    ASSERT_EQ(WriteToStoreSpec(groupArray[6].ocacheKey, "Z", second, 1), 1u);
    ASSERT_EQ(WriteGroupOverviewCache(6), 1);
    EXPECT_NE(LogText().find("warn: seemingly corrupt overview cache block, looking for " +
                             std::to_string(numbers[1])),
              std::string::npos);
    EXPECT_EQ(Cached(6, 0), Lines(6, numbers));
}

// Offset of the line of `number` in `text`.
size_t LineOffset(const std::string& text, uint32_t number)
{
    std::string head = std::to_string(number) + "\t";
    return text.rfind(head, 0) == 0 ? 0 : text.find("\n" + head) + 1;
}

// Index entries: ascending numbers whose offsets point at their lines, closed
// by kIndexEnd / 0. Returns the entries before the closing one.
std::vector<std::pair<uint32_t, uint32_t>> CheckIndex(const char* offsets, const char* numbers, uint32_t capacity,
                                                      const std::string& text)
{
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    for (uint32_t k = 0; k < capacity; ++k) {
        uint32_t offset = 0, number = 0;
        std::memcpy(&offset, offsets + 4 * k, 4);
        std::memcpy(&number, numbers + 4 * k, 4);
        if (number == kIndexEnd) {
            EXPECT_EQ(offset, 0u);
            return entries;
        }
        EXPECT_TRUE(entries.empty() || entries.back().first < number);
        EXPECT_EQ(offset, LineOffset(text, number)) << number;
        entries.emplace_back(number, offset);
    }
    ADD_FAILURE() << "index not closed";
    return entries;
}

TEST_F(OverviewCache, CacheStoreResumesAfterTheRoomOfItsLastBlock)
{
    MakeGroup(9);
    MakeGroup(10);
    AddArticles(9, 3);
    AddArticles(10, 2);
    ASSERT_EQ(WriteGroupOverviewCache(9), 1);
    ASSERT_EQ(WriteGroupOverviewCache(10), 1);
    uint32_t wrap = 0;
    uint64_t end = 0;
    ASSERT_EQ(GetStorePlace(kCacheStore, &wrap, &end), 1);
    ASSERT_EQ(end, (groupArray[10].ocacheKey & 0xFFFFFFFFFF) + groupArray[10].ocacheblen);
    // Back at its first position, as a kill before the first save leaves it.
    ASSERT_EQ(SetStorePlace(kCacheStore, wrap, 1), 1);
    ASSERT_EQ(ResumeStoreAtEnd(kCacheStore), 1);
    EXPECT_EQ(GetStorePosition(kCacheStore), end);
}

TEST_F(OverviewCache, BlockIndexAndReadsFromIt)
{
    MakeGroup(7);
    std::vector<uint32_t> numbers = AddArticles(7, 100);
    ASSERT_EQ(WriteGroupOverviewCache(7), 1);
    std::string text = Lines(7, numbers);
    auto* record = reinterpret_cast<const char*>(&groupArray[7]);
    const OverviewIndexPlace one = OverviewIndexOf(1);
    auto entries = CheckIndex(record + one.offsets, record + one.numbers, one.capacity, text);
    ASSERT_GE(entries.size(), 20u);
    EXPECT_LE(entries.size(), 23u);

    // Below every entry: from the start; past an entry: from the entry before;
    // above the last: from the last entry's line.
    EXPECT_EQ(Cached(7, 0), text);
    EXPECT_EQ(Cached(7, entries[0].first), text);
    EXPECT_EQ(Cached(7, entries[5].first), text.substr(entries[4].second));
    EXPECT_EQ(Cached(7, entries[5].first + 1), text.substr(entries[5].second));
    EXPECT_EQ(Cached(7, numbers.back() + 50), text.substr(entries.back().second));

    // A damaged index cannot send a reader outside the block.
    groupArray[7].blockOffsets[2] = 0x7FFFFFFF;
    EXPECT_EQ(Cached(7, entries[3].first), text);

    // A group of two slots keeps its index after its entry ring.
    MakeGroup(20, 2);
    numbers = AddArticles(20, 60);
    ASSERT_EQ(WriteGroupOverviewCache(20), 1);
    text = Lines(20, numbers);
    record = reinterpret_cast<const char*>(&groupArray[20]);
    const OverviewIndexPlace two = OverviewIndexOf(2);
    entries = CheckIndex(record + two.offsets, record + two.numbers, two.capacity, text);
    ASSERT_GE(entries.size(), 40u);
    EXPECT_EQ(Cached(20, entries[30].first + 1), text.substr(entries[30].second));

    // A slot count that disagrees with the ring is repaired before a rewrite.
    groupArray[7].numSlots = 3;
    ASSERT_EQ(WriteGroupOverviewCache(7), 1);
    EXPECT_NE(LogText().find("Inconsistency in group 7: numSlots=3 and numEntries=500"), std::string::npos);
    EXPECT_EQ(+groupArray[7].numSlots, 1);
}

TEST_F(OverviewCache, ReadersDuringRewritesSeeWholeLines)
{
    MakeGroup(8);
    AddArticles(8, 50);
    ASSERT_EQ(WriteGroupOverviewCache(8), 1);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, served{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            for (uint32_t first = 2 + t; !stop; first = first % 300 + 7) {
                uint32_t cacheEnd = 0;
                const std::string text = Cached(8, first, &cacheEnd);
                if (text == "-")
                    continue;
                ++served;
                std::string_view rest(text);
                uint32_t previous = 0;
                while (!rest.empty()) {
                    size_t end = rest.find("\r\n");
                    uint32_t n = static_cast<uint32_t>(std::atoi(std::string(rest.substr(0, 12)).c_str()));
                    bool whole = end != std::string_view::npos && rest.substr(0, end + 2) == ExpectedLine(8, n);
                    if (!whole || n <= previous || n > cacheEnd) {
                        ++bad;
                        break;
                    }
                    previous = n;
                    rest.remove_prefix(end + 2);
                }
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        AddArticles(8, 10);
        if (round % 3 == 0)
            WriteGroupOverviewCache(8);
        else
            AppendToOverviewCache(8);
    }
    ASSERT_TRUE(WaitFor([&] { return served > 20; }));
    stop = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(bad, 0);
    // 250 lines outgrew the first reserve: blocks were placed anew too.
    EXPECT_GT(+groupArray[8].ocacheblen, 16384u);
}

class OverviewCacheLap : public OverviewCache {
protected:
    OverviewCacheLap() : OverviewCache(3600, 1100) {}
};

TEST_F(OverviewCacheLap, FullRingGivesUpTheOldestRequest)
{
    for (uint32_t g = 0; g < 999; ++g)
        ASSERT_EQ(ScheduleOverviewCacheRewrite(g, 0), 1);
    EXPECT_EQ(LogText().find("lapped itself"), std::string::npos);
    ASSERT_EQ(ScheduleOverviewCacheRewrite(999, 0), 1);
    EXPECT_NE(LogText().find("info: overview cache rewrite lapped itself."), std::string::npos);
    EXPECT_EQ(oShead, 0u);
    EXPECT_EQ(oStail, 1u);
    // Group 0's request was given up: it can be queued again.
    EXPECT_EQ(groupMap[0].queued, 0u);
    uint32_t head = oShead;
    ASSERT_EQ(ScheduleOverviewCacheRewrite(0, 0), 1);
    EXPECT_NE(oShead, head);
    EXPECT_EQ(groupMap[0].schedIndex, static_cast<int32_t>(oShead.load()));
}

// The rewriter at work, with no delay (or two seconds) before a request.
class OverviewRewriter : public OverviewCache {
protected:
    explicit OverviewRewriter(int delay = 0) : OverviewCache(delay) {}
};

class OverviewRewriterDelay : public OverviewRewriter {
protected:
    OverviewRewriterDelay() : OverviewRewriter(2) {}
};

TEST_F(OverviewRewriterDelay, ChangesWithinTheDelayAreOneRewrite)
{
    MakeGroup(9);
    uint32_t head = oShead;
    std::vector<uint32_t> numbers = AddArticles(9, 2);
    EXPECT_EQ(oShead, (head + 1) % 1000);
    ASSERT_TRUE(WaitFor([&] { return Valid(9) && groupArray[9].cend == numbers.back(); }));
    EXPECT_EQ(oStail, oShead);
    EXPECT_EQ(Cached(9, 0), Lines(9, numbers));
    EXPECT_EQ(groupMap[9].schedIndex, -1);
}

TEST_F(OverviewRewriter, ThresholdTurnsAnAppendIntoAFullRewrite)
{
    SetOverviewRewriteThreshold(5);
    MakeGroup(10);
    std::vector<uint32_t> numbers = {AddArticle(10)};
    ASSERT_TRUE(WaitFor([&] { return Valid(10) && groupArray[10].cend == numbers.back(); }));
    // Six appends count six changes; the block's start stays where it was.
    for (uint32_t count = 1; count <= 6; ++count) {
        numbers.push_back(AddArticle(10));
        ASSERT_TRUE(WaitFor([&] { return groupArray[10].cend == numbers.back() && Changes(10) == count; }));
    }
    EXPECT_EQ(+groupArray[10].cstart, numbers[0]);
    // The first article goes; only a full rewrite moves the block's start.
    GroupToastArticle(10, numbers[0]);
    numbers.push_back(AddArticle(10));
    EXPECT_EQ(Changes(10), 0u);
    ASSERT_TRUE(WaitFor([&] { return groupArray[10].cstart == numbers[1] && Valid(10); }));
    numbers.erase(numbers.begin());
    EXPECT_EQ(Cached(10, 0), Lines(10, numbers));
}

}  // namespace

// A block larger than one read is offered in pieces of whole lines, which
// join to the block; a rewrite between two pieces ends the stream there, so
// the reader never joins the text of two different blocks.
TEST_F(OverviewCache, LargeBlocksStreamInWholeLinesAndStopAtARewrite)
{
    MakeGroup(9, 6);
    const std::vector<uint32_t> numbers = AddArticles(9, 2600);
    ASSERT_EQ(WriteGroupOverviewCache(9), 1);
    const uint32_t cacheLength = groupArray[9].ocachelen;  // a copy: the record is packed
    ASSERT_GT(cacheLength, 262144u);
    std::vector<std::string> pieces;
    CacheStream stream = StreamOverviewCache(9, 1, [&](std::string_view piece) {
        pieces.emplace_back(piece);
        return true;
    });
    EXPECT_TRUE(stream.used && stream.whole);
    EXPECT_EQ(stream.cacheEnd, numbers.back());
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_TRUE(pieces[0].ends_with("\r\n") && pieces[1].ends_with("\r\n"));
    EXPECT_EQ(pieces[0] + pieces[1], Lines(9, numbers));

    // From the middle: the line of the last indexed article before it on.
    const std::string tail = Cached(9, 2000);
    EXPECT_TRUE(tail.ends_with(ExpectedLine(9, numbers.back())));
    EXPECT_LE(tail.size(), Lines(9, std::vector<uint32_t>(numbers.begin() + 1000, numbers.end())).size());

    size_t offered = 0;
    stream = StreamOverviewCache(9, 1, [&](std::string_view piece) {
        ++offered;
        EXPECT_EQ(WriteGroupOverviewCache(9), 1);  // the rewriter, between two pieces
        return !piece.empty();
    });
    EXPECT_TRUE(stream.used);
    EXPECT_FALSE(stream.whole);
    EXPECT_EQ(offered, 1u);
    EXPECT_EQ(Cached(9, 1), Lines(9, numbers));  // the new block streams whole again
}
