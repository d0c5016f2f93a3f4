#include "control/scheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Every call the scheduler made, with its clock at that moment.
struct Calls {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::string, time_t>> made;

    void Record(const std::string& name)
    {
        std::lock_guard lock(mutex);
        made.emplace_back(name, curSecondCount.load());
        changed.notify_all();
    }
    size_t Count(const std::string& name)
    {
        size_t count = 0;
        for (const auto& call : made)
            count += call.first == name;
        return count;
    }
    bool WaitFor(const std::string& name, size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 30s, [&] { return Count(name) >= count; });
    }
    std::vector<time_t> Seconds(const std::string& name)
    {
        std::lock_guard lock(mutex);
        std::vector<time_t> seconds;
        for (const auto& call : made)
            if (call.first == name)
                seconds.push_back(call.second);
        return seconds;
    }
};

Calls* calls = new Calls;  // the scheduler may call into it until the process ends

void Named(void* name) { calls->Record(static_cast<const char*>(name)); }

void ScheduleThree(void*)
{
    calls->Record("start");
    // Inside a pass the clock stands still, so all three are due together.
    ScheduleCallback(1, 0, Named, const_cast<char*>("a"));
    ScheduleCallback(1, 0, Named, const_cast<char*>("b"));
    ScheduleCallback(1, 0, Named, const_cast<char*>("c"));
}

void Again(void*)
{
    calls->Record("again");
    if (calls->Count("again") < 3)
        ScheduleCallback(0, 0, Again, nullptr);
}

TEST(Scheduler, SameSecondOrderAndReschedulingFromInsideACall)
{
    ASSERT_EQ(SchedCallbackInit(), 1);
    ASSERT_EQ(ScheduleCallback(0, 0, ScheduleThree, nullptr), 1);
    ASSERT_EQ(ScheduleCallback(0, 0, Again, nullptr), 1);
    ASSERT_TRUE(calls->WaitFor("a", 1) && calls->WaitFor("b", 1) && calls->WaitFor("c", 1));
    {
        std::lock_guard lock(calls->mutex);
        std::vector<std::string> order;
        for (const auto& call : calls->made)
            if (call.first.size() == 1)
                order.push_back(call.first);
        // A new call goes before those due at the same time, but after the first.
        EXPECT_EQ(order, (std::vector<std::string>{"a", "c", "b"}));
    }
    std::vector<time_t> start = calls->Seconds("start");
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(calls->Seconds("a"), calls->Seconds("c"));
    EXPECT_EQ(calls->Seconds("a"), calls->Seconds("b"));
    EXPECT_GT(calls->Seconds("a")[0], start[0]);

    // Interval 0 from inside a call waits for the next pass instead of
    // keeping the current one going.
    ASSERT_TRUE(calls->WaitFor("again", 3));
    std::vector<time_t> again = calls->Seconds("again");
    ASSERT_EQ(again.size(), 3u);
    EXPECT_LT(again[0], again[1]);
    EXPECT_LT(again[1], again[2]);
}

TEST(Scheduler, RepeatCallsAgainEveryInterval)
{
    ASSERT_EQ(SchedCallbackInit(), 1);
    ASSERT_EQ(ScheduleCallback(1, 1, Named, const_cast<char*>("repeat")), 1);
    ASSERT_EQ(ScheduleCallback(2, 0, Named, const_cast<char*>("once")), 1);
    ASSERT_TRUE(calls->WaitFor("repeat", 4));
    std::vector<time_t> seconds = calls->Seconds("repeat");
    for (size_t i = 1; i < seconds.size(); ++i)
        EXPECT_GE(seconds[i] - seconds[i - 1], 1) << i;
    EXPECT_EQ(calls->Seconds("once").size(), 1u);
}

}  // namespace
