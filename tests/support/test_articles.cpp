// Articles and waits shared by the end-to-end feed tests.
#include "support/test_articles.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "support/nntp_client.h"
#include "support/server_harness.h"

namespace verdalix_test {

std::string FeedArticle(const std::string& id)
{
    char date[64];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return "Path: peer.example!poster\r\nFrom: poster@example\r\nNewsgroups: misc.test\r\nSubject: feed " + id +
           "\r\nMessage-ID: " + id + "\r\nDate: " + date + "\r\n\r\nbody of " + id + "\r\n.\r\n";
}

std::string OfferWithIhave(NntpClient& client, const std::string& id)
{
    std::string reply = client.Command("IHAVE " + id);
    if (reply.substr(0, 3) != "335")
        return reply;
    client.Send(FeedArticle(id));
    return client.ReadLine();
}

bool WaitUntil(const std::function<bool()>& condition, int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
}

std::string QueueFileText(const TestServer& server, const std::string& site)
{
    std::string text;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(server.Path("feeds/" + site), error))
        text += ReadFile(entry.path().string());
    return text;
}

size_t CountOccurrences(const std::string& haystack, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

}  // namespace verdalix_test
