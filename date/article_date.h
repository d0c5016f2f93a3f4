// Dates as the server writes them into articles: the RFC 5322 form in GMT.
#pragma once

#include <cstddef>
#include <ctime>

// Room for the longest date written, NUL included.
inline constexpr size_t kArticleDateSize = 32;

// Writes "Wed, 09 Dec 2026 04:25:53 +0000" for `t` into `out`; its length
// (0 when the time cannot be split into calendar fields).
size_t FormatArticleDate(std::time_t t, char (&out)[kArticleDateSize]);
