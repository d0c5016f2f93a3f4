// Accept loop with its admission checks. Runs on the start-up thread for the
// life of the server; each admitted peer gets a thread running the command
// loop. Admission does no name look-up of its own.
#include "server/accept.h"
#include "server/accept_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "access/incoming.h"
#include "article/inject.h"
#include "nntp/nntp.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/tls.h"
#include "platform/transport.h"
#include "platform/unique_fd.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"

namespace {

constexpr const char* kHomePage = "http://www.verdalix.org/";
constexpr size_t kBannerLimit = 70;
constexpr size_t kMessageLimit = 200;
constexpr const char* kSystemBacklogLimit = "/proc/sys/net/core/somaxconn";

// The prepared reply lines, built once before the first accept.
std::string greetingFeed;   // "200 ..." for peers that feed or post
std::string greetingRead;   // "201 ..." for readers
std::string systemTooMany;
std::string noAccess;
std::string siteTooMany;

std::string ConfiguredText(ConfigKey key, size_t limit, const char* builtIn)
{
    const char* value = ConfigText(key);
    if (value != nullptr && std::strlen(value) <= limit)
        return value;
    return std::string(builtIn) + kHomePage;
}

void PrepareLines()
{
    std::string banner = ConfiguredText(ConfigKey::kConnectBanner, kBannerLimit, "Verdalix 2.0b1 -- ");
    greetingFeed = "200 " + banner + "\r\n";
    greetingRead = "201 " + banner + "\r\n";
    systemTooMany = "400 " +
                    ConfiguredText(ConfigKey::kSystemTooManyMessage, kMessageLimit,
                                   "System connection limit reached -- Verdalix Internet News Server -- ") +
                    "\r\n";
    noAccess = "502 " +
               ConfiguredText(ConfigKey::kNoAccessMessage, kMessageLimit, "No Access -- Verdalix Internet News Server -- ") +
               "\r\n";
    siteTooMany = "400 " +
                  ConfiguredText(ConfigKey::kSiteTooManyMessage, kMessageLimit,
                                 "Site connection limit reached -- Verdalix Internet News Server -- ") +
                  "\r\n";
}

// ListenAddress is an IPv4 or an IPv6 literal; unset is every IPv4 address,
// "::" every address of both families.
bool ListenAddress(ConfigKey portKey, NetAddress& address)
{
    int port = ConfigNumber(portKey);
    if (port <= 0 || port > 65535)
        return false;
    address = NetAddress{};
    address.port = static_cast<uint16_t>(port);
    address.v4 = htonl(INADDR_ANY);
    const char* host = ConfigText(ConfigKey::kListenAddress);
    return host == nullptr || ParseNetAddress(host, &address);
}

// The kernel's cap on listen backlogs, or 0 when it cannot be read.
int SystemBacklogLimit()
{
    std::ifstream file(kSystemBacklogLimit);
    int limit = 0;
    return file >> limit && limit > 0 ? limit : 0;
}

// The listening socket, opened by AcceptConnections on the interpreter's
// thread and taken by the accept loop once readyToGo is set.
UniqueFd listening;

// "cannot listen on <address>:<port>: <step>: <system error>".
std::string ListenFailure(ConfigKey portKey, const char* step, int error)
{
    const char* host = ConfigText(ConfigKey::kListenAddress);
    char text[512];
    std::snprintf(text, sizeof text, "cannot listen on %s:%d: %s: %s", host != nullptr ? host : "*",
                  ConfigNumber(portKey), step, std::strerror(error));
    return text;
}

// SO_REUSEADDR lets a restart bind while old connections linger in TIME_WAIT.
std::string OpenListener(UniqueFd* opened, ConfigKey portKey = ConfigKey::kListenPort)
{
    NetAddress address;
    if (!ListenAddress(portKey, address))
        return ListenFailure(portKey, "ListenAddress or the port is not an address and port", EINVAL);
    UniqueFd listener = NewTcpSocket(address.family);
    if (!listener)
        return ListenFailure(portKey, "socket", errno);
    SetNoDelay(listener.get());  // accepted sockets inherit it
    SetReuseAddress(listener.get());
    if (!BindNetAddress(listener.get(), address))
        return ListenFailure(portKey, "bind", errno);
    if (!ListenSocket(listener.get(), ListenBacklog()))
        return ListenFailure(portKey, "listen", errno);
    *opened = std::move(listener);
    return {};
}

bool SendLine(int socket, const std::string& line)
{
    return SendAll(socket, line.data(), line.size());
}

[[noreturn]] void SleepForever()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

void FillContext(ClientContext* ctx, IncomingEntry* entry, const NetAddress& peer)
{
    ctx->incomingEntry = entry;
    ctx->peerName = entry->host;
    FormatNetPeer(peer, ctx->peerAddress, sizeof ctx->peerAddress);
    ctx->peer = peer;
    ctx->connectTime = std::time(nullptr);
}

// Greets the peer; false when the greeting fails.
bool Greet(ClientContext* ctx)
{
    bool feeds = (ctx->incomingEntry->rights & (kRightFeed | kRightPost)) != 0;
    const std::string& greeting = feeds ? greetingFeed : greetingRead;
    return TransportWrite(ctx->transport, greeting.data(), greeting.size());
}

// Takes an admitted connection back out of its peer's count and the total.
void CountOut(IncomingEntry* entry)
{
    if (entry != nullptr)
        --entry->connected;
    --TotalConnected;
}

// A connection of the TLS port: the handshake and the greeting on the
// session's thread, so a slow or hostile peer holds up no other.
void RunTlsSession(ClientContext* ctx)
{
    std::string problem;
    if (!TlsAccept(ctx->transport, &problem) || !Greet(ctx)) {
        LogFormat("tls: %s (%s): %s", ctx->peerAddress, ctx->peerName,
                  problem.empty() ? "the greeting failed" : problem.c_str());
        CountOut(ctx->incomingEntry);
        ReleaseConnection(ctx);
        return;
    }
    if (!problem.empty())
        LogFormat("TLS certificate kept: %s", problem.c_str());
    RunSession(ctx);
}

void StartSession(ClientContext* ctx, bool tls)
{
    if (!StartThread("session", [ctx, tls] { tls ? RunTlsSession(ctx) : RunSession(ctx); })) {
        LogLine("oops, couldn't start thread\n");
        CountOut(ctx->incomingEntry);
        ReleaseConnection(ctx);
    }
}

// Admits one accepted peer or refuses it with its reply line and log line.
// A peer of the TLS port is refused without a line, which it could not read.
void Admit(UniqueFd socket, const NetAddress& peer, bool tls)
{
    auto Refuse = [tls, &socket](const std::string& line) {
        if (!tls)
            SendLine(socket.get(), line);
    };
    SetTimeouts(socket.get(), ConfigNumber(ConfigKey::kClientTimeout, 1) * 1000L);
    char dotted[INET6_ADDRSTRLEN];
    FormatNetAddress(peer, dotted, sizeof dotted);
    if (TotalConnected >= MaxConnections) {
        Refuse(systemTooMany);
        LogFormat("chopped %s, system connection limit (%u) reached\n", dotted, MaxConnections.load());
        return;
    }
    IncomingEntry* entry = peer.family == AF_INET ? CheckIncoming(peer.v4) : CheckIncoming6(peer.v6);
    if (entry == nullptr) {
        Refuse(noAccess);
        LogFormat("chopped %s, no access\n", dotted);
        return;
    }
    // CheckIncoming counted this peer in the entry: kept if admitted, else taken back.
    if (static_cast<int64_t>(entry->connected) - 1 >= static_cast<int64_t>(entry->maxConnections)) {
        --entry->connected;
        Refuse(siteTooMany);
        LogFormat("chopped %s (%s), connection limit (%u) reached\n", dotted, entry->host,
                  entry->maxConnections.load());
        return;
    }
    SetKeepAlive(socket.get());
    ClientContext* ctx = AllocClientContext();
    if (ctx == nullptr) {
        --entry->connected;
        Refuse("400 Server Throttled\r\n");
        LogLine("oops, couldn't alloc context\n");
        return;
    }
    ctx->transport.fd = socket.release();
    FillContext(ctx, entry, peer);
    if (!tls && !Greet(ctx)) {
        --entry->connected;
        AddContextToFreeList(ctx);
        return;
    }
    ++entry->connects;
    ++TotalConnected;
    LogFormat("connect: %s (%s)%s", ctx->peerAddress, ctx->peerName, tls ? " tls" : "");
    StartSession(ctx, tls);
}

}  // namespace

// Counted out before the socket closes, so a peer that saw its connection
// end finds its place free again.
void RunSession(ClientContext* ctx)
{
    nntp(ctx);
    if (ctx->kind != 0)
        --(ctx->kind == kConnectionFeeder ? feedersConnected : readersConnected);
    CountOut(ctx->incomingEntry);
    ReleaseConnection(ctx);
}

int ListenBacklog()
{
    // The default stands for a value below 1, which listen would take as 0.
    int backlog = ConfigNumber(ConfigKey::kListenBacklog, 1);
    int limit = SystemBacklogLimit();
    return limit > 0 ? std::min(backlog, limit) : backlog;
}

std::string StartListening()
{
    if (listening)
        return {};
    std::string problem = OpenListener(&listening);
    if (problem.empty()) {
        NotifyServiceManager("READY=1");
    } else {
        LogLine(problem.c_str());
        NotifyServiceManager(("STATUS=" + problem).c_str());
    }
    return problem;
}

std::string CheckListening()
{
    UniqueFd trial;
    return OpenListener(&trial);
}

namespace {

// Accepts on `listener` for ever.
[[noreturn]] void AcceptLoop(int listener, bool tls)
{
    for (;;) {
        NetAddress peer;
        UniqueFd socket = AcceptNetPeer(listener, &peer);
        int error = errno;
        if (bShutDown != 0)
            SleepForever();
        if (!socket) {
            LogFormat("oops, accept() failed, %u\n", static_cast<unsigned>(error));
            // Out of descriptors fails at once: pause so the log is not flooded.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        Admit(std::move(socket), peer, tls);
    }
}

// Loads the certificate and opens TLSListenPort on its own accept thread
// when both are configured; a failure is logged and leaves TLS off.
void StartTls()
{
    const char* certificate = ConfigText(ConfigKey::kTLSCertificateFile);
    const char* key = ConfigText(ConfigKey::kTLSKeyFile);
    if (certificate == nullptr || key == nullptr) {
        if (ConfigNumber(ConfigKey::kTLSListenPort) != 0)
            LogLine("TLSListenPort needs TLSCertificateFile and TLSKeyFile: no TLS port");
        return;
    }
    if (std::string problem = TlsServerInit(certificate, key); !problem.empty()) {
        LogFormat("no TLS: %s", problem.c_str());
        return;
    }
    if (ConfigNumber(ConfigKey::kTLSListenPort) == 0)
        return;
    UniqueFd listener;
    if (std::string problem = OpenListener(&listener, ConfigKey::kTLSListenPort); !problem.empty()) {
        LogLine(problem.c_str());
        return;
    }
    const int fd = listener.release();
    StartThread("tls accept", [fd] { AcceptLoop(fd, true); });
}

}  // namespace

int DoConnections()
{
    while (readyToGo == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The script has named the stores and groups: posts can go in now, the
    // ones left from before first.
    InjectorStart();
    if (!StartListening().empty())
        return 0;
    UniqueFd listener = std::move(listening);
    // Unset, the limit stays as the start-up script's SetGlobal left it.
    if (ConfigValue(ConfigKey::kMaxIncomingConnections) != nullptr)
        MaxConnections = static_cast<uint32_t>(ConfigNumber(ConfigKey::kMaxIncomingConnections));
    PrepareLines();
    SetPromptPoll(ConfigNumber(ConfigKey::kReadPollMicroseconds, 0));
    StartTls();
    AcceptLoop(listener.get(), false);
}
