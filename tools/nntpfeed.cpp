// nntpfeed: a load generator that feeds generated articles to an NNTP server
// over CHECK/TAKETHIS, TAKETHIS alone or IHAVE, on one or more connections,
// and reports the rate. Progress goes to standard error once a second, the
// summary line to standard output.
//
//   nntpfeed [-H host] [-p port] [-n count] [-s size] [-c connections]
//            [-g group,group...] [-m stream|takethis|ihave|check] [-w window]
//            [-P prefix] [-S] [-t seconds]
//
// -n is the total over all connections; -w is the number of commands kept
// outstanding per streaming connection; -P sets the message-ID prefix (the
// default is unique per run); -S gives every connection the same
// message-IDs, so the connections offer each other's articles. The mode
// "check" only offers: a "238" counts as accepted and no article is sent.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace {

enum class Mode { kStream, kTakethis, kIhave, kCheck };

struct Options {
    std::string host = "127.0.0.1";
    int port = 119;
    uint32_t count = 100000;
    uint32_t size = 3000;
    uint32_t connections = 1;
    std::vector<std::string> groups{"misc.test"};
    Mode mode = Mode::kStream;
    uint32_t window = 256;
    std::string prefix;
    bool sharedIds = false;
    int seconds = 600;
};

struct Counters {
    std::atomic<uint64_t> offered{0};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> refused{0};   // the server has it already (435, 438)
    std::atomic<uint64_t> rejected{0};  // offered but not taken (437, 439)
    std::atomic<uint64_t> bytes{0};     // article bytes sent
};

Options options;
Counters counters;
std::atomic<bool> stopFeeding{false};
std::string dateLine;
std::string body;

// What a reply in the queue answers.
enum class Sent : uint8_t { kCheck, kTakethis, kIhave, kIhaveText };

struct Outstanding {
    Sent what;
    uint32_t index;
};

[[noreturn]] void Usage()
{
    std::fprintf(stderr,
                 "usage: nntpfeed [-H host] [-p port] [-n count] [-s size] [-c connections]\n"
                 "                [-g group,group...] [-m stream|takethis|ihave|check] [-w window]\n"
                 "                [-P prefix] [-S] [-t seconds]\n");
    std::exit(2);
}

std::vector<std::string> SplitGroups(std::string_view text)
{
    std::vector<std::string> groups;
    while (!text.empty()) {
        size_t comma = text.find(',');
        if (comma != 0)
            groups.emplace_back(text.substr(0, comma));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return groups;
}

void ParseOptions(int argc, char** argv)
{
    int opt;
    while ((opt = ::getopt(argc, argv, "H:p:n:s:c:g:m:w:P:St:")) != -1) {
        switch (opt) {
        case 'H': options.host = optarg; break;
        case 'p': options.port = std::atoi(optarg); break;
        case 'n': options.count = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10)); break;
        case 's': options.size = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10)); break;
        case 'c': options.connections = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10)); break;
        case 'g': options.groups = SplitGroups(optarg); break;
        case 'w': options.window = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10)); break;
        case 'P': options.prefix = optarg; break;
        case 'S': options.sharedIds = true; break;
        case 't': options.seconds = std::atoi(optarg); break;
        case 'm':
            if (std::strcmp(optarg, "stream") == 0)
                options.mode = Mode::kStream;
            else if (std::strcmp(optarg, "takethis") == 0)
                options.mode = Mode::kTakethis;
            else if (std::strcmp(optarg, "ihave") == 0)
                options.mode = Mode::kIhave;
            else if (std::strcmp(optarg, "check") == 0)
                options.mode = Mode::kCheck;
            else
                Usage();
            break;
        default: Usage();
        }
    }
    if (options.connections == 0 || options.window == 0 || options.groups.empty() || optind != argc)
        Usage();
    if (options.mode == Mode::kIhave)
        options.window = 1;  // IHAVE is lock-step
    if (options.prefix.empty())
        options.prefix = std::to_string(::time(nullptr)) + "." + std::to_string(::getpid());
}

// The Date: line and a body of 72-byte lines that brings an article to
// about the size asked for; every article shares them.
void PrepareTemplates()
{
    char date[64];
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    ::gmtime_r(&now, &tm);
    std::strftime(date, sizeof date, "Date: %a, %d %b %Y %H:%M:%S +0000\r\n", &tm);
    dateLine = date;
    constexpr uint32_t kHeaderEstimate = 220;
    uint32_t wanted = options.size > kHeaderEstimate ? options.size - kHeaderEstimate : 0;
    for (uint32_t line = 0; body.size() < wanted; ++line) {
        char text[80];
        std::snprintf(text, sizeof text, "%06u the quick brown fox jumps over the lazy dog, "
                      "again and again and!\r\n", line);
        body += text;
    }
}

class Feeder {
public:
    Feeder(uint32_t number, uint32_t first, uint32_t count) : number_(number), first_(first), count_(count) {}

    bool Connect();
    bool Run();

private:
    void AppendId(uint32_t index);
    void AppendArticle(uint32_t index);
    void Queue(Sent what, uint32_t index);
    void Handle(std::string_view line);
    bool Flush();
    bool Receive();
    bool ReadLine(std::string& line);
    bool Command(std::string_view command, std::string& reply);

    uint32_t number_;
    uint32_t first_;
    uint32_t count_;
    uint32_t next_ = 0;   // articles offered so far
    uint32_t done_ = 0;   // articles answered for good
    UniqueFd fd_;
    std::string out_;
    size_t outFrom_ = 0;
    std::string in_;
    size_t inFrom_ = 0;
    std::vector<Outstanding> ring_;
    size_t ringHead_ = 0;
    size_t ringCount_ = 0;
    bool failed_ = false;
};

bool Feeder::Connect()
{
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(options.host.c_str(), std::to_string(options.port).c_str(), &hints, &found) != 0) {
        std::fprintf(stderr, "nntpfeed: cannot resolve %s\n", options.host.c_str());
        return false;
    }
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int ok = fd_ && ::connect(fd_.get(), found->ai_addr, found->ai_addrlen) == 0;
    ::freeaddrinfo(found);
    if (!ok) {
        std::fprintf(stderr, "nntpfeed: connect: %s\n", std::strerror(errno));
        return false;
    }
    int one = 1;
    ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string reply;
    if (!ReadLine(reply) || reply.compare(0, 1, "2") != 0) {
        std::fprintf(stderr, "nntpfeed: greeting: %s\n", reply.c_str());
        return false;
    }
    if (options.mode != Mode::kIhave) {
        if (!Command("MODE STREAM\r\n", reply))
            return false;
        if (reply.compare(0, 3, "203") != 0)
            std::fprintf(stderr, "nntpfeed: MODE STREAM answered \"%s\"; streaming anyway\n", reply.c_str());
    }
    ring_.resize(options.window + 1);
    return true;
}

void Feeder::AppendId(uint32_t index)
{
    char id[160];
    int n = options.sharedIds
                ? std::snprintf(id, sizeof id, "<%s.%u@nntpfeed>", options.prefix.c_str(), first_ + index)
                : std::snprintf(id, sizeof id, "<%s.%u.%u@nntpfeed>", options.prefix.c_str(), number_,
                                first_ + index);
    out_.append(id, static_cast<size_t>(n));
}

void Feeder::AppendArticle(uint32_t index)
{
    size_t start = out_.size();
    out_ += "Path: nntpfeed!not-for-mail\r\nFrom: nntpfeed <feed@nntpfeed.invalid>\r\nNewsgroups: ";
    out_ += options.groups[(first_ + index) % options.groups.size()];
    out_ += "\r\nSubject: generated article ";
    out_ += std::to_string(first_ + index);
    out_ += "\r\nMessage-ID: ";
    AppendId(index);
    out_ += "\r\n";
    out_ += dateLine;
    out_ += "\r\n";
    out_ += body;
    counters.bytes += out_.size() - start;
    out_ += ".\r\n";
}

void Feeder::Queue(Sent what, uint32_t index)
{
    switch (what) {
    case Sent::kCheck: out_ += "CHECK "; break;
    case Sent::kTakethis: out_ += "TAKETHIS "; break;
    case Sent::kIhave: out_ += "IHAVE "; break;
    case Sent::kIhaveText: break;
    }
    if (what != Sent::kIhaveText) {
        AppendId(index);
        out_ += "\r\n";
    }
    if (what == Sent::kTakethis || what == Sent::kIhaveText)
        AppendArticle(index);
    ring_[(ringHead_ + ringCount_) % ring_.size()] = {what, index};
    ++ringCount_;
}

// One reply, matched with the oldest command still waiting for one.
void Feeder::Handle(std::string_view line)
{
    if (ringCount_ == 0) {
        std::fprintf(stderr, "nntpfeed: unexpected reply \"%.*s\"\n", static_cast<int>(line.size()), line.data());
        failed_ = true;
        return;
    }
    Outstanding sent = ring_[ringHead_];
    ringHead_ = (ringHead_ + 1) % ring_.size();
    --ringCount_;
    std::string_view code = line.substr(0, 3);
    bool finished = true;
    if (code == "238" && options.mode == Mode::kCheck) {
        ++counters.accepted;
    } else if (code == "238") {
        Queue(Sent::kTakethis, sent.index);
        finished = false;
    } else if (code == "335") {
        Queue(Sent::kIhaveText, sent.index);
        finished = false;
    } else if (code == "239" || code == "235") {
        ++counters.accepted;
    } else if (code == "438" || code == "435") {
        ++counters.refused;
    } else if (code == "439" || code == "437") {
        ++counters.rejected;
    } else {
        std::fprintf(stderr, "nntpfeed: reply \"%.*s\"\n", static_cast<int>(line.size()), line.data());
        failed_ = true;
    }
    done_ += finished ? 1 : 0;
}

bool Feeder::Flush()
{
    while (outFrom_ < out_.size()) {
        ssize_t sent = ::send(fd_.get(), out_.data() + outFrom_, out_.size() - outFrom_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (sent <= 0) {
            std::fprintf(stderr, "nntpfeed: send: %s\n", std::strerror(errno));
            return false;
        }
        outFrom_ += static_cast<size_t>(sent);
    }
    if (outFrom_ == out_.size()) {
        out_.clear();
        outFrom_ = 0;
    }
    return true;
}

bool Feeder::Receive()
{
    if (inFrom_ > 0) {
        in_.erase(0, inFrom_);
        inFrom_ = 0;
    }
    char chunk[65536];
    ssize_t got = ::recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    if (got <= 0) {
        std::fprintf(stderr, "nntpfeed: connection %u closed by the server\n", number_);
        return false;
    }
    in_.append(chunk, static_cast<size_t>(got));
    return true;
}

// Blocking read of one line, for the greeting and MODE STREAM.
bool Feeder::ReadLine(std::string& line)
{
    for (;;) {
        size_t end = in_.find("\r\n", inFrom_);
        if (end != std::string::npos) {
            line.assign(in_, inFrom_, end - inFrom_);
            inFrom_ = end + 2;
            return true;
        }
        pollfd entry {fd_.get(), POLLIN, 0};
        if (::poll(&entry, 1, options.seconds * 1000) <= 0 || !Receive())
            return false;
    }
}

bool Feeder::Command(std::string_view command, std::string& reply)
{
    out_.append(command);
    while (!out_.empty())
        if (!Flush())
            return false;
    return ReadLine(reply);
}

bool Feeder::Run()
{
    Sent offer = options.mode == Mode::kTakethis ? Sent::kTakethis
                 : options.mode == Mode::kIhave    ? Sent::kIhave
                                                   : Sent::kCheck;
    while (done_ < count_ && !failed_ && !stopFeeding) {
        while (ringCount_ < options.window && next_ < count_) {
            Queue(offer, next_++);
            ++counters.offered;
        }
        pollfd entry {fd_.get(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
        if (::poll(&entry, 1, 1000) < 0 && errno != EINTR)
            return false;
        if ((entry.revents & POLLOUT) != 0 && !Flush())
            return false;
        if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !Receive())
            return false;
        for (size_t end; (end = in_.find("\r\n", inFrom_)) != std::string::npos; inFrom_ = end + 2)
            Handle(std::string_view(in_).substr(inFrom_, end - inFrom_));
    }
    std::string reply;
    if (!failed_ && !stopFeeding)
        Command("QUIT\r\n", reply);
    return !failed_ && done_ == count_;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv)
{
    ParseOptions(argc, argv);
    PrepareTemplates();
    std::vector<Feeder> feeders;
    uint32_t share = options.count / options.connections;
    for (uint32_t i = 0; i < options.connections; ++i) {
        uint32_t first = options.sharedIds ? 0 : i * share;
        uint32_t count = options.sharedIds || i + 1 < options.connections ? share : options.count - i * share;
        feeders.emplace_back(i, first, options.sharedIds ? options.count : count);
    }
    for (auto& feeder : feeders)
        if (!feeder.Connect())
            return 1;

    auto start = std::chrono::steady_clock::now();
    std::atomic<uint32_t> running{options.connections};
    std::atomic<bool> allOk{true};
    std::vector<std::thread> threads;
    for (auto& feeder : feeders)
        threads.emplace_back([&feeder, &running, &allOk] {
            if (!feeder.Run())
                allOk = false;
            --running;
        });
    for (int tick = 1; running > 0; ++tick) {
        while (running > 0 && Seconds(start) < tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (running == 0)
            break;
        std::fprintf(stderr, "%4ds offered %llu accepted %llu refused %llu rejected %llu\n", tick,
                     static_cast<unsigned long long>(counters.offered.load()),
                     static_cast<unsigned long long>(counters.accepted.load()),
                     static_cast<unsigned long long>(counters.refused.load()),
                     static_cast<unsigned long long>(counters.rejected.load()));
        if (tick >= options.seconds) {
            std::fprintf(stderr, "nntpfeed: time limit reached\n");
            stopFeeding = true;
        }
    }
    for (auto& thread : threads)
        thread.join();
    double seconds = Seconds(start);
    uint64_t answered = counters.accepted + counters.refused + counters.rejected;
    std::printf("articles %llu accepted %llu refused %llu rejected %llu seconds %.2f articles/s %.0f MB/s %.1f\n",
                static_cast<unsigned long long>(answered), static_cast<unsigned long long>(counters.accepted.load()),
                static_cast<unsigned long long>(counters.refused.load()),
                static_cast<unsigned long long>(counters.rejected.load()), seconds,
                seconds > 0 ? static_cast<double>(answered) / seconds : 0.0,
                seconds > 0 ? static_cast<double>(counters.bytes) / seconds / 1e6 : 0.0);
    return allOk ? 0 : 1;
}
