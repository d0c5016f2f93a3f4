// JSON texts made for the status page and verdalixctl --json: whatever a
// group name, a host or a log line holds, the result must parse.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "server/json.h"

TEST(Json, StringsEscapeWhatJsonForbids)
{
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("say \"hi\" \\ bye"), "\"say \\\"hi\\\" \\\\ bye\"");
    EXPECT_EQ(JsonString("a\nb\rc\td"), "\"a\\nb\\rc\\td\"");
    EXPECT_EQ(JsonString(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");
    EXPECT_EQ(JsonString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
    EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");  // UTF-8 passes through
}

TEST(Json, NumbersAreIntegersOrThreeDecimalsAndNeverInfinite)
{
    EXPECT_EQ(JsonNumber(0), "0");
    EXPECT_EQ(JsonNumber(10485760), "10485760");
    EXPECT_EQ(JsonNumber(-3), "-3");
    EXPECT_EQ(JsonNumber(2.5), "2.500");
    EXPECT_EQ(JsonNumber(1.0 / 3), "0.333");
    EXPECT_EQ(JsonNumber(std::numeric_limits<double>::infinity()), "0");
    EXPECT_EQ(JsonNumber(std::nan("")), "0");
}
