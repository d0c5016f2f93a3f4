#include "groups/active.h"

#include <sys/socket.h>

#include <string>

#include "group_fixture.h"
#include "platform/transport.h"
#include "platform/unique_fd.h"

namespace group_test {
namespace {

class Active : public GroupTest {
protected:
    std::string ActivePath() const { return dir_ + "/active"; }
    std::string ActiveText() const { return ReadText(ActivePath()); }

    // What ActiveTransmit sends for `pattern` (null: the whole file).
    std::string Transmit(const char* pattern, int* result)
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        UniqueFd ours(fds[0]), theirs(fds[1]);
        *result = ActiveTransmit(Transport{theirs.get()}, pattern);
        theirs.reset();
        std::string sent;
        char buffer[4096];
        for (ssize_t n; (n = ::read(ours.get(), buffer, sizeof buffer)) > 0;)
            sent.append(buffer, static_cast<size_t>(n));
        return sent;
    }
};

TEST_F(Active, NewLinesUpdatesInPlaceAndFlags)
{
    ASSERT_EQ(CreateGroup("alt.test", 5, 1, 3, "y"), 1);
    ASSERT_EQ(AddActive("alt.test", 1, "y"), 1);
    ASSERT_EQ(CreateGroup("mod.test", 6 + 2, 7, 1, "m"), 1);
    ASSERT_EQ(AddActive("mod.test", 7, "m"), 1);
    EXPECT_EQ(ActiveText(), "alt.test 000000001 000000001 y\r\nmod.test 000000007 000000007 m\r\n");

    ASSERT_EQ(ActiveReload(), 1);
    EXPECT_NE(LogText().find("active file processed, 2 groups, 64 bytes"), std::string::npos);
    AddArticles(5, 122);
    ASSERT_EQ(SetGroupStartPoint("alt.test", 5), 1);
    groupArray[8].flags |= kGroupPostingAllowed;  // moderation wins over posting
    ASSERT_EQ(ActiveUpdate(5), 1);
    ASSERT_EQ(ActiveUpdate(8), 1);
    EXPECT_EQ(ActiveText(), "alt.test 000000123 000000005 y\r\nmod.test 000000007 000000007 m\r\n");

    // Numbers too large for nine digits never widen the field.
    groupArray[5].end = 1234567890;
    ASSERT_EQ(ActiveUpdate(5), 1);
    EXPECT_EQ(ActiveText(), "alt.test 999999999 000000005 y\r\nmod.test 000000007 000000007 m\r\n");
}

TEST_F(Active, ListingWholeOrByPattern)
{
    const char* names[] = {"alt.one", "comp.two", "alt.three"};
    for (uint32_t g = 0; g < 3; ++g) {
        ASSERT_EQ(CreateGroup(names[g], g, 1, 1, "y"), 1);
        ASSERT_EQ(AddActive(names[g], 1, "y"), 1);
    }
    ASSERT_EQ(ActiveReload(), 1);
    int result = -1;
    EXPECT_EQ(Transmit(nullptr, &result), ActiveText() + ".\r\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Transmit("alt.*", &result),
              "alt.one 000000001 000000001 y\r\nalt.three 000000001 000000001 y\r\n.\r\n");
    EXPECT_EQ(Transmit("none.*", &result), ".\r\n");
}

TEST_F(Active, PatternListingStopsAtALineWithoutCrLf)
{
    ASSERT_EQ(CreateGroup("alt.a", 1, 1, 1, "y"), 1);
    ASSERT_EQ(AddActive("alt.a", 1, "y"), 1);
    std::FILE* f = std::fopen(ActivePath().c_str(), "a");
    std::fputs("alt.b 000000001 000000001 y\nalt.c 000000001 000000001 y\r\n", f);
    std::fclose(f);
    ASSERT_EQ(ActiveReload(), 1);
    int result = -1;
    EXPECT_EQ(Transmit("alt.*", &result), "alt.a 000000001 000000001 y\r\n.\r\n");
}

TEST_F(Active, OnlyWellFormedLinesAreUpdated)
{
    ASSERT_EQ(CreateGroup("short.line", 1, 1, 1, "y"), 1);
    ASSERT_EQ(CreateGroup("next.line", 2, 1, 1, "y"), 1);
    ASSERT_EQ(CreateGroup("last.line", 3, 1, 1, "y"), 1);
    std::string text = "short.line 1 1 y\r\nnext.line 000000001 000000001 y\r\nunknown.line 1 1 y\r\n"
                       "last.line 000000001 000000001 y";
    {
        std::FILE* f = std::fopen(ActivePath().c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    ASSERT_EQ(ActiveReload(), 1);
    EXPECT_NE(LogText().find("[unknown.line] not found in hash, but was in active"), std::string::npos);
    groupArray[1].end = 77;
    groupArray[3].end = 88;
    EXPECT_EQ(ActiveUpdate(1), 0);  // too short: would run into the next line
    EXPECT_EQ(ActiveUpdate(3), 0);  // no CR LF before the end of the view
    EXPECT_EQ(ActiveText(), text);
    EXPECT_NE(LogText().find("1 not in active file!"), std::string::npos);
    EXPECT_EQ(ActiveUpdate(2), 1);
}

TEST_F(Active, ReloadDroppingALine)
{
    ASSERT_EQ(CreateGroup("keep.me", 1, 1, 1, "y"), 1);
    ASSERT_EQ(CreateGroup("drop.me", 2, 1, 1, "y"), 1);
    ASSERT_EQ(AddActive("keep.me", 1, "y"), 1);
    ASSERT_EQ(AddActive("drop.me", 1, "y"), 1);
    ASSERT_EQ(ActiveReload(), 1);
    ASSERT_EQ(ActiveUpdate(2), 1);
    {
        std::FILE* f = std::fopen(ActivePath().c_str(), "w");
        std::fputs("keep.me 000000001 000000001 y\r\n", f);
        std::fclose(f);
    }
    ASSERT_EQ(ActiveReload(), 1);
    EXPECT_EQ(ActiveUpdate(2), 0);
    EXPECT_NE(LogText().find("2 not in active file!"), std::string::npos);
    EXPECT_EQ(ActiveUpdate(1), 1);
    EXPECT_EQ(ActiveText(), "keep.me 000000001 000000001 y\r\n");
}

TEST_F(Active, NoActiveFileConfigured)
{
    GroupClose();
    LoadConfig("GroupDataPath = " + dir_ + "\nHostPathIdentifier = h\nLogDirectory = " + dir_ + "\n");
    ASSERT_EQ(GroupInit(), 1);
    ASSERT_EQ(CreateGroup("alt.test", 1, 1, 1, "y"), 1);
    EXPECT_EQ(AddActive("alt.test", 1, "y"), 0);
    EXPECT_EQ(ActiveReload(), 0);
    // No user waits for a file that is not in use.
    EXPECT_EQ(ActiveUpdate(1), 0);
    int result = -1;
    EXPECT_EQ(Transmit(nullptr, &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(LogText().find("not in active file"), std::string::npos);
}

TEST_F(Active, RemovingLinesRemapsTheFile)
{
    ASSERT_EQ(CreateGroup("alt.test", 5, 1, 1, "y"), 1);
    ASSERT_EQ(AddActive("alt.test", 1, "y"), 1);
    ASSERT_EQ(CreateGroup("alt.testing", 6, 1, 1, "y"), 1);
    ASSERT_EQ(AddActive("alt.testing", 1, "y"), 1);
    ASSERT_EQ(ActiveReload(), 1);
    EXPECT_EQ(RemoveActive("alt.tes"), 0) << "a prefix of a name is no name";
    ASSERT_EQ(RemoveActive("alt.test"), 1);
    EXPECT_EQ(ActiveText(), "alt.testing 000000001 000000001 y\r\n");
    EXPECT_EQ(RemoveActive("alt.test"), 0);
    int result = 0;
    EXPECT_EQ(Transmit(nullptr, &result), "alt.testing 000000001 000000001 y\r\n.\r\n");
    // The remaining line is still updated in place in the new mapping.
    AddArticles(6, 2);
    ASSERT_EQ(ActiveUpdate(6), 1);
    EXPECT_EQ(ActiveText(), "alt.testing 000000003 000000001 y\r\n");
}

}  // namespace
}  // namespace group_test
