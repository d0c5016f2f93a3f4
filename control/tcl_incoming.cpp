// Tcl commands (incoming). Placeholder until the module behind them lands:
// each answers with an error naming the command.
#include "control/tcl_commands.h"

VERDALIX_TCL_HANDLER(Tcl_AddIncoming)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_SetIncoming)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_DelIncoming)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_ListIncoming)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_GetIncomingConfig)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

