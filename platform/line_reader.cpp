// Line reader: one buffer holding at least one whole allowed line plus a
// block, refilled by the read-all loop.
#include "platform/line_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/file_io.h"

namespace {

constexpr size_t kBlock = 8192;

}  // namespace

LineReader::LineReader(int fd, size_t maxLine) : fd_(fd), maxLine_(maxLine), buffer_(maxLine + kBlock) {}

bool LineReader::Fill()
{
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    const size_t room = buffer_.size() - end_;
    const ssize_t got = ReadAll(fd_, buffer_.data() + end_, room);
    if (got < 0) {
        atEnd_ = true;
        return false;
    }
    end_ += static_cast<size_t>(got);
    atEnd_ = static_cast<size_t>(got) < room;
    return true;
}

bool LineReader::Next(char* line)
{
    for (;;) {
        const char* data = buffer_.data();
        const auto* lf = static_cast<const char*>(std::memchr(data + start_, '\n', end_ - start_));
        if (skipping_) {
            skipping_ = lf == nullptr;
            start_ = lf != nullptr ? static_cast<size_t>(lf - data) + 1 : end_;
        } else {
            const size_t available = (lf != nullptr ? static_cast<size_t>(lf - data) : end_) - start_;
            if (lf != nullptr || available >= maxLine_ || (atEnd_ && available > 0)) {
                size_t length = std::min(available, maxLine_);
                if (lf != nullptr && length == available && length > 0 && data[start_ + length - 1] == '\r')
                    --length;
                std::memcpy(line, data + start_, length);
                line[length] = '\0';
                skipping_ = lf == nullptr && !atEnd_;
                start_ = lf != nullptr ? static_cast<size_t>(lf - data) + 1 : end_;
                return true;
            }
        }
        if (atEnd_ && start_ == end_)
            return false;
        if (!Fill())
            return false;
    }
}
