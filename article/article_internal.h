// Entry points of the acceptance pipeline that only its own source and the
// tests use.
#pragma once

struct ClientContext;

// 1 when the article's Date: is acceptable, else 0 (logged). Sets
// futureSeconds. Only an age between MaxArticleAge days and a year refuses.
int CheckArticleDate(ClientContext* c);
