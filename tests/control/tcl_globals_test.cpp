// The Tcl commands for cancel files and run-time settings.
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <tcl.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

#include "access/incoming.h"
#include "control/tcl_commands.h"
#include "nntp/post.h"
#include "nntp/post_internal.h"
#include "platform/process_internal.h"
#include "server/stats.h"
#include "support/server_harness.h"

namespace {

class TclGlobals : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Tcl_FindExecutable(nullptr); }
    void SetUp() override
    {
        dir_ = verdalix_test::MakeTempDir();
        interp_ = Tcl_CreateInterp();
        RegisterServerCommands(interp_);
    }
    void TearDown() override
    {
        Tcl_DeleteInterp(interp_);
        std::filesystem::remove_all(dir_);
    }
    // "code|result" of a script.
    std::string Eval(const std::string& script)
    {
        int code = Tcl_Eval(interp_, script.c_str());
        return std::to_string(code) + "|" + Tcl_GetStringResult(interp_);
    }

    std::string dir_;
    Tcl_Interp* interp_ = nullptr;
};

TEST_F(TclGlobals, SetGlobalParameters)
{
    MaxConnections = 350;
    EXPECT_EQ(Eval("SetGlobal maxconnections 0"), "1|");
    EXPECT_EQ(Eval("SetGlobal maxconnections -4"), "1|");
    EXPECT_EQ(MaxConnections.load(), 350u);
    EXPECT_EQ(Eval("SetGlobal MAXCONNECTIONS 50"), "0|");
    EXPECT_EQ(MaxConnections.load(), 50u);
    EXPECT_EQ(Eval("SetGlobal dohostnameresolution 0"), "0|");
    EXPECT_EQ(doHostnameResolution.load(), 0);
    EXPECT_EQ(Eval("SetGlobal doHostnameResolution 1"), "0|");
    EXPECT_EQ(doHostnameResolution.load(), 1);
    EXPECT_EQ(Eval("SetGlobal foo 1"), "0|");
    EXPECT_EQ(MaxConnections.load(), 50u);
    EXPECT_EQ(Eval("SetGlobal incomingfilter {comp.*,!comp.bad}"), "0|");
    EXPECT_EQ(Eval("SetGlobal incomingfilter {$G!5}"), "1|");
    EXPECT_EQ(Eval("SetGlobal incomingfilter *"), "0|");
    EXPECT_EQ(Eval("SetGlobal maxconnections"), "1|SetGlobal parameter value");
    MaxConnections = 350;
}

TEST_F(TclGlobals, AFourthCancelFileIsRefusedWhileThreeAreRead)
{
    // Each worker waits in the open of its FIFO until the test writes to it.
    std::string fifos[3];
    for (int i = 0; i < 3; ++i) {
        fifos[i] = dir_ + "/cancel" + std::to_string(i);
        ASSERT_EQ(::mkfifo(fifos[i].c_str(), 0600), 0);
        EXPECT_EQ(Eval("ProcessCancelFile " + fifos[i]), "0|");
    }
    EXPECT_EQ(Eval("ProcessCancelFile " + dir_ + "/more"), "1|");
    EXPECT_EQ(Eval("ProcessCancelFile"), "1|ProcessCancelFile filename");
    for (const std::string& fifo : fifos) {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "# no message-IDs\n", 17), 17);
        ::close(fd);
    }
    for (int wait = 0; wait < 3000 && CancelWorkersRunning() != 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(CancelWorkersRunning(), 0);
    for (const std::string& fifo : fifos)
        EXPECT_FALSE(std::filesystem::exists(fifo)) << "a cancel file is deleted once read";
}

// Commands that hand their work to a thread answer an error when the system
// gives no thread, and the process goes on.
TEST_F(TclGlobals, CommandsAnswerAnErrorWhenTheirThreadCannotStart)
{
    FailThreadStartsForTest(2);
    EXPECT_EQ(Eval("ReloadActive"), "1|active reload not started");
    EXPECT_EQ(Eval("ProcessCancelFile " + dir_ + "/cancel"), "1|");
    EXPECT_EQ(CancelWorkersRunning(), 0) << "a worker that never started is not counted";
    FailThreadStartsForTest(0);
}

}  // namespace
