// Shared set-up of the group database tests: a temporary directory with the
// configuration, log and group.dat, a history to take slots from, and
// client contexts holding a test article.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "groups/groupdb.h"
#include "history/history.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

namespace group_test {

// A copy of a field of a packed record: gtest compares by reference, and a
// reference to a packed field may be misaligned.
template <typename T>
T Val(T value)
{
    return value;
}

inline std::string MakeDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "groups-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    return made != nullptr ? made : "";
}

inline void LoadConfig(const std::string& text)
{
    ConfigClear();
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ConfigReadFile(file);
    std::fclose(file);
}

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class GroupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = MakeDir();
        ASSERT_FALSE(dir_.empty());
        Configure("");
        console_init();
        ASSERT_EQ(SeenInit(), 1);
        ASSERT_EQ(GroupInit(), 1);
    }
    void TearDown() override
    {
        GroupClose();
        LogLine(nullptr);
        ConfigClear();
        std::filesystem::remove_all(dir_);
    }

    // The base settings of every test plus `extra` lines.
    void Configure(const std::string& extra)
    {
        LoadConfig("GroupDataPath = " + dir_ + "\nGroupArraySize = 200\nHostPathIdentifier = news.test\n" +
                   "LogDirectory = " + dir_ + "\nActiveFile = " + dir_ + "/active\nHistoryTablePath = " + dir_ +
                   "\nHistoryDataPath = " + dir_ + "\nSeenDataCount = 1100\nSeenTableSize = 1097\n" + extra);
    }

    // The next history slot, taken by a new message-ID (the ring hands out
    // slots in order).
    uint32_t NewSlot() { return AddSeen(++lastKey_, 0, 0, 0, 0, 0, 0, 0); }
    // Goes round the history ring until `slot` is taken again: entries that
    // name it, or any slot passed on the way, become stale.
    void ReuseSlot(uint32_t slot)
    {
        while (NewSlot() != slot) {
        }
    }
    uint8_t UseCount(uint32_t slot) { return static_cast<uint8_t>(SeenGetUseCount(slot)); }

    // Numbers `count` new articles in group g; returns the slot of each.
    std::vector<uint32_t> AddArticles(uint32_t g, int count)
    {
        std::vector<uint32_t> slots;
        for (int i = 0; i < count; ++i) {
            slots.push_back(NewSlot());
            GroupAddArticle(g, slots.back(), UseCount(slots.back()));
        }
        return slots;
    }

    std::string LogText() const { return ReadText(dir_ + "/verdalix.log"); }
    const GroupRecord& Rec(uint32_t g) const { return groupArray[g]; }

    std::string dir_;

private:
    ArticleKey lastKey_ = 0;
};

// A client context holding `headers` (CR LF line ends, without the empty
// line) and a short body, posted to `groups`.
class Article {
public:
    Article(const std::vector<std::string>& groups, const std::string& headers)
    {
        text_ = headers + "\r\nbody\r\n.\r\n";
        std::strcpy(ctx.messageId, "<test@example>");
        ctx.buffer = text_.data();
        ctx.articleLength = static_cast<uint32_t>(text_.size() - 5);
        ctx.used = ctx.articleLength;
        for (const std::string& g : groups)
            list_ += g + '\0';
        list_ += '\0';
        ctx.newsgroupList = list_.data();
        ctx.newsgroupCount = groups.empty() ? 0 : static_cast<uint32_t>(groups.size() - 1);
    }
    ClientContext ctx;

private:
    std::string text_;
    std::string list_;
};

}  // namespace group_test
