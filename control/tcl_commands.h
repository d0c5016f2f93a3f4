// Handlers of the server's Tcl commands, registered by the interface thread.
// Each group of commands lives beside the others of its kind in control/.
#pragma once

#include <tcl.h>

#define VERDALIX_TCL_HANDLER(name) \
    int name([[maybe_unused]] ClientData clientData, [[maybe_unused]] Tcl_Interp* interp, [[maybe_unused]] int argc, \
             [[maybe_unused]] const char* argv[])

// Incoming peers.
VERDALIX_TCL_HANDLER(Tcl_AddIncoming);
VERDALIX_TCL_HANDLER(Tcl_SetIncoming);
VERDALIX_TCL_HANDLER(Tcl_DelIncoming);
VERDALIX_TCL_HANDLER(Tcl_ListIncoming);
VERDALIX_TCL_HANDLER(Tcl_GetIncomingConfig);
// General commands.
VERDALIX_TCL_HANDLER(Tcl_GetConfigString);
VERDALIX_TCL_HANDLER(Tcl_GetBaseStatsString);
VERDALIX_TCL_HANDLER(Tcl_GetWriteState);
VERDALIX_TCL_HANDLER(Tcl_SetLogCmds);
VERDALIX_TCL_HANDLER(Tcl_AcceptConnections);
VERDALIX_TCL_HANDLER(Tcl_SetRewriteThreshold);
VERDALIX_TCL_HANDLER(Tcl_LogLine);
VERDALIX_TCL_HANDLER(Tcl_Crash);
// Stores, groups and the active file.
VERDALIX_TCL_HANDLER(Tcl_CreateArtStore);
VERDALIX_TCL_HANDLER(Tcl_InsertGroup);
VERDALIX_TCL_HANDLER(Tcl_SetGroupStartPoint);
VERDALIX_TCL_HANDLER(Tcl_CreateGroup);
VERDALIX_TCL_HANDLER(Tcl_MoveGroup);
VERDALIX_TCL_HANDLER(Tcl_ActiveInit);
VERDALIX_TCL_HANDLER(Tcl_ReloadActive);
// Sites.
VERDALIX_TCL_HANDLER(Tcl_CreateSite);
VERDALIX_TCL_HANDLER(Tcl_DeleteSite);
VERDALIX_TCL_HANDLER(Tcl_SetSite);
VERDALIX_TCL_HANDLER(Tcl_GetSiteList);
VERDALIX_TCL_HANDLER(Tcl_GetSiteConfig);
// Cancels and global settings.
VERDALIX_TCL_HANDLER(Tcl_ProcessCancelFile);
VERDALIX_TCL_HANDLER(Tcl_SetGlobal);

// Running a site: status, groups, intake, log and stop.
VERDALIX_TCL_HANDLER(Tcl_GetStatus);
VERDALIX_TCL_HANDLER(Tcl_GetPeerStatus);
VERDALIX_TCL_HANDLER(Tcl_GetSiteStatus);
VERDALIX_TCL_HANDLER(Tcl_ListGroups);
VERDALIX_TCL_HANDLER(Tcl_NewGroup);
VERDALIX_TCL_HANDLER(Tcl_RemoveGroup);
VERDALIX_TCL_HANDLER(Tcl_SetGroupFlag);
VERDALIX_TCL_HANDLER(Tcl_SetGroupDescription);
VERDALIX_TCL_HANDLER(Tcl_PauseIntake);
VERDALIX_TCL_HANDLER(Tcl_ResumeIntake);
VERDALIX_TCL_HANDLER(Tcl_ReopenLog);
VERDALIX_TCL_HANDLER(Tcl_Shutdown);

// Registers the 39 commands in `interp`, in the server's fixed order.
void RegisterServerCommands(Tcl_Interp* interp);

// The usage reply: the command word as typed followed by `usage`.
int UsageReply(Tcl_Interp* interp, const char* word, const char* usage);
