// Mapped regions: creation, extension, persistence and the empty-file case.
#include "platform/mapped_region.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "support/server_harness.h"

namespace {

class MappedRegion : public ::testing::Test {
protected:
    void SetUp() override { dir_ = verdalix_test::MakeTempDir(); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const char* name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(MappedRegion, NewFileIsCreatedZeroFilledAndKeepsWhatWasWritten)
{
    std::string path = Path("table.dat");
    auto* view = static_cast<char*>(CreateMappedRegion(path.c_str(), 8192));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::filesystem::file_size(path), 8192u);
    EXPECT_EQ(MappedRegionSize(view), 8192u);
    for (int i = 0; i < 8192; ++i)
        ASSERT_EQ(view[i], 0) << "at " << i;
    std::memcpy(view, "head", 4);
    std::memcpy(view + 8188, "tail", 4);
    EXPECT_EQ(FlushMappedRegion(view), 1);
    EXPECT_EQ(DeleteMappedRegion(view), 1);
    EXPECT_EQ(MappedRegionSize(view), 0u);

    std::string text = verdalix_test::ReadFile(path);
    EXPECT_EQ(text.substr(0, 4), "head");
    EXPECT_EQ(text.substr(8188), "tail");

    // Size 0 maps the file as it is.
    view = static_cast<char*>(CreateMappedRegion(path.c_str(), 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(MappedRegionSize(view), 8192u);
    EXPECT_EQ(std::memcmp(view + 8188, "tail", 4), 0);
    EXPECT_EQ(DeleteMappedRegion(view), 1);
}

TEST_F(MappedRegion, LargerSizeExtendsTheFileAndKeepsItsContents)
{
    std::string path = Path("grow.dat");
    ASSERT_TRUE(verdalix_test::WriteFile(path, "existing"));
    auto* view = static_cast<char*>(CreateMappedRegion(path.c_str(), 1 << 20));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::filesystem::file_size(path), 1u << 20);
    EXPECT_EQ(std::memcmp(view, "existing", 8), 0);
    EXPECT_EQ(view[(1 << 20) - 1], 0);
    EXPECT_EQ(DeleteMappedRegion(view), 1);
}

TEST_F(MappedRegion, EmptyOrUnreachableFilesFail)
{
    std::string fresh = Path("fresh.dat");
    EXPECT_EQ(CreateMappedRegion(fresh.c_str(), 0), nullptr);
    EXPECT_EQ(std::filesystem::file_size(fresh), 0u);  // created, but an empty file cannot be mapped
    EXPECT_EQ(CreateMappedRegion(fresh.c_str(), 0), nullptr);
    std::string missingDir = Path("no/such/dir.dat");
    EXPECT_EQ(CreateMappedRegion(missingDir.c_str(), 4096), nullptr);
    int local = 0;
    EXPECT_EQ(DeleteMappedRegion(&local), 0);
    EXPECT_EQ(FlushMappedRegion(&local), 0);
}

}  // namespace
