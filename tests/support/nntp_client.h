// A small blocking NNTP client for end-to-end tests. Every read has a bound:
// when it passes (or the server closes the connection unexpectedly) the
// current test gets a failure and the read returns what it has, so a broken
// server fails the test instead of hanging it.
//
//   NntpClient client;
//   ASSERT_TRUE(client.Connect(server.Port()));
//   EXPECT_EQ(client.ReadLine().substr(0, 3), "200");   // greeting
//   EXPECT_EQ(client.Command("MODE READER").substr(0, 3), "200");
//   client.Send("ARTICLE <a@b>\r\n");
//   std::string status = client.ReadLine();
//   std::vector<std::string> lines = client.ReadMultiline();
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace verdalix_test {

class NntpClient {
public:
    explicit NntpClient(int timeoutSeconds = 30) : timeoutSeconds_(timeoutSeconds) {}

    // Connects to 127.0.0.1:port, from the loopback address `source` when
    // given; false (no test failure) when refused.
    bool Connect(int port, const char* source = nullptr);
    // Connects to [::1]:port.
    bool Connect6(int port);
    // Sends the bytes exactly as given (no line end added).
    void Send(std::string_view bytes);
    // The next line without its CR LF (a bare LF also ends a line).
    // Empty, with a test failure, on timeout or end of stream.
    std::string ReadLine();
    // The lines of a multi-line block up to (not including) the "." line,
    // dot-stuffing undone. Call after reading the status line.
    std::vector<std::string> ReadMultiline();
    // Sends `line` + CR LF and returns the reply line.
    std::string Command(std::string_view line);
    // Command, then the block that follows it: the reply line first. Only
    // for commands whose answer is a block (the read would wait otherwise).
    std::vector<std::string> BlockCommand(std::string_view line);
    // True when the server closes the connection within the bound; data
    // that arrives first is discarded. No test failure either way.
    bool WaitForClose();
    void Close() { fd_.reset(); }
    bool Connected() const { return fd_.valid(); }

private:
    enum class FillResult { kData, kClosed, kTimeout };
    // Reads more bytes into buffer_.
    FillResult Fill();
    // The next line into `line`; false (with a test failure) when none came.
    bool NextLine(std::string& line);

    int timeoutSeconds_;
    UniqueFd fd_;
    std::string buffer_;
};

}  // namespace verdalix_test
