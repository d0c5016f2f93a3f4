// Running a helper program (a signature checker, for one) as a child
// process: a fixed argument vector, no shell, standard input from /dev/null,
// standard output and error captured up to a bound, and a time limit after
// which the child is killed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ProgramRun {
    // The exit code, 128 + the signal that ended the child, or one of:
    static constexpr int kNotStarted = -1;
    static constexpr int kTimedOut = -2;
    int status = kNotStarted;
    std::string output;      // standard output and error, interleaved
    bool truncated = false;  // output beyond the bound was read and dropped
};

// Runs argv[0] (a path; no search of PATH) with `argv` as its arguments.
// Keeps at most `maxOutput` bytes of what it writes; kills it (SIGKILL)
// when it has not ended after `timeoutMs` milliseconds.
ProgramRun RunProgram(const std::vector<std::string>& argv, size_t maxOutput, int timeoutMs);
