// End-to-end: the metrics listener. /metrics is read by a strict parser of
// the text exposition format, its figures compared with a known feed and
// with the server's own statistics; bad HTTP gets a 400 and nothing else.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"
#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/shell.h"
#include "support/test_articles.h"

using verdalix_test::FreePort;
using verdalix_test::NntpClient;
using verdalix_test::OfferWithIhave;
using verdalix_test::Shell;
using verdalix_test::TestServer;
using verdalix_test::WaitUntil;

namespace {

// Sends `request` as it is to 127.0.0.1:port and returns all it answers.
std::string Exchange(int port, const std::string& request)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return {};
    std::string answer;
    char chunk[65536];
    for (ssize_t got; (got = ::recv(fd.get(), chunk, sizeof chunk, 0)) > 0;)
        answer.append(chunk, static_cast<size_t>(got));
    return answer;
}

std::string Body(const std::string& answer)
{
    const size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// A reader of one exposition line, strict about what the format allows.
class LineReader {
public:
    explicit LineReader(std::string_view line) : rest_(line) {}
    bool Word(std::string_view word)
    {
        if (!rest_.starts_with(word))
            return false;
        rest_.remove_prefix(word.size());
        return true;
    }
    // [a-zA-Z_:][a-zA-Z0-9_:]* (no colon in label names).
    std::string Name(bool colons = true)
    {
        size_t n = 0;
        while (n < rest_.size() &&
               (std::isalpha(static_cast<unsigned char>(rest_[n])) || rest_[n] == '_' || (colons && rest_[n] == ':') ||
                (n > 0 && std::isdigit(static_cast<unsigned char>(rest_[n])))))
            ++n;
        std::string name(rest_.substr(0, n));
        rest_.remove_prefix(n);
        return name;
    }
    // A quoted label value with only \\, \" and \n escapes.
    bool Quoted()
    {
        if (!Word("\""))
            return false;
        while (!rest_.empty() && rest_[0] != '"') {
            if (rest_[0] == '\n')
                return false;
            if (rest_[0] == '\\') {
                if (rest_.size() < 2 || std::string_view("\\\"n").find(rest_[1]) == std::string_view::npos)
                    return false;
                rest_.remove_prefix(1);
            }
            rest_.remove_prefix(1);
        }
        return Word("\"");
    }
    // {name="value",...}, or nothing.
    bool Labels()
    {
        if (!Word("{"))
            return true;
        do {
            if (Name(false).empty() || !Word("=") || !Quoted())
                return false;
        } while (Word(","));
        return Word("}");
    }
    std::string_view Rest() const { return rest_; }

private:
    std::string_view rest_;
};

// Series ("name{labels}" as written) to value. Every line is checked
// against the text exposition format: HELP and TYPE once per family and
// before its samples, names and labels well formed, label values escaped,
// values numbers, counters named *_total, no series twice.
std::map<std::string, double> ParseExposition(const std::string& text)
{
    std::map<std::string, double> series;
    std::map<std::string, std::string> types;
    std::set<std::string> helped;
    std::istringstream in(text);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (std::string line; std::getline(in, line);) {
        LineReader r(line);
        if (r.Word("# HELP ")) {
            const std::string name = r.Name();
            EXPECT_TRUE(!name.empty() && r.Word(" ") && !r.Rest().empty()) << line;
            EXPECT_TRUE(helped.insert(name).second) << "second HELP: " << line;
        } else if (r.Word("# TYPE ")) {
            const std::string name = r.Name();
            EXPECT_TRUE(r.Word(" ") && (r.Rest() == "counter" || r.Rest() == "gauge")) << line;
            EXPECT_TRUE(helped.count(name)) << "TYPE before HELP: " << line;
            EXPECT_TRUE(types.emplace(name, r.Rest()).second) << "second TYPE: " << line;
            if (r.Rest() == "counter") {
                EXPECT_TRUE(name.ends_with("_total")) << line;
            }
        } else {
            const std::string name = r.Name();
            EXPECT_TRUE(!name.empty() && r.Labels() && r.Word(" ")) << "not in the text format: " << line;
            EXPECT_TRUE(types.count(name)) << "sample without TYPE: " << line;
            const std::string value(r.Rest());
            char* end = nullptr;
            const double number = std::strtod(value.c_str(), &end);
            EXPECT_TRUE(!value.empty() && *end == '\0') << "not a number: " << line;
            EXPECT_TRUE(series.emplace(line.substr(0, line.rfind(' ')), number).second) << "twice: " << line;
        }
    }
    return series;
}

// The metric names a text mentions ("verdalix_" and what follows).
std::set<std::string> MetricNames(const std::string& text)
{
    std::set<std::string> names;
    for (size_t at = text.find("verdalix_"); at != std::string::npos; at = text.find("verdalix_", at + 1)) {
        size_t end = at;
        while (end < text.size() && (std::islower(static_cast<unsigned char>(text[end])) || text[end] == '_'))
            ++end;
        names.insert(text.substr(at, end - at));
    }
    return names;
}

struct MetricsServer {
    MetricsServer()
    {
        server.SetConfig("MetricsPort", std::to_string(port));
        server.SetScript("CreateArtStore 0 @DIR@/stores * 10 100\nCreateGroup misc.test 0 1 y 1\n"
                         "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nAcceptConnections\n");
        EXPECT_TRUE(server.Start());
        EXPECT_TRUE(server.WaitForListening());
        EXPECT_TRUE(server.WaitForLog("metrics: listening"));
    }
    std::map<std::string, double> Scrape()
    {
        const std::string answer =
            Exchange(port, "GET /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer.substr(0, 200);
        EXPECT_NE(answer.find("text/plain; version=0.0.4"), std::string::npos);
        text = Body(answer);
        return ParseExposition(text);
    }
    int port = FreePort();
    TestServer server;
    std::string text;  // of the last scrape
};

TEST(Metrics, FiguresFollowAKnownFeedAndOnlyGrow)
{
    MetricsServer m;
    const auto before = m.Scrape();
    NntpClient feeder;
    ASSERT_TRUE(feeder.Connect(m.server.Port()));
    ASSERT_TRUE(feeder.ReadLine().starts_with("200"));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(OfferWithIhave(feeder, "<m" + std::to_string(i) + "@metrics.test>").substr(0, 3), "235");
    ASSERT_EQ(OfferWithIhave(feeder, "<m0@metrics.test>").substr(0, 3), "435");
    ASSERT_EQ(feeder.Command("CHECK <m1@metrics.test>").substr(0, 3), "438");
    NntpClient reader;
    ASSERT_TRUE(reader.Connect(m.server.Port()));
    ASSERT_TRUE(reader.ReadLine().starts_with("200"));
    ASSERT_EQ(reader.Command("GROUP misc.test").substr(0, 3), "211");

    auto after = m.Scrape();
    EXPECT_EQ(after["verdalix_articles_total{command=\"ihave\",result=\"accepted\"}"], 3);
    EXPECT_EQ(after["verdalix_articles_total{command=\"ihave\",result=\"refused\"}"], 1);
    EXPECT_EQ(after["verdalix_check_refused_total"], 1);
    EXPECT_EQ(after["verdalix_commands_total{command=\"ihave\"}"], 4);
    EXPECT_EQ(after["verdalix_commands_total{command=\"group\"}"], 1);
    EXPECT_EQ(after["verdalix_peer_articles_total{peer=\"127.0.0.1\",result=\"accepted\"}"], 3);
    EXPECT_EQ(after["verdalix_connections{kind=\"feeder\"}"], 1);
    EXPECT_EQ(after["verdalix_connections{kind=\"reader\"}"], 1);
    EXPECT_EQ(after["verdalix_history_entries"], 3);
    EXPECT_GT(after["verdalix_network_bytes_total{direction=\"in\"}"], 600);
    EXPECT_GT(after["verdalix_store_position_bytes{store=\"0\"}"], 600);
    EXPECT_EQ(after["verdalix_store_size_bytes{store=\"0\"}"], 10 * 1048576);
    for (const auto& [name, value] : before)
        if (name.find("_total") != std::string::npos) {
            EXPECT_GE(after[name], value) << name;
        }

    // The same figures as the server's own statistics text.
    auto [status, stats] = Shell("VERDALIX_CONFIGFILE=" + m.server.Path("verdalix.conf") + " " +
                                 std::string(VERDALIX_BINARY).substr(0, std::string(VERDALIX_BINARY).rfind('/')) +
                                 "/verdalixctl tcl GetBaseStats");
    EXPECT_EQ(status, 0) << stats;
    EXPECT_NE(stats.find("{ihave_accept 3} {ihave_refuse 1}"), std::string::npos) << stats;
    EXPECT_NE(stats.find("{check 1}"), std::string::npos) << stats;

    // The sample dashboard asks only for families the server has.
    const std::string dashboard = verdalix_test::ReadFile(VERDALIX_SOURCE_DIR "/docs/monitoring/grafana-dashboard.json");
    const std::set<std::string> asked = MetricNames(dashboard);
    for (const std::string& name : asked)
        EXPECT_NE(m.text.find("# TYPE " + name + " "), std::string::npos) << name;
    EXPECT_GT(asked.size(), 10u);

    // Connections that end are counted out; totals stay.
    feeder.Close();
    ASSERT_TRUE(WaitUntil([&] { return m.Scrape()["verdalix_connections{kind=\"feeder\"}"] == 0; }, 30));
    EXPECT_EQ(m.Scrape()["verdalix_connections_total{kind=\"feeder\"}"], 1);
}

TEST(Metrics, BadRequestsGetAnErrorAndNothingElse)
{
    MetricsServer m;
    EXPECT_TRUE(Exchange(m.port, "GET / HTTP/1.1\r\nHost: x\r\nBad Header Line\r\n\r\n").starts_with("HTTP/1.1 400"));
    EXPECT_TRUE(
        Exchange(m.port, "GET / HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n").starts_with("HTTP/1.1 400"));
    // A line that is no request at all is closed without a word.
    EXPECT_EQ(Exchange(m.port, "GARBAGE\r\n\r\n"), "");
    EXPECT_EQ(Exchange(m.port, std::string("\x16\x03\x01\x02\x00", 5) + "\r\n\r\n"), "");
    EXPECT_TRUE(Exchange(m.port, std::string(100000, 'A') + "\r\n\r\n").starts_with("HTTP/1.1 4"));
    EXPECT_TRUE(
        Exchange(m.port, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n").starts_with("HTTP/1.1 405"));
    EXPECT_TRUE(Exchange(m.port, "GET /etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n").starts_with("HTTP/1.1 404"));
    // The page and its data still come, and the server still serves news.
    const std::string page = Exchange(m.port, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(page.find("<title>Verdalix status</title>"), std::string::npos);
    const std::string json = Body(Exchange(m.port, "GET /status.json HTTP/1.0\r\n\r\n"));
    auto [status, parsed] = Shell("echo '" + json +
                                  "' | python3 -c 'import json,sys; d=json.load(sys.stdin); "
                                  "print(d[\"history\"][\"capacity\"], len(d[\"stores\"]))'");
    EXPECT_EQ(status, 0) << json;
    EXPECT_EQ(parsed, "50000 1\n");
    NntpClient reader;
    ASSERT_TRUE(reader.Connect(m.server.Port()));
    EXPECT_TRUE(reader.ReadLine().starts_with("200"));
}

TEST(Metrics, OnlyALoopbackAddressIsListenedOn)
{
    TestServer server;
    server.SetConfig("MetricsAddress", "0.0.0.0");
    server.SetConfig("MetricsPort", std::to_string(FreePort()));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    EXPECT_TRUE(server.WaitForLog("metrics: not listening: MetricsAddress 0.0.0.0"));
}

}  // namespace
