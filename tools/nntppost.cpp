// nntppost: measures posting end to end. Each connection POSTs its share of
// the articles one after the other (POST, "340", the article, "240"); then a
// reader connection waits until the last post of every connection can be
// fetched. It reports the rate of the "240" answers and the rate from the
// first POST until every post was readable.
//
//   nntppost [-H host] [-p port] [-n count] [-c connections] [-g group]
//            [-s size] [-t seconds]
//
// -n is the total over all connections; every post carries a Message-ID of
// its own, "<nntppost.RUN.C.I@bench.invalid>", so that readability is
// checked with HEAD by message-ID.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

struct Options {
    std::string host = "127.0.0.1";
    int port = 119;
    uint32_t count = 10000;
    uint32_t connections = 1;
    std::string group = "misc.test";
    uint32_t size = 1000;
    int seconds = 60;
};

Options options;
std::string run;
std::string body;
std::atomic<uint64_t> posted{0};
std::atomic<bool> failed{false};

[[noreturn]] void Usage()
{
    std::fprintf(stderr, "usage: nntppost [-H host] [-p port] [-n count] [-c connections] [-g group]\n"
                         "                [-s size] [-t seconds]\n");
    std::exit(2);
}

void ParseOptions(int argc, char** argv)
{
    int opt;
    while ((opt = ::getopt(argc, argv, "H:p:n:c:g:s:t:")) != -1) {
        switch (opt) {
        case 'H': options.host = optarg; break;
        case 'p': options.port = std::atoi(optarg); break;
        case 'n': options.count = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10)); break;
        case 'c': options.connections = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10)); break;
        case 'g': options.group = optarg; break;
        case 's': options.size = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10)); break;
        case 't': options.seconds = std::atoi(optarg); break;
        default: Usage();
        }
    }
    if (options.connections == 0 || options.count < options.connections || optind != argc)
        Usage();
}

// A blocking line-oriented connection with a receive time-out.
class Connection {
public:
    bool Open()
    {
        fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(options.port));
        int one = 1;
        timeval timeout{options.seconds, 0};
        if (!fd_ || ::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1 ||
            ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
            ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
            ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        std::string greeting;
        return ReadLine(greeting) && greeting.starts_with("20");
    }

    bool Send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }

    bool ReadLine(std::string& line)
    {
        for (;;) {
            size_t end = in_.find("\r\n");
            if (end != std::string::npos) {
                line = in_.substr(0, end);
                in_.erase(0, end + 2);
                return true;
            }
            char chunk[4096];
            ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            in_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Sends `command` and reads the reply line; false when none came.
    bool Command(std::string_view command, std::string& reply) { return Send(command) && ReadLine(reply); }

private:
    UniqueFd fd_;
    std::string in_;
};

std::string MessageId(uint32_t connection, uint32_t index)
{
    return "<nntppost." + run + "." + std::to_string(connection) + "." + std::to_string(index) + "@bench.invalid>";
}

std::string Article(uint32_t connection, uint32_t index)
{
    return "From: Bench Poster <poster@bench.invalid>\r\nNewsgroups: " + options.group + "\r\nSubject: post " +
           std::to_string(connection) + "." + std::to_string(index) +
           "\r\nMessage-ID: " + MessageId(connection, index) + "\r\n\r\n" + body + ".\r\n";
}

// One connection's posts; `last` is the index of its last one.
void Poster(uint32_t connection, uint32_t first, uint32_t last)
{
    Connection server;
    if (!server.Open()) {
        std::fprintf(stderr, "nntppost: connection %u could not connect\n", connection);
        failed = true;
        return;
    }
    std::string reply;
    for (uint32_t i = first; i <= last && !failed; ++i) {
        if (!server.Command("POST\r\n", reply) || !reply.starts_with("340") ||
            !server.Command(Article(connection, i), reply) || !reply.starts_with("240")) {
            std::fprintf(stderr, "nntppost: post %u.%u answered \"%s\"\n", connection, i, reply.c_str());
            failed = true;
            return;
        }
        ++posted;
    }
}

// True once HEAD `id` answers 221 (its header is read past); false when it
// does not before the deadline.
bool WaitForHead(Connection& reader, const std::string& id, std::chrono::steady_clock::time_point deadline)
{
    std::string reply;
    while (reader.Command("HEAD " + id + "\r\n", reply) && !reply.starts_with("221")) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    while (reply != "." && reader.ReadLine(reply)) {
    }
    return reply == ".";
}

// Waits until every connection's last post can be fetched.
bool WaitReadable(const std::vector<std::string>& ids)
{
    Connection reader;
    std::string reply;
    if (!reader.Open() || !reader.Command("MODE READER\r\n", reply))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    for (const std::string& id : ids)
        if (!WaitForHead(reader, id, deadline))
            return false;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    ParseOptions(argc, argv);
    run = std::to_string(std::time(nullptr)) + "." + std::to_string(::getpid());
    for (uint32_t line = 0; body.size() + 80 < options.size; ++line) {
        char text[80];
        std::snprintf(text, sizeof text, "%06u the quick brown fox jumps over the lazy dog, again!\r\n", line);
        body += text;
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> posters;
    std::vector<std::string> lastIds;
    for (uint32_t c = 0, first = 0; c < options.connections; ++c) {
        const uint32_t share = options.count / options.connections + (c < options.count % options.connections);
        posters.emplace_back(Poster, c, first, first + share - 1);
        lastIds.push_back(MessageId(c, first + share - 1));
        first += share;
    }
    for (std::thread& poster : posters)
        poster.join();
    const double acked = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool readable = !failed && WaitReadable(lastIds);
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("RESULT mode=post conns=%u posts=%llu size=%u ack_seconds=%.3f ack_per_sec=%.1f "
                "readable_seconds=%.3f per_sec=%.1f status=%s\n",
                options.connections, static_cast<unsigned long long>(posted.load()), options.size, acked,
                static_cast<double>(posted.load()) / acked, total, static_cast<double>(posted.load()) / total,
                readable ? "ok" : "error");
    return readable ? 0 : 1;
}
