// External article filter. The program runs as a child in its own session
// with one end of a loopback TCP connection as its standard input, output and
// error; each exchange is the article with a dot line out and a three-digit
// code back.
#include "access/filter.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "access/filter_internal.h"
#include "access/match.h"
#include "platform/unique_fd.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

namespace {

constexpr int kLastPort = 25000;
constexpr int kListenBacklog = 25;
constexpr int kCloseGraceMs = 2000;
constexpr size_t kReplySize = 200;

int externalFilter = 0;
int restartFilter = 0;
UniqueFd ours;
pid_t curProcess = -1;
std::unique_ptr<MatchExpression> mh;  // null: every article goes to the filter
int port = 5000;
int timeoutMs = 0;  // set by ExternalFilterInit

bool SetNoDelay(int fd)
{
    int one = 1;
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

// Only our end gets the time-outs: on the filter's end they would make its
// reads of standard input fail whenever no article came for that long.
bool SetServerSocketOptions(int fd)
{
    timeval tv {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 && SetNoDelay(fd);
}

// Binds a new listener to the next free loopback port at or after port + 1.
UniqueFd BindListener()
{
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener)
        return {};
    sockaddr_in address {};
    for (++port; port <= kLastPort; ++port) {
        CreateSocketAddress(&address, "127.0.0.1", port);
        if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return listener;
    }
    return {};
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Accepts the connection that `connector` made; any other local process that
// raced onto the listener is turned away.
UniqueFd AcceptOwnConnection(int listener, int connector)
{
    sockaddr_in own {};
    socklen_t length = sizeof own;
    if (::getsockname(connector, reinterpret_cast<sockaddr*>(&own), &length) != 0)
        return {};
    for (int tries = 0; tries <= kListenBacklog; ++tries) {
        sockaddr_in peer {};
        length = sizeof peer;
        UniqueFd accepted(::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
        if (!accepted)
            return {};
        if (SameAddress(peer, own))
            return accepted;
    }
    return {};
}

bool SendAll(const char* data, size_t length)
{
    while (length > 0) {
        ssize_t sent = ::send(ours.get(), data, length, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool Reaped(pid_t pid)
{
    return ::waitpid(pid, nullptr, WNOHANG) != 0;
}

// Waits up to graceMs for the child to end, then kills its whole session.
void StopChild(int graceMs)
{
    if (curProcess <= 0)
        return;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    bool done = Reaped(curProcess);
    while (!done && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        done = Reaped(curProcess);
    }
    if (!done) {
        ::kill(-curProcess, SIGKILL);
        ::kill(curProcess, SIGKILL);
        ::waitpid(curProcess, nullptr, 0);
    }
    curProcess = -1;
}

// After a failed exchange the filter is given up until the next start; its
// process is ended at once so that it leaves no zombie behind.
void SwitchOff()
{
    ours.reset();
    LogLine("restarting filter");
    externalFilter = 0;
    StopChild(0);
    LogLine("filter restared");
    restartFilter = 0;
}

int FailExchange(const char* what, int error)
{
    LogFormat("external filter %s failure, err=%u", what, static_cast<unsigned>(error));
    restartFilter = 1;
    return 335;
}

// Child side of fork: only async-signal-safe calls until exec.
[[noreturn]] void ExecFilter(const char* command, int input, int output)
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

int ExternalFilterInit()
{
    filterclose();
    externalFilter = 0;
    restartFilter = 0;
    timeoutMs = ConfigNumber(ConfigKey::kExternalFilterTimeout, 1);
    int child = -1;
    int server = -1;
    if (CreateSocket(&child, &server)) {
        UniqueFd childEnd(child);  // the parent's copy goes, so the filter's exit is seen at once
        ours.reset(server);
        if (!CreateChildProcess(child, child))
            ours.reset();  // nobody at the other end
    }
    const char* matchString = ConfigText(ConfigKey::kExternalFilterMatchString);
    mh = matchString != nullptr ? CompileMatchString(matchString) : nullptr;
    return 1;
}

int CreateSocket(int* child, int* server)
{
    UniqueFd listener = BindListener();
    if (!listener || ::listen(listener.get(), kListenBacklog) != 0)
        return 0;
    sockaddr_in address {};
    socklen_t length = sizeof address;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    UniqueFd connector(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in any {};
    CreateSocketAddress(&any, "127.0.0.1", 0);
    if (!connector || ::bind(connector.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::connect(connector.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !SetServerSocketOptions(connector.get()))
        return 0;
    UniqueFd accepted = AcceptOwnConnection(listener.get(), connector.get());
    if (!accepted || !SetNoDelay(accepted.get()))
        return 0;
    *child = accepted.release();
    *server = connector.release();
    return 1;
}

int CreateChildProcess(int input, int output)
{
    const char* command = ConfigText(ConfigKey::kExternalFilter);
    if (command == nullptr)
        return 0;
    pid_t pid = ::fork();
    if (pid < 0)
        return 0;
    if (pid == 0)
        ExecFilter(command, input, output);
    curProcess = pid;
    externalFilter = 1;
    return 1;
}

int CreateSocketAddress(sockaddr_in* address, const char* host, int port)
{
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    if (host == nullptr)
        return 1;
    if (::inet_pton(AF_INET, host, &address->sin_addr) == 1)
        return 1;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return 0;
    address->sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return 1;
}

int ExternalFilterCheck(ClientContext* context)
{
    if (!externalFilter || (mh != nullptr && !CheckMatch(*context, mh.get())))
        return 335;
    if (restartFilter) {
        SwitchOff();
        return 335;
    }
    if (!SendAll(context->buffer, context->articleLength)) {
        int error = errno;
        LogFormat("external filter write failure, err=%u, length=%u, count=%u, WSAErr=%u",
                  static_cast<unsigned>(error), context->articleLength, 0u, static_cast<unsigned>(error));
        restartFilter = 1;
        return 335;
    }
    if (!SendAll("\r\n.\r\n", 5))
        return FailExchange("write", errno);
    char reply[kReplySize + 1];
    ssize_t got = ::recv(ours.get(), reply, kReplySize, 0);
    // 0 bytes means the filter has gone, not an empty reply.
    if (got <= 0)
        return FailExchange("read", got == 0 ? 0 : errno);
    reply[got < 3 ? got : 3] = '\0';
    int code = std::atoi(reply);
    if (code == 999) {
        std::fputs("hey there is not response\n", stdout);
        std::fflush(stdout);
        return 335;
    }
    return code;
}

void filterclose()
{
    ours.reset();
    StopChild(kCloseGraceMs);
    externalFilter = 0;
}
