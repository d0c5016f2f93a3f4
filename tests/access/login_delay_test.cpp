// Failed-login delays: growth and cap, turns shared by all connections of
// an address, addresses apart from each other (IPv6 by /64), the refusal
// of attempts queued too far ahead, and forgetting. Time is given, never
// waited for.
#include "access/login_delay.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/socket.h"

namespace {

using namespace std::chrono_literals;

NetAddress Peer(const char* text)
{
    NetAddress address;
    EXPECT_TRUE(ParseNetAddress(text, &address)) << text;
    return address;
}

// A fixed start, far from the clock's zero.
const LoginClock::time_point kStart = LoginClock::time_point() + 1000h;

TEST(LoginDelay, EachFailureDoublesTheWaitUpToItsCap)
{
    const NetAddress peer = Peer("192.0.2.1");
    LoginClock::time_point now = kStart;
    EXPECT_EQ(LoginTurn(peer, now), now) << "no failure yet: no wait";
    std::vector<LoginClock::duration> waits;
    for (int i = 0; i < 8; ++i) {
        const LoginClock::time_point turn = *LoginTurn(peer, now);
        const LoginClock::time_point answer = LoginFailed(peer, turn);
        waits.push_back(answer - turn);
        now = answer;  // one connection: the next attempt follows the refusal
    }
    const std::vector<LoginClock::duration> expected = {1s, 2s, 4s, 8s, 16s, 16s, 16s, 16s};
    EXPECT_EQ(waits, expected);
}

TEST(LoginDelay, ConnectionsOfOneAddressTakeTurns)
{
    const NetAddress peer = Peer("192.0.2.2");
    const LoginClock::time_point answer = LoginFailed(peer, kStart);
    ASSERT_EQ(answer, kStart + 1s);
    // Five connections try at once, right after the failure.
    std::vector<LoginClock::time_point> turns;
    for (int i = 0; i < 5; ++i)
        turns.push_back(*LoginTurn(peer, kStart));
    for (size_t i = 0; i < turns.size(); ++i)
        EXPECT_EQ(turns[i], kStart + 1s + i * 1s) << "attempt " << i;
    // Another address is not held up by them.
    EXPECT_EQ(LoginTurn(Peer("192.0.2.3"), kStart), kStart);
}

TEST(LoginDelay, AttemptsQueuedOverAMinuteAheadAreRefused)
{
    const NetAddress peer = Peer("192.0.2.4");
    LoginClock::time_point now = kStart;
    for (int i = 0; i < 5; ++i)
        now = LoginFailed(peer, now);  // now at 16 s per attempt
    int granted = 0;
    while (LoginTurn(peer, now) && granted < 100)
        ++granted;
    EXPECT_GT(granted, 0);
    EXPECT_LT(granted, 100) << "the queue of one address is bounded";
    EXPECT_FALSE(LoginTurn(peer, now));
}

TEST(LoginDelay, AnIpv6PeerCountsByItsNetwork)
{
    LoginFailed(Peer("2001:db8:1:2::10"), kStart);
    EXPECT_EQ(LoginTurn(Peer("2001:db8:1:2:ffff::1"), kStart), kStart + 1s) << "same /64";
    EXPECT_EQ(LoginTurn(Peer("2001:db8:1:3::10"), kStart), kStart) << "another /64";
}

TEST(LoginDelay, AnAddressIsForgottenTenMinutesAfterItsLastFailure)
{
    const NetAddress peer = Peer("192.0.2.5");
    LoginClock::time_point now = kStart;
    for (int i = 0; i < 4; ++i)
        now = LoginFailed(peer, now);
    const LoginClock::time_point soon = now + 9min;
    EXPECT_EQ(LoginTurn(peer, soon), soon);
    EXPECT_EQ(LoginTurn(peer, soon), soon + 8s) << "still remembered: attempts are spaced";
    const LoginClock::time_point later = now + 11min;
    EXPECT_EQ(LoginTurn(peer, later), later);
    EXPECT_EQ(LoginTurn(peer, later), later) << "forgotten: no spacing";
    EXPECT_EQ(LoginFailed(peer, later) - later, LoginClock::duration(1s)) << "counted from the start again";
}

}  // namespace
