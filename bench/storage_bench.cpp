// The storage core's hot paths: history lookups and additions, header
// lookups, match evaluation, and store appends and reads of 3 KB records.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "access/match.h"
#include "article/article_key.h"
#include "article/header.h"
#include "article/store.h"
#include "history/history.h"
#include "server/client_context.h"
#include "server/config.h"

namespace {

constexpr uint32_t kStored = 40000;  // of a 50,000-entry ring

// One history, one store and one article for every benchmark of the run.
struct Environment {
    std::string dir;
    std::vector<ArticleKey> present;
    std::vector<ArticleKey> absent;
    std::string article;
    ClientContext c;

    Environment()
    {
        char name[] = "/tmp/storage_bench.XXXXXX";
        dir = ::mkdtemp(name);
        std::string config = "HistoryTablePath = " + dir + "\nHistoryDataPath = " + dir + "\n";
        FILE* file = fmemopen(config.data(), config.size(), "r");
        ConfigReadFile(file);
        std::fclose(file);
        SeenInit();
        ArtStoreInit();
        BuildArtStore(0, dir.c_str(), "*", 64, 1);
        for (uint32_t i = 0; i < kStored; ++i) {
            present.push_back(Key("<" + std::to_string(i) + ".present@bench.example>"));
            absent.push_back(Key("<" + std::to_string(i) + ".absent@bench.example>"));
            AddSeen(present.back(), GetStoreKey(0), 3000, 100, 900, 30, 10, 1);
        }
        article = "Path: news.example.com!feed.example.net!not-for-mail\r\n"
                  "From: Someone <someone@example.com>\r\n"
                  "Newsgroups: comp.lang.c,comp.lang.c++,news.software.nntp\r\n"
                  "Subject: Re: a question about pointers\r\n"
                  "Date: Tue, 07 Dec 1999 12:00:00 -0500\r\n"
                  "Organization: Example Organization\r\n"
                  "Lines: 42\r\n"
                  "Message-ID: <0.present@bench.example>\r\n"
                  "NNTP-Posting-Host: host.example.com\r\n"
                  "X-Newsreader: Example Reader 1.0\r\n"
                  "References: <a@example.com> <b@example.com>\r\n"
                  "\r\n" +
                  std::string(2000, 'x') + "\r\n.\r\n";
        c.buffer = article.data();
        c.articleLength = static_cast<uint32_t>(article.size() - 5);
        PrepareForMatch(c);
    }
    ~Environment()
    {
        FreeMatchData(c);
        std::filesystem::remove_all(dir);
    }

    static ArticleKey Key(const std::string& id)
    {
        ArticleKey key = 0;
        GetArticleIDFromString(id.c_str(), nullptr, &key);
        return key;
    }
};

Environment& Env()
{
    static Environment env;
    return env;
}

void BM_CheckSeenHit(benchmark::State& state)
{
    const auto& keys = Env().present;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(CheckSeen(keys[i]));
        i = i + 1 == keys.size() ? 0 : i + 1;
    }
}
BENCHMARK(BM_CheckSeenHit);

void BM_CheckSeenMiss(benchmark::State& state)
{
    const auto& keys = Env().absent;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(CheckSeen(keys[i]));
        i = i + 1 == keys.size() ? 0 : i + 1;
    }
}
BENCHMARK(BM_CheckSeenMiss);

// Expire priority 1: every slot the cursor meets is free to take.
void BM_AddSeen(benchmark::State& state)
{
    const uint64_t storeKey = GetStoreKey(0);
    ArticleKey key = Env().present.back() + 1;
    for (auto _ : state)
        benchmark::DoNotOptimize(AddSeen(key++, storeKey, 3000, 100, 900, 30, 10, 1));
}
BENCHMARK(BM_AddSeen);

void BM_GetHeader(benchmark::State& state)
{
    const ClientContext& c = Env().c;
    char value[512];
    const char* name = state.range(0) == 0 ? "Subject: " : "References: ";
    for (auto _ : state)
        benchmark::DoNotOptimize(GetHeader(c, name, value, sizeof value - 1));
    state.SetLabel(name);
}
BENCHMARK(BM_GetHeader)->Arg(0)->Arg(1);

void BM_CheckMatch(benchmark::State& state)
{
    auto expression = CompileMatchString("!comp.binaries.*,$G<10,~alt.binaries.*,news.*,comp.*");
    const ClientContext& c = Env().c;
    for (auto _ : state)
        benchmark::DoNotOptimize(CheckMatch(c, expression.get()));
}
BENCHMARK(BM_CheckMatch);

// One 3 KB record appended (with the wrap check) and read back.
void BM_WriteAndReadStore(benchmark::State& state)
{
    Env();
    std::string record(3072, 'r');
    std::string back(record.size(), '\0');
    for (auto _ : state) {
        StoreCheckAndWrap(0);
        const uint64_t key = GetStoreKey(0);
        WriteToStore(0, record.data(), static_cast<uint32_t>(record.size()));
        benchmark::DoNotOptimize(ReadStore(key, back.data(), 0, static_cast<uint32_t>(back.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * 3072);
}
BENCHMARK(BM_WriteAndReadStore);

}  // namespace
