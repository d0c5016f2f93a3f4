// Dates as the server writes them into articles. The names are spelled out
// rather than taken from strftime, so the process locale cannot change them.
#include "date/article_date.h"

#include <cstdio>

size_t FormatArticleDate(std::time_t t, char (&out)[kArticleDateSize])
{
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm parts{};
    if (gmtime_r(&t, &parts) == nullptr || parts.tm_year > 9999 - 1900 || parts.tm_year < -1900) {
        out[0] = '\0';
        return 0;
    }
    int n = std::snprintf(out, sizeof out, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[parts.tm_wday], parts.tm_mday,
                          kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return n > 0 ? static_cast<size_t>(n) : 0;
}
