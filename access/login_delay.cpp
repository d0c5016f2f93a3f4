// Failed-login delays per address: a bounded table of the addresses that
// failed lately, with their failure count and the next free turn.
#include "access/login_delay.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/socket.h"
#include "platform/sync.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kFirstDelay = 1s;
constexpr auto kMaxDelay = 16s;
constexpr auto kMaxQueued = 60s;
constexpr auto kForgetAfter = 10min;
constexpr size_t kTableLimit = 4096;

// The family and the counted bytes (an IPv6 peer's first 8).
using Key = std::array<uint8_t, 9>;

struct Record {
    unsigned failures = 0;
    LoginClock::time_point lastFailure;
    LoginClock::time_point nextTurn;
};

std::mutex& DelayLock()
{
    static Lasting<std::mutex> lock;
    return *lock;
}
std::map<Key, Record> records;

Key KeyOf(const NetAddress& peer)
{
    Key key{};
    key[0] = static_cast<uint8_t>(peer.family);
    if (peer.family == AF_INET6)
        std::memcpy(key.data() + 1, &peer.v6, 8);
    else
        std::memcpy(key.data() + 1, &peer.v4, sizeof peer.v4);
    return key;
}

LoginClock::duration DelayAfter(unsigned failures)
{
    if (failures == 0)
        return LoginClock::duration::zero();
    const unsigned doublings = std::min(failures - 1, 8u);
    return std::min<LoginClock::duration>(kFirstDelay * (1u << doublings), kMaxDelay);
}

// Drops the forgotten addresses; when none is, the one that failed longest
// ago, so a flood of addresses cannot grow the table.
void MakeRoom(LoginClock::time_point now)
{
    std::erase_if(records, [now](const auto& item) { return now - item.second.lastFailure > kForgetAfter; });
    if (records.size() < kTableLimit)
        return;
    auto oldest = std::min_element(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return a.second.lastFailure < b.second.lastFailure;
    });
    records.erase(oldest);
}

}  // namespace

std::optional<LoginClock::time_point> LoginTurn(const NetAddress& peer, LoginClock::time_point now)
{
    std::lock_guard lock(DelayLock());
    auto found = records.find(KeyOf(peer));
    if (found == records.end())
        return now;
    Record& record = found->second;
    if (now - record.lastFailure > kForgetAfter) {
        records.erase(found);
        return now;
    }
    const LoginClock::time_point turn = std::max(now, record.nextTurn);
    if (turn - now > kMaxQueued)
        return std::nullopt;
    record.nextTurn = turn + DelayAfter(record.failures);
    return turn;
}

LoginClock::time_point LoginFailed(const NetAddress& peer, LoginClock::time_point now)
{
    std::lock_guard lock(DelayLock());
    const Key key = KeyOf(peer);
    if (records.size() >= kTableLimit && records.find(key) == records.end())
        MakeRoom(now);
    Record& record = records[key];
    if (record.failures > 0 && now - record.lastFailure > kForgetAfter)
        record = Record{};
    ++record.failures;
    record.lastFailure = now;
    const LoginClock::time_point answer = now + DelayAfter(record.failures);
    record.nextTurn = std::max(record.nextTurn, answer);
    return answer;
}
