#include "date/article_date.h"

#include <gtest/gtest.h>

#include <string>

#include "date/parsedate.h"

namespace {

TEST(ArticleDate, WritesTheGmtFormAndParsesBack)
{
    char date[kArticleDateSize];
    ASSERT_EQ(FormatArticleDate(944586000, date), 31u);
    EXPECT_STREQ(date, "Tue, 07 Dec 1999 17:00:00 +0000");
    ASSERT_GT(FormatArticleDate(1709164800, date), 0u);  // a leap day
    EXPECT_STREQ(date, "Thu, 29 Feb 2024 00:00:00 +0000");
    EXPECT_EQ(parsedate(date, nullptr), 1709164800u);
}

}  // namespace
