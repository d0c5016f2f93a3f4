// Tcl commands (stores_groups). Placeholder until the module behind them lands:
// each answers with an error naming the command.
#include "control/tcl_commands.h"

VERDALIX_TCL_HANDLER(Tcl_CreateArtStore)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_InsertGroup)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_SetGroupStartPoint)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_CreateGroup)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_MoveGroup)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_ActiveInit)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_ReloadActive)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

