// Child processes for helper programs. posix_spawn instead of fork: the
// server has many threads, and nothing but the exec runs in the child.
#include "platform/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/unique_fd.h"

extern char** environ;

namespace {

constexpr size_t kReadPiece = 4096;

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

int StatusOf(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    return WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : ProgramRun::kNotStarted;
}

using Clock = std::chrono::steady_clock;

long MillisecondsLeft(Clock::time_point deadline)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

// Waits for the child until the deadline: its status, or kTimedOut with
// the child killed and reaped. A child that closed its output may still run.
int Reap(pid_t pid, Clock::time_point deadline)
{
    constexpr auto kStep = std::chrono::milliseconds(5);
    for (;;) {
        int wstatus = 0;
        pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
        if (done == pid)
            return StatusOf(wstatus);
        if (done < 0 && errno != EINTR)
            return ProgramRun::kNotStarted;
        if (MillisecondsLeft(deadline) <= 0)
            break;
        std::this_thread::sleep_for(kStep);
    }
    ::kill(pid, SIGKILL);
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    return ProgramRun::kTimedOut;
}

// Reads the child's output until it closes the pipe or the deadline passes.
void Drain(int fd, size_t maxOutput, Clock::time_point deadline, ProgramRun& run)
{
    char piece[kReadPiece];
    for (long left = MillisecondsLeft(deadline); left > 0; left = MillisecondsLeft(deadline)) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        ssize_t n = ::read(fd, piece, sizeof piece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        size_t room = maxOutput - run.output.size();
        size_t keep = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
        run.output.append(piece, keep);
        run.truncated = run.truncated || keep < static_cast<size_t>(n);
    }
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, size_t maxOutput, int timeoutMs)
{
    ProgramRun run;
    if (argv.empty())
        return run;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return run;
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    SpawnActions spawn;
    posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&spawn.actions, writeEnd.get(), 1);
    posix_spawn_file_actions_adddup2(&spawn.actions, writeEnd.get(), 2);
    std::vector<char*> args;
    for (const std::string& word : argv)
        args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, args[0], &spawn.actions, nullptr, args.data(), environ) != 0)
        return run;
    writeEnd.reset();  // the child's copy alone keeps the pipe open
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Drain(readEnd.get(), maxOutput, deadline, run);
    run.status = Reap(pid, deadline);
    return run;
}
