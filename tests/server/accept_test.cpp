// The listening socket's backlog setting and the system's cap on it.
#include "server/accept.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "server/config.h"
#include "support/unit_config.h"

namespace {

// What the kernel allows, read here on its own; 0 when unknown.
int SomaxConn()
{
    std::ifstream file("/proc/sys/net/core/somaxconn");
    int limit = 0;
    file >> limit;
    return limit;
}

int Capped(int wanted)
{
    return SomaxConn() > 0 ? std::min(wanted, SomaxConn()) : wanted;
}

class Backlog : public ::testing::Test {
protected:
    void TearDown() override { ConfigClear(); }
    static void Use(const std::string& settings) { verdalix_test::UseConfigText(settings); }
};

TEST_F(Backlog, ConfiguredValueCappedByTheSystem)
{
    Use("");
    EXPECT_EQ(ListenBacklog(), Capped(1024));
    Use("ListenBacklog = 7\n");
    EXPECT_EQ(ListenBacklog(), Capped(7));
    Use("ListenBacklog = 2000000000\n");
    EXPECT_EQ(ListenBacklog(), Capped(2000000000));
    if (SomaxConn() > 0) {
        EXPECT_EQ(ListenBacklog(), SomaxConn());
    }
}

TEST_F(Backlog, ValueBelowOneTakesTheDefault)
{
    for (const char* value : {"0", "-5", "many"}) {
        Use(std::string("ListenBacklog = ") + value + "\n");
        EXPECT_EQ(ListenBacklog(), Capped(1024)) << value;
    }
}

}  // namespace
