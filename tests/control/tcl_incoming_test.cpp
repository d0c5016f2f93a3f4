#include <tcl.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "access/incoming.h"
#include "control/tcl_commands.h"
#include "server/config.h"

namespace {

class TclIncoming : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigClear();
        char text[] = "UpdateIncomingEntries = 0\n";
        FILE* file = fmemopen(text, sizeof text - 1, "r");
        ConfigReadFile(file);
        std::fclose(file);
        IncomingInit();
        interp = Tcl_CreateInterp();
        RegisterServerCommands(interp);
    }
    void TearDown() override
    {
        Tcl_DeleteInterp(interp);
        ConfigClear();
    }

    // The result code and result text of one script.
    std::pair<int, std::string> Eval(const char* script)
    {
        int code = Tcl_Eval(interp, script);
        return {code, Tcl_GetStringResult(interp)};
    }

    Tcl_Interp* interp = nullptr;
};

using Result = std::pair<int, std::string>;

TEST_F(TclIncoming, AddAndDelete)
{
    EXPECT_EQ(Eval("AddIncoming 10.0.0.1"), Result(TCL_OK, ""));
    EXPECT_EQ(Eval("AddIncoming 10.0.0.2 4"), Result(TCL_OK, ""));
    EXPECT_STREQ(incoming[0].host, "10.0.0.1");
    EXPECT_STREQ(incoming[4].host, "10.0.0.2");
    EXPECT_EQ(Eval("AddIncoming 10.0.0.1"), Result(TCL_ERROR, "add failed for 10.0.0.1"));
    EXPECT_EQ(Eval("AddIncoming 10.0.0.3 x").first, TCL_ERROR);
    EXPECT_EQ(Eval("AddIncoming"), Result(TCL_ERROR, ""));
    EXPECT_EQ(Eval("AddIncoming a 1 2"), Result(TCL_ERROR, ""));
    EXPECT_EQ(Eval("ListIncoming"), Result(TCL_OK, "10.0.0.1 10.0.0.2 "));

    EXPECT_EQ(Eval("DelIncoming 10.0.0.1"), Result(TCL_OK, ""));
    EXPECT_EQ(Eval("DelIncoming 10.0.0.1"), Result(TCL_ERROR, "DelIncoming failed for 10.0.0.1"));
    EXPECT_EQ(Eval("DelIncoming"), Result(TCL_ERROR, ""));
    EXPECT_EQ(Eval("ListIncoming any words"), Result(TCL_OK, "10.0.0.2 "));
}

TEST_F(TclIncoming, SetAndGetConfig)
{
    ASSERT_EQ(Eval("AddIncoming 10.0.0.1").first, TCL_OK);
    EXPECT_EQ(Eval("SetIncoming 10.0.0.1 rights 7"), Result(TCL_OK, ""));
    EXPECT_EQ(incoming[0].rights, 7u);
    EXPECT_EQ(Eval("SetIncoming peer1 1"), Result(TCL_ERROR, ""));
    EXPECT_EQ(Eval("SetIncoming 10.0.0.1 rights x"), Result(TCL_ERROR, "expected integer but got \"x\""));
    EXPECT_EQ(Eval("SetIncoming 10.0.0.1 colour 1"), Result(TCL_ERROR, "set failed for 10.0.0.1"));

    EXPECT_EQ(Eval("GetIncomingConfig 10.0.0.1"),
              Result(TCL_OK, "{10.0.0.1 {{parameters {{index 0} {max_connections 7} {streaming 1} {rights 7}}} "
                             "{statistics {{accepts 0} {refuse 0} {reject 0} {precommit_saves 0} {connected 0} "
                             "{connects 0}}}}}"));
    EXPECT_EQ(Eval("GetIncomingConfig 10.0.0.9"), Result(TCL_ERROR, "GetIncomingConfig failed for 10.0.0.9"));
    EXPECT_EQ(Eval("GetIncomingConfig"), Result(TCL_ERROR, ""));
}

}  // namespace
