// The control socket's reply framing: a client reads lines until one whose
// status word is followed by a blank, so every result must end in exactly
// one such line whatever its text holds.
#include <gtest/gtest.h>

#include "control/control_socket.h"

TEST(ControlReply, FramesEveryLineAndMarksTheLast)
{
    EXPECT_EQ(FrameControlReply(true, "42"), "OK 42\n");
    EXPECT_EQ(FrameControlReply(true, ""), "OK \n");
    EXPECT_EQ(FrameControlReply(false, "no such group"), "ERR no such group\n");
    EXPECT_EQ(FrameControlReply(true, "a\nb\nc"), "OK-a\nOK-b\nOK c\n");
    // A result ending in a line break has an empty last line; a CR inside
    // a line must not be taken for a line end by the client.
    EXPECT_EQ(FrameControlReply(false, "first\n"), "ERR-first\nERR \n");
    EXPECT_EQ(FrameControlReply(true, "x\r\ny\rz"), "OK-x \nOK y z\n");
    EXPECT_EQ(FrameControlReply(true, "\n\n"), "OK-\nOK-\nOK \n");
}
