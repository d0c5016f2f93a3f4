#include "access/match.h"

#include <gtest/gtest.h>

#include <string>

#include "server/client_context.h"

namespace {

// A received article with its match data prepared.
struct Article {
    std::string storage;
    ClientContext c;
    explicit Article(const std::string& groups, const std::string& path = "a!b", const std::string& extra = "")
    {
        storage = "Path: " + path + "\r\nNewsgroups: " + groups + "\r\n" + extra + "\r\nbody\r\n.\r\n";
        c.buffer = storage.data();
        c.articleLength = static_cast<uint32_t>(storage.size() - 5);
        EXPECT_EQ(PrepareForMatch(c), 1);
    }
    ~Article() { FreeMatchData(c); }
};

int Matches(const char* expression, const Article& article)
{
    auto compiled = CompileMatchString(expression);
    EXPECT_NE(compiled, nullptr) << expression;
    return CheckMatch(article.c, compiled.get());
}

}  // namespace

TEST(PrepareForMatch, SplitsGroupsAndPath)
{
    Article a("comp.lang.c, \r\n\tcomp.os,\xe9x", "host1!host2!not-for-mail");
    EXPECT_EQ(a.c.newsgroupCount, 2u);
    EXPECT_EQ(std::string(a.c.newsgroupList, 23), std::string("comp.lang.c\0comp.os\0x\0\0", 23));
    EXPECT_EQ(a.c.pathCount, 2u);
    EXPECT_STREQ(a.c.pathList + 12, "not-for-mail");
    EXPECT_EQ(a.c.pathList[25], '\0');

    ClientContext none;
    std::string text = "Path: x\r\n\r\n";
    none.buffer = text.data();
    none.articleLength = static_cast<uint32_t>(text.size());
    EXPECT_EQ(PrepareForMatch(none), 0);
    FreeMatchData(none);
    EXPECT_EQ(none.newsgroupList, nullptr);
}

TEST(CheckMatch, PatternOrderDecides)
{
    Article lang("comp.lang.c");
    Article binaries("comp.binaries.pc");
    Article both("comp.binaries.pc,comp.lang.c");
    EXPECT_EQ(Matches("comp.*,!comp.binaries.*", lang), 1);
    EXPECT_EQ(Matches("comp.*,!comp.binaries.*", binaries), 1);
    EXPECT_EQ(Matches("!comp.binaries.*,comp.*", lang), 1);
    EXPECT_EQ(Matches("!comp.binaries.*,comp.*", binaries), 0);
    EXPECT_EQ(Matches("!comp.binaries.*,comp.*", both), 1);

    Article altFirst("misc.test,alt.binaries.x,comp.lang.c");
    Article compFirst("comp.lang.c,alt.binaries.x");
    EXPECT_EQ(Matches("~alt.binaries.*,comp.*", altFirst), 0);
    EXPECT_EQ(Matches("~alt.binaries.*,comp.*", compFirst), 1);
    EXPECT_EQ(Matches("misc.*", compFirst), 0);
}

TEST(CheckMatch, GatesBeforeAndAfterPatterns)
{
    Article fewComp("comp.a,comp.b");
    Article fewOther("misc.a,comp.b");
    Article manyComp("comp.a,b,c,d,e,f");
    Article manyOther("misc.a,b,c,d,e,f");
    Article fourCommas("misc.a,b,c,d,e");
    EXPECT_EQ(Matches("$G<5,comp.*", fewComp), 1);
    EXPECT_EQ(Matches("$G<5,comp.*", manyComp), 0);
    EXPECT_EQ(Matches("$G<5,comp.*", fourCommas), 0);  // the gate holds, no pattern accepts
    EXPECT_EQ(Matches("comp.*,$G<5", manyComp), 1);
    EXPECT_EQ(Matches("comp.*,$G<5", fewOther), 1);
    EXPECT_EQ(Matches("comp.*,$G<5", fourCommas), 1);
    EXPECT_EQ(Matches("comp.*,$G<5", manyOther), 0);
    EXPECT_EQ(Matches("$G>4,*", fourCommas), 0);
    EXPECT_EQ(Matches("$G>3,*", fourCommas), 1);
    EXPECT_EQ(Matches("$G=3", fourCommas), 0);
    EXPECT_EQ(Matches("!$G=3", fourCommas), 1);
    EXPECT_EQ(Matches("~$G<9", fourCommas), 0);  // a poisoned gate that holds rejects

    Article viaMine("comp.a", "other!mysite!x");
    Article notMine("comp.a", "other!mysite2");
    EXPECT_EQ(Matches("$P=mysite,*", viaMine), 0);
    EXPECT_EQ(Matches("!$P=mysite,*", viaMine), 0);
    EXPECT_EQ(Matches("$P=mysite,*", notMine), 1);
    EXPECT_EQ(Matches("$I<2,*", viaMine), 0);
    EXPECT_EQ(Matches("$I<2,*", notMine), 1);

    Article control("comp.a");
    control.c.isControl = 1;
    Article plain("comp.a");
    EXPECT_EQ(Matches("!$C,*", control), 0);
    EXPECT_EQ(Matches("!$C,*", plain), 1);
    EXPECT_EQ(Matches("$Cjunk", control), 1);

    plain.c.futureSeconds = 100;
    EXPECT_EQ(Matches("$A>99,*", plain), 1);
    EXPECT_EQ(Matches("$A>100,*", plain), 0);
    EXPECT_EQ(Matches("$S<37,*", plain), 0);
    EXPECT_EQ(Matches("$S<38,*", plain), 1);  // the article is 37 bytes
}

TEST(CheckMatch, HeaderTestsAndOperators)
{
    Article a("comp.a,misc.b", "x", "Subject: hello\r\n\tworld\r\nX-Pat: *n*\r\n");
    EXPECT_EQ(Matches("$H[\"Subject: \"]=helloworld,*", a), 1);
    EXPECT_EQ(Matches("$H[\"Subject: \"]=hello,*", a), 0);
    EXPECT_EQ(Matches("$H[\"x-pat:\"]=banana,*", a), 1);  // the header is the pattern
    EXPECT_EQ(Matches("$H[\"Missing:\"]=x,*", a), 0);

    EXPECT_EQ(Matches("&,$G<5,comp.*", a), 1);
    EXPECT_EQ(Matches("&,$G<1,comp.*", a), 0);
    EXPECT_EQ(Matches("|,$G<1,misc.*", a), 1);  // a failing left gate leaves the right its say
    EXPECT_EQ(Matches("|,&,news.*,$C,comp.*", a), 1);
    EXPECT_EQ(Matches("|,&,comp.*,$C,news.*", a), 0);
    EXPECT_EQ(Matches("!&,comp.*,$C,*", a), 1);

    Article empty("");
    EXPECT_EQ(Matches("*", empty), 0);
    EXPECT_EQ(Matches("", a), 0);
    EXPECT_EQ(Matches(" \t", a), 0);
    EXPECT_EQ(CheckMatch(a.c, nullptr), 0);
}

TEST(CompileMatchString, RefusesTokensThatDoNotParse)
{
    for (const char* bad : {"comp.*,$G", "$G!5", "comp.*,$H[Subject]=x", "$H[\"Subject=x", "$H[\"S\"=x", "&,comp.*",
                            "|", "$", "$P<3", "comp.*,$Xjunk"})
        EXPECT_EQ(CompileMatchString(bad), nullptr) << bad;

    auto chain = CompileMatchString("a.*, !b.* ~c\n$S>7");
    ASSERT_NE(chain, nullptr);
    const MatchNode* n = chain->head.get();
    EXPECT_EQ(n->flags, kMatchPattern | kKindGroup);
    EXPECT_EQ(n->pattern, "a.*");
    n = n->next.get();
    EXPECT_EQ(n->flags, kMatchNegate | kMatchPattern | kKindGroup);
    n = n->next.get();
    EXPECT_EQ(n->flags, kMatchPoison | kMatchPattern | kKindGroup);
    n = n->next.get();
    EXPECT_EQ(n->flags, kMatchGreater | kKindSize);
    EXPECT_EQ(n->number, 7);
    EXPECT_EQ(n->next, nullptr);

    auto path = CompileMatchString("!~$P=site");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->head->flags, 0x3000002u);
    EXPECT_EQ(path->head->pattern, "site");
}

TEST(CheckMatch, GatesThatHeldForOneGroupHoldForTheNext)
{
    Article twoGroups("x.a,comp.b", "other!mysite2");
    Article viaMine("x.a,comp.b", "other!mysite");
    EXPECT_EQ(Matches("$G<5,!x.*,comp.*", twoGroups), 1);
    EXPECT_EQ(Matches("$P=mysite,!x.*,comp.*", twoGroups), 1);
    EXPECT_EQ(Matches("$P=mysite,!x.*,comp.*", viaMine), 0);
    EXPECT_EQ(Matches("!x.*,$P=mysite,comp.*", viaMine), 0);
    EXPECT_EQ(Matches("!x.*,$P=mysite", twoGroups), 0);  // a chain ending in $P never accepts
    EXPECT_EQ(Matches("!x.*,$G<5", twoGroups), 1);
    EXPECT_EQ(Matches("|,$C,$G<5,!x.*,comp.*", twoGroups), 1);
}

TEST(CheckMatch, HugeArticlesAnswerNormally)
{
    // A path element and a header value of a million '*' are patterns.
    const std::string stars(1000000, '*');
    Article starPath("comp.a", "a!" + stars + "!b", "X-Pat: " + stars + "#\r\n");
    EXPECT_EQ(Matches("$P=mysite,*", starPath), 0);
    EXPECT_EQ(Matches("$H[\"X-Pat:\"]=mysite,*", starPath), 0);
    Article hashPath("comp.a", "a!" + stars + "#!b");
    EXPECT_EQ(Matches("$P=mysite,*", hashPath), 1);

    // Path, header and gates are tested once, not once per group.
    std::string groups = "x.0";
    std::string path = "p0";
    for (int i = 1; i < 200000; ++i) {
        groups += ",x." + std::to_string(i);
        path += "!p" + std::to_string(i);
    }
    Article many(groups + ",comp.a", path, "X-Big: " + path + "\r\n");
    EXPECT_EQ(Matches(("$P=mysite,$H[\"X-Big:\"]=" + path + ",$G>3,comp.*").c_str(), many), 1);
    EXPECT_EQ(Matches("$H[\"X-Big:\"]=p1,comp.*", many), 0);
    EXPECT_EQ(Matches("$P=p199999,comp.*", many), 0);
    EXPECT_EQ(Matches("|,$C,$I>5,comp.*", many), 1);
}

TEST(CompileMatchString, NestingAndLengthAreBounded)
{
    std::string nested;
    for (int i = 0; i < kMaxMatchNesting; ++i)
        nested += "&,$G<5,";
    EXPECT_NE(CompileMatchString(nested + "comp.*"), nullptr);
    EXPECT_EQ(CompileMatchString("&," + nested + "comp.*,comp.*"), nullptr);
    std::string deep;
    for (int i = 0; i < 1000000; ++i)
        deep += "|,";
    EXPECT_EQ(CompileMatchString(deep + "a,b"), nullptr);

    // A chain of a million nodes compiles, matches and is freed.
    std::string chain;
    for (int i = 0; i < 1000000; ++i)
        chain += "!a,";
    Article a("comp.a");
    EXPECT_EQ(Matches((chain + "comp.*").c_str(), a), 1);
}
