// The rewriter's two operations, called on its thread and by the tests.
#pragma once

#include <cstdint>

// Rebuilds the group's block from its live articles, taking the lines the old
// block has and reading the others from the stores; raises the low mark to
// the first live article. 0 when there is no cache store, else 1.
int WriteGroupOverviewCache(uint32_t group);
// Adds the lines of articles above the block's end in the block's reserve;
// 1, or 0 when a full rewrite is needed.
int AppendToOverviewCache(uint32_t group);
