// The general Tcl commands: configuration, statistics and global switches.
#include <cstdlib>
#include <string>

#include "control/tcl_commands.h"
#include "groups/overview_cache.h"
#include "platform/process.h"
#include "server/accept.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"

VERDALIX_TCL_HANDLER(Tcl_GetConfigString)
{
    if (argc != 2)
        return TCL_ERROR;
    const char* value = GetConfigString(argv[1]);
    if (value != nullptr)
        Tcl_AppendResult(interp, value, nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_GetBaseStatsString)
{
    if (argc != 1)
        return TCL_ERROR;
    std::string text = GetBaseStatsString();
    Tcl_AppendResult(interp, text.c_str(), nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_GetWriteState)
{
    if (argc != 1)
        return TCL_ERROR;
    Tcl_AppendResult(interp, "no state", nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_SetLogCmds)
{
    if (argc != 2)
        return TCL_ERROR;
    int value = 0;
    if (Tcl_GetInt(interp, argv[1], &value) != TCL_OK)
        return TCL_ERROR;
    logcmds = value;
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_AcceptConnections)
{
    if (argc != 1)
        return UsageReply(interp, argv[0], " (no args allowed)");
    const std::string problem = StartListening();
    if (!problem.empty()) {
        Tcl_AppendResult(interp, problem.c_str(), nullptr);
        return TCL_ERROR;
    }
    readyToGo = 1;
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_SetRewriteThreshold)
{
    if (argc != 2)
        return UsageReply(interp, argv[0], " <count>");
    SetOverviewRewriteThreshold(ParseDecimal(argv[1]));
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_LogLine)
{
    if (argc != 2)
        return UsageReply(interp, argv[0], " <string>");
    LogLine(argv[1]);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_Crash)
{
    LogLine(nullptr);
    std::_Exit(3);
}
