#include "article/store.h"
#include "article/store_format.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "access/match.h"
#include "platform/transport.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"
#include "support/server_harness.h"

namespace {

using verdalix_test::MakeTempDir;
using verdalix_test::ReadFile;

constexpr uint64_t kMB = 1048576;

class Stores : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir();
        std::string config = "LogDirectory = " + dir + "\n";
        FILE* file = fmemopen(config.data(), config.size(), "r");
        ConfigClear();
        ConfigReadFile(file);
        std::fclose(file);
        console_init();
        ArtStoreInit();
    }
    void TearDown() override
    {
        StoreSyncAndClose();
        std::filesystem::remove_all(dir);
    }

    std::string MetaPath(uint32_t n) const { return dir + "/" + std::to_string(n) + "-meta.dat"; }

    // A metadata file as an earlier run would have left it.
    void SaveMeta(uint32_t n, uint32_t storeSize, uint32_t wrapCount, uint64_t position)
    {
        ArtStore r {};
        r.storeSize = storeSize;
        r.number = n;
        r.wrapCount = wrapCount;
        r.position = position;
        r.inUse = 1;
        ASSERT_TRUE(verdalix_test::WriteFile(MetaPath(n), std::string(reinterpret_cast<char*>(&r), sizeof r)));
    }

    ArtStore* Build(uint32_t n, uint32_t size, const char* select = "*", uint32_t priority = 10)
    {
        return BuildArtStore(n, dir.c_str(), select, size, priority);
    }

    std::string dir;
};

template <typename T>
T FieldAt(const std::string& bytes, size_t offset)
{
    T value {};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

}  // namespace

TEST_F(Stores, BuildFailures)
{
    EXPECT_EQ(Build(64, 10), nullptr);
    EXPECT_EQ(BuildArtStore(1, (dir + "/missing").c_str(), "*", 10, 1), nullptr);
    EXPECT_EQ(Build(1, 10, "comp.*,$Q"), nullptr);
    EXPECT_EQ(Build(1, 1048577), nullptr);  // offsets would not fit a key
    EXPECT_EQ(GetStoreKey(1), 0u);
    ASSERT_NE(Build(1, 1048576), nullptr);
}

TEST_F(Stores, WrapsAtTheComputedPosition)
{
    ASSERT_NE(Build(0, 10), nullptr);
    EXPECT_EQ(GetStorePosition(0), 1u);
    EXPECT_EQ(AdvanceStore(0, 8387583), 8387583u);
    EXPECT_EQ(StoreCheckAndWrap(0), 1);
    EXPECT_EQ(GetStorePosition(0), 8387584u);
    AdvanceStore(0, 1);
    EXPECT_EQ(StoreCheckAndWrap(0), 1);
    EXPECT_EQ(GetStorePosition(0), 1u);
    EXPECT_EQ(GetStoreKey(0), MakeStoreKey(0, 1, 1));
    EXPECT_NE(ReadFile(dir + "/verdalix.log").find("ArtStore: wrapped store 0, wrapcount=1, checkcount=2"),
              std::string::npos);
    // The wrap saved the metadata at once.
    std::string meta = ReadFile(MetaPath(0));
    ASSERT_EQ(meta.size(), sizeof(ArtStore));
    EXPECT_EQ(FieldAt<uint32_t>(meta, offsetof(ArtStore, wrapCount)), 1u);
    EXPECT_EQ(FieldAt<uint64_t>(meta, offsetof(ArtStore, position)), 1u);
    EXPECT_EQ(FieldAt<uint32_t>(meta, offsetof(ArtStore, checkCount)), 0u);

    EXPECT_EQ(StoreCheckAndWrap(5), 0);
    EXPECT_EQ(AdvanceStore(64, 1), 0u);
    EXPECT_EQ(GetStorePosition(64), ~0ULL);
}

TEST_F(Stores, KeyValidityAcrossCycles)
{
    SaveMeta(2, 10, 3, 4 * kMB);
    ASSERT_NE(Build(2, 10), nullptr);
    const uint64_t early = MakeStoreKey(2, 3, 5000000);
    EXPECT_GE(GetStoreHandle(early), 0);
    AdvanceStore(2, static_cast<uint32_t>(6 * kMB));
    StoreCheckAndWrap(2);
    ASSERT_EQ(GetStorePosition(2), 1u);
    EXPECT_EQ(GetStoreHandle(early), -1);  // 5,000,000 < 1 + 10 MB

    SaveMeta(3, 100, 4, 1);
    ASSERT_NE(Build(3, 100), nullptr);
    const uint64_t late = MakeStoreKey(3, 3, 20000000);
    EXPECT_GE(GetStoreHandle(late), 0);
    AdvanceStore(3, 9514239);
    EXPECT_GE(GetStoreHandle(late), 0);
    AdvanceStore(3, 1);
    EXPECT_EQ(GetStoreHandle(late), -1);
    EXPECT_EQ(GetStoreHandle(MakeStoreKey(3, 2, 90 * kMB)), -1);  // two behind
    EXPECT_EQ(GetStoreHandle(MakeStoreKey(3, 5, 1)), -1);  // from the future
    EXPECT_EQ(GetStoreHandle(MakeStoreKey(3, 4, 100 * kMB)), GetStoreHandle(MakeStoreKey(3, 4, 1)));
    EXPECT_EQ(GetStoreHandle(MakeStoreKey(3, 4, 100 * kMB + 1)), -1);  // past the ring
    EXPECT_EQ(GetStoreHandle(MakeStoreKey(9, 0, 1)), -1);  // not built
    EXPECT_EQ(GetStoreHandle(MakeStoreKey(200, 0, 1)), -1);
}

TEST_F(Stores, WrapCountBeyondSixteenBits)
{
    SaveMeta(4, 100, 0xFFFF, 50 * kMB);
    ASSERT_NE(Build(4, 100), nullptr);
    const uint64_t old = GetStoreKey(4);
    EXPECT_EQ(old, MakeStoreKey(4, 0xFFFF, 50 * kMB));
    AdvanceStore(4, static_cast<uint32_t>(48 * kMB));
    StoreCheckAndWrap(4);  // wrap count 0x10000
    const uint64_t fresh = GetStoreKey(4);
    EXPECT_EQ(fresh, MakeStoreKey(4, 0, 1));
    EXPECT_GE(GetStoreHandle(fresh), 0);
    EXPECT_GE(GetStoreHandle(old), 0);  // previous cycle, far enough ahead
    AdvanceStore(4, static_cast<uint32_t>(45 * kMB));
    EXPECT_EQ(GetStoreHandle(old), -1);
    AdvanceStore(4, static_cast<uint32_t>(53 * kMB));
    StoreCheckAndWrap(4);  // 0x10001
    EXPECT_GE(GetStoreHandle(MakeStoreKey(4, 0, 60 * kMB)), 0);
    EXPECT_EQ(GetStoreHandle(MakeStoreKey(4, 0, 5 * kMB)), -1);
    EXPECT_EQ(GetStoreHandle(MakeStoreKey(4, 0xFFFF, 60 * kMB)), -1);
}

TEST_F(Stores, KeyFields)
{
    SaveMeta(5, 100000, 0x10002, 0x123456789AULL);
    ASSERT_NE(Build(5, 10), nullptr);
    EXPECT_EQ(GetStoreKey(5), 0x00020512'3456789AULL);
    uint64_t offset = 0;
    EXPECT_EQ(GetStoreOffsetFromKey(GetStoreKey(5), &offset), 0x123456789AULL);
    EXPECT_EQ(offset, 0x123456789AULL);
    EXPECT_GE(GetStoreHandleAndOffset(MakeStoreKey(5, 2, 77), &offset), 0);
    EXPECT_EQ(offset, 77u);
}

TEST_F(Stores, WriteReadAndCopy)
{
    ASSERT_NE(Build(0, 10), nullptr);
    std::string small = "overview\tline\r\nPath: x\r\n\r\nbody";
    std::string big(200000, 'b');
    for (size_t i = 0; i < big.size(); i += 7)
        big[i] = static_cast<char>('a' + i % 26);
    const uint64_t k1 = GetStoreKey(0);
    ASSERT_EQ(WriteToStore(0, small.data(), static_cast<uint32_t>(small.size())), small.size());
    const uint64_t k2 = GetStoreKey(0);
    EXPECT_EQ(k2, k1 + small.size());
    ASSERT_EQ(WriteToStore(0, big.data(), static_cast<uint32_t>(big.size())), big.size());
    EXPECT_EQ(GetStorePosition(0), 1 + small.size() + big.size());

    std::string back(big.size(), '\0');
    EXPECT_EQ(ReadStore(k2, back.data(), 0, static_cast<uint32_t>(big.size())), big.size());
    EXPECT_EQ(back, big);
    char head[9] = {};
    EXPECT_EQ(ReadStore(k1, head, 0, 8), 8u);
    EXPECT_STREQ(head, "overview");
    EXPECT_EQ(ReadStore(k2, back.data(), 1, static_cast<uint32_t>(big.size())), 0u);  // past the file's end

    EXPECT_EQ(WriteToStoreSpec(k1, "OVER", 0, 4), 4u);
    EXPECT_EQ(GetStorePosition(0), 1 + small.size() + big.size());
    EXPECT_EQ(ReadStore(k1, head, 0, 8), 8u);
    EXPECT_STREQ(head, "OVERview");
    EXPECT_EQ(WriteToStoreSpec(MakeStoreKey(0, 1, 1), "x", 0, 1), 0u);

    std::string outPath = dir + "/copy.out";
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(out, 0);
    EXPECT_EQ(CopyStoreToHandle(Transport{out}, k2, 5, big.size() - 5), 1);
    EXPECT_EQ(CopyStoreToHandle(Transport{out}, k2, 5, big.size()), 0);  // runs out of data
    EXPECT_EQ(CopyStoreToHandle(Transport{out}, MakeStoreKey(0, 7, 1), 0, 1), 0);
    ::close(out);
    std::string copied = ReadFile(outPath);
    ASSERT_GE(copied.size(), big.size() - 5);
    EXPECT_EQ(copied.substr(0, big.size() - 5), big.substr(5));
}

// The read-only view gives what was written, at once and without a read,
// and never a byte past what the file holds: such a read would fault.
TEST_F(Stores, ViewShowsWritesAndNothingPastTheFile)
{
    ASSERT_NE(Build(0, 10), nullptr);
    const uint64_t k1 = GetStoreKey(0);
    EXPECT_TRUE(StoreBytes(k1, 0, 1).empty());  // nothing written yet
    const std::string record = "overview\tline\r\nPath: x\r\n\r\nbody";
    ASSERT_EQ(WriteToStore(0, record.data(), static_cast<uint32_t>(record.size())), record.size());
    EXPECT_EQ(StoreBytes(k1, 0, static_cast<uint32_t>(record.size())), record);
    EXPECT_EQ(StoreBytes(k1, 9, 4), "line");
    EXPECT_TRUE(StoreBytes(k1, 0, static_cast<uint32_t>(record.size()) + 1).empty());
    EXPECT_TRUE(StoreBytes(MakeStoreKey(0, 7, 1), 0, 1).empty());  // another lap's key
    EXPECT_TRUE(StoreBytes(MakeStoreKey(0, 0, 5 * kMB), 0, 1).empty());

    // The overview rewriter's writes show too, and a rebuilt store keeps its
    // records in view.
    ASSERT_EQ(WriteToStoreSpec(k1, "OVER", 0, 4), 4u);
    EXPECT_EQ(StoreBytes(k1, 0, 8), "OVERview");
    ASSERT_NE(Build(0, 12), nullptr);
    EXPECT_EQ(StoreBytes(k1, 0, 8), "OVERview");
}

TEST_F(Stores, MetadataSurvivesRebuildAndSizeOnlyGrows)
{
    ArtStore* s = Build(0, 20, "*", 300);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(GetStoreExpirationPriority(0), 44);  // low 8 bits
    std::string record = "stored record";
    const uint64_t key = GetStoreKey(0);
    WriteToStore(0, record.data(), static_cast<uint32_t>(record.size()));
    AdvanceStore(0, 18 * kMB);
    StoreCheckAndWrap(0);  // wraps: position 1, wrap count 1
    WriteToStore(0, record.data(), static_cast<uint32_t>(record.size()));
    StoreSyncAndClose();
    EXPECT_EQ(GetStorePosition(0), ~0ULL);

    std::string meta = ReadFile(MetaPath(0));
    ASSERT_EQ(meta.size(), sizeof(ArtStore));
    EXPECT_EQ(std::string(meta.data() + offsetof(ArtStore, articlePath)), dir + "/0-articles.dat");
    EXPECT_EQ(std::string(meta.data() + offsetof(ArtStore, metaPath)), MetaPath(0));
    EXPECT_EQ(FieldAt<uint32_t>(meta, offsetof(ArtStore, storeSize)), 20u);
    EXPECT_EQ(FieldAt<uint32_t>(meta, offsetof(ArtStore, number)), 0u);
    EXPECT_EQ(FieldAt<uint32_t>(meta, offsetof(ArtStore, wrapCount)), 1u);
    EXPECT_EQ(FieldAt<uint64_t>(meta, offsetof(ArtStore, position)), 1 + record.size());
    EXPECT_EQ(FieldAt<uint32_t>(meta, offsetof(ArtStore, inUse)), 1u);
    EXPECT_EQ(static_cast<uint8_t>(meta[offsetof(ArtStore, expirePriority)]), 44);
    EXPECT_EQ(meta.substr(0, 64), std::string(64, '\0'));

    s = Build(0, 10, "*", 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->storeSize, 20u);
    EXPECT_EQ(s->wrapCount, 1u);
    EXPECT_EQ(GetStorePosition(0), 1 + record.size());
    EXPECT_EQ(GetStoreExpirationPriority(0), 5);
    char back[14] = {};
    EXPECT_EQ(ReadStore(MakeStoreKey(0, 1, 1), back, 0, 13), 13u);
    EXPECT_EQ(std::string(back), record);
    EXPECT_EQ(ReadStore(key, back, 0, 13), 0u);  // previous cycle, within 10 MB of the writer
    s = Build(0, 30);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->storeSize, 30u);

    StoreShutdown();  // metadata written, descriptor still usable
    EXPECT_EQ(FieldAt<uint32_t>(ReadFile(MetaPath(0)), 844), 30u);
    EXPECT_EQ(ReadStore(MakeStoreKey(0, 1, 1), back, 0, 13), 13u);
}

TEST_F(Stores, FindArtStoreInOrder)
{
    ASSERT_NE(Build(0, 10, "OverCache"), nullptr);
    EXPECT_EQ(OverviewCacheStore, 0u);
    ASSERT_NE(Build(3, 10, "comp.*"), nullptr);
    std::string text = "Path: x\r\nNewsgroups: misc.test\r\n\r\nbody";
    ClientContext c;
    c.buffer = text.data();
    c.articleLength = static_cast<uint32_t>(text.size());
    ASSERT_EQ(PrepareForMatch(c), 1);
    EXPECT_EQ(FindArtStore(c), -1);
    ASSERT_NE(Build(7, 10, "*"), nullptr);
    ASSERT_NE(Build(5, 10, "misc.*"), nullptr);
    EXPECT_EQ(FindArtStore(c), 5);
    ASSERT_NE(Build(5, 10, "news.*"), nullptr);  // rebuilt with another selection
    EXPECT_EQ(FindArtStore(c), 7);
    ASSERT_NE(Build(0, 10, "*"), nullptr);
    EXPECT_EQ(OverviewCacheStore, 0xFFFFFFFFu);
    EXPECT_EQ(FindArtStore(c), 0);
    FreeMatchData(c);
    EXPECT_EQ(GetStoreExpirationPriority(4), -1);
}
