// Articles and waits shared by the end-to-end feed tests.
#pragma once

#include <functional>
#include <string>

namespace verdalix_test {

class NntpClient;
class TestServer;

// A complete article for misc.test with the message-ID `id`, dated now, with
// "Path: peer.example!poster", terminated by CR LF "." CR LF.
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
