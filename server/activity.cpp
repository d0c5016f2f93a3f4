// The activity sampler and the rates and series made from its samples.
#include "server/activity.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>

#include "access/incoming.h"
#include "control/scheduler.h"
#include "feed/site_status.h"
#include "platform/sync.h"

namespace {

constexpr size_t kMinuteSamples = 61;  // 60 one-second steps
constexpr unsigned kHourStep = 10;
constexpr size_t kHourSamples = 361;  // 360 ten-second steps

struct Totals {
    std::time_t time = 0;
    uint64_t accepted = 0, refused = 0, rejected = 0;
};

// Counts by name at one moment; a name missing from a sample had no entry then.
struct Counts {
    std::time_t time = 0;
    std::map<std::string, uint64_t> peers;
    std::map<std::string, uint64_t> sites;
};

struct Samples {
    std::mutex lock;
    std::deque<Totals> minute;
    std::deque<Counts> hour;
    std::atomic<unsigned> ticks{0};
};

Samples& History()
{
    static Lasting<Samples> samples;
    return *samples;
}

void Sampled(void*)
{
    SampleActivity();
}

// The counts of this moment: every peer's accepts (and their sum into
// *totals when given) and, when asked, every site's.
Counts CountsNow(bool withSites, Totals* totals)
{
    Counts counts;
    counts.time = std::time(nullptr);
    for (const IncomingCounts& peer : IncomingCountsList()) {
        if (totals != nullptr) {
            totals->accepted += peer.accepts;
            totals->refused += peer.refuses;
            totals->rejected += peer.rejects;
        }
        counts.peers[peer.host] = peer.accepts;
    }
    if (withSites)
        for (const SiteAccepts& site : SiteAcceptCounts())
            counts.sites[site.name] = site.accepted;
    return counts;
}

double PerSecond(uint64_t later, uint64_t earlier, std::time_t seconds)
{
    return later > earlier && seconds > 0 ? static_cast<double>(later - earlier) / static_cast<double>(seconds) : 0;
}

// Rates between each pair of samples for every name in either map.
std::vector<ActivitySeries> Series(const std::deque<Counts>& hour, std::map<std::string, uint64_t> Counts::*field)
{
    std::map<std::string, ActivitySeries> byName;
    for (const Counts& sample : hour)
        for (const auto& [name, count] : sample.*field)
            byName[name].name = name;
    for (size_t i = 1; i < hour.size(); ++i) {
        const auto& before = hour[i - 1].*field;
        const auto& after = hour[i].*field;
        for (auto& [name, series] : byName) {
            const auto was = before.find(name), is = after.find(name);
            const bool both = was != before.end() && is != after.end();
            series.perSecond.push_back(both ? PerSecond(is->second, was->second, hour[i].time - hour[i - 1].time) : 0);
        }
    }
    std::vector<ActivitySeries> list;
    for (auto& [name, series] : byName)
        list.push_back(std::move(series));
    return list;
}

}  // namespace

void ActivityInit()
{
    SampleActivity();
    ScheduleCallback(1, 1, Sampled, nullptr);
}

void SampleActivity()
{
    Samples& samples = History();
    const bool hourly = samples.ticks.fetch_add(1) % kHourStep == 0;  // only the scheduler samples
    Totals totals;
    Counts counts = CountsNow(hourly, &totals);
    totals.time = counts.time;
    std::lock_guard lock(samples.lock);
    samples.minute.push_back(totals);
    if (samples.minute.size() > kMinuteSamples)
        samples.minute.pop_front();
    if (!hourly)
        return;
    samples.hour.push_back(std::move(counts));
    if (samples.hour.size() > kHourSamples)
        samples.hour.pop_front();
}

MinuteRates LastMinuteRates()
{
    Samples& samples = History();
    std::lock_guard lock(samples.lock);
    if (samples.minute.size() < 2)
        return {};
    const Totals& first = samples.minute.front();
    const Totals& last = samples.minute.back();
    const std::time_t seconds = last.time - first.time;
    return {PerSecond(last.accepted, first.accepted, seconds), PerSecond(last.refused, first.refused, seconds),
            PerSecond(last.rejected, first.rejected, seconds)};
}

// The samples and the counts of this moment as a last, shorter step, so
// that the charts end now and show a peer from its first minute.
HourActivity LastHourActivity()
{
    Counts now = CountsNow(true, nullptr);
    std::deque<Counts> hour;
    {
        Samples& samples = History();
        std::lock_guard lock(samples.lock);
        hour = samples.hour;
    }
    if (hour.empty() || hour.back().time < now.time)
        hour.push_back(std::move(now));
    HourActivity activity;
    activity.stepSeconds = kHourStep;
    activity.end = hour.back().time;
    activity.peersIn = Series(hour, &Counts::peers);
    activity.sitesOut = Series(hour, &Counts::sites);
    return activity;
}
