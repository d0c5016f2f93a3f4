// Reader gate: readers in and out, a writer waiting for them and keeping new
// ones out, writers in turn, and no wake-up lost under contention.
#include "platform/reader_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "platform/reader_gate_internal.h"

namespace {

// Returns once `count` threads are blocked at the gate.
void AwaitBlocked(ReaderGate& gate, int count)
{
    while (ReaderGateWaiting(gate) < count)
        std::this_thread::yield();
}

TEST(ReaderGate, ReadersPassTogetherAndAWriterFindsThemGone)
{
    ReaderGate gate;
    {
        GatePass first(gate);
        GatePass second(gate);  // readers do not wait for each other
        EXPECT_EQ(ReaderGateWaiting(gate), 0);
    }
    bool changed = false;
    gate.WithReadersOut([&] { changed = true; });  // no reader inside: no wait
    EXPECT_TRUE(changed);
    GatePass again(gate);  // the gate is open again after the change
    EXPECT_EQ(ReaderGateWaiting(gate), 0);
}

TEST(ReaderGate, WriterWaitsForReadersInsideAndHoldsNewOnesOff)
{
    ReaderGate gate;
    std::atomic<bool> closed{false};
    std::atomic<bool> lateReaderIn{false};

    gate.Enter();
    std::thread writer([&] {
        gate.Close();
        closed = true;
    });
    AwaitBlocked(gate, 1);  // the writer, waiting for the reader inside
    EXPECT_FALSE(closed);

    std::thread lateReader([&] {
        GatePass pass(gate);
        lateReaderIn = true;
    });
    AwaitBlocked(gate, 2);  // the late reader is held at the closing gate
    EXPECT_FALSE(closed);
    EXPECT_FALSE(lateReaderIn);

    gate.Leave();
    writer.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(ReaderGateWaiting(gate), 1);  // still held while the gate is closed
    EXPECT_FALSE(lateReaderIn);

    gate.Open();
    lateReader.join();
    EXPECT_TRUE(lateReaderIn);
}

TEST(ReaderGate, WritersTakeTurns)
{
    ReaderGate gate;
    std::atomic<bool> secondClosed{false};
    gate.Close();
    std::thread second([&] {
        gate.Close();
        secondClosed = true;
        gate.Open();
    });
    AwaitBlocked(gate, 1);
    EXPECT_FALSE(secondClosed);
    gate.Open();
    second.join();
    EXPECT_TRUE(secondClosed);
}

TEST(ReaderGate, WithReadersOutReopensWhenTheChangeThrows)
{
    ReaderGate gate;
    EXPECT_THROW(gate.WithReadersOut([] { throw 1; }), int);
    GatePass pass(gate);
    EXPECT_EQ(ReaderGateWaiting(gate), 0);
}

// Readers and writers hammer the gate: a writer must never see a reader
// inside, two writers never overlap, and every thread gets through (a lost
// wake-up would leave one blocked for good).
TEST(ReaderGate, ManyReadersAndWritersExcludeEachOtherAndAllFinish)
{
    constexpr int kReaders = 6, kWriters = 3, kRounds = 2000;
    ReaderGate gate;
    std::atomic<int> readersInside{0};
    std::atomic<int> writersInside{0};
    std::atomic<int> violations{0};
    std::atomic<int> changes{0};
    std::latch start(kReaders + kWriters);
    std::vector<std::thread> threads;
    for (int i = 0; i < kReaders; ++i) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                GatePass pass(gate);
                ++readersInside;
                if (writersInside != 0)
                    ++violations;
                --readersInside;
            }
        });
    }
    for (int i = 0; i < kWriters; ++i) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds / 10; ++round) {
                gate.WithReadersOut([&] {
                    if (++writersInside != 1 || readersInside != 0)
                        ++violations;
                    ++changes;
                    --writersInside;
                });
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(violations, 0);
    EXPECT_EQ(changes, kWriters * (kRounds / 10));
    EXPECT_EQ(ReaderGateWaiting(gate), 0);
}

}  // namespace
