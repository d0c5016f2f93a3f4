// Child processes: fork and exec of the external filter, and the commands
// the service installer runs through the shell.
#include "platform/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Child side of fork: only async-signal-safe calls until exec.
[[noreturn]] void ExecShell(const char* command, int input, int output)
{
    ::setsid();
    // Lift both ends above 2 first, so dup2 can't clobber one with the other.
    if (input < 3)
        input = ::fcntl(input, F_DUPFD_CLOEXEC, 3);
    if (output < 3)
        output = ::fcntl(output, F_DUPFD_CLOEXEC, 3);
    ::dup2(input, 0);
    ::dup2(output, 1);
    ::dup2(output, 2);
    ::close_range(3, ~0u, 0);
    ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    ::_exit(127);
}

}  // namespace

pid_t StartShellCommand(const char* command, int input, int output)
{
    pid_t pid = ::fork();
    if (pid == 0)
        ExecShell(command, input, output);
    return pid < 0 ? -1 : pid;
}

bool ChildEnded(pid_t pid)
{
    return ::waitpid(pid, nullptr, WNOHANG) != 0;
}

void KillChildSession(pid_t pid)
{
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

int RunCommand(const char* command)
{
    return std::system(command);
}

std::string CommandOutputLine(const char* command)
{
    std::string line;
    FILE* pipe = ::popen(command, "re");
    if (pipe == nullptr)
        return line;
    char text[256];
    if (std::fgets(text, sizeof text, pipe) != nullptr)
        line.assign(text, std::strcspn(text, "\r\n"));
    ::pclose(pipe);
    return line;
}
