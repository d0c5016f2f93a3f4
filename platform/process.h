// Process-wide switches and the reports that do not depend on the text log:
// the service log (console in debug mode, syslog otherwise), the exit on a
// failure the server cannot run past, and the start of a thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

// The name under which the service runs and reports to syslog.
inline constexpr const char* kServiceName = "Verdalix";

// Set once shutdown begins; polled by the accept loop, sessions and workers.
extern std::atomic<int> bShutDown;
// 1 when running with -debug: messages go to standard output.
extern std::atomic<int> bDebug;
// Set by the start-up script (Tcl AcceptConnections): the accept loop waits
// for it before it listens.
extern std::atomic<int> readyToGo;
// Non-zero (Tcl SetLogCmds) logs every line the command loop does not know.
extern std::atomic<int> logcmds;

// Reports an error text: standard output in debug mode, syslog otherwise.
void AddToMessageLog(const char* text);

// Tells the service manager `state` ("READY=1", "STATUS=...") through its
// notify socket; nothing in debug mode or without NOTIFY_SOCKET.
void NotifyServiceManager(const char* state);

// Reports `text` (then `detail`, when given, as a message of its own) through
// AddToMessageLog and ends the process with status 1.
[[noreturn]] void FatalExit(const char* text, const char* detail = nullptr);

// Runs `body` on a new thread: detached, or moved into *joinable when that is
// given. When the system cannot start it, reports "could not start the
// <name> thread: <error>" through AddToMessageLog and returns false.
bool StartThread(const char* name, std::function<void()> body, std::thread* joinable = nullptr);

// Reads one line from standard input into *line (without its line end),
// not echoing it when standard input is a terminal, which then gets
// `prompt` on standard error first. False at the end of input.
bool ReadHiddenLine(const char* prompt, std::string* line);
