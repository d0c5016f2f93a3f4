// The error text of the install and remove messages.
#include "server/service_internal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

TEST(GetLastErrorText, TextAndCodeOrEmptyWhenTheBufferIsTooSmall)
{
    char buffer[256];
    errno = ENOENT;
    EXPECT_STREQ(GetLastErrorText(buffer, sizeof buffer), "No such file or directory (0x2)");
    errno = ENOTDIR;
    EXPECT_STREQ(GetLastErrorText(buffer, sizeof buffer), "Not a directory (0x14)");

    size_t length = std::strlen(std::strerror(EACCES));
    errno = EACCES;
    EXPECT_STREQ(GetLastErrorText(buffer, length + 13), "");
    errno = EACCES;
    EXPECT_EQ(std::string(GetLastErrorText(buffer, length + 14)), std::string(std::strerror(EACCES)) + " (0xd)");

    errno = 0;
    EXPECT_STREQ(GetLastErrorText(buffer, sizeof buffer), "");
}

}  // namespace
