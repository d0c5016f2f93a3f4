#include "access/incoming.h"
#include "access/incoming_internal.h"

#include <arpa/inet.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "server/config.h"

namespace {

// A label longer than 63 bytes makes the resolver fail at once, without a query.
const std::string kUnresolvable = std::string(70, 'x') + ".invalid";

uint32_t Ip(const char* dotted)
{
    in_addr address {};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

// CheckIncoming without the hold it leaves on the entry it returns.
IncomingEntry* Admit(const char* dotted)
{
    IncomingEntry* entry = CheckIncoming(Ip(dotted));
    if (entry != nullptr)
        --entry->connected;
    return entry;
}

IncomingEntry* Admit6(const char* text)
{
    in6_addr address{};
    inet_pton(AF_INET6, text, &address);
    IncomingEntry* entry = CheckIncoming6(address);
    if (entry != nullptr)
        --entry->connected;
    return entry;
}

class Incoming : public ::testing::Test {
protected:
    void SetUp() override { Configure("UpdateIncomingEntries = 0\n"); }
    void TearDown() override
    {
        ConfigClear();
        doHostnameResolution = 1;
    }

    static void Configure(const char* text)
    {
        ConfigClear();
        std::string copy = text;
        FILE* file = fmemopen(copy.data(), copy.size(), "r");
        ConfigReadFile(file);
        std::fclose(file);
        IncomingInit();
        doHostnameResolution = 0;
    }
};

TEST_F(Incoming, AddSearchesFromTheStartIndexAndStopsAtTheFirstFreeEntry)
{
    ASSERT_EQ(AddIncoming("10.0.0.1", 5), 1);
    EXPECT_EQ(AddIncoming("10.0.0.1", 5), 0);      // found before the free entry 6
    EXPECT_EQ(AddIncoming("10.0.0.1", 0), 1);      // entry 0 is free: a second entry
    EXPECT_EQ(AddIncoming("10.0.0.1", 0), 0);
    EXPECT_EQ(AddIncoming("10.0.0.2", 250), 1);    // 200 and above mean 0
    EXPECT_EQ(ListIncoming(), "10.0.0.1 10.0.0.2 10.0.0.1 ");
    EXPECT_STREQ(incoming[1].host, "10.0.0.2");

    EXPECT_EQ(AddIncoming(std::string(256, 'h').c_str(), 0), 0);
    EXPECT_EQ(AddIncoming(std::string(255, 'h').c_str(), 0), 1);
}

TEST_F(Incoming, AddFailsWhenNoEntryIsFreeAtOrAboveTheIndex)
{
    for (int i = 0; i < kIncomingSize; ++i)
        ASSERT_EQ(AddIncoming(("10.9.0." + std::to_string(i)).c_str(), 0), 1) << i;
    EXPECT_EQ(AddIncoming("10.8.0.1", 0), 0);
    ASSERT_EQ(DelIncoming("10.9.0.5"), 1);
    EXPECT_EQ(AddIncoming("10.8.0.1", 6), 0);
    EXPECT_EQ(AddIncoming("10.8.0.1", 5), 1);
}

TEST_F(Incoming, NewEntryDefaultsAndConfigurationText)
{
    Configure("UpdateIncomingEntries = 0\nSiteDefaultMaxIncomingConnections = 3\n");
    ASSERT_EQ(AddIncoming("Peer*", 2), 1);
    EXPECT_EQ(incoming[2].dequeue, -1);
    EXPECT_EQ(*GetIncomingConfig("peer*"),
              "{Peer* {{parameters {{index 2} {max_connections 3} {streaming 1} {rights 0}}} "
              "{statistics {{accepts 0} {refuse 0} {reject 0} {precommit_saves 0} {connected 0} {connects 0}}}}}");
    EXPECT_FALSE(GetIncomingConfig("other*"));

    // Each counter lands in its own field.
    incoming[2].accepts = 1;
    incoming[2].refuses = 2;
    incoming[2].rejects = 3;
    incoming[2].precommitSaves = 4;
    incoming[2].connected = 5;
    incoming[2].connects = 6;
    EXPECT_EQ(*GetIncomingConfig("Peer*"),
              "{Peer* {{parameters {{index 2} {max_connections 3} {streaming 1} {rights 0}}} "
              "{statistics {{accepts 1} {refuse 2} {reject 3} {precommit_saves 4} {connected 5} {connects 6}}}}}");
    incoming[2].connected = -1;
    EXPECT_EQ(ReturnIncomingStatsString(),
              "{incoming {{host Peer*} {connected -1} {connects 6} {accepts 1} {refused 2} {rejected 3} "
              "{precommit_saves 4}} } ");
}

TEST_F(Incoming, StatisticsTextOfAnEmptyTable)
{
    EXPECT_EQ(ReturnIncomingStatsString(), "{incoming } ");
    EXPECT_EQ(ListIncoming(), "");
}

TEST_F(Incoming, SetParameters)
{
    ASSERT_EQ(AddIncoming("news*", 0), 1);
    std::string before = *GetIncomingConfig("news*");
    EXPECT_EQ(SetIncomingParameter("news*", "weight", 5), 1);
    EXPECT_EQ(*GetIncomingConfig("news*"), before);
    EXPECT_EQ(SetIncomingParameter("news*", "colour", 5), 0);
    EXPECT_EQ(SetIncomingParameter("other*", "rights", 5), 0);

    EXPECT_EQ(SetIncomingParameter("NEWS*", "Rights", 5), 1);
    EXPECT_EQ(SetIncomingParameter("news*", "MAX_CONNECTIONS", 2), 1);
    EXPECT_EQ(SetIncomingParameter("news*", "streaming", 0), 1);
    EXPECT_EQ(SetIncomingParameter("news*", "dequeue", 12), 1);
    EXPECT_EQ(incoming[0].rights, 5u);
    EXPECT_EQ(incoming[0].maxConnections, 2u);
    EXPECT_EQ(incoming[0].streaming, 0u);
    EXPECT_EQ(incoming[0].dequeue, 12);

    // Add and delete compare names exactly.
    EXPECT_EQ(DelIncoming("NEWS*"), 0);
    EXPECT_EQ(AddIncoming("NEWS*", 0), 1);
    EXPECT_EQ(DelIncoming("news*"), 1);
    EXPECT_EQ(ListIncoming(), "NEWS* ");
}

TEST_F(Incoming, AdmissionFollowsPriorityAndMoves)
{
    ASSERT_EQ(AddIncoming("127.0.0.*", 3), 1);
    ASSERT_EQ(AddIncoming("127.0.0.1", 7), 1);
    ASSERT_EQ(SetIncomingParameter("127.0.0.*", "rights", 2), 1);
    EXPECT_EQ(Admit("127.0.0.1"), &incoming[3]);

    incoming[3].accepts = 9;
    ASSERT_EQ(SetIncomingParameter("127.0.0.*", "index", 9), 1);
    EXPECT_FALSE(incoming[3].inUse);
    EXPECT_EQ(incoming[9].rights, 2u);
    EXPECT_EQ(incoming[9].accepts, 9u);
    EXPECT_EQ(Admit("127.0.0.1"), &incoming[7]);
    EXPECT_EQ(Admit("127.0.0.2"), &incoming[9]);

    // Downwards the search runs from the value up to the entry's own index.
    ASSERT_EQ(SetIncomingParameter("127.0.0.*", "index", 2), 1);
    EXPECT_EQ(Admit("127.0.0.1"), &incoming[2]);
    ASSERT_EQ(AddIncoming("10.0.0.1", 0), 1);
    ASSERT_EQ(AddIncoming("10.0.0.2", 0), 1);
    EXPECT_EQ(SetIncomingParameter("127.0.0.*", "index", 0), 0);
    EXPECT_EQ(SetIncomingParameter("127.0.0.*", "index", 2), 1);
    EXPECT_EQ(SetIncomingParameter("127.0.0.*", "index", 200), 0);
    EXPECT_EQ(ListIncoming(), "10.0.0.1 10.0.0.2 127.0.0.* 127.0.0.1 ");
}

TEST_F(Incoming, MovingAnEntryWithOpenConnectionsLeavesAMarkedCopy)
{
    ASSERT_EQ(AddIncoming("10.0.0.1", 0), 1);
    incoming[0].connected = 2;
    ASSERT_EQ(SetIncomingParameter("10.0.0.1", "index", 4), 1);
    EXPECT_EQ(incoming[0].deleted, 1u);
    EXPECT_EQ(incoming[4].connected, 0);
    EXPECT_EQ(Admit("10.0.0.1"), &incoming[4]);
}

TEST_F(Incoming, PatternsAddressesAndNames)
{
    ASSERT_EQ(AddIncoming("10.1.*", 0), 1);
    ASSERT_EQ(AddIncoming("local*", 0), 1);
    EXPECT_EQ(Admit("10.1.200.3"), &incoming[0]);
    EXPECT_EQ(Admit("10.2.1.1"), nullptr);
    EXPECT_EQ(incoming[0].addressCount, 0u);

    // The name pattern needs the confirmed reverse name.
    EXPECT_EQ(Admit("127.0.0.1"), nullptr);
    doHostnameResolution = 1;
    EXPECT_EQ(Admit("127.0.0.1"), &incoming[1]);
    char name[201];
    ASSERT_EQ(GetHostName(Ip("127.0.0.1"), name), 1);
    EXPECT_STREQ(name, "localhost");

    // A name that resolves admits through its addresses alone.
    doHostnameResolution = 0;
    ASSERT_EQ(DelIncoming("local*"), 1);
    ASSERT_EQ(AddIncoming("localhost", 0), 1);
    EXPECT_GE(incoming[1].addressCount, 1u);
    EXPECT_EQ(Admit("127.0.0.1"), &incoming[1]);
}

// Prefixes of either family match their leading bits, within a byte too; a
// prefix that cannot be one (too many bits, no bits) admits nobody.
TEST_F(Incoming, AddressAndPrefixEntriesOfBothFamilies)
{
    ASSERT_EQ(AddIncoming("192.0.2.128/25", 0), 1);
    ASSERT_EQ(AddIncoming("2001:db8:8000::/33", 0), 1);
    ASSERT_EQ(AddIncoming("2001:DB8::1", 0), 1);
    ASSERT_EQ(AddIncoming("10.0.0.0/33", 0), 1);
    ASSERT_EQ(AddIncoming("10.0.0.0/", 0), 1);
    EXPECT_EQ(Admit("192.0.2.200"), &incoming[0]);
    EXPECT_EQ(Admit("192.0.2.127"), nullptr);
    EXPECT_EQ(Admit6("2001:db8:8000::5"), &incoming[1]);
    EXPECT_EQ(Admit6("2001:db8:ffff:1::"), &incoming[1]);
    EXPECT_EQ(Admit6("2001:db8:7fff::5"), nullptr);
    EXPECT_EQ(Admit6("2001:db8::1"), &incoming[2]);  // another spelling of the same address
    EXPECT_EQ(Admit6("2001:db8::2"), nullptr);
    EXPECT_EQ(Admit("10.1.2.3"), nullptr);
    EXPECT_EQ(Admit6("::ffff:10.1.2.3"), nullptr);  // mapped addresses arrive as IPv4, not here

    ASSERT_EQ(AddIncoming("::/0", 0), 1);
    const IncomingEntry* any6 = Admit6("fe80::1");
    ASSERT_NE(any6, nullptr);
    EXPECT_STREQ(any6->host, "::/0");
    EXPECT_EQ(Admit("192.0.2.200"), &incoming[0]);
    EXPECT_EQ(Admit("198.51.100.1"), nullptr);  // an IPv6 prefix leaves IPv4 alone
}

TEST_F(Incoming, DeletedEntryAdmitsNobodyAndGoesAtTheRefreshAfterItsConnections)
{
    ASSERT_EQ(AddIncoming("127.0.0.1", 0), 1);
    incoming[0].connected = 2;
    ASSERT_EQ(DelIncoming("127.0.0.1"), 1);
    EXPECT_EQ(ListIncoming(), "127.0.0.1 ");
    EXPECT_EQ(Admit("127.0.0.1"), nullptr);
    EXPECT_EQ(AddIncoming("127.0.0.1", 0), 0);  // still in use
    EXPECT_EQ(UpdateIncoming(&incoming[0]), 1);
    EXPECT_EQ(incoming[0].connected, 2);

    incoming[0].connected = 0;
    EXPECT_EQ(UpdateIncoming(&incoming[0]), 0);
    EXPECT_EQ(ListIncoming(), "");
    EXPECT_EQ(UpdateIncoming(&incoming[0]), 0);

    // An admission holds its entry until the caller keeps or drops the count.
    ASSERT_EQ(AddIncoming("127.0.0.1", 0), 1);
    IncomingEntry* held = CheckIncoming(Ip("127.0.0.1"));
    ASSERT_EQ(held, &incoming[0]);
    EXPECT_EQ(held->connected, 1);
    ASSERT_EQ(DelIncoming("127.0.0.1"), 1);
    EXPECT_EQ(held->inUse, 1u);
    --held->connected;
    EXPECT_EQ(UpdateIncoming(held), 0);

    // Without open connections a delete clears at once.
    ASSERT_EQ(AddIncoming("127.0.0.1", 0), 1);
    ASSERT_EQ(DelIncoming("127.0.0.1"), 1);
    EXPECT_EQ(ListIncoming(), "");
    EXPECT_EQ(DelIncoming("127.0.0.1"), 0);
}

TEST_F(Incoming, AddressesOfAnUnresolvableNameGoFromTheFiftiethFailure)
{
    ASSERT_EQ(AddIncoming(kUnresolvable.c_str(), 0), 1);  // failure 1
    incoming[0].addresses[0] = Ip("10.3.3.3");
    incoming[0].addressCount = 1;
    for (int failure = 2; failure <= 49; ++failure)
        ASSERT_EQ(UpdateIncoming(&incoming[0]), 1);
    EXPECT_EQ(Admit("10.3.3.3"), &incoming[0]);
    EXPECT_EQ(UpdateIncoming(&incoming[0]), 1);
    EXPECT_EQ(incoming[0].resolveFailures, 50u);
    EXPECT_EQ(Admit("10.3.3.3"), nullptr);
}

}  // namespace
