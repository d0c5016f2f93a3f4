// Configuration file parsing and lookups.
#include "server/config.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/server_harness.h"

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

class Config : public ::testing::Test {
protected:
    void TearDown() override { ConfigClear(); }
};

TEST_F(Config, KeysAndValuesAreTrimmedOnlyWhereTheFormatSays)
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

TEST_F(Config, CommentsOnlyInColumnOneAndMalformedLinesIgnored)
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

TEST_F(Config, FirstOfDuplicateKeysWins)
{
    Load("FeedQueuePath = first\nfeedqueuepath = second\n");
    EXPECT_EQ(Value("FeedQueuePath"), "first");
}

TEST_F(Config, TrailingTextBytesAboveAsciiAreKept)
{
    Load("Name = caf\xc3\xa9\n");
    EXPECT_EQ(Value("Name"), "caf\xc3\xa9");
}

TEST_F(Config, IntegerConversion)
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

TEST_F(Config, EmptyAndSingleLineFiles)
{
    Load("");
    EXPECT_EQ(GetConfigString("anything"), nullptr);
    Load("# only a comment\n");
    EXPECT_EQ(GetConfigString("anything"), nullptr);
    Load("One = 1");
    EXPECT_EQ(Value("one"), "1");
}

TEST_F(Config, OverlongLineDoesNotSpillIntoTheNextEntry)
{
    std::string longValue(3000, 'x');
    Load("Long = " + longValue + "\nAfter = ok\n");
    EXPECT_EQ(Value("After"), "ok");
    EXPECT_EQ(Value("Long").size(), 1023u - 7u);  // the first piece of the line
}

const char* Nearest(const char* name)
{
    const ConfigKeyInfo* info = NearestConfigKey(name);
    return info != nullptr ? info->name : "<none>";
}

TEST(ConfigKeys, NearestKeyCatchesSlipsButOffersNothingUnrelated)
{
    EXPECT_STREQ(Nearest("ListenPrt"), "ListenPort");
    EXPECT_STREQ(Nearest("listenprot"), "ListenPort");
    EXPECT_STREQ(Nearest("SEENTABLESIZ"), "SeenTableSize");
    EXPECT_STREQ(Nearest("HistoryPath"), "HistoryDataPath");
    EXPECT_STREQ(Nearest("XrefCommunity"), "xrefcommunity");
    EXPECT_STREQ(Nearest("greeting"), "<none>");
    EXPECT_STREQ(Nearest("Port"), "<none>");
    EXPECT_STREQ(Nearest(""), "<none>");
}

TEST(ConfigKeys, TableRowsAreUniqueDocumentedAndTheirDefaultsReadable)
{
    std::set<std::string> folded;
    for (const ConfigKeyInfo& info : ConfigKeys()) {
        std::string name = info.name;
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_TRUE(folded.insert(name).second) << info.name << " twice";
        EXPECT_EQ(FindConfigKey(name), &info);
        EXPECT_EQ(&ConfigKeys()[static_cast<size_t>(info.key)], &info);
        EXPECT_GT(std::strlen(info.text), 10u) << info.name;
        if (info.kind == ConfigKind::kNumber) {
            ASSERT_NE(info.defaultValue, nullptr) << info.name;
            EXPECT_EQ(std::to_string(ParseDecimal(info.defaultValue)), info.defaultValue) << info.name;
        }
    }
    EXPECT_EQ(FindConfigKey("NoSuchKey"), nullptr);
    EXPECT_EQ(FindConfigKey("ListenPor"), nullptr);
}

// The sample file is the reference administrators copy: every key the
// server reads is in it, set or commented out with its default.
TEST(ConfigKeys, EveryKeyIsInTheSampleFileAndTheDocumentation)
{
    std::set<std::string> sample;
    std::istringstream conf(verdalix_test::ReadFile(VERDALIX_SOURCE_DIR "/etc/verdalix.conf.in"));
    for (std::string line; std::getline(conf, line);) {
        size_t start = line.starts_with('#') ? 1 : 0;
        size_t end = line.find_first_of(" =", start);
        if (end != std::string::npos && line.find('=', start) != std::string::npos)
            sample.insert(line.substr(start, end - start));
    }
    std::string docs = verdalix_test::ReadFile(VERDALIX_SOURCE_DIR "/docs/configuration.md");
    for (const ConfigKeyInfo& info : ConfigKeys()) {
        EXPECT_TRUE(sample.count(info.name)) << info.name << " is not in etc/verdalix.conf.in";
        EXPECT_NE(docs.find(std::string("| `") + info.name + "` |"), std::string::npos)
            << info.name << " is not in docs/configuration.md";
    }
}

TEST_F(Config, KeyedLookupsFallBackToTheTableDefault)
{
    Load("ListenPort = 1119\nlogdirectory = /tmp/logs\nPrecommitHashSize = 0\nMaxPrecommitAge = 0\n"
         "OpMode = transit\n");
    EXPECT_EQ(ConfigNumber(ConfigKey::kListenPort), 1119);
    EXPECT_STREQ(ConfigText(ConfigKey::kLogDirectory), "/tmp/logs");
    EXPECT_STREQ(ConfigValue(ConfigKey::kOpMode), "transit");
    // Absent: the default, or null for a key without one.
    EXPECT_EQ(ConfigNumber(ConfigKey::kSeenTableSize), 55997);
    EXPECT_STREQ(ConfigText(ConfigKey::kStartupScript), "init.tcl");
    EXPECT_EQ(ConfigValue(ConfigKey::kStartupScript), nullptr);
    EXPECT_EQ(ConfigText(ConfigKey::kFeedQueuePath), nullptr);
    // Below the minimum a caller can live with: the default again.
    EXPECT_EQ(ConfigNumber(ConfigKey::kPrecommitHashSize, 1), 1048573);
    EXPECT_EQ(ConfigNumber(ConfigKey::kPrecommitHashSize), 0);
    EXPECT_EQ(ConfigNumber(ConfigKey::kMaxPrecommitAge, 0), 0);
}

TEST_F(Config, ProblemsNameUnknownKeysAndNumbersReadOtherwiseThanWritten)
{
    Load("ListenPrt = 119\n"
         "SeenTableSize = 55,997\n"
         "greeting = hello\n"
         "MaxArticleAge = 14 days\n"
         "GroupArraySize =\n"
         "SeenDataCount = 99999999999\n"
         "  ListenPort = 119\n"
         "maxincomingconnections = -5  \n"
         "MaxKeepLogFile = +3\n"
         "HostPathIdentifier = 42,news\n"
         "FeedRetryDelay = x\n");
    std::vector<std::string> expected = {
        "ListenPrt: unknown key; did you mean ListenPort?",
        "SeenTableSize = 55,997: read as 55",
        "greeting: unknown key",
        "MaxArticleAge = 14 days: read as 14",
        "GroupArraySize = : read as 0",
        "SeenDataCount = 99999999999: read as 2147483647",
        "  ListenPort: unknown key; did you mean ListenPort?",
        "FeedRetryDelay = x: read as 0",
    };
    EXPECT_EQ(ConfigProblems(), expected);
    Load("ListenPort = 119\nSeenTableSize = 55997\n");
    EXPECT_TRUE(ConfigProblems().empty());
}

}  // namespace
