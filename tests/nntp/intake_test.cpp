// The intake pause: the reason goes into reply lines, so it must stay one
// line; resuming says whether there was a pause.
#include <gtest/gtest.h>

#include <string>

#include "nntp/intake.h"

TEST(Intake, PauseCarriesAOneLineReasonUntilResumed)
{
    EXPECT_FALSE(IntakePaused());
    EXPECT_EQ(IntakePauseReason(), "");
    PauseIntake(std::string("disk\r\nfull\0!", 12));
    EXPECT_TRUE(IntakePaused());
    EXPECT_EQ(IntakePauseReason(), "disk  full !");
    PauseIntake("moving stores");  // a second pause replaces the reason
    EXPECT_EQ(IntakePauseReason(), "moving stores");
    EXPECT_TRUE(ResumeIntake());
    EXPECT_FALSE(IntakePaused());
    EXPECT_EQ(IntakePauseReason(), "");
    EXPECT_FALSE(ResumeIntake());
}
