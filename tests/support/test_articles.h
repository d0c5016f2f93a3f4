// Test articles built one way for every suite, and the waits shared by the
// end-to-end feed tests.
#pragma once

#include <functional>
#include <string>

namespace verdalix_test {

class NntpClient;
class TestServer;

// A Date: value `daysAgo` days before now, in GMT ("Tue, 07 Dec 1999 12:00:00 GMT").
std::string ArticleDate(int daysAgo = 0);

// The parts of a test article. A header whose value is empty is left out.
// Fields are in header order and each has an initializer, so designated
// initializers name just the ones that differ (and -Wextra stays quiet):
// WireArticle({.id = id, .groups = "alt.test", .body = "text\r\n"}).
struct ArticleParts {
    std::string id{};  // the Message-ID: value
    std::string path = "peer.example!poster";
    std::string from = "poster@example";
    std::string groups = "misc.test";
    std::string subject = "test";
    std::string date = ArticleDate();
    std::string extra{};            // more header lines, each ending in CR LF
    std::string body = "body\r\n";  // as sent: lines end in CR LF, leading dots doubled
};

// Path, From, Newsgroups, Subject, Message-ID, Date, the extra lines, the
// blank line and the body.
std::string ArticleText(const ArticleParts& parts);

// ArticleText and the terminating "." CR LF: the article as offered.
std::string WireArticle(const ArticleParts& parts);

// The article an end-to-end test offers for `id`: misc.test, dated now,
// its body "body of <id>".
std::string FeedArticle(const std::string& id);

// Offers `id` with IHAVE on an open, greeted connection and sends FeedArticle(id) when asked; the final reply line.
std::string OfferWithIhave(NntpClient& client, const std::string& id);

// Polls `condition` every 100 ms until it holds; false after `seconds`.
bool WaitUntil(const std::function<bool()>& condition, int seconds = 60);

// The queue files of `site` in the server's feeds/ folder, one after the
// other; empty when there are none.
std::string QueueFileText(const TestServer& server, const std::string& site);

// How often `needle` occurs in `haystack`.
size_t CountOccurrences(const std::string& haystack, const std::string& needle);

}  // namespace verdalix_test
