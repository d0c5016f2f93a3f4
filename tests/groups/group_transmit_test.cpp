#include "groups/group_transmit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "article/store.h"
#include "groups/active.h"
#include "groups/stored_group.h"
#include "history/history.h"

namespace {

using group_test::Connection;
using group_test::Posted;

class GroupTransmit : public group_test::StoredGroupTest {
protected:
    void SetUp() override
    {
        StoredGroupTest::SetUp();
        for (int i = 1; i <= 5; ++i)
            posted_.push_back(Post("<a" + std::to_string(i) + "@test>", "subject " + std::to_string(i)));
        ASSERT_EQ(posted_.back().number, 6u);  // a new group's first article is number 2
        ASSERT_EQ(GetGroupInfo("alt.test", &c_.ctx.selection), 1);
    }
    void TearDown() override
    {
        // The active file stays mapped across tests: take it out of use.
        std::filesystem::remove(dir_ + "/active");
        ActiveInit();
        StoredGroupTest::TearDown();
    }
    // The article posted as the n-th (numbers start at 2).
    const Posted& Nth(int n) const { return posted_[static_cast<size_t>(n - 1)]; }
    bool InGroup(uint32_t number)
    {
        uint32_t slot = 0, found = 0;
        return GroupFindArticle(number, &slot, kGroup, &found) != 0;
    }
    std::string OverviewLine(int n) const
    {
        return std::to_string(Nth(n).number) + "\t" + OverviewOf(Nth(n).messageId, "subject " + std::to_string(n));
    }

    std::vector<Posted> posted_;
    Connection c_;
    GroupSelection& sel_ = c_.ctx.selection;
};

TEST_F(GroupTransmit, CurrentArticleAndItsParts)
{
    sel_.current = 3;
    ASSERT_EQ(GroupTransmitArticle(&c_.ctx, &sel_), 1);
    EXPECT_EQ(c_.Take(), "220 3 <a2@test> article retrieved - head and body follow\r\n" + Nth(2).article + "\r\n.\r\n");
    ASSERT_EQ(GroupTransmitArticleHeader(&c_.ctx, &sel_), 1);
    EXPECT_EQ(c_.Take().substr(0, 22), "221 3 <a2@test> articl");
    ASSERT_EQ(GroupTransmitArticleBody(&c_.ctx, &sel_), 1);
    EXPECT_EQ(c_.Take(), "222 3 <a2@test> article retrieved - body follows\r\nbody of subject 2\r\n.\r\n");
    ASSERT_EQ(GroupTransmitXpath(&c_.ctx, &sel_), 1);
    EXPECT_NE(c_.Take().find(",number=3,entry=" + std::to_string(Nth(2).slot) + " id="), std::string::npos);

    sel_.current = 17;
    EXPECT_EQ(GroupTransmitArticle(&c_.ctx, &sel_), 0);
    EXPECT_EQ(GroupTransmitArticleStat(&c_.ctx, &sel_, 0), 0);
    EXPECT_EQ(c_.Take(), "423 article not found\r\n423 article not found\r\n");

    GroupSelection none;
    EXPECT_EQ(GroupTransmitArticle(&c_.ctx, &none), 0);
    EXPECT_EQ(GroupNextArticle(&c_.ctx, &none), 0);
    EXPECT_EQ(GroupTransmitOverview(&c_.ctx, &none, 1, 9), 0);
    const std::string noGroup = "412 no newsgroup has been selected\r\n";
    EXPECT_EQ(c_.Take(), noGroup + noGroup + noGroup);
}

TEST_F(GroupTransmit, FailedRetrievalToastsWithOneAnswer)
{
    for (int n : {1, 2, 3, 4})
        SeenToast(Nth(n).slot);
    sel_.current = 2;
    EXPECT_EQ(GroupTransmitArticle(&c_.ctx, &sel_), 0);
    EXPECT_EQ(c_.Take(), "423 article not found\r\n");
    EXPECT_FALSE(InGroup(2));
    sel_.current = 3;
    EXPECT_EQ(GroupTransmitArticleBody(&c_.ctx, &sel_), 0);
    EXPECT_EQ(c_.Take(), "430 article not found\r\n");
    sel_.current = 4;
    EXPECT_EQ(GroupTransmitArticleHeader(&c_.ctx, &sel_), 0);
    EXPECT_EQ(c_.Take(), "423 article not found\r\n");
    EXPECT_FALSE(InGroup(3));
    EXPECT_FALSE(InGroup(4));
    // STAT toasts the number asked for, not the current article.
    sel_.current = 6;
    EXPECT_EQ(GroupTransmitArticleStat(&c_.ctx, &sel_, 5), 0);
    EXPECT_EQ(c_.Take(), "423 article not found\r\n");
    EXPECT_FALSE(InGroup(5));
    EXPECT_TRUE(InGroup(6));
    EXPECT_EQ(GroupTransmitArticleStat(&c_.ctx, &sel_, 6), 1);
    EXPECT_EQ(c_.Take(), "223 6 <a5@test>\r\n");
}

TEST_F(GroupTransmit, ArticlesWrittenOverAreGoneForTheGroup)
{
    // The store writes again from where the second article's record began,
    // as one that resumed before the end of its records would, and one
    // long record covers the rest of the group's.
    uint64_t storeKey = 0;
    uint32_t length = 0, wrap = 0;
    uint64_t position = 0;
    ArticleKey key = 0;
    ASSERT_EQ(SeenGetXPath(Nth(2).slot, &storeKey, &length, &key), 1);
    ASSERT_EQ(GetStorePlace(kStore, &wrap, &position), 1);
    ASSERT_EQ(SetStorePlace(kStore, wrap, storeKey & 0xFFFFFFFFFF), 1);
    const std::string subject(1000, 'L');
    Posted later = Post("<later@test>", subject);
    ASSERT_EQ(later.number, 7u);

    sel_.current = 3;
    EXPECT_EQ(GroupTransmitArticle(&c_.ctx, &sel_), 0);
    EXPECT_EQ(c_.Take(), "423 article not found\r\n");
    EXPECT_FALSE(InGroup(3));
    EXPECT_EQ(GroupTransmitArticleStat(&c_.ctx, &sel_, 4), 0);
    EXPECT_EQ(c_.Take(), "423 article not found\r\n");
    GroupTransmitXHeader(&c_.ctx, &sel_, 1, 5, "message-id:");
    EXPECT_EQ(c_.Take(), "221 Overview information follows\r\n2 <a1@test>\r\n.\r\n");
    GroupTransmitOverview(&c_.ctx, &sel_, 1, 7);
    EXPECT_EQ(c_.Take(), "224 Overview information follows\r\n" + OverviewLine(1) + "7\t" +
                             OverviewOf("<later@test>", subject) + ".\r\n");
    for (int n : {2, 3, 4, 5})
        EXPECT_EQ(SeenValidateArticle(Nth(n).slot), 0) << n;
    sel_.current = 2;
    EXPECT_EQ(GroupNextArticle(&c_.ctx, &sel_), 1);
    EXPECT_EQ(c_.Take(), "223 7 <later@test>\r\n");
}

TEST_F(GroupTransmit, NextAndLastStepOverGoneArticles)
{
    SeenToast(Nth(2).slot);
    SeenToast(Nth(3).slot);
    sel_.current = 2;
    EXPECT_EQ(GroupNextArticle(&c_.ctx, &sel_), 1);
    EXPECT_EQ(c_.Take(), "223 5 <a4@test>\r\n");
    EXPECT_EQ(sel_.current, 5u);
    EXPECT_FALSE(InGroup(3));
    EXPECT_FALSE(InGroup(4));
    EXPECT_EQ(GroupPrevArticle(&c_.ctx, &sel_), 1);
    EXPECT_EQ(c_.Take(), "223 2 <a1@test>\r\n");
    EXPECT_EQ(GroupPrevArticle(&c_.ctx, &sel_), 0);
    sel_.current = 6;
    EXPECT_EQ(GroupNextArticle(&c_.ctx, &sel_), 0);
    EXPECT_EQ(c_.Take(), "422 no previous article\r\n421 no next article\r\n");
    EXPECT_EQ(sel_.current, 6u);

    // With the store overwritten, the walk toasts every article it tries.
    OverwriteStore();
    sel_.current = 2;
    EXPECT_EQ(GroupNextArticle(&c_.ctx, &sel_), 0);
    EXPECT_EQ(c_.Take(), "421 no next article\r\n");
    EXPECT_EQ(sel_.current, 6u);
    EXPECT_FALSE(InGroup(5));
    EXPECT_FALSE(InGroup(6));
}

TEST_F(GroupTransmit, OverviewRanges)
{
    const std::string head = "224 Overview information follows\r\n";
    GroupTransmitOverview(&c_.ctx, &sel_, 3, 3);
    EXPECT_EQ(c_.Take(), head + OverviewLine(2) + ".\r\n");
    GroupTransmitOverview(&c_.ctx, &sel_, 5, 2147483647);
    EXPECT_EQ(c_.Take(), head + OverviewLine(4) + OverviewLine(5) + ".\r\n");
    GroupTransmitOverview(&c_.ctx, &sel_, 5, 4);
    EXPECT_EQ(c_.Take(), head + ".\r\n");
    // Below the low mark starts at the low mark; gone articles are left out.
    ASSERT_EQ(SetGroupStartPoint("alt.test", 4), 1);
    SeenToast(Nth(4).slot);
    GroupTransmitOverview(&c_.ctx, &sel_, 1, 6);
    EXPECT_EQ(c_.Take(), head + OverviewLine(3) + OverviewLine(5) + ".\r\n");
}

TEST_F(GroupTransmit, HeaderFieldsAndListgroupStopAtTheRangeEnd)
{
    GroupToastArticle(kGroup, 4);
    GroupTransmitXHeader(&c_.ctx, &sel_, 2, 4, "subject: ");
    EXPECT_EQ(c_.Take(), "221 Overview information follows\r\n2 subject 1\r\n3 subject 2\r\n.\r\n");
    GroupTransmitListgroup(&c_.ctx, &sel_, 1, 4, "5 1 6 alt.test");
    EXPECT_EQ(c_.Take(), "211 5 1 6 alt.test\r\n2\r\n3\r\n.\r\n");
    GroupTransmitListgroup(&c_.ctx, &sel_, 5, 2147483647, "x");
    EXPECT_EQ(c_.Take(), "211 x\r\n5\r\n6\r\n.\r\n");
}

TEST_F(GroupTransmit, ListWithAndWithoutActiveFile)
{
    ASSERT_EQ(CreateGroup("misc.closed", 3, 7, 1, "n"), 1);
    GroupList(&c_.ctx, "alt.*");
    std::string list = c_.Take();
    EXPECT_EQ(list.substr(0, 22), "215 heres what I got\r\n");
    EXPECT_NE(list.find("\r\nalt.test 6 1 y\r\n"), std::string::npos);
    EXPECT_EQ(list.find("misc.closed"), std::string::npos);
    EXPECT_EQ(list.substr(list.size() - 3), ".\r\n");
    GroupList(&c_.ctx, nullptr);
    EXPECT_NE(c_.Take().find("\r\nmisc.closed 7 7 y\r\n"), std::string::npos);

    ASSERT_EQ(AddActive("alt.test", 1, "y"), 1);
    ASSERT_EQ(AddActive("misc.closed", 7, "n"), 1);
    ASSERT_EQ(ActiveInit(), 1);
    GroupList(&c_.ctx, "misc.*");
    EXPECT_EQ(c_.Take(), "215 heres what I got\r\nmisc.closed 000000007 000000007 n\r\n.\r\n");
    // The marks are the group's own at this moment; the file still has the
    // ones it was written with.
    GroupList(&c_.ctx, "*,!misc.*");
    EXPECT_EQ(c_.Take(), "215 heres what I got\r\nalt.test 000000006 000000001 y\r\n.\r\n");
    GroupList(&c_.ctx, nullptr);
    EXPECT_EQ(c_.Take(),
              "215 heres what I got\r\nalt.test 000000006 000000001 y\r\nmisc.closed 000000007 000000007 n\r\n.\r\n");
}

}  // namespace
