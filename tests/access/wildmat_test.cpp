#include "access/wildmat.h"

#include <gtest/gtest.h>

namespace {

TEST(Wildmat, TheLastMatchingElementDecides)
{
    Wildmat plain("alt.*");
    EXPECT_TRUE(plain.Matches("alt.test"));
    EXPECT_FALSE(plain.Matches("misc.test"));

    Wildmat list("alt.*,misc.*,!*.test");
    EXPECT_TRUE(list.Matches("alt.other"));
    EXPECT_TRUE(list.Matches("misc.x"));
    EXPECT_FALSE(list.Matches("alt.test"));
    EXPECT_FALSE(list.Matches("comp.lang"));

    // A later positive element takes back what an earlier one excluded.
    Wildmat back("*,!alt.*,alt.test");
    EXPECT_TRUE(back.Matches("alt.test"));
    EXPECT_FALSE(back.Matches("alt.other"));
    EXPECT_TRUE(back.Matches("misc.test"));

    // Only exclusions take nothing.
    EXPECT_FALSE(Wildmat("!alt.*").Matches("misc.test"));
    // Empty elements are passed over; an empty wildmat takes nothing.
    EXPECT_TRUE(Wildmat(",,alt.test,").Matches("alt.test"));
    EXPECT_FALSE(Wildmat("").Matches("alt.test"));
    EXPECT_FALSE(Wildmat("!").Matches("!"));
    EXPECT_TRUE(Wildmat("?b?,![b]*").Matches("abc"));
    EXPECT_FALSE(Wildmat("?b?,![b]*").Matches("bbc"));
}

}  // namespace
