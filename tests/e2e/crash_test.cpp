// End-to-end: the server is killed (SIGKILL) while peers feed it on several
// connections, started again on the same files and fed more. Afterwards
// every acknowledged message-ID serves its own article byte for byte, and
// every article number of every group serves the article whose Xref: names
// it or answers 423. The kill falls at a random moment, or just after a
// store wrap. The seed is printed with any failure; VERDALIX_CRASH_SEED
// repeats a run.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "support/server_harness.h"
#include "support/test_articles.h"

using verdalix_test::TestServer;
using verdalix_test::WireArticle;

namespace {

const char* const kGroups[] = {"crash.a", "crash.b", "crash.c"};
constexpr uint64_t kMegabyte = 1048576;
constexpr uint64_t kWrapMargin = 0x200400;
constexpr uint32_t kStoreMegabytes = 16;

// The groups are created by the first run and taken over by the next. Each
// keeps 4,000 numbers, more than the tests give it.
std::string Script(bool first)
{
    std::string script = "AddIncoming 127.0.0.1\nSetIncoming 127.0.0.1 rights 7\nSetIncoming 127.0.0.1 streaming 1\n"
                         "CreateArtStore 0 @DIR@/stores {*} " +
                         std::to_string(kStoreMegabytes) + " 100\n";
    for (int g = 0; g < 3; ++g)
        script += (first ? "CreateGroup " : "InsertGroup ") + std::string(kGroups[g]) + " " + std::to_string(8 * g) +
                  (first ? " 8 y 1\n" : "\n");
    return script + "AcceptConnections\n";
}

// A connection that, unlike the suite's client, takes the end of the stream
// as an answer: the server may be killed under it.
class Peer {
public:
    bool Connect(int port)
    {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd_ && ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && Line();
    }
    bool Send(const std::string& bytes)
    {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // The next line without CR LF; none at the end of the stream.
    std::optional<std::string> Line() { return Until("\r\n"); }
    // The bytes up to and including `end`; none at the end of the stream.
    std::optional<std::string> Until(const std::string& end)
    {
        for (;;) {
            size_t at = buffer_.find(end);
            if (at != std::string::npos) {
                std::string text = buffer_.substr(0, end == "\r\n" ? at : at + end.size());
                buffer_.erase(0, at + end.size());
                return text;
            }
            pollfd p {fd_.get(), POLLIN, 0};
            char chunk[65536];
            ssize_t n = ::poll(&p, 1, 30000) == 1 ? ::recv(fd_.get(), chunk, sizeof chunk, 0) : 0;
            if (n <= 0)
                return std::nullopt;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

private:
    UniqueFd fd_;
    std::string buffer_;
};

struct Article {
    std::string id;
    std::string wire;  // as sent: dots doubled, terminator included
};

// An article in one or two groups with a body of random lines, some
// starting with a dot, between a few hundred bytes and a few kilobytes.
Article MakeArticle(std::mt19937& random, const std::string& id)
{
    std::string groups = kGroups[random() % 3];
    if (random() % 2 == 0)
        groups += std::string(",") + kGroups[(random() % 2 + 1 + (groups.back() - 'a')) % 3];
    std::string body;
    for (int lines = static_cast<int>(random() % 40) + 4; lines > 0; --lines) {
        std::string line(random() % 70, ' ');
        for (char& c : line)
            c = static_cast<char>('!' + random() % 90);
        if (!line.empty() && line[0] == '.')
            line[0] = '-';  // only the stuffed lines below start with dots
        body += (random() % 8 == 0 ? ".." : "") + line + "\r\n";
    }
    return {id, WireArticle({.id = id, .groups = groups, .subject = "crash " + id, .body = body})};
}

// Every article sent, acknowledged or not, by message-ID.
class Ledger {
public:
    void Sent(const Article& a)
    {
        std::lock_guard lock(mutex_);
        sent_[a.id] = a.wire;
    }
    void Acknowledged(const std::string& id)
    {
        std::lock_guard lock(mutex_);
        acknowledged_.push_back(id);
    }
    const std::map<std::string, std::string>& All() const { return sent_; }
    const std::vector<std::string>& Acknowledged() const { return acknowledged_; }

private:
    std::mutex mutex_;
    std::map<std::string, std::string> sent_;
    std::vector<std::string> acknowledged_;
};

// Offers articles with TAKETHIS in batches, or one by one with IHAVE, until
// `count` are done or the connection ends.
void FeedUntilCut(int port, bool streaming, std::vector<Article> articles, Ledger& ledger)
{
    Peer peer;
    if (!peer.Connect(port) || (streaming && (!peer.Send("MODE STREAM\r\n") || !peer.Line())))
        return;
    constexpr size_t kBatch = 8;
    for (size_t start = 0; start < articles.size(); start += streaming ? kBatch : 1) {
        const size_t end = std::min(articles.size(), start + (streaming ? kBatch : 1));
        std::string batch;
        for (size_t i = start; i < end; ++i) {
            ledger.Sent(articles[i]);
            batch += streaming ? "TAKETHIS " + articles[i].id + "\r\n" + articles[i].wire : "IHAVE " + articles[i].id + "\r\n";
        }
        if (!peer.Send(batch))
            return;
        if (!streaming) {
            std::optional<std::string> go = peer.Line();
            if (!go || go->substr(0, 3) != "335" || !peer.Send(articles[start].wire))
                return;
        }
        for (size_t i = start; i < end; ++i) {
            std::optional<std::string> reply = peer.Line();
            if (!reply)
                return;
            if (*reply == (streaming ? "239 " + articles[i].id : "235 Got it"))
                ledger.Acknowledged(articles[i].id);
            else
                ADD_FAILURE() << articles[i].id << ": " << *reply;
        }
    }
}

std::vector<Article> MakeArticles(std::mt19937& random, const std::string& name, int count)
{
    std::vector<Article> articles;
    for (int n = 0; n < count; ++n)
        articles.push_back(MakeArticle(random, "<" + name + "." + std::to_string(n) + "." +
                                                   std::to_string(::getpid()) + "@crash.test>"));
    return articles;
}

// Three connections (two streaming, one IHAVE); `kill` ends the server
// while they run.
template <typename Kill>
void FeedAndKill(TestServer& server, std::mt19937& random, Ledger& ledger, int perConnection, Kill kill)
{
    std::vector<std::thread> feeds;
    for (int f = 0; f < 3; ++f)
        feeds.emplace_back(FeedUntilCut, server.Port(), f != 2,
                           MakeArticles(random, "c" + std::to_string(f), perConnection), std::ref(ledger));
    kill();
    for (auto& feed : feeds)
        feed.join();
    EXPECT_EQ(server.WaitForExit(), 128 + SIGKILL);
}

// The article as served: what was sent, with this server in front of the
// Path: and its Xref: line (taken out into *xref).
std::string WithoutXref(std::string served, std::string* xref)
{
    size_t at = served.find("\r\nXref: ");
    size_t headerEnd = served.find("\r\n\r\n");
    if (at == std::string::npos || at > headerEnd)
        return served;
    size_t end = served.find("\r\n", at + 2);
    *xref = served.substr(at + 2, end - at - 2);
    return served.erase(at, end - at);
}

std::string AsStored(std::string wire)
{
    return wire.replace(0, 6, "Path: verdalix.test!");
}

// ARTICLE `what`: the article text (up to the end marker) with the
// message-ID from the status line; false for any answer but 220.
bool Fetch(Peer& reader, const std::string& what, std::string* id, std::string* text, std::string* status)
{
    if (!reader.Send("ARTICLE " + what + "\r\n"))
        return false;
    std::optional<std::string> line = reader.Line();
    *status = line.value_or("(connection closed)");
    if (!line || line->substr(0, 4) != "220 ")
        return false;
    size_t idStart = line->find(' ', 4) + 1;
    *id = line->substr(idStart, line->find(' ', idStart) - idStart);
    std::optional<std::string> body = reader.Until("\r\n.\r\n");
    *text = body.value_or("");
    return body.has_value();
}

void CheckAcknowledged(Peer& reader, const Ledger& ledger)
{
    for (const std::string& id : ledger.Acknowledged()) {
        std::string servedId, text, status, xref;
        ASSERT_TRUE(Fetch(reader, id, &servedId, &text, &status)) << id << ": " << status;
        EXPECT_EQ(servedId, id);
        EXPECT_EQ(WithoutXref(text, &xref), AsStored(ledger.All().at(id))) << id;
        EXPECT_FALSE(xref.empty()) << id;
    }
}

void CheckGroup(Peer& reader, const Ledger& ledger, const std::string& group, size_t* served)
{
    ASSERT_TRUE(reader.Send("GROUP " + group + "\r\n"));
    std::optional<std::string> selected = reader.Line();
    ASSERT_TRUE(selected && selected->substr(0, 4) == "211 ") << selected.value_or("");
    unsigned count = 0, low = 0, high = 0;
    ASSERT_EQ(std::sscanf(selected->c_str(), "211 %u %u %u", &count, &low, &high), 3);
    for (unsigned n = low; n <= high; ++n) {
        std::string id, text, status, xref;
        if (!Fetch(reader, std::to_string(n), &id, &text, &status)) {
            ASSERT_EQ(status, "423 article not found") << group << ":" << n;
            continue;
        }
        ++*served;
        auto sent = ledger.All().find(id);
        ASSERT_NE(sent, ledger.All().end()) << group << ":" << n << " serves " << id;
        EXPECT_EQ(WithoutXref(text, &xref), AsStored(sent->second)) << group << ":" << n;
        EXPECT_NE((xref + " ").find(" " + group + ":" + std::to_string(n) + " "), std::string::npos)
            << group << ":" << n << " serves " << id << " with " << xref;
    }
}

// Starts the server again on the same files, feeds it more, and checks
// every message-ID acknowledged and every article number.
void RestartAndCheck(TestServer& server, std::mt19937& random, Ledger& ledger)
{
    server.SetScript(Script(false));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    Ledger after;
    FeedUntilCut(server.Port(), true, MakeArticles(random, "after", 150), after);
    ASSERT_EQ(after.Acknowledged().size(), 150u);
    for (const auto& [id, wire] : after.All()) {
        ledger.Sent({id, wire});
        ledger.Acknowledged(id);
    }
    Peer reader;
    ASSERT_TRUE(reader.Connect(server.Port()));
    CheckAcknowledged(reader, ledger);
    size_t served = 0;
    for (const char* group : kGroups)
        CheckGroup(reader, ledger, group, &served);
    EXPECT_GE(served, ledger.Acknowledged().size());
}

uint32_t Seed()
{
    const char* given = std::getenv("VERDALIX_CRASH_SEED");
    return given != nullptr ? static_cast<uint32_t>(std::strtoul(given, nullptr, 10)) : std::random_device {}();
}

TEST(Crash, KillDuringFeedsLosesNothingAndMixesNothing)
{
    const uint32_t seed = Seed();
    SCOPED_TRACE("VERDALIX_CRASH_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    TestServer server;
    server.SetScript(Script(true));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
    Ledger ledger;
    const auto delay = std::chrono::milliseconds(100 + random() % 500);
    FeedAndKill(server, random, ledger, 1500, [&] {
        std::this_thread::sleep_for(delay);
        server.Signal(SIGKILL);
    });
    RestartAndCheck(server, random, ledger);
}

// The store's saved place: near its wrap point, so that the feed wraps it
// within the first hundred articles or so. Old records stay readable: the
// feeds write far less than the 10 MB a previous cycle keeps ahead of the
// writer.
void StartNearTheWrap(TestServer& server, std::mt19937& random)
{
    char record[912] = {};
    const uint32_t number = 0, wrapCount = 0, inUse = 1;
    const uint64_t position = kStoreMegabytes * kMegabyte - kWrapMargin - 20000 - random() % 150000;
    std::memcpy(record + 844, &kStoreMegabytes, 4);
    std::memcpy(record + 848, &number, 4);
    std::memcpy(record + 864, &wrapCount, 4);
    std::memcpy(record + 880, &position, 8);
    std::memcpy(record + 896, &inUse, 4);
    ASSERT_TRUE(verdalix_test::WriteFile(server.Path("stores/0-meta.dat"), std::string(record, sizeof record)));
    server.SetScript(Script(true));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForListening());
}

TEST(Crash, KillDuringAStoreWrapLosesNothingAndMixesNothing)
{
    const uint32_t seed = Seed();
    SCOPED_TRACE("VERDALIX_CRASH_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    TestServer server;
    StartNearTheWrap(server, random);
    Ledger ledger;
    const auto delay = std::chrono::milliseconds(random() % 40);
    FeedAndKill(server, random, ledger, 400, [&] {
        EXPECT_TRUE(server.WaitForLog("ArtStore: wrapped store 0, wrapcount=1"));
        std::this_thread::sleep_for(delay);
        server.Signal(SIGKILL);
    });
    RestartAndCheck(server, random, ledger);
}

}  // namespace
