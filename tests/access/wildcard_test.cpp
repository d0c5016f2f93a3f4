#include "access/wildcard.h"

#include <gtest/gtest.h>

TEST(StringMatch, StarsQuestionMarksAndEnds)
{
    EXPECT_EQ(StringMatch("abc", "a*"), 1);
    EXPECT_EQ(StringMatch("", "*"), 1);
    EXPECT_EQ(StringMatch("", ""), 1);
    EXPECT_EQ(StringMatch("a", ""), 0);
    EXPECT_EQ(StringMatch("ab", "a?c"), 0);
    EXPECT_EQ(StringMatch("abc", "a?c"), 1);
    EXPECT_EQ(StringMatch("comp.lang.c", "comp.*.c"), 1);
    EXPECT_EQ(StringMatch("comp.lang.cc", "comp.*.c"), 0);
    EXPECT_EQ(StringMatch("Comp.Lang", "comp.*"), 0);
    EXPECT_EQ(StringMatch("aXbXc", "*X*X*"), 1);
}

TEST(StringMatch, SetsAndRanges)
{
    EXPECT_EQ(StringMatch("m", "[z-a]"), 1);
    EXPECT_EQ(StringMatch("m", "[a-z]"), 1);
    EXPECT_EQ(StringMatch("M", "[a-z]"), 0);
    EXPECT_EQ(StringMatch("b", "[abc"), 1);
    EXPECT_EQ(StringMatch("x", "[]x]"), 0);
    EXPECT_EQ(StringMatch("a1", "a[0-9]"), 1);
    EXPECT_EQ(StringMatch("b", "[a-]"), 0);
    EXPECT_EQ(StringMatch("c", "[ab]"), 0);
    // Signed comparison: a byte above 0x7f sorts below 'a'.
    EXPECT_EQ(StringMatch("\xe9", "[\x80-a]"), 1);
    EXPECT_EQ(StringMatch("\xe9", "[a-\x7f]"), 0);
}

TEST(StringMatch, Escapes)
{
    EXPECT_EQ(StringMatch("a*", "a\\*"), 1);
    EXPECT_EQ(StringMatch("ab", "a\\*"), 0);
    EXPECT_EQ(StringMatch("a\\", "a\\"), 0);
    EXPECT_EQ(StringMatch("a", "a\\"), 0);
    EXPECT_EQ(StringMatch("?", "\\?"), 1);
}
