// Group database hot paths: numbering an accepted article in its groups and
// the reader lookups by number.
#include "groups/groupdb.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "history/history.h"
#include "server/client_context.h"
#include "server/config.h"

namespace {

// A group database and history in a temporary directory, removed at exit.
struct Database {
    Database()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "groupdb-bench-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        std::string config = "GroupDataPath = " + dir + "\nHistoryTablePath = " + dir + "\nHistoryDataPath = " + dir +
                             "\nHostPathIdentifier = bench.test\n";
        FILE* file = fmemopen(config.data(), config.size(), "r");
        ConfigReadFile(file);
        std::fclose(file);
        SeenInit();
        GroupInit();
        CreateGroup("alt.bench", 0, 1, 10, "y");
        CreateGroup("misc.bench", 10, 1, 1, "y");
        CreateGroup("comp.bench", 11, 1, 1, "y");
        for (ArticleKey key = 1; key <= 5000; ++key) {
            uint32_t slot = AddSeen(key, 0, 0, 0, 0, 0, 0, 0);
            GroupAddArticle(0, slot, static_cast<uint8_t>(SeenGetUseCount(slot)));
        }
    }
    ~Database() { std::filesystem::remove_all(dir); }
    std::string dir;
};

Database& Db()
{
    static Database db;
    return db;
}

void BM_FindArticle(benchmark::State& state)
{
    Db();
    uint32_t slot = 0, found = 0, a = 2;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GroupFindArticle(a, &slot, 0, &found));
        a = a == 5001 ? 2 : a + 1;
    }
}
BENCHMARK(BM_FindArticle);

void BM_FindNextArticle(benchmark::State& state)
{
    Db();
    uint32_t slot = 0, found = 0, a = 2;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GroupFindNextArticle(a, &slot, 0, &found));
        a = a == 5000 ? 2 : a + 1;
    }
}
BENCHMARK(BM_FindNextArticle);

// An article crossposted to three groups, numbered and given its Xref line.
void BM_UpdateGroupDatabase(benchmark::State& state)
{
    Db();
    static char groups[] = "alt.bench\0misc.bench\0comp.bench\0";
    ClientContext ctx;
    ctx.newsgroupList = groups;
    ctx.newsgroupCount = 2;
    char xref[8192];
    for (auto _ : state)
        benchmark::DoNotOptimize(UpdateGroupDatabase(&ctx, 0, xref, sizeof xref));
}
BENCHMARK(BM_UpdateGroupDatabase);

}  // namespace
