// Log line format and rotation by line count.
#include "server/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ctime>
#include <sstream>
#include <string>

#include "server/config.h"
#include "support/server_harness.h"

namespace {

using verdalix_test::ReadFile;

// True when `line` is a time stamp in the log's form followed by ": " and
// `text`. The stamp must survive a round trip through strptime/strftime.
bool IsStamped(const std::string& line, const std::string& text)
{
    constexpr size_t kStampLength = 24;  // "Tue Dec  8 03:05:43 2026"
    if (line.size() != kStampLength + 2 + text.size() || line.substr(kStampLength) != ": " + text)
        return false;
    std::tm tm {};
    std::string stamp = line.substr(0, kStampLength);
    const char* end = strptime(stamp.c_str(), "%a %b %e %H:%M:%S %Y", &tm);
    char again[64];
    size_t length = std::strftime(again, sizeof again, "%a %b %e %H:%M:%S %Y", &tm);
    return end != nullptr && *end == '\0' && stamp == std::string(again, length);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class Log : public ::testing::Test {
protected:
    void SetUp() override { dir_ = verdalix_test::MakeTempDir(); }
    void TearDown() override
    {
        LogLine(nullptr);
        ConfigClear();
        std::filesystem::remove_all(dir_);
    }

    void Configure(const std::string& extra)
    {
        std::string text = "LogDirectory = " + dir_ + "\n" + extra;
        FILE* file = fmemopen(text.data(), text.size(), "r");
        ConfigClear();
        ConfigReadFile(file);
        std::fclose(file);
    }

    std::string File(int number) const
    {
        return dir_ + (number == 0 ? "/verdalix.log" : "/verdalix" + std::to_string(number) + ".log");
    }
    bool Exists(int number) const { return std::filesystem::exists(File(number)); }

    // Closes the log, pads the current file to `bytes` (the start-up estimate
    // then counts bytes / 50 lines) and opens it again.
    void ReopenWithSize(uintmax_t bytes)
    {
        LogLine(nullptr);
        std::string text = ReadFile(File(0));
        text.resize(bytes, 'x');
        ASSERT_TRUE(verdalix_test::WriteFile(File(0), text));
        console_init();
    }

    std::string dir_;
};

TEST_F(Log, LineFormatAndClosingLine)
{
    Configure("");
    console_init();
    LogLine("first line");
    LogLine("ends in a line feed\n");
    LogFormat("number %d", 7);
    LogLine(nullptr);
    LogLine("after closing: dropped");
    std::string text = ReadFile(File(0));
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 5u) << text;
    EXPECT_TRUE(IsStamped(lines[0], "first line")) << lines[0];
    EXPECT_TRUE(IsStamped(lines[1], "ends in a line feed")) << lines[1];
    EXPECT_EQ(lines[2], "");
    EXPECT_TRUE(IsStamped(lines[3], "number 7")) << lines[3];
    EXPECT_EQ(lines[4], "base: shutting down");
    EXPECT_TRUE(text.ends_with("\n"));
}

TEST_F(Log, StartupEstimateCountsFiftyBytesPerLine)
{
    Configure("");
    console_init();
    ReopenWithSize(499950);  // 9999 lines
    LogLine("line 10000");
    EXPECT_FALSE(Exists(1));
    LogLine("line 10001");
    ASSERT_TRUE(Exists(1));
    EXPECT_NE(ReadFile(File(1)).find("line 10001\n"), std::string::npos);
    EXPECT_TRUE(Exists(0));
    LogLine("into the new file");
    EXPECT_NE(ReadFile(File(0)).find("into the new file"), std::string::npos);
}

TEST_F(Log, KeepOneStopsRotatingOnceNumberOneExists)
{
    Configure("MaxKeepLogFile = 1\n");
    console_init();
    ReopenWithSize(500000);
    LogLine("rotates at once");
    ASSERT_TRUE(Exists(1));
    std::string first = ReadFile(File(1));
    EXPECT_NE(first.find("rotates at once"), std::string::npos);
    for (int i = 0; i <= 10000; ++i)
        LogLine("filler");
    LogLine("still the same current file");
    EXPECT_EQ(ReadFile(File(1)), first);
    std::string current = ReadFile(File(0));
    EXPECT_NE(current.find("still the same current file"), std::string::npos);
    EXPECT_GT(current.size(), 10000u * 20u);  // the old current file went on growing
    EXPECT_FALSE(Exists(0 + 2));
}

TEST_F(Log, KeepZeroCountsAsOne)
{
    Configure("MaxKeepLogFile = 0\n");
    console_init();
    ReopenWithSize(500000);
    LogLine("one");
    ReopenWithSize(500000);
    LogLine("two");
    EXPECT_NE(ReadFile(File(1)).find("one"), std::string::npos);
    EXPECT_FALSE(Exists(2));
}

TEST_F(Log, DefaultKeepsCurrentAndFourRotatedFiles)
{
    Configure("");
    console_init();
    for (int generation = 1; generation <= 6; ++generation) {
        ReopenWithSize(500000);
        LogLine(("generation " + std::to_string(generation)).c_str());
    }
    for (int number = 1; number <= 4; ++number)
        EXPECT_NE(ReadFile(File(number)).find("generation " + std::to_string(7 - number)), std::string::npos)
            << "file " << number;
    EXPECT_FALSE(Exists(5));
    EXPECT_TRUE(Exists(0));
}

TEST_F(Log, MissingDirectoryDropsLinesWithoutFailing)
{
    Configure("");
    std::filesystem::remove_all(dir_);
    console_init();
    LogLine("nowhere to go");
    EXPECT_FALSE(std::filesystem::exists(dir_));
}

}  // namespace

TEST_F(Log, ReopenAfterAMoveLosesNoLine)
{
    Configure("");
    console_init();
    LogLine("before the move");
    std::filesystem::rename(File(0), dir_ + "/moved.log");
    LogLine("between move and reopen");  // still the moved file's
    ASSERT_TRUE(LogReopen());
    LogLine("after the reopen");
    const std::string moved = ReadFile(dir_ + "/moved.log");
    EXPECT_NE(moved.find("before the move"), std::string::npos);
    EXPECT_NE(moved.find("between move and reopen"), std::string::npos);
    const std::vector<std::string> lines = Lines(ReadFile(File(0)));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(IsStamped(lines[0], "after the reopen")) << lines[0];
}

TEST_F(Log, RecentFailuresAreKeptNewestLast)
{
    Configure("");
    console_init();
    const uint64_t before = LogErrorCount();
    LogLine("connect: 127.0.0.1:1234");
    LogLine("cannot open the control socket /x: Permission denied");
    for (int i = 0; i < 25; ++i)
        LogFormat("write FAILED %d", i);
    EXPECT_EQ(LogErrorCount() - before, 26u);
    const std::vector<std::string> recent = RecentLogErrors();
    ASSERT_EQ(recent.size(), 20u);
    EXPECT_TRUE(IsStamped(recent.front(), "write FAILED 5")) << recent.front();
    EXPECT_TRUE(IsStamped(recent.back(), "write FAILED 24")) << recent.back();
}
