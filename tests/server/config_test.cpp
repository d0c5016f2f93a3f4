// Configuration file parsing and lookups.
#include "server/config.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

// Loads `text` as the whole configuration file.
void Load(const std::string& text)
{
    ConfigClear();
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ASSERT_NE(file, nullptr);
    ConfigReadFile(file);
    std::fclose(file);
}

std::string Value(const char* key)
{
    const char* value = GetConfigString(key);
    return value != nullptr ? value : "<absent>";
}

class ConfigTest : public ::testing::Test {
protected:
    void TearDown() override { ConfigClear(); }
};

TEST_F(ConfigTest, KeysAndValuesAreTrimmedOnlyWhereTheFormatSays)
{
    Load("MaxArticleAge = 14\n"
         "  Indented = 1\n"
         "LogDirectory =/var/log/news  \n"
         "Tabbed\t=\tvalue\t\t\r\n"
         "Equations = a=b = c\n"
         "= empty key\n"
         "EmptyValue =\n"
         "NoNewlineAtEnd = last");
    EXPECT_EQ(Value("maxarticleage"), "14");
    EXPECT_EQ(Value("MAXARTICLEAGE"), "14");
    EXPECT_EQ(Value("Indented"), "<absent>");
    EXPECT_EQ(Value("  Indented"), "1");
    EXPECT_EQ(Value("LogDirectory"), "/var/log/news  ");
    EXPECT_EQ(Value("Tabbed"), "value");
    EXPECT_EQ(Value("Equations"), "a=b = c");
    EXPECT_EQ(Value(""), "empty key");
    EXPECT_EQ(Value("EmptyValue"), "");
    EXPECT_EQ(Value("NoNewlineAtEnd"), "last");
}

TEST_F(ConfigTest, CommentsOnlyInColumnOneAndMalformedLinesIgnored)
{
    Load("#Hidden = 1\n"
         "  #Indented = 2\n"
         "Path = /news#1\n"
         "no equals sign here\n"
         "\n"
         "\r\n");
    EXPECT_EQ(Value("#Hidden"), "<absent>");
    EXPECT_EQ(Value("Hidden"), "<absent>");
    EXPECT_EQ(Value("  #Indented"), "2");  // not a comment: an indented key
    EXPECT_EQ(Value("Path"), "/news#1");
    EXPECT_EQ(Value("no equals sign here"), "<absent>");
}

TEST_F(ConfigTest, FirstOfDuplicateKeysWins)
{
    Load("FeedQueuePath = first\nfeedqueuepath = second\n");
    EXPECT_EQ(Value("FeedQueuePath"), "first");
}

TEST_F(ConfigTest, TrailingTextBytesAboveAsciiAreKept)
{
    Load("Name = caf\xc3\xa9\n");
    EXPECT_EQ(Value("Name"), "caf\xc3\xa9");
}

TEST_F(ConfigTest, IntegerConversion)
{
    Load("Plain = 42\nSigned = -7\nLeading =   +12abc\nNoDigits = abc\nHuge = 99999999999\nZero = 0\n");
    int value = 555;
    EXPECT_EQ(GetConfigInt("Absent", &value), 0);
    EXPECT_EQ(value, 555);
    EXPECT_EQ(GetConfigInt("Plain", &value), 1);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(GetConfigInt("Signed", &value), 1);
    EXPECT_EQ(value, -7);
    EXPECT_EQ(GetConfigInt("Leading", &value), 1);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(GetConfigInt("NoDigits", &value), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(GetConfigInt("Huge", &value), 1);
    EXPECT_EQ(value, INT_MAX);
    EXPECT_EQ(ParseDecimal(" \t-99999999999x"), INT_MIN);
}

TEST_F(ConfigTest, EmptyAndSingleLineFiles)
{
    Load("");
    EXPECT_EQ(GetConfigString("anything"), nullptr);
    Load("# only a comment\n");
    EXPECT_EQ(GetConfigString("anything"), nullptr);
    Load("One = 1");
    EXPECT_EQ(Value("one"), "1");
}

TEST_F(ConfigTest, OverlongLineDoesNotSpillIntoTheNextEntry)
{
    std::string longValue(3000, 'x');
    Load("Long = " + longValue + "\nAfter = ok\n");
    EXPECT_EQ(Value("After"), "ok");
    EXPECT_EQ(Value("Long").size(), 1023u - 7u);  // the first piece of the line
}

}  // namespace
