// Article acceptance: the module's settings and the insertion pipeline.
#pragma once

#include "platform/sync.h"

// The article insertion lock: one article's history check, slot claim,
// numbering, store append and history update run as one unit under it. The
// closing order takes it for good, so it is allocated once and never freed.
inline CriticalSection& csArtFile()
{
    static auto* cs = new CriticalSection;
    return *cs;
}

int ArticleInit();
