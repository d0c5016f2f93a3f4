// Tcl commands (globals). Placeholder until the module behind them lands:
// each answers with an error naming the command.
#include "control/tcl_commands.h"

VERDALIX_TCL_HANDLER(Tcl_ProcessCancelFile)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_SetGlobal)
{
    Tcl_AppendResult(interp, argv[0], " is not available yet", nullptr);
    return TCL_ERROR;
}

