// The wildcard matcher on the patterns it meets: group patterns from feedspecs
// and LIST ACTIVE, and the hostile ones a reader or a peer
// can send (runs of '*' before a byte that never comes, huge path elements).
#include "access/wildcard.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void Run(benchmark::State& state, const std::string& text, const std::string& pattern)
{
    int matched = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(matched = StringMatch(text.c_str(), pattern.c_str()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (text.size() + pattern.size())));
    state.SetLabel(matched ? "match" : "no match");
}

void BM_GroupPattern(benchmark::State& state)
{
    Run(state, "comp.lang.c++.moderated", "comp.lang.*.moderated");
}
BENCHMARK(BM_GroupPattern);

void BM_GroupPatternMiss(benchmark::State& state)
{
    Run(state, "alt.binaries.pictures.misc", "comp.*");
}
BENCHMARK(BM_GroupPatternMiss);

void BM_SetsAndEscapes(benchmark::State& state)
{
    Run(state, "news7.example.net", "news[0-9].*.[a-z]e\\t");
}
BENCHMARK(BM_SetsAndEscapes);

// LIST ACTIVE ****...*# against a group name: n stars.
void BM_StarsBeforeMissingByte(benchmark::State& state)
{
    Run(state, "alt.binaries.pictures.misc", std::string(static_cast<size_t>(state.range(0)), '*') + "#");
}
BENCHMARK(BM_StarsBeforeMissingByte)->Arg(40)->Arg(1000);

// "a*a*a*...b" against "aaaa...": every star retried at every position.
void BM_AlternatingStars(benchmark::State& state)
{
    std::string pattern;
    for (int64_t i = 0; i < state.range(0); ++i)
        pattern += "a*";
    Run(state, std::string(static_cast<size_t>(state.range(0)), 'a'), pattern + "b");
}
BENCHMARK(BM_AlternatingStars)->Arg(40)->Arg(1000);

// A Path element of a million '*' taken as the pattern for a site name.
void BM_MillionStarElement(benchmark::State& state)
{
    Run(state, "mysite.example", std::string(1000000, '*') + "#");
}
BENCHMARK(BM_MillionStarElement);

// A set whose range ends in ']' takes the exact search over all positions.
void BM_RangeEndingInBracket(benchmark::State& state)
{
    Run(state, "alt.binaries.pictures.misc", "*[ab-]*]*" + std::string(static_cast<size_t>(state.range(0)), '*') + "#");
}
BENCHMARK(BM_RangeEndingInBracket)->Arg(40)->Arg(1000);

}  // namespace
