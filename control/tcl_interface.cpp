// The interpreter thread. A Tcl interpreter is bound to the thread that made
// it, so every server command runs on this one thread.
#include "control/tcl_interface.h"

#include <cstdio>
#include <string>

#include "control/control_socket.h"
#include "control/tcl_commands.h"
#include "platform/process.h"
#include "server/config.h"
#include "server/log.h"

namespace {

struct CommandEntry {
    const char* name;
    Tcl_CmdProc* proc;
};

// The order is part of the interface: scripts may rely on it through `info commands`.
constexpr CommandEntry kCommands[] = {
    {"AddIncoming", Tcl_AddIncoming},
    {"SetIncoming", Tcl_SetIncoming},
    {"DelIncoming", Tcl_DelIncoming},
    {"ListIncoming", Tcl_ListIncoming},
    {"GetIncomingConfig", Tcl_GetIncomingConfig},
    {"GetConfigString", Tcl_GetConfigString},
    {"GetBaseStats", Tcl_GetBaseStatsString},
    {"GetWriteState", Tcl_GetWriteState},
    {"CreateArtStore", Tcl_CreateArtStore},
    {"SetLogCmds", Tcl_SetLogCmds},
    {"InsertGroup", Tcl_InsertGroup},
    {"SetGroupStart", Tcl_SetGroupStartPoint},
    {"AcceptConnections", Tcl_AcceptConnections},
    {"CreateGroup", Tcl_CreateGroup},
    {"MoveGroup", Tcl_MoveGroup},
    {"SetRewriteThreshold", Tcl_SetRewriteThreshold},
    {"ActiveInit", Tcl_ActiveInit},
    {"LogLine", Tcl_LogLine},
    {"crash", Tcl_Crash},
    {"ReloadActive", Tcl_ReloadActive},
    {"ProcessCancelFile", Tcl_ProcessCancelFile},
    {"CreateSite", Tcl_CreateSite},
    {"DeleteSite", Tcl_DeleteSite},
    {"SetSite", Tcl_SetSite},
    {"GetSiteList", Tcl_GetSiteList},
    {"GetSiteConfig", Tcl_GetSiteConfig},
    {"SetGlobal", Tcl_SetGlobal},
    {"GetStatus", Tcl_GetStatus},
    {"GetPeerStatus", Tcl_GetPeerStatus},
    {"GetSiteStatus", Tcl_GetSiteStatus},
    {"ListGroups", Tcl_ListGroups},
    {"NewGroup", Tcl_NewGroup},
    {"RemoveGroup", Tcl_RemoveGroup},
    {"SetGroupFlag", Tcl_SetGroupFlag},
    {"SetGroupDescription", Tcl_SetGroupDescription},
    {"PauseIntake", Tcl_PauseIntake},
    {"ResumeIntake", Tcl_ResumeIntake},
    {"ReopenLog", Tcl_ReopenLog},
    {"Shutdown", Tcl_Shutdown},
};
static_assert(std::size(kCommands) == 39);

[[noreturn]] void InterfaceStartup()
{
    Tcl_Interp* interp = Tcl_CreateInterp();
    RegisterServerCommands(interp);
    const char* script = ConfigText(ConfigKey::kStartupScript);
    // Built as a list so that a path with blanks or braces stays one word.
    Tcl_Obj* command = Tcl_NewListObj(0, nullptr);
    Tcl_ListObjAppendElement(interp, command, Tcl_NewStringObj("source", -1));
    Tcl_ListObjAppendElement(interp, command, Tcl_NewStringObj(script, -1));
    Tcl_IncrRefCount(command);
    if (Tcl_EvalObjEx(interp, command, TCL_EVAL_GLOBAL) == TCL_ERROR) {
        LogLine("Startup error:");
        LogLine(Tcl_GetStringResult(interp));
        // Under the service manager the error also reaches the journal and
        // the unit's status: without READY=1 the start fails.
        const std::string status = std::string("Startup error: ") + Tcl_GetStringResult(interp);
        if (bDebug == 0)
            AddToMessageLog(status.c_str());
        NotifyServiceManager(("STATUS=" + status).c_str());
    }
    Tcl_DecrRefCount(command);
    // Control requests run between events, never inside the script. Tcl
    // makes its event queue's locks on first use: that happens here, before
    // the attach publishes the thread to the control clients.
    while (Tcl_DoOneEvent(TCL_DONT_WAIT) != 0) {
    }
    ControlSocketAttach(interp);
    for (;;)
        Tcl_DoOneEvent(0);
}

}  // namespace

void RegisterServerCommands(Tcl_Interp* interp)
{
    for (const CommandEntry& entry : kCommands)
        Tcl_CreateCommand(interp, entry.name, entry.proc, nullptr, nullptr);
}

int UsageReply(Tcl_Interp* interp, const char* word, const char* usage)
{
    Tcl_AppendResult(interp, word, usage, nullptr);
    return TCL_ERROR;
}

int InterfaceInit()
{
    // Without the thread the server runs on without its start-up script.
    StartThread("Tcl interface", InterfaceStartup);
    return 1;
}

int RunTclScript(int argc, char* argv[])
{
    if (argc < 3)
        return 0;
    Tcl_Interp* interp = Tcl_CreateInterp();
    Tcl_EvalFile(interp, argv[2]);
    std::printf("%s\n", Tcl_GetStringResult(interp));
    std::fflush(stdout);
    Tcl_DeleteInterp(interp);
    return 0;
}
