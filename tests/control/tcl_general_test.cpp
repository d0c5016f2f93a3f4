// The general Tcl commands and the handler conventions, in an interpreter
// with the server's commands registered.
#include <gtest/gtest.h>
#include <tcl.h>

#include <filesystem>
#include <string>

#include "control/tcl_commands.h"
#include "groups/overview_cache.h"
#include "platform/process.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"
#include "support/server_harness.h"

namespace {

struct Outcome {
    int code;
    std::string result;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome)
{
    return out << "{" << outcome.code << ", \"" << outcome.result << "\"}";
}

class TclGeneral : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Tcl_FindExecutable(nullptr); }

    void SetUp() override
    {
        dir_ = verdalix_test::MakeTempDir();
        std::string text = "LogDirectory = " + dir_ + "\nHostPathIdentifier = news.example\n";
        FILE* file = fmemopen(text.data(), text.size(), "r");
        ConfigReadFile(file);
        std::fclose(file);
        console_init();
        interp_ = Tcl_CreateInterp();
        RegisterServerCommands(interp_);
    }
    void TearDown() override
    {
        Tcl_DeleteInterp(interp_);
        LogLine(nullptr);
        ConfigClear();
        std::filesystem::remove_all(dir_);
    }

    Outcome Eval(const std::string& script)
    {
        int code = Tcl_Eval(interp_, script.c_str());
        return {code, Tcl_GetStringResult(interp_)};
    }

    std::string dir_;
    Tcl_Interp* interp_ = nullptr;
};

TEST_F(TclGeneral, AllServerCommandsAreRegistered)
{
    const char* names[] = {
        "AddIncoming", "SetIncoming", "DelIncoming", "ListIncoming", "GetIncomingConfig", "GetConfigString",
        "GetBaseStats", "GetWriteState", "CreateArtStore", "SetLogCmds", "InsertGroup", "SetGroupStart",
        "AcceptConnections", "CreateGroup", "MoveGroup", "SetRewriteThreshold", "ActiveInit", "LogLine", "crash",
        "ReloadActive", "ProcessCancelFile", "CreateSite", "DeleteSite", "SetSite", "GetSiteList",
        "GetSiteConfig", "SetGlobal",
    };
    for (const char* name : names)
        EXPECT_EQ(Eval(std::string("info commands ") + name), (Outcome{TCL_OK, name}));
}

TEST_F(TclGeneral, GetConfigString)
{
    EXPECT_EQ(Eval("GetConfigString hostpathidentifier"), (Outcome{TCL_OK, "news.example"}));
    EXPECT_EQ(Eval("GetConfigString nosuchkey"), (Outcome{TCL_OK, ""}));
    EXPECT_EQ(Eval("GetConfigString"), (Outcome{TCL_ERROR, ""}));
    EXPECT_EQ(Eval("GetConfigString a b"), (Outcome{TCL_ERROR, ""}));
}

TEST_F(TclGeneral, WriteStateAndStatistics)
{
    EXPECT_EQ(Eval("GetWriteState"), (Outcome{TCL_OK, "no state"}));
    EXPECT_EQ(Eval("GetWriteState now"), (Outcome{TCL_ERROR, ""}));
    EXPECT_EQ(Eval("llength [GetBaseStats]"), (Outcome{TCL_OK, "19"}));
    EXPECT_EQ(Eval("lindex [GetBaseStats] end"), (Outcome{TCL_OK, "MaxConnections " + std::to_string(MaxConnections)}));
    EXPECT_EQ(Eval("lindex [GetBaseStats] 0"), (Outcome{TCL_OK, "starttime " + std::to_string(LogStartTime())}));
    EXPECT_EQ(Eval("GetBaseStats x"), (Outcome{TCL_ERROR, ""}));
}

TEST_F(TclGeneral, SwitchesAndTheirConversions)
{
    EXPECT_EQ(Eval("SetLogCmds 5"), (Outcome{TCL_OK, ""}));
    EXPECT_EQ(logcmds, 5);
    EXPECT_EQ(Eval("SetLogCmds x"), (Outcome{TCL_ERROR, "expected integer but got \"x\""}));
    EXPECT_EQ(logcmds, 5);
    EXPECT_EQ(Eval("SetLogCmds"), (Outcome{TCL_ERROR, ""}));

    EXPECT_EQ(Eval("SetRewriteThreshold 45"), (Outcome{TCL_OK, ""}));
    EXPECT_EQ(OverviewRewriteThreshold(), 45);
    EXPECT_EQ(Eval("SetRewriteThreshold abc"), (Outcome{TCL_OK, ""}));
    EXPECT_EQ(OverviewRewriteThreshold(), 0);
    EXPECT_EQ(Eval("SetRewriteThreshold 12x"), (Outcome{TCL_OK, ""}));
    EXPECT_EQ(OverviewRewriteThreshold(), 12);
    EXPECT_EQ(Eval("SetRewriteThreshold"), (Outcome{TCL_ERROR, "SetRewriteThreshold <count>"}));

    EXPECT_EQ(Eval("AcceptConnections now"), (Outcome{TCL_ERROR, "AcceptConnections (no args allowed)"}));
    EXPECT_EQ(readyToGo, 0);
    EXPECT_EQ(Eval("AcceptConnections"), (Outcome{TCL_OK, ""}));
    EXPECT_EQ(readyToGo, 1);
}

TEST_F(TclGeneral, LogLineAndUsageRepliesUseTheWordAsTyped)
{
    EXPECT_EQ(Eval("LogLine {from the script}"), (Outcome{TCL_OK, ""}));
    EXPECT_EQ(Eval("::LogLine"), (Outcome{TCL_ERROR, "::LogLine <string>"}));
    EXPECT_EQ(Eval("LogLine a b"), (Outcome{TCL_ERROR, "LogLine <string>"}));
    std::string log = verdalix_test::ReadFile(dir_ + "/verdalix.log");
    EXPECT_TRUE(log.ends_with(": from the script\n")) << log;
    EXPECT_EQ(log.find("<string>"), std::string::npos) << "usage errors are not logged";
}

}  // namespace
