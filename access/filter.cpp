// External article filter. The program runs as a child in its own session
// with one end of a loopback TCP connection as its standard input, output and
// error; each exchange is the article with a dot line out and a three-digit
// code back.
#include "access/filter.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "access/filter_internal.h"
#include "access/match.h"
#include "platform/child.h"
#include "platform/socket.h"
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

// Only our end gets the time-outs: on the filter's end they would make its
// reads of standard input fail whenever no article came for that long.
bool SetServerSocketOptions(int fd)
{
    return SetTimeouts(fd, timeoutMs) && SetNoDelay(fd);
}

// Binds a new listener to the next free loopback port at or after port + 1.
UniqueFd BindListener()
{
    UniqueFd listener = NewTcpSocket();
    if (!listener)
        return {};
    sockaddr_in address {};
    for (++port; port <= kLastPort; ++port) {
        CreateSocketAddress(&address, "127.0.0.1", port);
        if (BindSocket(listener.get(), address))
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
    if (!LocalAddress(connector, &own))
        return {};
    for (int tries = 0; tries <= kListenBacklog; ++tries) {
        sockaddr_in peer {};
        UniqueFd accepted = AcceptSocket(listener, &peer);
        if (!accepted)
            return {};
        if (SameAddress(peer, own))
            return accepted;
    }
    return {};
}

// Waits up to graceMs for the child to end, then kills its whole session.
void StopChild(int graceMs)
{
    if (curProcess <= 0)
        return;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    bool done = ChildEnded(curProcess);
    while (!done && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        done = ChildEnded(curProcess);
    }
    if (!done)
        KillChildSession(curProcess);
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
    if (!listener || !ListenSocket(listener.get(), kListenBacklog))
        return 0;
    sockaddr_in address {};
    if (!LocalAddress(listener.get(), &address))
        return 0;
    UniqueFd connector = NewTcpSocket();
    sockaddr_in any {};
    CreateSocketAddress(&any, "127.0.0.1", 0);
    if (!connector || !BindSocket(connector.get(), any) || !ConnectSocket(connector.get(), address) ||
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
    pid_t pid = StartShellCommand(command, input, output);
    if (pid < 0)
        return 0;
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
    std::vector<uint32_t> found;
    if (!ResolveHost(host, &found) || found.empty())
        return 0;
    address->sin_addr.s_addr = found[0];
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
    if (!SendAll(ours.get(), context->buffer, context->articleLength)) {
        int error = errno;
        LogFormat("external filter write failure, err=%u, length=%u, count=%u, WSAErr=%u",
                  static_cast<unsigned>(error), context->articleLength, 0u, static_cast<unsigned>(error));
        restartFilter = 1;
        return 335;
    }
    if (!SendAll(ours.get(), "\r\n.\r\n", 5))
        return FailExchange("write", errno);
    char reply[kReplySize + 1];
    ssize_t got = ReceiveSome(ours.get(), reply, kReplySize);
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
