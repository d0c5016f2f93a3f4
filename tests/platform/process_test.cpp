// Fatal exits and thread starts, including a thread the system refuses.
#include "platform/process.h"
#include "platform/process_internal.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <future>
#include <string>
#include <thread>

namespace {

class Process : public ::testing::Test {
protected:
    void SetUp() override { bDebug = 1; }  // reports go to standard output, where the tests read them
    void TearDown() override
    {
        FailThreadStartsForTest(0);
        bDebug = 0;
    }
};

TEST_F(Process, StartedThreadsRunDetachedOrJoinable)
{
    std::promise<int> ran;
    ASSERT_TRUE(StartThread("detached", [&ran] { ran.set_value(7); }));
    EXPECT_EQ(ran.get_future().get(), 7);

    int value = 0;
    std::thread joinable;
    ASSERT_TRUE(StartThread("joinable", [&value] { value = 9; }, &joinable));
    ASSERT_TRUE(joinable.joinable());
    joinable.join();
    EXPECT_EQ(value, 9);
}

TEST_F(Process, RefusedThreadIsReportedAndItsBodyNeverRuns)
{
    FailThreadStartsForTest(2);
    bool ran = false;
    std::thread joinable;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(StartThread("first", [&ran] { ran = true; }));
    EXPECT_FALSE(StartThread("second", [&ran] { ran = true; }, &joinable));
    std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(output,
              "could not start the first thread: Resource temporarily unavailable\n"
              "could not start the second thread: Resource temporarily unavailable\n");
    EXPECT_FALSE(joinable.joinable());
    EXPECT_FALSE(ran);

    // Only as many starts fail as were asked for.
    ASSERT_TRUE(StartThread("third", [&ran] { ran = true; }, &joinable));
    joinable.join();
    EXPECT_TRUE(ran);
}

TEST(ProcessDeathTest, FatalExitReportsEachTextAndEndsWithStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto fail = [](const char* detail) {
        ::dup2(2, 1);
        bDebug = 1;
        FatalExit("could not open config file, exiting...", detail);
    };
    EXPECT_EXIT(fail("/no/such/file"), ::testing::ExitedWithCode(1),
                "could not open config file, exiting\\.\\.\\.\n/no/such/file\n$");
    EXPECT_EXIT(fail(nullptr), ::testing::ExitedWithCode(1), "could not open config file, exiting\\.\\.\\.\n$");
}

}  // namespace
