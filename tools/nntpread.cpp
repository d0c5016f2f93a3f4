// nntpread: a reader load generator. Each connection selects a group and
// then, for the given time, repeats one of these:
//   xover    GROUP and XOVER over the whole group (lines per second)
//   over     the same with OVER
//   article  ARTICLE by number for every article of the group, one at a time
//   id       ARTICLE by message-ID (taken from one XOVER first), one at a time
//   handshake  connect, read the greeting and QUIT, again and again (with -T,
//            TLS handshakes per second)
// and the summary line goes to standard output. Feed the group first, for
// instance with nntpfeed. With -T the connections speak TLS from the start
// (the server's TLS port); the certificate is not checked, as this measures
// speed only.
//
//   nntpread [-H host] [-p port] [-g group] [-m xover|over|article|id|handshake]
//            [-c connections] [-t seconds] [-T]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace {

enum class Mode { kXover, kOver, kArticle, kId, kHandshake };

struct Options {
    std::string host = "127.0.0.1";
    int port = 119;
    std::string group = "misc.test";
    Mode mode = Mode::kXover;
    uint32_t connections = 1;
    int seconds = 10;
    bool tls = false;
};

Options options;
std::atomic<uint64_t> totalLines{0};     // overview lines received
std::atomic<uint64_t> totalArticles{0};  // articles received
std::atomic<uint64_t> totalBytes{0};
std::atomic<uint64_t> totalConnections{0};  // greetings read
SSL_CTX* tlsContext = nullptr;
std::atomic<bool> failed{false};

[[noreturn]] void Usage()
{
    std::fprintf(stderr, "usage: nntpread [-H host] [-p port] [-g group] [-m xover|over|article|id|handshake]\n"
                         "                [-c connections] [-t seconds] [-T]\n");
    std::exit(2);
}

void ParseOptions(int argc, char** argv)
{
    int opt;
    while ((opt = ::getopt(argc, argv, "H:p:g:m:c:t:T")) != -1) {
        switch (opt) {
        case 'H': options.host = optarg; break;
        case 'p': options.port = std::atoi(optarg); break;
        case 'g': options.group = optarg; break;
        case 'c': options.connections = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10)); break;
        case 't': options.seconds = std::atoi(optarg); break;
        case 'T': options.tls = true; break;
        case 'm':
            if (std::strcmp(optarg, "xover") == 0)
                options.mode = Mode::kXover;
            else if (std::strcmp(optarg, "over") == 0)
                options.mode = Mode::kOver;
            else if (std::strcmp(optarg, "article") == 0)
                options.mode = Mode::kArticle;
            else if (std::strcmp(optarg, "id") == 0)
                options.mode = Mode::kId;
            else if (std::strcmp(optarg, "handshake") == 0)
                options.mode = Mode::kHandshake;
            else
                Usage();
            break;
        default: Usage();
        }
    }
    if (options.connections == 0 || options.seconds <= 0)
        Usage();
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "nntpread: %s\n", what);
    failed = true;
    throw std::runtime_error(what);
}

// One connection: commands out, answers read into one reused buffer.
class Connection {
public:
    Connection()
    {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(options.port));
        if (!fd_ || ::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1 ||
            ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Fail("cannot connect");
        int one = 1;
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (options.tls) {
            tls_ = SSL_new(tlsContext);
            if (tls_ == nullptr || SSL_set_fd(tls_, fd_.get()) != 1 || SSL_connect(tls_) != 1)
                Fail("TLS handshake failed");
        }
        buffer_.resize(options.mode == Mode::kHandshake ? 4096 : 1 << 20);
        if (!Answer(false).starts_with("20"))
            Fail("no greeting");
        ++totalConnections;
    }
    ~Connection()
    {
        if (tls_ != nullptr)
            SSL_free(tls_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends a command line and returns the whole answer (status line, and
    // with `multi` and a 2xx status the block through its "." line).
    std::string_view Ask(std::string_view command, bool multi)
    {
        std::string line(command);
        line += "\r\n";
        if (Send(line) != static_cast<ssize_t>(line.size()))
            Fail("send failed");
        return Answer(multi);
    }

private:
    ssize_t Send(std::string_view data)
    {
        if (tls_ != nullptr)
            return SSL_write(tls_, data.data(), static_cast<int>(data.size()));
        return ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
    }

    ssize_t Receive(char* into, size_t room)
    {
        if (tls_ != nullptr)
            return SSL_read(tls_, into, static_cast<int>(std::min<size_t>(room, 1 << 30)));
        return ::recv(fd_.get(), into, room, 0);
    }

    std::string_view Answer(bool multi)
    {
        size_t used = 0;
        for (;;) {
            if (used == buffer_.size())
                buffer_.resize(buffer_.size() * 2);
            ssize_t n = Receive(buffer_.data() + used, buffer_.size() - used);
            if (n <= 0)
                Fail("connection closed");
            used += static_cast<size_t>(n);
            std::string_view data(buffer_.data(), used);
            size_t lineEnd = data.find("\r\n");
            if (lineEnd == std::string_view::npos)
                continue;
            if (!multi || data[0] != '2')
                return data.substr(0, lineEnd + 2);
            if (data.size() >= lineEnd + 5 && data.ends_with("\r\n.\r\n"))
                return data;
        }
    }

    UniqueFd fd_;
    SSL* tls_ = nullptr;
    std::string buffer_;
};

struct GroupRange {
    uint32_t low = 0;
    uint32_t high = 0;
};

GroupRange SelectGroup(Connection& c)
{
    std::string_view reply = c.Ask("GROUP " + options.group, false);
    GroupRange range;
    if (std::sscanf(std::string(reply).c_str(), "211 %*u %u %u", &range.low, &range.high) != 2)
        Fail("group not selected");
    return range;
}

std::string XoverCommand(const GroupRange& range)
{
    return (options.mode == Mode::kOver ? "OVER " : "XOVER ") + std::to_string(range.low) + "-" +
           std::to_string(range.high);
}

uint64_t CountLines(std::string_view answer)
{
    return static_cast<uint64_t>(std::count(answer.begin(), answer.end(), '\n'));
}

// The message-ID field (the fifth) of every overview line.
std::vector<std::string> MessageIds(std::string_view answer)
{
    std::vector<std::string> ids;
    answer.remove_prefix(answer.find('\n') + 1);
    while (answer.size() > 3) {
        std::string_view line = answer.substr(0, answer.find('\n'));
        answer.remove_prefix(line.size() + 1);
        size_t field = line.find('\t');
        for (int tab = 1; tab < 4 && field != std::string_view::npos; ++tab)
            field = line.find('\t', field + 1);
        if (field == std::string_view::npos)
            continue;
        size_t end = line.find('\t', field + 1);
        ids.emplace_back(line.substr(field + 1, end - field - 1));
    }
    return ids;
}

void Run(std::chrono::steady_clock::time_point until)
{
    if (options.mode == Mode::kHandshake) {
        while (std::chrono::steady_clock::now() < until)
            Connection().Ask("QUIT", false);
        return;
    }
    Connection c;
    GroupRange range = SelectGroup(c);
    std::vector<std::string> commands;
    if (options.mode == Mode::kArticle) {
        for (uint32_t n = range.low; n <= range.high; ++n)
            commands.push_back("ARTICLE " + std::to_string(n));
    } else if (options.mode == Mode::kId) {
        for (const std::string& id : MessageIds(c.Ask(XoverCommand(range), true)))
            commands.push_back("ARTICLE " + id);
        if (commands.empty())
            Fail("no message-IDs in the overview");
    }
    while (std::chrono::steady_clock::now() < until) {
        if (options.mode == Mode::kXover || options.mode == Mode::kOver) {
            range = SelectGroup(c);
            std::string_view answer = c.Ask(XoverCommand(range), true);
            totalLines += CountLines(answer) - 2;
            totalBytes += answer.size();
            continue;
        }
        for (const std::string& command : commands) {
            std::string_view answer = c.Ask(command, true);
            if (answer.starts_with("220")) {
                ++totalArticles;
                totalBytes += answer.size();
            }
            if (std::chrono::steady_clock::now() >= until)
                break;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    ParseOptions(argc, argv);
    if (options.tls) {
        tlsContext = SSL_CTX_new(TLS_client_method());
        if (tlsContext == nullptr)
            return 1;
        SSL_CTX_set_verify(tlsContext, SSL_VERIFY_NONE, nullptr);
    }
    auto start = std::chrono::steady_clock::now();
    auto until = start + std::chrono::seconds(options.seconds);
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < options.connections; ++i)
        threads.emplace_back([until] {
            try {
                Run(until);
            } catch (const std::runtime_error&) {
            }
        });
    for (std::thread& t : threads)
        t.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (options.mode == Mode::kHandshake) {
        std::printf("connections %u seconds %.1f greetings %llu (%.0f/s)%s\n", options.connections, seconds,
                    static_cast<unsigned long long>(totalConnections.load()),
                    static_cast<double>(totalConnections) / seconds, options.tls ? " over TLS" : "");
        return failed ? 1 : 0;
    }
    std::printf("connections %u seconds %.1f xover-lines %llu (%.0f/s) articles %llu (%.0f/s) MB/s %.1f%s\n",
                options.connections, seconds, static_cast<unsigned long long>(totalLines.load()),
                static_cast<double>(totalLines) / seconds, static_cast<unsigned long long>(totalArticles.load()),
                static_cast<double>(totalArticles) / seconds, static_cast<double>(totalBytes) / seconds / 1e6,
                options.tls ? " over TLS" : "");
    return failed ? 1 : 0;
}
