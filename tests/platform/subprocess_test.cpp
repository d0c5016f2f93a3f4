#include "platform/subprocess.h"

#include <gtest/gtest.h>

namespace {

TEST(Subprocess, StatusAndOutputOfBothStreams)
{
    ProgramRun run = RunProgram({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, 1024, 30000);
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.output.find("out\n"), std::string::npos);
    EXPECT_NE(run.output.find("err\n"), std::string::npos);
    EXPECT_FALSE(run.truncated);
}

TEST(Subprocess, NoShellBetweenTheWords)
{
    // A word with shell syntax reaches the program as it is.
    ProgramRun run = RunProgram({"/bin/echo", "$(id); rm -rf /tmp/x"}, 1024, 30000);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "$(id); rm -rf /tmp/x\n");
}

TEST(Subprocess, OutputIsBoundedAndTheChildStillEnds)
{
    ProgramRun run = RunProgram({"/usr/bin/head", "-c", "1000000", "/dev/zero"}, 100, 30000);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output.size(), 100u);
    EXPECT_TRUE(run.truncated);
}

TEST(Subprocess, HungChildIsKilled)
{
    ProgramRun run = RunProgram({"/bin/sleep", "30"}, 100, 100);
    EXPECT_EQ(run.status, ProgramRun::kTimedOut);
    // One that closes its output but goes on running is caught as well.
    run = RunProgram({"/bin/sh", "-c", "exec >/dev/null 2>&1; sleep 30"}, 100, 100);
    EXPECT_EQ(run.status, ProgramRun::kTimedOut);
}

TEST(Subprocess, MissingProgramOrNoWords)
{
    EXPECT_EQ(RunProgram({"/no/such/program"}, 100, 1000).status, ProgramRun::kNotStarted);
    EXPECT_EQ(RunProgram({}, 100, 1000).status, ProgramRun::kNotStarted);
}

}  // namespace
