#include "date/parsedate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

// POSIX zone rules, so the tests need no zone database.
constexpr const char* kUtc = "UTC0";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char* kSydney = "AEST-10AEDT,M10.1.0,M4.1.0/3";
// The zone every test that reads the clock runs in: the zone cached by
// GetTimeInfo must be this one, whatever test ran first in the process.
constexpr const char* kIndia = "IST-5:30";

constexpr uint32_t kDec7 = 944586000;  // 7 Dec 1999 17:00:00 GMT

void UseZone(const char* zone)
{
    setenv("TZ", zone, 1);
    tzset();
}

uint32_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return static_cast<uint32_t>(timegm(&t));
}

// A current-time record for t in the zone in force.
TimeInfo At(time_t t)
{
    struct tm local;
    localtime_r(&t, &local);
    return {t, 0, static_cast<int>(-local.tm_gmtoff / 60)};
}

struct Case {
    const char* text;
    uint32_t expected;
};

void ExpectAll(const std::vector<Case>& cases, const TimeInfo& now)
{
    for (const Case& c : cases)
        EXPECT_EQ(parsedate(c.text, &now), c.expected) << '"' << c.text << "\" in " << getenv("TZ");
}

}  // namespace

TEST(ParseDate, WrittenFormsWithZonesIgnoreTheLocalZone)
{
    std::vector<Case> cases = {
        {"Tue, 07 Dec 1999 12:00:00 -0500", kDec7},
        {"7 Dec 1999 17:00:00 GMT", kDec7},
        {"07 Dec 99 17:00 GMT", kDec7},
        {"12/07/99 12:00 pm EST", kDec7},
        {"1999/12/07 17:00 GMT", kDec7},
        {"7 Dec 1999 (a (nested) comment) 17:00 GMT", kDec7},
        {"7 Dec 1999 (escaped \\) paren) 17:00 GMT", kDec7},
        {"7 Dec 1999 18:00 GMT+0100", kDec7},
        {"7 Dec 1999 17:00 foo", kDec7},
        {"7 Dec 1999 16:59:61 GMT", kDec7 + 1},
        {"Thu., 09 DEC 1999 1700 UT", kDec7 + 2 * 86400},
        {"7 Dec 1999 5 pm e.s.t.", kDec7 + 5 * 3600},
        {"7 Dec 1999 12:00 am -0000", kDec7 - 17 * 3600},
        {"7 Dec 1999 12:30 pm Z", kDec7 - 4 * 3600 - 1800},
        {"7 Dec 1999 - 17:00 averyveryverylongunknownword", kDec7},
        {"7 Jul 1999 18:00 BST", Utc(1999, 7, 7, 17)},
        {"7 Jul 1999 13:00 EDT", Utc(1999, 7, 7, 17)},
        {"7 Dec 1999 17:00 GMT\xff 8 Dec 1999", kDec7},
        {"7 Dec 1999 17:00 nzdt", Utc(1999, 12, 7, 4)},
    };
    for (const char* zone : {kUtc, kNewYork, kSydney}) {
        UseZone(zone);
        ExpectAll(cases, At(Utc(2026, 7, 1)));
    }
    TimeInfo now = At(Utc(2026, 7, 1));
    EXPECT_EQ(parsedate(std::string_view("7 Dec 1999 17:00 GMT\0 8 Dec 1999", 32), &now), kDec7);
    EXPECT_EQ(parsedate(std::string_view("7 Dec 1999 17:00 GMT 8 Dec 1999", 20), &now), kDec7);
}

TEST(ParseDate, RefusedTexts)
{
    UseZone(kNewYork);
    TimeInfo now = At(Utc(2026, 7, 1));
    for (const char* text : {
             "Tue 07 Dec 1999 12:00:00 -0500", "7 Dec 1999 12:00 EST+0100", "7 Dec 1999 12:60 GMT", "Sept 7 1999",
             "7 Dec 1999 12:00 GMT 8 Dec 1999", "7 Dec 1999 12:00 GMT 13:00", "Tue, 7 Dec", "Dec 7,",
             "7 Dec 1999 GMT", "7 Dec 12:00 GMT", "7.Dec.1999", "13/07/99", "31 Apr 1999", "7 Dec 1999 24:00",
             "7 Dec 1999 13:00 pm", "7 Dec 1999 0:00 am", "7 Dec 1999 12:00:62", "7 Dec 1999 12:00 +10000",
             "7 Dec 1999 12:00 +0160", "7 Dec 1999 17:00 GMT ?", "7 Dec 1999 (never closed",
             "7 Dec 1999 (a CR\r) 17:00", "7 Dec 1999 (\xe9) 17:00", "7 Dec 1999 (\\\xe9) 17:00",
             "7 Dec 1999 (\\", "-5",
         })
        EXPECT_EQ(parsedate(text, &now), kBadDate) << '"' << text << '"';
}

TEST(ParseDate, YearsAndTheEndsOfTheRange)
{
    UseZone(kUtc);
    ExpectAll({{"1 Jan 00 0:00 GMT", Utc(2000, 1, 1)},
               {"1 Jan 38 0:00 GMT", Utc(2038, 1, 1)},
               {"1 Jan 70 0:00 GMT", 0},
               {"1 Jan 99 0:00 GMT", Utc(1999, 1, 1)},
               {"1 Jan 1938 0:00 GMT", Utc(2038, 1, 1)},
               {"1 Jan 1870 0:00 GMT", 0},
               {"29 Feb 2000 12:00 GMT", Utc(2000, 2, 29, 12)},
               {"29 Feb 2036 12:00 GMT", Utc(2036, 2, 29, 12)},
               {"19 Jan 2038 03:14:07 GMT", 0x7FFFFFFF},
               {"1 Jan 39 0:00 GMT", kBadDate},
               {"1 Jan 69 0:00 GMT", kBadDate},
               {"1 Jan 1969 0:00 GMT", kBadDate},
               {"1 Jan 1869 0:00 GMT", kBadDate},
               {"1 Jan 2039 0:00 GMT", kBadDate},
               {"29 Feb 1999 0:00 GMT", kBadDate},
               {"19 Jan 2038 03:14:08 GMT", kBadDate},
               {"1 Jan 1970 0:00 +0100", kBadDate},
               // Past the 32-bit ends fails; exactly all ones comes back as 0;
               // an overlong number stays at the largest 32-bit value.
               {"1 Jan 1970 0:00 GMT 99999999999 sec", 0x7FFFFFFF},
               {"1 Jan 1970 0:00 GMT 2147483647 sec 2147483647 sec 1 sec", 0},
               {"1 Jan 1970 0:00 GMT 2147483647 sec 2147483647 sec 2 sec", kBadDate},
               {"2 Jan 1970 -2 days", kBadDate}},
              At(Utc(2026, 7, 1)));
}

TEST(ParseDate, LocalZoneFillsWhatTheTextLeavesOut)
{
    UseZone(kNewYork);
    // Daylight time follows the date, whatever the season of the record.
    for (TimeInfo now : {At(Utc(2026, 1, 15, 12)), At(Utc(2026, 7, 15, 12))}) {
        EXPECT_EQ(parsedate("Dec 7, 1999 5pm", &now), Utc(1999, 12, 7, 22));
        EXPECT_EQ(parsedate("Jul 4, 1999 5pm", &now), Utc(1999, 7, 4, 21));
        EXPECT_EQ(parsedate("Dec 7 17:00 GMT", &now), Utc(2026, 12, 7, 17));
    }
    TimeInfo winter = At(Utc(2026, 1, 15, 12));
    EXPECT_EQ(parsedate("17:00", &winter), Utc(2026, 1, 15, 22));
    // 02:30 GMT on 15 July is still 14 July in New York.
    TimeInfo lateEvening = At(Utc(2026, 7, 15, 2, 30));
    EXPECT_EQ(parsedate("", &lateEvening), Utc(2026, 7, 14, 4));
    EXPECT_EQ(parsedate(" (only a comment) ", &lateEvening), Utc(2026, 7, 14, 4));
}

TEST(ParseDate, RelativeOffsets)
{
    UseZone(kUtc);
    TimeInfo now = At(Utc(2026, 7, 1, 9, 30));
    ExpectAll({{"3 days", Utc(2026, 7, 4, 9, 30)},
               {"7 Dec 1999 17:00 GMT 2 weeks -3 hours", kDec7 + 2 * 604800 - 3 * 3600},
               {"15 Jan 1999 12:00 GMT 1 month", Utc(1999, 2, 15, 12)},
               {"15 Mar 1999 12:00 GMT 2 days -1 month 1 year", Utc(2000, 2, 17, 12)},
               {"31 Jan 1999 12:00 GMT 1 month", kBadDate},
               {"1 Jan 2038 0:00 GMT 1 year", kBadDate}},
              now);
    // A month on keeps the local wall-clock time across daylight time, and
    // stays on the right day when the text's zone is far from the local one.
    UseZone(kNewYork);
    now = At(Utc(2026, 7, 1));
    EXPECT_EQ(parsedate("1 Mar 1999 12:00 1 month", &now), Utc(1999, 4, 1, 16));
    UseZone(kSydney);
    now = At(Utc(2026, 7, 1));
    EXPECT_EQ(parsedate("7 Dec 1999 03:00 GMT 1 month", &now), Utc(2000, 1, 7, 3));
}

TEST(ParseDate, CurrentTime)
{
    UseZone(kIndia);
    time_t before = time(nullptr);
    TimeInfo info{};
    ASSERT_EQ(GetTimeInfo(&info), 0);
    uint32_t later = parsedate("3 days", nullptr);
    time_t after = time(nullptr);
    EXPECT_EQ(info.tzone, -330);
    EXPECT_EQ(info.usec, 0u);
    EXPECT_GE(info.time, before);
    EXPECT_LE(info.time, after);
    EXPECT_GE(later, before + 259200);
    EXPECT_LE(later, after + 259200);
}

// Truncated, mutated and random texts: never a crash or a read past the
// text (the sanitizer build checks that), and never a wrapped result.
TEST(ParseDate, ArbitraryBytes)
{
    UseZone(kNewYork);
    TimeInfo now = At(Utc(2026, 7, 1));
    std::mt19937 rng(12345);
    const std::string samples[] = {"Tue, 07 Dec 1999 12:00:00 -0500 (EST)", "12/07/99 12:00 pm e.s.t.",
                                   "Dec 7, 1999 5pm", "1999/12/07 17:00:61 GMT+0100"};
    for (const std::string& sample : samples) {
        for (size_t length = 0; length <= sample.size(); ++length) {
            for (int round = 0; round < 20; ++round) {
                std::vector<char> text(sample.begin(), sample.begin() + length);
                if (round > 0 && length > 0)
                    text[rng() % length] = static_cast<char>(rng());
                uint32_t result = parsedate({text.data(), text.size()}, &now);
                // One changed byte can make at most seconds of offset.
                EXPECT_TRUE(result == kBadDate || result <= 0x7FFFFFFF + 61u) << std::string(text.begin(), text.end());
            }
        }
    }
    const std::string alphabet = "0123456789+-:/,.() \\\r\tadjmnosuwyehkrtp\x80\xff";
    for (int round = 0; round < 4000; ++round) {
        std::vector<char> text(rng() % 60);
        for (char& c : text)
            c = round % 2 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        uint32_t exact = parsedate({text.data(), text.size()}, &now);
        std::string terminated(text.begin(), text.end());
        EXPECT_EQ(parsedate(terminated.c_str(), &now), exact);
    }
}
