// Stop signals: blocked in the threads started afterwards and taken by the
// waiting thread alone; SIGPIPE ignored.
#include "platform/signals.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace {

TEST(Signals, StopSignalsReachOnlyTheWaiter)
{
    // In a child, so the test process keeps its own dispositions and mask.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        IgnoreBrokenPipes();
        BlockStopSignals();
        ::raise(SIGPIPE);  // ignored, not fatal
        int got = 0;
        std::thread waiter([&] { got = WaitForStopSignal(); });
        ::kill(::getpid(), SIGQUIT);
        waiter.join();
        ::_exit(got == SIGQUIT ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
