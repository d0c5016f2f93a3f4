// Slowing down password guessing: every failed login from an address makes
// that address wait longer (1 s, doubled at each failure, at most 16 s)
// before its next attempt is checked, on whichever connection it comes.
// Attempts from one address take turns, so opening more connections does
// not guess faster. An IPv6 peer counts by its /64 network, which one user
// usually holds whole. An address is forgotten 10 minutes after its last
// failure. Only the attempting connection's thread waits.
#pragma once

#include <chrono>
#include <optional>

struct NetAddress;

using LoginClock = std::chrono::steady_clock;

// The moment an attempt from `peer` may be checked, its turn taken; nothing
// when the address already has more than a minute of attempts waiting (the
// attempt is then refused unchecked).
std::optional<LoginClock::time_point> LoginTurn(const NetAddress& peer, LoginClock::time_point now);

// Counts a failed login from `peer`; the moment its refusal may be sent.
LoginClock::time_point LoginFailed(const NetAddress& peer, LoginClock::time_point now);
