// Tcl commands for the incoming access table.
#include <optional>
#include <string>

#include "access/incoming.h"
#include "control/tcl_commands.h"

VERDALIX_TCL_HANDLER(Tcl_AddIncoming)
{
    if (argc != 2 && argc != 3)
        return TCL_ERROR;
    int index = 0;
    if (argc == 3 && Tcl_GetInt(interp, argv[2], &index) != TCL_OK)
        return TCL_ERROR;
    if (!AddIncoming(argv[1], static_cast<uint32_t>(index))) {
        Tcl_AppendResult(interp, "add failed for ", argv[1], nullptr);
        return TCL_ERROR;
    }
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_SetIncoming)
{
    if (argc != 4)
        return TCL_ERROR;
    int value = 0;
    if (Tcl_GetInt(interp, argv[3], &value) != TCL_OK)
        return TCL_ERROR;
    if (!SetIncomingParameter(argv[1], argv[2], value)) {
        Tcl_AppendResult(interp, "set failed for ", argv[1], nullptr);
        return TCL_ERROR;
    }
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_DelIncoming)
{
    if (argc != 2)
        return TCL_ERROR;
    if (!DelIncoming(argv[1])) {
        Tcl_AppendResult(interp, argv[0], " failed for ", argv[1], nullptr);
        return TCL_ERROR;
    }
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_ListIncoming)
{
    std::string text = ListIncoming();
    Tcl_AppendResult(interp, text.c_str(), nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_GetIncomingConfig)
{
    if (argc != 2)
        return TCL_ERROR;
    std::optional<std::string> text = GetIncomingConfig(argv[1]);
    if (!text) {
        Tcl_AppendResult(interp, argv[0], " failed for ", argv[1], nullptr);
        return TCL_ERROR;
    }
    Tcl_AppendResult(interp, text->c_str(), nullptr);
    return TCL_OK;
}
