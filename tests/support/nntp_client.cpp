// The test NNTP client: blocking sends, reads bounded with poll.
#include "support/nntp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace verdalix_test {

bool NntpClient::Connect(int port, const char* source)
{
    buffer_.clear();
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (source != nullptr) {
        sockaddr_in from {};
        from.sin_family = AF_INET;
        if (::inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
            ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            ADD_FAILURE() << "cannot bind the source address " << source;
            fd_.reset();
            return false;
        }
    }
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fd_.reset();
        return false;
    }
    return true;
}

bool NntpClient::Connect6(int port)
{
    buffer_.clear();
    fd_.reset(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(static_cast<uint16_t>(port));
    addr.sin6_addr = in6addr_loopback;
    if (!fd_ || ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fd_.reset();
        return false;
    }
    return true;
}

void NntpClient::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0) {
            ADD_FAILURE() << "send failed: " << std::strerror(errno);
            return;
        }
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
}

NntpClient::FillResult NntpClient::Fill()
{
    pollfd entry {fd_.get(), POLLIN, 0};
    if (::poll(&entry, 1, timeoutSeconds_ * 1000) <= 0)
        return FillResult::kTimeout;
    char chunk[16384];
    ssize_t got = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (got <= 0)
        return FillResult::kClosed;  // a reset counts as a close
    buffer_.append(chunk, static_cast<size_t>(got));
    return FillResult::kData;
}

bool NntpClient::NextLine(std::string& line)
{
    size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
        FillResult result = Fill();
        if (result != FillResult::kData) {
            ADD_FAILURE() << (result == FillResult::kClosed ? "connection closed" : "no reply within the bound")
                          << " while reading a line; partial: \"" << buffer_ << "\"";
            buffer_.clear();
            line.clear();
            return false;
        }
    }
    line.assign(buffer_, 0, end);
    buffer_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

std::string NntpClient::ReadLine()
{
    std::string line;
    NextLine(line);
    return line;
}

std::vector<std::string> NntpClient::BlockCommand(std::string_view line)
{
    std::vector<std::string> lines{Command(line)};
    std::vector<std::string> block = ReadMultiline();
    lines.insert(lines.end(), block.begin(), block.end());
    return lines;
}

std::vector<std::string> NntpClient::ReadMultiline()
{
    std::vector<std::string> lines;
    std::string line;
    while (NextLine(line) && line != ".") {
        if (line.starts_with('.'))
            line.erase(0, 1);
        lines.push_back(line);
    }
    return lines;
}

std::string NntpClient::Command(std::string_view line)
{
    std::string text(line);
    text += "\r\n";
    Send(text);
    return ReadLine();
}

bool NntpClient::WaitForClose()
{
    FillResult result;
    while ((result = Fill()) == FillResult::kData)
        buffer_.clear();
    buffer_.clear();
    return result == FillResult::kClosed;
}

}  // namespace verdalix_test
