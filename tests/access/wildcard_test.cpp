#include "access/wildcard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "support/wildcard_reference.h"

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

TEST(StringMatch, SetWhoseRangeEndsInTheCloseBracket)
{
    // In [ab-]*]x the range b-] swallows the first ']': a text byte taken by
    // 'a' resumes the pattern at "*]x", one taken by the range at "x".
    EXPECT_EQ(StringMatch("a^x", "*[ab-]*]x"), 1);
    EXPECT_EQ(StringMatch("a]x", "[ab-]*]x"), 1);
    EXPECT_EQ(StringMatch("ax", "[ab-]*]x"), 0);
    EXPECT_EQ(StringMatch("^x", "[ab-]*]x"), 1);
    EXPECT_EQ(StringMatch("_", "[a-]"), 1);
}

namespace {

std::string RandomText(std::mt19937& random, const char* alphabet, size_t maxLength)
{
    const size_t size = std::strlen(alphabet);
    std::string s(random() % (maxLength + 1), ' ');
    for (char& ch : s)
        ch = alphabet[random() % size];
    return s;
}

}  // namespace

TEST(StringMatch, AgreesWithTheRulesOnRandomPatterns)
{
    std::mt19937 random(20240611);
    int matches = 0;
    int oddSets = 0;
    for (int i = 0; i < 300000; ++i) {
        const std::string pattern = RandomText(random, "ab*?[]\\-**[]", 10);
        const std::string text = RandomText(random, "ab-]*?\\^\xe9", 8);
        const int expected = verdalix_test::ReferenceMatch(text.c_str(), pattern.c_str());
        ASSERT_EQ(StringMatch(text.c_str(), pattern.c_str()), expected) << "text " << text << " pattern " << pattern;
        matches += expected;
        oddSets += pattern.find("-]") != std::string::npos && expected;
    }
    // Both answers, and matches through sets with a range ending in ']'.
    EXPECT_GT(matches, 10000);
    EXPECT_LT(matches, 290000);
    EXPECT_GT(oddSets, 100);
}

TEST(StringMatch, MillionStarsAnswerNormally)
{
    const std::string stars(1000000, '*');
    const std::string text(1000, 'a');
    EXPECT_EQ(StringMatch(text.c_str(), stars.c_str()), 1);
    EXPECT_EQ(StringMatch("", stars.c_str()), 1);
    EXPECT_EQ(StringMatch(text.c_str(), (stars + "b").c_str()), 0);
    EXPECT_EQ(StringMatch((text + "b").c_str(), (stars + "b").c_str()), 1);
    std::string alternating;
    for (int i = 0; i < 500000; ++i)
        alternating += "a*";
    EXPECT_EQ(StringMatch(text.c_str(), (alternating + "#").c_str()), 0);
    EXPECT_EQ(StringMatch(text.c_str(), ("[ab-]c]" + stars + "#").c_str()), 0);
    EXPECT_EQ(StringMatch("a]#", ("[ab-]" + stars + "]#").c_str()), 1);
}
