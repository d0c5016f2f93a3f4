#include "groups/newgroups.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "groups/stored_group.h"

namespace {

constexpr uint32_t kInvalid = 0xFFFFFFFF;

// Valid while the current year lies between 1981 and 2035.
TEST(NNTPtoGMT, DatesTimesAndCenturies)
{
    EXPECT_EQ(NNTPtoGMT("990101", "000000"), 915148800u);
    EXPECT_EQ(NNTPtoGMT("000101", "000000"), 946684800u);
    EXPECT_EQ(NNTPtoGMT("860101", "000000"), 504921600u);
    EXPECT_EQ(NNTPtoGMT("300101", "000000"), 1893456000u);
    EXPECT_EQ(NNTPtoGMT("000301", "000000"), 951868800u);  // after a leap February
    EXPECT_EQ(NNTPtoGMT("261208", "031530"), 1796699730u);
    EXPECT_EQ(NNTPtoGMT("990101", "240000"), NNTPtoGMT("990102", "000000"));
    EXPECT_EQ(NNTPtoGMT("990229", "000000"), NNTPtoGMT("990301", "000000"));
    EXPECT_EQ(NNTPtoGMT("991231", "240000"), NNTPtoGMT("000101", "000000"));
    // Four-digit years name their century.
    EXPECT_EQ(NNTPtoGMT("19990101", "000000"), 915148800u);
    EXPECT_EQ(NNTPtoGMT("20261208", "031530"), 1796699730u);
    EXPECT_EQ(NNTPtoGMT("21000301", "000000"), 4107542400u);  // 2100 is no leap year
    EXPECT_EQ(NNTPtoGMT("19691231", "235959"), 0u);
    EXPECT_EQ(NNTPtoGMT("99991231", "000000"), 0xFFFFFFFEu);
    for (auto [date, time] : {std::pair{"99010", "000000"},
                              {"9901011", "000000"},
                              {"199901011", "000000"},
                              {"1999010a", "000000"},
                              {"19991301", "000000"},
                              {"990101", "0000a0"},
                              {"991301", "000000"},
                              {"990100", "000000"},
                              {"990132", "000000"},
                              {"990101", "006000"},
                              {"990101", "000060"},
                              {"990101", "250000"},
                              {"", ""}})
        EXPECT_EQ(NNTPtoGMT(date, time), kInvalid) << date << " " << time;
}

class Newgroups : public group_test::StoredGroupTest {
protected:
    void UseFile(const std::string& text)
    {
        std::ofstream(dir_ + "/newgroups", std::ios::binary) << text;
        Configure("NewgroupsFile = " + dir_ + "/newgroups\n");
        NewgroupsInit();
    }
    std::string Ask(const char* argument, int expected = 1)
    {
        EXPECT_EQ(TransmitNewgroups(&c_.ctx, argument), expected) << argument;
        return c_.Take();
    }
    group_test::Connection c_;
};

TEST_F(Newgroups, ListsTheGroupsAfterTheFirstLaterMarker)
{
    ASSERT_EQ(CreateGroup("misc.mod", 3, 5, 1, "m"), 1);
    Post("<n1@test>", "one");
    Post("<n2@test>", "two");
    UseFile("#915148800\nalt.old\n#0\n#946684800\nalt.test\nno.such.group\r\nmisc.mod\r\n#950000000\n");
    EXPECT_EQ(Ask("990101 000000 GMT <dist>"), "231\r\nalt.test 3 1 y\r\nmisc.mod 5 5 m\r\n.\r\n");
    // A marker equal to the asked time does not start the listing.
    EXPECT_EQ(Ask("000101 000000"), "231\r\n.\r\n");
    EXPECT_EQ(Ask("991231 235959"), "231\r\nalt.test 3 1 y\r\nmisc.mod 5 5 m\r\n.\r\n");
    EXPECT_EQ(Ask("990101", 0), "501 Syntax error\r\n");
    EXPECT_EQ(Ask("990101 000000x", 0), "501 Syntax error\r\n");
    EXPECT_EQ(Ask("19991231 235959 GMT"), "231\r\nalt.test 3 1 y\r\nmisc.mod 5 5 m\r\n.\r\n");

    std::filesystem::remove(dir_ + "/newgroups");
    EXPECT_EQ(Ask("990101 000000"), "231 no newgroups file configured\r\n.\r\n");
}

TEST_F(Newgroups, WithoutTheSettingEveryRequestGetsTheEmptyAnswer)
{
    NewgroupsInit();
    EXPECT_EQ(Ask("990101 000000"), "231 no newgroups file configured\r\n.\r\n");
    EXPECT_EQ(Ask("bad"), "231 no newgroups file configured\r\n.\r\n");
}

TEST_F(Newgroups, OverlongLinesAreReadOnce)
{
    // The tail of a long line is not taken for a group name of its own.
    UseFile("#950000000\n" + std::string(1030, 'x') + "alt.test\nalt.test");
    EXPECT_EQ(Ask("990101 000000"), "231\r\nalt.test 1 1 y\r\n.\r\n");
}

}  // namespace
