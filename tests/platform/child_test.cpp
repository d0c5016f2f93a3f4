// Child processes: the shell command's descriptors, its end seen without
// waiting, a session killed whole; the installer's commands.
#include "platform/child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace {

bool EndsWithin(pid_t pid, std::chrono::seconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (ChildEnded(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(Child, ShellCommandReadsAndWritesTheGivenDescriptorsOnly)
{
    int in[2];
    int out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    UniqueFd inRead(in[0]), inWrite(in[1]), outRead(out[0]), outWrite(out[1]);
    // Descriptor 3 and up are closed in the child: only 0, 1 and 2 are listed.
    pid_t pid =
        StartShellCommand("read line; echo \"got $line\"; ls /proc/self/fd | wc -l >&2", inRead.get(), outWrite.get());
    ASSERT_GT(pid, 0);
    inRead.reset();
    outWrite.reset();
    ASSERT_TRUE(WriteAll(inWrite.get(), "335\n", 4));
    std::string text;
    char buffer[64];
    ssize_t n;
    while ((n = ReadAll(outRead.get(), buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    // ls counts its own directory descriptor as well.
    EXPECT_EQ(text, "got 335\n4\n");
    EXPECT_TRUE(EndsWithin(pid, std::chrono::seconds(10)));
}

TEST(Child, KillEndsTheWholeSession)
{
    UniqueFd null = OpenFile("/dev/null", O_RDWR);
    ASSERT_TRUE(null);
    pid_t pid = StartShellCommand("sleep 60 & sleep 60", null.get(), null.get());
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(ChildEnded(pid));
    KillChildSession(pid);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // already reaped
}

TEST(Child, InstallerCommandsGiveTheirStatusAndFirstLine)
{
    EXPECT_EQ(RunCommand("exit 0"), 0);
    EXPECT_EQ(WEXITSTATUS(RunCommand("exit 3")), 3);
    EXPECT_EQ(CommandOutputLine("printf 'active\\r\\nsecond\\n'"), "active");
    EXPECT_EQ(CommandOutputLine("true"), "");
}

}  // namespace
