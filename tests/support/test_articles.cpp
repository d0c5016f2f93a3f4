// Test articles built one way for every suite, and the waits shared by the
// end-to-end feed tests.
#include "support/test_articles.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>
#include <utility>

#include "support/nntp_client.h"
#include "support/server_harness.h"

namespace verdalix_test {

std::string ArticleDate(int daysAgo)
{
    char text[64];
    std::time_t t = std::time(nullptr) - static_cast<std::time_t>(daysAgo) * 86400;
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

std::string ArticleText(const ArticleParts& parts)
{
    const std::pair<const char*, const std::string*> headers[] = {
        {"Path: ", &parts.path},       {"From: ", &parts.from},     {"Newsgroups: ", &parts.groups},
        {"Subject: ", &parts.subject}, {"Message-ID: ", &parts.id}, {"Date: ", &parts.date},
    };
    std::string text;
    for (const auto& [name, value] : headers)
        if (!value->empty())
            text += name + *value + "\r\n";
    return text + parts.extra + "\r\n" + parts.body;
}

std::string WireArticle(const ArticleParts& parts)
{
    return ArticleText(parts) + ".\r\n";
}

std::string FeedArticle(const std::string& id)
{
    return WireArticle({.id = id, .subject = "feed " + id, .body = "body of " + id + "\r\n"});
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
