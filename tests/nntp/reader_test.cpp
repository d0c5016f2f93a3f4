#include "nntp/reader.h"
#include "nntp/reader_internal.h"

#include <gtest/gtest.h>

#include <string>

#include "groups/stored_group.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

struct Parsed {
    int result;
    int idGiven;
    uint32_t from;
    uint32_t to;
    bool operator==(const Parsed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Parsed& p)
{
    return out << "{" << p.result << "," << p.idGiven << "," << p.from << "," << p.to << "}";
}

Parsed Parse(std::string text)
{
    Parsed p{};
    p.result = GetRangeOrId(text.data(), &p.idGiven, &p.from, &p.to);
    return p;
}

TEST(GetRangeOrId, AcceptedAndRefusedForms)
{
    EXPECT_EQ(Parse(""), (Parsed{1, 0, kNone, kNone}));
    EXPECT_EQ(Parse("   "), (Parsed{1, 0, kNone, kNone}));
    EXPECT_EQ(Parse(" 17"), (Parsed{1, 0, 17, 17}));
    EXPECT_EQ(Parse("17-"), (Parsed{1, 0, 17, 2147483647}));
    EXPECT_EQ(Parse("17-20 and more"), (Parsed{1, 0, 17, 20}));
    // Numbers are read whole, up to the largest article number.
    EXPECT_EQ(Parse("123456789-987654321"), (Parsed{1, 0, 123456789, 987654321}));
    EXPECT_EQ(Parse("1234567-98765432"), (Parsed{1, 0, 1234567, 98765432}));
    EXPECT_EQ(Parse("2147483647"), (Parsed{1, 0, 2147483647, 2147483647}));
    EXPECT_EQ(Parse("0000000000000000012-00020"), (Parsed{1, 0, 12, 20}));
    EXPECT_EQ(Parse("2147483648"), (Parsed{0, 0, kNone, kNone}));
    EXPECT_EQ(Parse("5-2147483648"), (Parsed{0, 0, 5, 5}));
    EXPECT_EQ(Parse("99999999999999999999"), (Parsed{0, 0, kNone, kNone}));
    EXPECT_EQ(Parse("12x"), (Parsed{0, 0, kNone, kNone}));
    EXPECT_EQ(Parse("12-x"), (Parsed{0, 0, 12, 12}));
    EXPECT_EQ(Parse("12-13x"), (Parsed{0, 0, 12, 12}));
    EXPECT_EQ(Parse("12\tmore"), (Parsed{1, 0, 12, 12}));
    EXPECT_EQ(Parse(" <a@b> 12"), (Parsed{1, 1, kNone, kNone}));
    EXPECT_EQ(Parse("<a@b"), (Parsed{0, 0, kNone, kNone}));
    EXPECT_EQ(Parse("x"), (Parsed{0, 0, kNone, kNone}));
    EXPECT_EQ(Parse("\t5"), (Parsed{0, 0, kNone, kNone}));
    EXPECT_EQ(Parse("-5"), (Parsed{0, 0, kNone, kNone}));

    std::string id = "<a@b> trailing";
    int given = 0;
    uint32_t from = 0, to = 0;
    ASSERT_EQ(GetRangeOrId(id.data(), &given, &from, &to), 1);
    EXPECT_STREQ(id.c_str(), "<a@b>");
}

class ReaderCommands : public group_test::StoredGroupTest {
protected:
    void SetUp() override
    {
        StoredGroupTest::SetUp();
        for (int i = 1; i <= 3; ++i)
            Post("<r" + std::to_string(i) + "@test>", "subject " + std::to_string(i));
        ASSERT_EQ(CreateGroup("alt.empty", 2, 1, 1, "y"), 1);
    }
    std::string Run(int (*handler)(ClientContext*, char*, uint32_t), const std::string& command)
    {
        return c_.Run(handler, command);
    }
    GroupSelection& Sel() { return c_.ctx.selection; }
    group_test::Connection c_;
};

TEST_F(ReaderCommands, OverviewHeaderAndPathRanges)
{
    EXPECT_EQ(Run(Reader_Xover, "XOVER"), "412 no newsgroup has been selected\r\n");
    EXPECT_EQ(Run(Reader_XHDR, "XHDR subject"), "412 no newsgroup has been selected\r\n");
    Run(Reader_Group, "group alt.test");
    const std::string head = "224 Overview information follows\r\n";
    std::string xover = Run(Reader_Xover, "XOVER 3");
    EXPECT_EQ(xover.rfind(head + "3\tsubject 2\t", 0), 0u);
    EXPECT_EQ(xover.find("\n4\t"), std::string::npos);
    Sel().current = 2;
    EXPECT_EQ(Run(Reader_Xover, "xover").rfind(head + "2\tsubject 1\t", 0), 0u);
    std::string open = Run(Reader_Xover, "xover 3-");
    EXPECT_NE(open.find("\n4\tsubject 3\t"), std::string::npos);
    EXPECT_EQ(Run(Reader_Xover, "xover 3 9"), Run(Reader_Xover, "xover 3"));
    EXPECT_EQ(Run(Reader_Xover, "xover 3x 9"), "501 Syntax error\r\n");
    EXPECT_EQ(Run(Reader_Xover, "xover a"), "501 Syntax error\r\n");
    EXPECT_EQ(c_.ctx.xoverCount, 7u);

    const std::string xhdr = "221 Overview information follows\r\n";
    EXPECT_EQ(Run(Reader_XHDR, "XHDR subject 2-3"), xhdr + "2 subject 1\r\n3 subject 2\r\n.\r\n");
    EXPECT_EQ(Run(Reader_XHDR, "xhdr \tSUBJECT: 4-"), xhdr + "4 subject 3\r\n.\r\n");
    EXPECT_EQ(Run(Reader_XHDR, "xhdr message-id <r9@test>"), xhdr + "2 <r1@test>\r\n.\r\n");
    EXPECT_EQ(Run(Reader_XHDR, "xhdr subject <open"), "501 Syntax error\r\n");

    EXPECT_EQ(Run(Reader_Xpath, "XPATH <r1@test>"), "501 Syntax error\r\n");
    EXPECT_EQ(Run(Reader_Xpath, "XPATH 4").substr(0, 8), "200 key=");
    EXPECT_EQ(Sel().current, 4u);
    EXPECT_EQ(Run(Reader_Xpath, "XPATH 9"), "423 article not found\r\n");
    EXPECT_EQ(Sel().current, 4u);
    EXPECT_NE(Run(Reader_Xpath, "xpath").find("number=4,"), std::string::npos);
}

TEST_F(ReaderCommands, ListingsSelectTheNamedGroup)
{
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP"), "412 no newsgroup has been selected\r\n");
    EXPECT_EQ(Run(Reader_ListGroupStruct, "lgs"), "412 no newsgroup has been selected\r\n");
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP no.such"), "411 no such group\r\n");
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP alt.test"), "211 4 1 4 alt.test list follows\r\n2\r\n3\r\n4\r\n.\r\n");
    EXPECT_EQ(Sel().group, kGroup);
    Sel().current = 3;
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP"), "211 4 1 4 alt.test list follows\r\n2\r\n3\r\n4\r\n.\r\n");
    EXPECT_EQ(Sel().current, 1u);
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP alt.test 3-"), "211 4 1 4 alt.test list follows\r\n3\r\n4\r\n.\r\n");
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP alt.test 0-2"), "211 4 1 4 alt.test list follows\r\n2\r\n.\r\n");
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP alt.test 5-9"), "211 4 1 4 alt.test list follows\r\n.\r\n");
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP alt.empty 1"), "211 0 1 1 alt.empty list follows\r\n.\r\n");
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP alt.test <a@b>"), "501 Syntax error\r\n");
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP alt.test 3x"), "501 Syntax error\r\n");
    EXPECT_EQ(Sel().group, 2u);
    EXPECT_EQ(Run(Reader_Listgroup, "LISTGROUP alt.test 9"), "211 4 1 4 alt.test list follows\r\n.\r\n");
    EXPECT_EQ(Sel().group, kGroup);
    EXPECT_EQ(LogText().find("GROUP alt.test"), std::string::npos);
    Sel().current = 4;
    EXPECT_EQ(Run(Reader_ListGroupStruct, "lgs").rfind("200\r\nstart=1,end=4,", 0), 0u);
    EXPECT_EQ(Sel().current, 1u);
    EXPECT_EQ(Run(Reader_ListGroupStruct, "lgs alt.empty"), "200\r\nstart=1,end=1,ocachelen=0,ocacheblen=0,cstart=0,cend=0\r\n.\r\n");

    std::string list = Run(Reader_List, "LIST ACTIVE   alt.*");
    EXPECT_NE(list.find("\r\nalt.test 4 1 y\r\n"), std::string::npos);
    EXPECT_EQ(Run(Reader_List, "list"), list);
    EXPECT_EQ(Run(Reader_Newgroups, "NEWGROUPS   990101 000000"), "231 no newgroups file configured\r\n.\r\n");
}

}  // namespace
