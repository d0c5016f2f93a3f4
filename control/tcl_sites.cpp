// Tcl commands (sites). Placeholder until the module behind them lands:
// each answers with an error naming the command.
#include "control/tcl_commands.h"

VERDALIX_TCL_HANDLER(Tcl_CreateSite)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_DeleteSite)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_SetSite)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_GetSiteList)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_GetSiteConfig)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

