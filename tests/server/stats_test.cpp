// The two statistics texts.
#include "server/stats.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "access/incoming.h"
#include "server/log.h"
#include "support/unit_config.h"

namespace {

std::atomic<uint32_t>* const kCounters[] = {
    &ihave, &ihave_accept, &ihave_refuse, &ihave_reject, &check, &check_refuse, &takethis, &takethis_refuse,
    &precommit_saves, &oShead, &oStail, &seenSearchCount, &seenDepth, &seenMaxDepth, &total_accept,
    &total_refuse, &total_reject, &TotalConnected, &MaxConnections,
};

class Stats : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (size_t i = 0; i < std::size(kCounters); ++i)
            saved_[i] = kCounters[i]->exchange(static_cast<uint32_t>(i + 1));
    }
    void TearDown() override
    {
        for (size_t i = 0; i < std::size(kCounters); ++i)
            *kCounters[i] = saved_[i];
    }

    // Checks the time groups at the front and returns the rest of the text.
    static std::string AfterTimes(const std::string& text)
    {
        unsigned long start = 0;
        unsigned long uptime = 0;
        int consumed = 0;
        EXPECT_EQ(std::sscanf(text.c_str(), "{starttime %lu} {uptime %lu} %n", &start, &uptime, &consumed), 2)
            << text;
        EXPECT_EQ(start, static_cast<unsigned long>(LogStartTime()));
        return text.substr(static_cast<size_t>(consumed));
    }

    uint32_t saved_[std::size(kCounters)] = {};
};

TEST_F(Stats, BaseStatisticsText)
{
    EXPECT_EQ(AfterTimes(GetBaseStatsString()),
              "{ihave 1} {ihave_accept 2} {ihave_refuse 3} {ihave_reject 4} "
              "{check 5} {check_refuse 6} {takethis 7} {takethis_reject 8} {precommit_saves 9} "
              "{SeenSearchCount 12} {SeenMaxDepth 14} {avg_search_depth 1.0833} "
              "{total_accept 15} {total_refuse 16} {total_reject 17} "
              "{totalConnected 18} {MaxConnections 19} \r\n");
}

TEST_F(Stats, NntpStatisticsTextEndsWithThePeers)
{
    const std::string counters = "{ihave 1} {ihave_accept 2} {ihave_refuse 3} {ihave_reject 4} "
                                 "{check 5} {check_refuse 6} {takethis 7} {takethis_reject 8} {precommit_saves 9} "
                                 "{oShead 10} {oStail 11} "
                                 "{SeenSearchCount 12} {SeenMaxDepth 14} {avg_search_depth 1.0833} ";
    SetPeerStatsProvider(nullptr);
    EXPECT_EQ(AfterTimes(GetStatsString()), counters + "\r\n");
    // The incoming table registers its per-peer text when it starts.
    verdalix_test::UseConfigText("UpdateIncomingEntries = 0\n");
    IncomingInit();
    AddIncoming("peer.example", 0);
    EXPECT_NE(ReturnIncomingStatsString().find("peer.example"), std::string::npos);
    EXPECT_EQ(AfterTimes(GetStatsString()), counters + ReturnIncomingStatsString() + "\r\n");
}

TEST_F(Stats, AverageDepthIsZeroWithoutLookups)
{
    seenSearchCount = 0;
    EXPECT_NE(GetBaseStatsString().find("{SeenSearchCount 0} {SeenMaxDepth 14} {avg_search_depth 0.0000} "),
              std::string::npos);
    seenSearchCount = 5;
    seenDepth = 0;
    EXPECT_NE(GetBaseStatsString().find("{avg_search_depth 0.0000} "), std::string::npos);
}

}  // namespace
