#include "nntp/precommit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "access/incoming.h"
#include "server/client_context.h"
#include "support/unit_config.h"

using verdalix_test::UseConfigText;

namespace {

void Configure(const char* text)
{
    UseConfigText(text);
    PrecommitInit();
}

// One connection offering one key; its unfinished entries go when it does.
struct Offer {
    IncomingEntry peer {};
    ClientContext context;
    Offer(uint64_t key, int32_t dequeue)
    {
        peer.dequeue = dequeue;
        context.incomingEntry = &peer;
        context.articleKey = key;
    }
    ~Offer() { ReleasePrecommits(&context); }
    Offer(const Offer&) = delete;
    Offer& operator=(const Offer&) = delete;
};

bool InTable(uint64_t key)
{
    Offer probe(key, -1);
    CsLock lock(csPrecommit());
    return CheckPrecommit(&probe.context) != nullptr;
}

// Waits (bounded) for the cleaner to take `key` out of the table.
bool ExpiresWithin(uint64_t key, std::chrono::seconds bound)
{
    auto until = std::chrono::steady_clock::now() + bound;
    while (InTable(key)) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace

TEST(Precommit, SecondOfferOfOneKeyIsDeclined)
{
    Configure("PrecommitHashSize = 577\n");
    Offer first(0x1234, -1), second(0x1234, -1), other(0x1234 + 577, -1);
    EXPECT_EQ(AddPrecommit(&first.context), 1);
    EXPECT_EQ(AddPrecommit(&second.context), 0);
    // Same bucket, different key: a separate entry.
    EXPECT_EQ(AddPrecommit(&other.context), 1);
    CsLock lock(csPrecommit());
    PrecommitEntry* entry = CheckPrecommit(&first.context);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->key, 0x1234u);
    EXPECT_EQ(CheckPrecommit(&other.context)->key, 0x1234u + 577);
}

TEST(Precommit, DequeueFlagsMarkOfferingSites)
{
    Configure("");
    uint32_t flags[kDequeueFlagWords];
    std::memset(flags, 0xAB, sizeof flags);
    Offer unknown(77, -1);
    EXPECT_EQ(GetDequeueFlags(&unknown.context, flags), 0);
    EXPECT_EQ(flags[0], 0xABABABABu);

    Offer a(1000, 5), b(1000, 40), c(1000, 319);
    EXPECT_EQ(AddPrecommit(&a.context), 1);
    EXPECT_EQ(AddPrecommit(&b.context), 0);
    EXPECT_EQ(AddPrecommit(&c.context), 0);
    ASSERT_EQ(GetDequeueFlags(&a.context, flags), 1);
    EXPECT_EQ(flags[0], 32u);
    EXPECT_EQ(flags[1], 256u);
    EXPECT_EQ(flags[9], 0x80000000u);
    for (int i = 2; i < 9; ++i)
        EXPECT_EQ(flags[i], 0u) << i;

    // Indexes outside 0..319 mark nothing, first offer or later.
    Offer none(2000, -1), high(2000, 320), higher(2000, 100000);
    AddPrecommit(&none.context);
    AddPrecommit(&high.context);
    AddPrecommit(&higher.context);
    ASSERT_EQ(GetDequeueFlags(&none.context, flags), 1);
    for (uint32_t word : flags)
        EXPECT_EQ(word, 0u);

    // A peer that is no site at all.
    ClientContext anonymous;
    anonymous.articleKey = 3000;
    EXPECT_EQ(AddPrecommit(&anonymous), 1);
    ReleasePrecommits(&anonymous);
}

// The entry's owner under the table's lock; null when there is no entry.
const ClientContext* OwnerOf(uint64_t key)
{
    Offer probe(key, -1);
    CsLock lock(csPrecommit());
    PrecommitEntry* entry = CheckPrecommit(&probe.context);
    return entry != nullptr ? entry->owner : nullptr;
}

TEST(Precommit, FailedTransferFreesItsEntryAndAStoredOneKeepsIt)
{
    Configure("");
    Offer first(500, 1), second(500, 2);
    ASSERT_EQ(AddPrecommit(&first.context), 1);
    EXPECT_EQ(OwnerOf(500), &first.context);
    EXPECT_EQ(AddPrecommit(&second.context), 0);

    // Only the owner's end counts: the declined connection ends nothing.
    EndPrecommit(&second.context, false);
    EXPECT_EQ(OwnerOf(500), &first.context);

    // The owner's transfer is cut: the next offer is taken and starts a
    // fresh set of offering sites.
    EndPrecommit(&first.context, false);
    EXPECT_FALSE(InTable(500));
    ASSERT_EQ(AddPrecommit(&second.context), 1);
    EXPECT_EQ(OwnerOf(500), &second.context);
    uint32_t flags[kDequeueFlagWords];
    ASSERT_EQ(GetDequeueFlags(&second.context, flags), 1);
    EXPECT_EQ(flags[0], 1u << 2);

    // Stored: the entry stays, owned by nobody, and still declines offers.
    EndPrecommit(&second.context, true);
    EXPECT_TRUE(InTable(500));
    EXPECT_EQ(OwnerOf(500), nullptr);
    EXPECT_EQ(AddPrecommit(&first.context), 0);
    ReleasePrecommits(&second.context);
    EXPECT_TRUE(InTable(500));
}

TEST(Precommit, EndingAConnectionFreesOnlyItsUnfinishedEntries)
{
    // One chain, so removals from the middle of a chain and of the age list
    // are exercised; the survivors must still be found and expire.
    Configure("PrecommitHashSize = 1\n");
    auto connection = std::make_unique<Offer>(0, 7);
    Offer other(0, 8);
    for (uint64_t key = 1; key <= 40; ++key) {
        ClientContext& offering = key % 4 == 0 ? other.context : connection->context;
        offering.articleKey = key;
        ASSERT_EQ(AddPrecommit(&offering), 1) << key;
        if (key % 4 == 1)
            EndPrecommit(&offering, true);
    }
    connection.reset();
    for (uint64_t key = 1; key <= 40; ++key)
        EXPECT_EQ(InTable(key), key % 4 <= 1) << key;
    {
        CsLock lock(csPrecommit());
        EXPECT_NE(other.context.precommitOwned, nullptr);
    }
    // Freed keys are offered afresh; the chain still holds the rest.
    Offer again(3, -1);
    EXPECT_EQ(AddPrecommit(&again.context), 1);
    again.context.articleKey = 4;
    EXPECT_EQ(AddPrecommit(&again.context), 0);
    again.context.articleKey = 5;
    EXPECT_EQ(AddPrecommit(&again.context), 0);
}

TEST(Precommit, ExpiryTakesEntriesOffTheirOwnersLists)
{
    Configure("MaxPrecommitAge = 0\n");
    Offer owner(60, -1);
    for (uint64_t key = 60; key < 63; ++key) {
        owner.context.articleKey = key;
        ASSERT_EQ(AddPrecommit(&owner.context), 1);
    }
    ASSERT_TRUE(ExpiresWithin(60, std::chrono::seconds(20)));
    ASSERT_TRUE(ExpiresWithin(62, std::chrono::seconds(20)));
    CsLock lock(csPrecommit());
    EXPECT_EQ(owner.context.precommitOwned, nullptr);
}

TEST(Precommit, EntriesExpireAndCanBeOfferedAgain)
{
    // Every entry is older than 0 ms at the cleaner's next pass.
    Configure("MaxPrecommitAge = 0\n");
    Offer offer(42, 3);
    EXPECT_EQ(AddPrecommit(&offer.context), 1);
    ASSERT_TRUE(ExpiresWithin(42, std::chrono::seconds(20)));
    uint32_t flags[kDequeueFlagWords];
    EXPECT_EQ(GetDequeueFlags(&offer.context, flags), 0);
    EXPECT_EQ(AddPrecommit(&offer.context), 1);
}

TEST(Precommit, OneBucketHoldsEveryKeyAndRecyclesEntries)
{
    Configure("PrecommitHashSize = 1\nMaxPrecommitAge = 0\n");
    // More entries than the spare list keeps, twice over, all in one chain.
    for (int round = 0; round < 2; ++round) {
        for (uint64_t key = 1; key <= 100; ++key) {
            Offer offer(key, static_cast<int32_t>(key));
            ASSERT_EQ(AddPrecommit(&offer.context), 1) << key;
            EndPrecommit(&offer.context, true);
        }
        for (uint64_t key = 1; key <= 100; ++key) {
            Offer again(key, -1);
            ASSERT_EQ(AddPrecommit(&again.context), 0) << key;
            uint32_t flags[kDequeueFlagWords] = {};
            ASSERT_EQ(GetDequeueFlags(&again.context, flags), 1);
            EXPECT_EQ(flags[key / 32], 1u << (key % 32)) << key;
        }
        ASSERT_TRUE(ExpiresWithin(100, std::chrono::seconds(20)));
        for (uint64_t key = 1; key <= 100; ++key)
            EXPECT_FALSE(InTable(key)) << key;
    }
}
