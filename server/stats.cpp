// The server's statistics counters and the two statistics texts.
#include "server/stats.h"

#include <cstdio>
#include <ctime>

#include "server/log.h"

std::atomic<uint32_t> ihave{0}, ihave_accept{0}, ihave_refuse{0}, ihave_reject{0};
std::atomic<uint32_t> check{0}, check_refuse{0}, takethis{0}, takethis_refuse{0}, precommit_saves{0};
std::atomic<uint32_t> takethis_accept{0};
std::atomic<uint32_t> oShead{0};
std::atomic<uint32_t> oStail{0};
std::atomic<uint32_t> seenSearchCount{0};
std::atomic<uint32_t> seenDepth{0};
std::atomic<uint32_t> seenMaxDepth{0};
std::atomic<uint32_t> total_accept{0};
std::atomic<uint32_t> total_refuse{0};
std::atomic<uint32_t> total_reject{0};
std::atomic<uint32_t> TotalConnected{0};
std::atomic<uint32_t> MaxConnections{350};
std::atomic<uint32_t> readersConnected{0}, feedersConnected{0};
std::atomic<uint64_t> readersTotal{0}, feedersTotal{0};
std::atomic<uint64_t> overCacheHits{0}, overCacheMisses{0};

namespace {

std::atomic<std::string (*)()> peerStats{nullptr};

void Append(std::string& text, const char* format, auto... values)
{
    char piece[512];
    int length = std::snprintf(piece, sizeof piece, format, values...);
    text.append(piece, static_cast<size_t>(length));
}

void AppendTransfers(std::string& text)
{
    std::time_t start = LogStartTime();
    Append(text, "{starttime %u} {uptime %u} {ihave %u} {ihave_accept %u} {ihave_refuse %u} {ihave_reject %u} ",
           static_cast<unsigned>(start), static_cast<unsigned>(std::time(nullptr) - start), ihave.load(),
           ihave_accept.load(), ihave_refuse.load(), ihave_reject.load());
    Append(text, "{check %u} {check_refuse %u} {takethis %u} {takethis_reject %u} {precommit_saves %u} ",
           check.load(), check_refuse.load(), takethis.load(), takethis_refuse.load(), precommit_saves.load());
}

void AppendHistory(std::string& text)
{
    uint32_t searches = seenSearchCount;
    uint32_t depth = seenDepth;
    float average = searches != 0 && depth != 0 ? static_cast<float>(depth) / static_cast<float>(searches) : 0.0f;
    Append(text, "{SeenSearchCount %u} {SeenMaxDepth %u} {avg_search_depth %4.4f} ", searches, seenMaxDepth.load(),
           static_cast<double>(average));
}

}  // namespace

void SetPeerStatsProvider(std::string (*provider)())
{
    peerStats = provider;
}

std::string GetStatsString()
{
    std::string text;
    AppendTransfers(text);
    Append(text, "{oShead %u} {oStail %u} ", oShead.load(), oStail.load());
    AppendHistory(text);
    if (auto provider = peerStats.load())
        text += provider();
    text += "\r\n";
    return text;
}

std::string GetBaseStatsString()
{
    std::string text;
    AppendTransfers(text);
    AppendHistory(text);
    Append(text, "{total_accept %u} {total_refuse %u} {total_reject %u} ", total_accept.load(), total_refuse.load(),
           total_reject.load());
    Append(text, "{totalConnected %u} {MaxConnections %u} ", TotalConnected.load(), MaxConnections.load());
    text += "\r\n";
    return text;
}
