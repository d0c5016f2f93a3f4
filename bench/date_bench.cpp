// Parsing Date: values as article intake does: no current-time record.
#include "date/parsedate.h"

#include <benchmark/benchmark.h>

namespace {

const char* const kDates[] = {
    "Tue, 07 Dec 1999 12:00:00 -0500",
    "7 Dec 1999 17:00:00 GMT",
    "Wed, 8 Dec 1999 09:15:42 +0100 (CET)",
    "12/07/99 12:00 pm EST",
};

void BM_ParseDate(benchmark::State& state)
{
    const char* text = kDates[state.range(0)];
    for (auto _ : state)
        benchmark::DoNotOptimize(parsedate(text, nullptr));
    state.SetLabel(text);
}
BENCHMARK(BM_ParseDate)->DenseRange(0, 3);

// A date without a zone takes the local rules.
void BM_ParseLocalDate(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(parsedate("Dec 7, 1999 5pm", nullptr));
}
BENCHMARK(BM_ParseLocalDate);

}  // namespace
