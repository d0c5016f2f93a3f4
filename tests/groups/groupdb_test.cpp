#include "groups/groupdb.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "group_fixture.h"

namespace group_test {
namespace {

using GroupDb = GroupTest;

TEST_F(GroupDb, FirstArticleNumbersFollowTheStartNumber)
{
    ASSERT_EQ(CreateGroup("g.zero", 0, 0, 1, "y"), 1);
    ASSERT_EQ(CreateGroup("g.one", 1, 1, 1, "y"), 1);
    ASSERT_EQ(CreateGroup("g.hundred", 2, 100, 1, "y"), 1);
    EXPECT_EQ(GroupAddArticle(0, NewSlot(), 1), 2u);
    EXPECT_EQ(Val(Rec(0).start), 1u);
    EXPECT_EQ(GroupAddArticle(1, NewSlot(), 1), 2u);
    EXPECT_EQ(GroupAddArticle(2, NewSlot(), 1), 101u);
    EXPECT_EQ(GroupAddArticle(2, NewSlot(), 1), 102u);
    EXPECT_EQ(Val(Rec(2).start), 100u);
    EXPECT_EQ(Val(Rec(2).end), 102u);
}

TEST_F(GroupDb, RingKeepsTheLastFiveHundredNumbers)
{
    ASSERT_EQ(CreateGroup("g.ring", 3, 1, 1, "y"), 1);
    std::vector<uint32_t> slots = AddArticles(3, 499);  // numbers 2 … 500
    EXPECT_EQ(Val(Rec(3).start), 1u);
    EXPECT_EQ(Val(Rec(3).end), 500u);
    AddArticles(3, 1);
    EXPECT_EQ(Val(Rec(3).start), 2u);
    AddArticles(3, 1);
    EXPECT_EQ(Val(Rec(3).start), 3u);
    AddArticles(3, 498);
    EXPECT_EQ(Val(Rec(3).end), 1000u);
    EXPECT_EQ(Val(Rec(3).start), 501u);

    uint32_t slot = 0, found = 0;
    EXPECT_EQ(GroupFindArticle(500, &slot, 3, &found), 0);  // overwritten by 1000
    ASSERT_EQ(GroupFindArticle(501, &slot, 3, &found), 1);
    EXPECT_EQ(found, 501u);
    EXPECT_EQ(slot, 499u);  // article n came from the (n − 1)th slot taken
}

TEST_F(GroupDb, StaleLookupRaisesTheLowMarkOnlyWithRoomAbove)
{
    ASSERT_EQ(CreateGroup("g.stale", 4, 1, 1, "y"), 1);
    std::vector<uint32_t> slots = AddArticles(4, 3);  // 2, 3, 4
    ASSERT_EQ(SetGroupStartPoint("g.stale", 2), 1);
    uint32_t slot = 0, found = 0;
    ASSERT_EQ(GroupFindArticle(2, &slot, 4, &found), 1);
    EXPECT_EQ(slot, slots[0]);

    ReuseSlot(slots[0]);
    EXPECT_EQ(GroupFindArticle(2, &slot, 4, &found), 0);
    EXPECT_EQ(Val(Rec(4).start), 3u);  // 2 + 1 < 4
    ReuseSlot(slots[1]);
    EXPECT_EQ(GroupFindArticle(3, &slot, 4, &found), 0);
    EXPECT_EQ(Val(Rec(4).start), 3u);  // 3 + 1 is not below 4
    EXPECT_EQ(GroupFindArticle(7, &slot, 4, &found), 0);
}

TEST_F(GroupDb, NextWalkSkipsAndEmptiesWhatIsGone)
{
    ASSERT_EQ(CreateGroup("g.next", 5, 1, 1, "y"), 1);
    std::vector<uint32_t> slots = AddArticles(5, 6);  // 2 … 7
    GroupToastArticle(5, 3);                         // empty entry
    ReuseSlot(slots[2]);                             // 4 is stale
    uint32_t slot = 0, found = 0;
    ASSERT_EQ(GroupFindNextArticle(2, &slot, 5, &found), 1);
    EXPECT_EQ(found, 5u);
    EXPECT_EQ(slot, slots[3]);
    EXPECT_EQ(Val(groupArray[5].entries[4].number), 0u);  // stale entry emptied

    // A number below the low mark is emptied and passed over.
    ASSERT_EQ(SetGroupStartPoint("g.next", 6), 1);
    groupArray[5].entries[5].number = 1;
    ASSERT_EQ(GroupFindNextArticle(4, &slot, 5, &found), 1);
    EXPECT_EQ(found, 6u);
    EXPECT_EQ(Val(groupArray[5].entries[5].number), 0u);

    // An entry holding another article at or above the low mark ends the walk.
    groupArray[5].entries[7].number = 507;
    EXPECT_EQ(GroupFindNextArticle(6, &slot, 5, &found), 0);
    EXPECT_EQ(GroupFindNextArticle(507, &slot, 5, &found), 0);  // beyond the high mark
}

TEST_F(GroupDb, PrevWalkStopsAtStaleAndChangesNothing)
{
    ASSERT_EQ(CreateGroup("g.prev", 6, 1, 1, "y"), 1);
    std::vector<uint32_t> slots = AddArticles(6, 5);  // 2 … 6
    GroupToastArticle(6, 5);
    uint32_t slot = 0, found = 0;
    ASSERT_EQ(GroupFindPrevArticle(6, &slot, 6, &found), 1);
    EXPECT_EQ(found, 4u);
    ReuseSlot(slots[2]);  // 4
    std::vector<char> before(reinterpret_cast<const char*>(&Rec(6)),
                             reinterpret_cast<const char*>(&Rec(6)) + sizeof(GroupRecord));
    EXPECT_EQ(GroupFindPrevArticle(6, &slot, 6, &found), 0);
    EXPECT_EQ(std::memcmp(before.data(), &Rec(6), sizeof(GroupRecord)), 0);
    EXPECT_EQ(GroupFindPrevArticle(2, &slot, 6, &found), 0);  // nothing below 2
    EXPECT_EQ(GroupFindPrevArticle(0, &slot, 6, &found), 0);
}

TEST_F(GroupDb, ToastingCountsChangesUpToAFullRewrite)
{
    ASSERT_EQ(CreateGroup("g.toast", 7, 1, 1, "y"), 1);
    AddArticles(7, 30);
    auto changes = [&] { return (Rec(7).flags & kChangeCountMask) >> kChangeCountShift; };
    for (uint32_t a = 2; a < 23; ++a)
        ASSERT_EQ(GroupToastArticle(7, a), 1);
    EXPECT_EQ(changes(), 21u);
    EXPECT_EQ(GroupToastArticle(7, 2), 0);  // already removed
    EXPECT_EQ(GroupToastArticle(7, 0), 0);  // entry 0 is empty: number 0 is no article
    EXPECT_EQ(changes(), 21u);
    EXPECT_EQ(GroupToastArticle(7, 23), 1);  // the 22nd removal clears the counter
    EXPECT_EQ(changes(), 0u);
    EXPECT_EQ(Rec(7).flags & kGroupPostingAllowed, kGroupPostingAllowed);
    uint32_t slot = 0, found = 0;
    EXPECT_EQ(GroupFindArticle(23, &slot, 7, &found), 0);
}

TEST_F(GroupDb, CrosspostLimitAndXrefLine)
{
    std::vector<std::string> names;
    for (uint32_t g = 0; g < 17; ++g) {
        names.push_back("cross." + std::to_string(g));
        ASSERT_EQ(CreateGroup(names.back().c_str(), 10 + g, 1, 1, "y"), 1);
    }
    char xref[8192];
    Article seventeen(names, "Newsgroups: x\r\n");
    EXPECT_EQ(UpdateGroupDatabase(&seventeen.ctx, NewSlot(), xref, sizeof xref), 0);
    EXPECT_NE(LogText().find("crosspost: <test@example> has 16 crossposts (limit 15)"), std::string::npos);
    EXPECT_EQ(Val(Rec(10).end), 1u);

    names.pop_back();
    Article sixteen(names, "Newsgroups: x\r\n");
    ASSERT_EQ(UpdateGroupDatabase(&sixteen.ctx, NewSlot(), xref, sizeof xref), 1);
    std::string line = xref;
    EXPECT_EQ(line.substr(0, 28), "Xref: news.test cross.0:2 cr");
    EXPECT_NE(line.find(" cross.15:2 \r\n"), std::string::npos);
    EXPECT_EQ(Val(Rec(25).end), 2u);

    // A group named twice gets two numbers; unknown names are passed over.
    Article twice({"cross.0", "no.such", "cross.0"}, "Newsgroups: x\r\n");
    ASSERT_EQ(UpdateGroupDatabase(&twice.ctx, NewSlot(), xref, sizeof xref), 1);
    EXPECT_STREQ(xref, "Xref: news.test cross.0:3 cross.0:4 \r\n");

    Article none({"no.such", "nor.this"}, "Newsgroups: x\r\n");
    EXPECT_EQ(UpdateGroupDatabase(&none.ctx, NewSlot(), xref, sizeof xref), 0);
    EXPECT_NE(LogText().find("<test@example> not accepted -- no matching groups (no.such,nor.this,)"),
              std::string::npos);

    // An Xref line that would not fit the caller's buffer refuses the article.
    char small[24];
    EXPECT_EQ(UpdateGroupDatabase(&twice.ctx, NewSlot(), small, sizeof small), 0);
    EXPECT_EQ(Val(Rec(10).end), 4u);
}

TEST_F(GroupDb, ModeratedGroupNeedsApproval)
{
    ASSERT_EQ(CreateGroup("mod.group", 30, 1, 1, "m"), 1);
    ASSERT_EQ(CreateGroup("open.group", 31, 1, 1, "y"), 1);
    ASSERT_EQ(CreateGroup("closed.group", 32, 1, 1, "no"), 1);
    EXPECT_EQ(GetGroupPostInfo("mod.group"), 'm');
    EXPECT_EQ(GetGroupPostInfo("open.group"), 'y');
    EXPECT_EQ(GetGroupPostInfo("closed.group"), 'n');
    EXPECT_EQ(GetGroupPostInfo("unknown.group"), '\0');

    char xref[8192];
    Article unapproved({"open.group", "mod.group"}, "Newsgroups: open.group,mod.group\r\n");
    EXPECT_EQ(UpdateGroupDatabase(&unapproved.ctx, NewSlot(), xref, sizeof xref), 0);
    EXPECT_NE(LogText().find("<test@example> not accepted. (mod.group is moderated and no approved header is present)"),
              std::string::npos);
    EXPECT_EQ(Val(Rec(31).end), 1u);  // the open group got no number either

    Article approved({"open.group", "mod.group"}, "Newsgroups: open.group,mod.group\r\nApproved: mod@example\r\n");
    ASSERT_EQ(UpdateGroupDatabase(&approved.ctx, NewSlot(), xref, sizeof xref), 1);
    EXPECT_STREQ(xref, "Xref: news.test open.group:2 mod.group:2 \r\n");
}

TEST_F(GroupDb, SlaveKeepsTheMasterNumbers)
{
    GroupClose();
    Configure("xrefcommunity = community\n");
    ASSERT_EQ(GroupInit(), 1);
    ASSERT_EQ(CreateGroup("alt.test", 40, 1, 1, "y"), 1);
    ASSERT_EQ(CreateGroup("misc.test", 41, 1, 1, "y"), 1);
    char xref[8192];
    Article article({}, "Newsgroups: alt.test\r\nXref: Community alt.test:5 misc.test:9 alt.test:0 other:3\r\n");
    uint32_t slotId = NewSlot();
    ASSERT_EQ(UpdateGroupDatabaseSlave(&article.ctx, slotId, xref, sizeof xref), 1);
    EXPECT_STREQ(xref, "Xref: Community alt.test:5 misc.test:9 alt.test:0 other:3\r\n");
    uint32_t slot = 0, found = 0;
    ASSERT_EQ(GroupFindArticle(5, &slot, 40, &found), 1);
    EXPECT_EQ(slot, slotId);
    ASSERT_EQ(GroupFindArticle(9, &slot, 41, &found), 1);
    EXPECT_EQ(Val(Rec(40).end), 5u);

    Article foreign({}, "Xref: elsewhere alt.test:6\r\n");
    EXPECT_EQ(UpdateGroupDatabaseSlave(&foreign.ctx, NewSlot(), xref, sizeof xref), 0);
    EXPECT_NE(LogText().find("<test@example> not accepted because of xref community mismatch (elsewhere != community)"),
              std::string::npos);
    EXPECT_EQ(Val(Rec(40).end), 5u);

    Article ours_not({}, "Xref: community other:6 alt.test:0\r\n");
    EXPECT_EQ(UpdateGroupDatabaseSlave(&ours_not.ctx, NewSlot(), xref, sizeof xref), 0);
    Article missing({}, "Newsgroups: alt.test\r\n");
    EXPECT_EQ(UpdateGroupDatabaseSlave(&missing.ctx, NewSlot(), xref, sizeof xref), 0);

    std::string many = "Xref: community";
    for (int i = 0; i < 17; ++i)
        many += " alt.test:" + std::to_string(10 + i);
    Article crossposted({}, many + "\r\n");
    EXPECT_EQ(UpdateGroupDatabaseSlave(&crossposted.ctx, NewSlot(), xref, sizeof xref), 0);
    EXPECT_NE(LogText().find("has 16 crossposts (limit 15)"), std::string::npos);

    // A value longer than the caller's buffer is refused, not copied.
    Article huge({}, "Xref: community alt.test:7 " + std::string(9000, 'x') + "\r\n");
    EXPECT_EQ(UpdateGroupDatabaseSlave(&huge.ctx, NewSlot(), xref, sizeof xref), 0);
    EXPECT_EQ(Val(Rec(40).end), 5u);
}

TEST_F(GroupDb, MultiSlotGroupsAndTheirExtent)
{
    // A dirty second record must not survive the creation of a two-slot group.
    std::memset(&groupArray[51], 0xAB, sizeof(GroupRecord));
    ASSERT_EQ(CreateGroup("big.group", 50, 1, 2, "y"), 1);
    EXPECT_EQ(Val(Rec(50).numEntries), 1000u);
    EXPECT_EQ(Val(Rec(50).numSlots), 2);
    const auto* second = reinterpret_cast<const unsigned char*>(&groupArray[51]);
    EXPECT_EQ(std::count(second, second + sizeof(GroupRecord), 0), static_cast<long>(sizeof(GroupRecord)));

    AddArticles(50, 998);  // 2 … 999, past the first record
    EXPECT_EQ(Val(Rec(50).start), 1u);
    uint32_t slot = 0, found = 0;
    EXPECT_EQ(GroupFindArticle(999, &slot, 50, &found), 1);

    // Overlap, extent past the file, slot counts 0 and 250.
    EXPECT_EQ(CreateGroup("overlaps", 51, 1, 1, "y"), 0);
    EXPECT_NE(LogText().find("overlap group big.group"), std::string::npos);
    EXPECT_EQ(CreateGroup("too.far", 199, 1, 2, "y"), 0);
    EXPECT_EQ(CreateGroup("outside", 200, 1, 1, "y"), 0);
    EXPECT_NE(LogText().find("lie outside group.dat"), std::string::npos);
    ASSERT_EQ(CreateGroup("zero.slots", 52, 1, 0, "y"), 1);
    EXPECT_EQ(Val(Rec(52).numEntries), 500u);
    ASSERT_EQ(CreateGroup("huge.group", 60, 1, 250, "y"), 1);
    EXPECT_EQ(Val(Rec(60).numEntries), 50000u);
    EXPECT_EQ(Val(Rec(60).numSlots), 100);
    EXPECT_EQ(InsertGroup("into.huge", 61), 0);
    EXPECT_EQ(InsertGroup("beyond", 300), 0);

    EXPECT_EQ(CreateGroup("big.group", 170, 1, 1, "y"), 0);
    EXPECT_NE(LogText().find("tried to create a duplicate group"), std::string::npos);
    EXPECT_EQ(Val(Rec(170).numEntries), 0u);
}

TEST_F(GroupDb, MoveGroupRefilesUnderTheNewRingSize)
{
    ASSERT_EQ(CreateGroup("mover", 80, 1, 1, "y"), 1);
    std::vector<uint32_t> slots = AddArticles(80, 600);  // 2 … 601, ring holds 102 … 601
    GroupToastArticle(80, 300);
    uint32_t low = Rec(80).start;
    ASSERT_EQ(MoveGroup("mover", 80, 90, 2), 1);
    EXPECT_EQ(Val(Rec(90).numEntries), 1000u);
    EXPECT_EQ(Val(Rec(90).start), low);
    EXPECT_EQ(Val(Rec(90).end), 601u);
    uint32_t slot = 0, found = 0;
    for (uint32_t a = low; a <= 601; ++a) {
        ASSERT_EQ(GroupFindArticle(a, &slot, 90, &found), a == 300 ? 0 : 1) << a;
        if (a != 300) {
            EXPECT_EQ(slot, slots[a - 2]);
        }
    }
    uint32_t g = 0;
    ASSERT_EQ(FindGroup("mover", &g), 1);
    EXPECT_EQ(g, 90u);
    // Walks over the re-filed ring find the neighbours.
    ASSERT_EQ(GroupFindNextArticle(299, &slot, 90, &found), 1);
    EXPECT_EQ(found, 301u);

    // Shrinking keeps the newest articles; the low mark follows.
    ASSERT_EQ(MoveGroup("mover", 90, 95, 1), 1);
    EXPECT_EQ(Val(Rec(95).start), 102u);
    ASSERT_EQ(GroupFindArticle(601, &slot, 95, &found), 1);
    EXPECT_EQ(GroupFindArticle(102, &slot, 95, &found), 1);

    EXPECT_EQ(MoveGroup("unknown", 95, 100, 1), 0);
    EXPECT_EQ(Val(Rec(100).numEntries), 0u);
    EXPECT_EQ(MoveGroup("mover", 95, 199, 2), 0);
    EXPECT_EQ(MoveGroup("mover", 250, 100, 1), 0);
    ASSERT_EQ(CreateGroup("neighbour", 120, 1, 1, "y"), 1);
    EXPECT_EQ(MoveGroup("mover", 95, 119, 2), 0);
    ASSERT_EQ(FindGroup("mover", &g), 1);
    EXPECT_EQ(g, 95u);
}

TEST_F(GroupDb, SelectionAndLowMarks)
{
    ASSERT_EQ(CreateGroup("g.sel", 130, 0, 1, "y"), 1);
    GroupSelection selection;
    EXPECT_EQ(GroupValidateGroup(&selection), 0);
    ASSERT_EQ(GetGroupInfo("g.sel", &selection), 1);
    EXPECT_EQ(selection.group, 130u);
    EXPECT_EQ(selection.low, 1u);
    EXPECT_EQ(selection.high, 1u);
    EXPECT_EQ(selection.current, 1u);
    EXPECT_EQ(GroupValidateGroup(&selection), 1);
    EXPECT_EQ(GetGroupInfo("g.none", &selection), 0);

    ASSERT_EQ(SetGroupStartPoint("g.sel", 40), 1);
    EXPECT_EQ(Val(Rec(130).end), 40u);
    ASSERT_EQ(SetGroupStartPoint("g.sel", 20), 1);
    EXPECT_EQ(Val(Rec(130).start), 20u);
    EXPECT_EQ(Val(Rec(130).end), 40u);
    EXPECT_EQ(SetGroupStartPoint("g.none", 20), 0);
}

TEST_F(GroupDb, RecordWithoutRingHoldsNothing)
{
    ASSERT_EQ(InsertGroup("never.created", 140), 1);
    uint32_t slot = 0, found = 0;
    EXPECT_EQ(GroupAddArticle(140, NewSlot(), 1), 0u);
    EXPECT_EQ(GroupFindArticle(1, &slot, 140, &found), 0);
    EXPECT_EQ(GroupFindNextArticle(0, &slot, 140, &found), 0);
    EXPECT_EQ(GroupFindPrevArticle(5, &slot, 140, &found), 0);
    EXPECT_EQ(GroupToastArticle(140, 1), 0);
    char xref[8192];
    Article article({"never.created"}, "Newsgroups: never.created\r\n");
    EXPECT_EQ(UpdateGroupDatabase(&article.ctx, NewSlot(), xref, sizeof xref), 0);
    EXPECT_EQ(UpdateGroupDatabase(&article.ctx, NewSlot(), xref, sizeof xref), 0);
    std::string log = LogText();
    size_t first = log.find("group 140 has no article ring");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("group 140 has no article ring", first + 1), std::string::npos);

    // A ring that claims more entries than its records hold is not used.
    ASSERT_EQ(CreateGroup("g.bad", 141, 1, 1, "y"), 1);
    groupArray[141].numEntries = 5000;
    EXPECT_EQ(GroupAddArticle(141, NewSlot(), 1), 0u);
}

TEST_F(GroupDb, ArticlesSurviveAReopen)
{
    ASSERT_EQ(CreateGroup("g.keep", 150, 1, 2, "m"), 1);
    std::vector<uint32_t> slots = AddArticles(150, 700);
    ASSERT_EQ(GroupClose(), 1);
    ASSERT_EQ(GroupInit(), 1);
    uint32_t g = 0;
    EXPECT_EQ(FindGroup("g.keep", &g), 0);  // names are given again at each start
    ASSERT_EQ(InsertGroup("g.keep", 150), 1);
    EXPECT_EQ(GetGroupPostInfo("g.keep"), 'm');
    uint32_t slot = 0, found = 0;
    ASSERT_EQ(GroupFindArticle(701, &slot, 150, &found), 1);
    EXPECT_EQ(slot, slots.back());
    EXPECT_EQ(Val(Rec(150).end), 701u);
    EXPECT_EQ(std::filesystem::file_size(dir_ + "/group.dat"), 200u * sizeof(GroupRecord));
}

TEST_F(GroupDb, OpeningNeedsPathAndCommunity)
{
    GroupClose();
    LoadConfig("GroupArraySize = 10\nHostPathIdentifier = x\nLogDirectory = " + dir_ + "\n");
    EXPECT_EQ(GroupInit(), 0);
    LoadConfig("GroupDataPath = " + dir_ + "\nLogDirectory = " + dir_ + "\n");
    EXPECT_EQ(GroupInit(), 0);
    EXPECT_NE(LogText().find("neither xrefcommunity nor HostPathIdentifier"), std::string::npos);
    LoadConfig("GroupDataPath = " + dir_ + "/missing/dir\nHostPathIdentifier = x\nLogDirectory = " + dir_ + "\n");
    EXPECT_EQ(GroupInit(), 0);
    Configure("");
    ASSERT_EQ(GroupInit(), 1);
}

// Control messages create groups where nothing is named and remove them.
TEST_F(GroupDb, FreeRecordsFromTheTopAndRemoval)
{
    uint32_t g = 0;
    ASSERT_EQ(FindFreeGroupNumber(1, &g), 1);
    EXPECT_EQ(g, 199u);
    ASSERT_EQ(CreateGroup("g.top", 197, 1, 3, "y"), 1);    // records 197 to 199
    ASSERT_EQ(CreateGroup("g.mid", 150, 1, 1, "y"), 1);
    ASSERT_EQ(CreateGroup("g.wide", 10, 1, 10, "y"), 1);   // 10 to 19
    ASSERT_EQ(FindFreeGroupNumber(1, &g), 1);
    EXPECT_EQ(g, 196u);
    ASSERT_EQ(FindFreeGroupNumber(46, &g), 1);
    EXPECT_EQ(g, 151u);  // 151 to 196
    ASSERT_EQ(FindFreeGroupNumber(47, &g), 1);
    EXPECT_EQ(g, 103u);  // below g.mid: 103 to 149
    ASSERT_EQ(CreateGroup("g.low", 20, 1, 100, "y"), 1);  // 20 to 119
    EXPECT_EQ(FindFreeGroupNumber(47, &g), 0) << "no gap of 47 records is left";

    AddArticles(150, 3);
    ASSERT_EQ(RemoveGroup("g.mid"), 1);
    EXPECT_EQ(RemoveGroup("g.mid"), 0);
    EXPECT_EQ(FindGroup("g.mid", &g), 0);
    uint32_t slot = 0, found = 0;
    EXPECT_EQ(GroupFindArticle(2, &slot, 150, &found), 0) << "a removed group serves nothing";
    ASSERT_EQ(FindFreeGroupNumber(77, &g), 1);
    EXPECT_EQ(g, 120u);  // 120 to 196, g.mid's record included
    ASSERT_EQ(CreateGroup("g.again", 150, 1, 1, "m"), 1);
    EXPECT_EQ(GetGroupPostInfo("g.again"), 'm');
    ASSERT_EQ(SetGroupPosting("g.again", "y"), 1);
    EXPECT_EQ(GetGroupPostInfo("g.again"), 'y');
    ASSERT_EQ(SetGroupPosting("g.again", "n"), 1);
    EXPECT_EQ(GetGroupPostInfo("g.again"), 'n');
    EXPECT_EQ(SetGroupPosting("no.such", "y"), 0);
}

}  // namespace
}  // namespace group_test
