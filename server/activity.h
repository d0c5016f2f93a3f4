// Recent activity for the operator: the article counters sampled every
// second by the scheduler, kept for a minute (totals) and an hour (by peer
// and by site, every ten seconds), so that the status command and the
// status page can show rates without anyone polling at the right moment.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Schedules the sampler. Call once the scheduler runs.
void ActivityInit();

// Articles per second accepted, refused (already had) and rejected over
// the last minute (or since start when that is shorter), all peers together.
struct MinuteRates {
    double accepted = 0;
    double refused = 0;
    double rejected = 0;
};
MinuteRates LastMinuteRates();

// One line of a chart: articles per second in each step, oldest first.
struct ActivitySeries {
    std::string name;
    std::vector<double> perSecond;
};

// The last hour in ten-second steps, ending at `end`: articles accepted
// from each incoming peer and by each outgoing site.
struct HourActivity {
    unsigned stepSeconds = 10;
    std::time_t end = 0;
    std::vector<ActivitySeries> peersIn;
    std::vector<ActivitySeries> sitesOut;
};
HourActivity LastHourActivity();

// Takes one sample now (the scheduler does it every second; tests call it).
void SampleActivity();
