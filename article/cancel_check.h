// Who may cancel an article. By default any cancel (and any Supersedes:)
// takes effect. With RestrictCancels 1, one takes effect only when it came
// from a feeding peer or when its From: gives the same address as the From:
// of the article it names: an unchecked cancel lets anyone remove anyone's
// articles.
#pragma once

#include "article/article_key.h"

struct ClientContext;

// Reads RestrictCancels (default 0). Returns 1.
int CancelCheckInit();

// True when the cancel or superseding article in `c` may remove the article
// of `target`. With the restriction on, a target the history holds no
// overview record of (unknown, gone or a control message) cannot be checked
// and is not removed. A refusal is logged.
bool CancelAllowed(const ClientContext& c, ArticleKey target);
