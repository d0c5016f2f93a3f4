// The control socket. One thread accepts; each client has a thread of its
// own that reads its lines and hands each to the interpreter thread as a Tcl
// event, then waits for the answer. The interpreter is never touched off its
// thread, and a slow or silent client never holds it up.
#include "control/control_socket.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/process.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/unique_fd.h"
#include "server/config.h"
#include "server/log.h"

namespace {

// A request line may be this long; more without a line end cuts the client off.
constexpr size_t kMaxRequest = 65536;
// Clients served at once; more are told so and closed.
constexpr int kMaxClients = 8;
// An idle client is let go after this long.
constexpr long kIdleMilliseconds = 600 * 1000;

std::atomic<int> clients{0};

// One request on its way to the interpreter and back. Shared by the client
// thread and the Tcl event, so that a client that stopped waiting leaves
// nothing dangling.
struct Request {
    std::string command;
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool ok = false;
    std::string result;
};

// Set once by the interpreter thread; a request made before waits here, up
// to its time limit.
struct InterpreterLink {
    std::mutex lock;
    std::condition_variable attached;
    Tcl_Interp* interp = nullptr;
    Tcl_ThreadId thread{};
};

InterpreterLink& Link()
{
    static Lasting<InterpreterLink> link;
    return *link;
}

struct RequestEvent {
    Tcl_Event header;  // first: Tcl frees the event through it
    std::shared_ptr<Request>* request;
};

int TimeLimitSeconds()
{
    return ConfigNumber(ConfigKey::kControlTimeLimit, 1);
}

// On the interpreter thread: evaluate under the time limit, then lift it so
// that the start-up script's later work (none runs today) is not bound by it.
void Evaluate(Tcl_Interp* interp, Request& request)
{
    if (logcmds != 0)
        LogFormat("control: %.1000s", request.command.c_str());
    Tcl_Time deadline;
    Tcl_GetTime(&deadline);
    deadline.sec += TimeLimitSeconds();
    Tcl_LimitTypeSet(interp, TCL_LIMIT_TIME);
    Tcl_LimitSetTime(interp, &deadline);
    Tcl_LimitSetGranularity(interp, TCL_LIMIT_TIME, 1);
    const int code =
        Tcl_EvalEx(interp, request.command.data(), static_cast<int>(request.command.size()), TCL_EVAL_GLOBAL);
    Tcl_LimitTypeReset(interp, TCL_LIMIT_TIME);
    std::lock_guard lock(request.lock);
    request.ok = code == TCL_OK;
    request.result = Tcl_GetStringResult(interp);
    request.finished = true;
    request.done.notify_all();
}

int RunRequestEvent(Tcl_Event* event, int)
{
    auto* requestEvent = reinterpret_cast<RequestEvent*>(event);
    std::unique_ptr<std::shared_ptr<Request>> request(requestEvent->request);
    Evaluate(Link().interp, **request);
    return 1;
}

// Queues the request on the interpreter thread, once there is one.
bool Post(const std::shared_ptr<Request>& request, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(Link().lock);
    if (!Link().attached.wait_until(lock, deadline, [] { return Link().interp != nullptr; }))
        return false;
    auto* event = reinterpret_cast<RequestEvent*>(Tcl_Alloc(sizeof(RequestEvent)));
    event->header.proc = RunRequestEvent;
    event->header.nextPtr = nullptr;
    event->request = new std::shared_ptr<Request>(request);
    Tcl_ThreadQueueEvent(Link().thread, &event->header, TCL_QUEUE_TAIL);
    Tcl_ThreadAlert(Link().thread);
    return true;
}

// The reply to one request line; false when the client is to be cut off.
bool Answer(std::string command, std::string* reply)
{
    const int seconds = TimeLimitSeconds();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto request = std::make_shared<Request>();
    request->command = std::move(command);
    if (Post(request, deadline)) {
        std::unique_lock lock(request->lock);
        if (request->done.wait_until(lock, deadline + std::chrono::seconds(1), [&] { return request->finished; })) {
            *reply = FrameControlReply(request->ok, request->result);
            return true;
        }
    }
    *reply = FrameControlReply(false, "request ran longer than " + std::to_string(seconds) +
                                          " seconds (ControlTimeLimit); connection closed");
    return false;
}

bool Send(int fd, const std::string& text)
{
    return SendAll(fd, text.data(), text.size());
}

// Serves one client: a request per line until it leaves, errs or overruns.
void ServeClient(UniqueFd client)
{
    std::string pending;
    char chunk[4096];
    for (;;) {
        size_t end;
        while ((end = pending.find('\n')) == std::string::npos) {
            if (pending.size() > kMaxRequest) {
                Send(client.get(), FrameControlReply(false, "request longer than 65536 bytes; connection closed"));
                return;
            }
            const ssize_t got = ReceiveSome(client.get(), chunk, sizeof chunk);
            if (got <= 0)
                return;
            pending.append(chunk, static_cast<size_t>(got));
        }
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::string reply;
        const bool keep = Answer(std::move(line), &reply);
        if (!Send(client.get(), reply) || !keep)
            return;
    }
}

[[noreturn]] void AcceptLoop(UniqueFd listener)
{
    for (;;) {
        UniqueFd client = AcceptLocal(listener.get());
        if (!client)
            continue;
        SetTimeouts(client.get(), kIdleMilliseconds);
        if (clients.fetch_add(1) >= kMaxClients) {
            --clients;
            Send(client.get(), FrameControlReply(false, "too many control clients; try again later"));
            continue;
        }
        // Shared, so that a thread the system refuses still closes the client.
        auto held = std::make_shared<UniqueFd>(std::move(client));
        if (!StartThread("control client", [held] {
                ServeClient(std::move(*held));
                --clients;
            }))
            --clients;
    }
}

}  // namespace

std::string ControlSocketPath()
{
    if (const char* path = ConfigText(ConfigKey::kControlSocket))
        return path;
    return std::string(ConfigText(ConfigKey::kLogDirectory)) + "/verdalix.ctl";
}

void ControlSocketInit()
{
    const std::string path = ControlSocketPath();
    UniqueFd listener = ListenLocal(path.c_str(), kMaxClients);
    if (!listener && errno == EADDRINUSE) {
        const std::string text = "control socket " + path +
                                 " is in use: is another server running with this "
                                 "configuration?";
        LogLine(text.c_str());
        FatalExit(text.c_str());
    }
    if (!listener) {
        LogFormat("cannot open the control socket %s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    auto held = std::make_shared<UniqueFd>(std::move(listener));
    StartThread("control socket", [held] { AcceptLoop(std::move(*held)); });
}

void ControlSocketAttach(Tcl_Interp* interp)
{
    std::lock_guard lock(Link().lock);
    Link().interp = interp;
    Link().thread = Tcl_GetCurrentThread();
    Link().attached.notify_all();
}

std::string FrameControlReply(bool ok, std::string_view text)
{
    const std::string_view word = ok ? "OK" : "ERR";
    std::string reply;
    reply.reserve(text.size() + 8);
    for (;;) {
        const size_t end = text.find('\n');
        reply.append(word);
        reply += end == std::string_view::npos ? ' ' : '-';
        const std::string_view line = text.substr(0, end);
        const size_t from = reply.size();
        reply.append(line);
        std::replace(reply.begin() + static_cast<std::ptrdiff_t>(from), reply.end(), '\r', ' ');
        reply += '\n';
        if (end == std::string_view::npos)
            return reply;
        text.remove_prefix(end + 1);
    }
}
