// Process-wide switches, the service log, fatal exits and thread starts.
#include "platform/process.h"
#include "platform/process_internal.h"
#include "platform/socket.h"

#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <system_error>

std::atomic<int> bShutDown{0};
std::atomic<int> bDebug{0};
std::atomic<int> readyToGo{0};
std::atomic<int> logcmds{0};

namespace {

std::atomic<int> threadStartsToFail{0};

bool TakeInjectedFailure()
{
    int left = threadStartsToFail.load();
    while (left > 0)
        if (threadStartsToFail.compare_exchange_weak(left, left - 1))
            return true;
    return false;
}

// 0 once the thread runs, else the system's error code.
int LaunchThread(std::function<void()>& body, std::thread* joinable)
{
    if (TakeInjectedFailure())
        return EAGAIN;
    try {
        std::thread thread(std::move(body));
        if (joinable != nullptr)
            *joinable = std::move(thread);
        else
            thread.detach();
        return 0;
    } catch (const std::system_error& failure) {
        return failure.code().value() != 0 ? failure.code().value() : EAGAIN;
    }
}

}  // namespace

void AddToMessageLog(const char* text)
{
    if (bDebug) {
        std::printf("%s\n", text);
        std::fflush(stdout);
        return;
    }
    int err = errno;
    openlog(kServiceName, LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "%s error: %d: %s", kServiceName, err, text);
    closelog();
}

void FatalExit(const char* text, const char* detail)
{
    AddToMessageLog(text);
    if (detail != nullptr)
        AddToMessageLog(detail);
    std::exit(1);
}

bool StartThread(const char* name, std::function<void()> body, std::thread* joinable)
{
    int error = LaunchThread(body, joinable);
    if (error == 0)
        return true;
    char text[160];
    std::snprintf(text, sizeof text, "could not start the %s thread: %s", name, std::strerror(error));
    errno = error;
    AddToMessageLog(text);
    return false;
}

void FailThreadStartsForTest(int count) { threadStartsToFail = count; }

// systemd's notify socket stands in for status reports to the service manager.
void NotifyServiceManager(const char* state)
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (bDebug || path == nullptr || (path[0] != '/' && path[0] != '@'))
        return;
    SendDatagram(path, state, std::strlen(state));
}

bool ReadHiddenLine(const char* prompt, std::string* line)
{
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) != 0 && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fputs(prompt, stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, *line));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (read && !line->empty() && line->back() == '\r')
        line->pop_back();
    return read;
}
