// The Tcl commands that declare and tune the outgoing feeds.
#include <string>

#include "control/tcl_commands.h"
#include "feed/site.h"

VERDALIX_TCL_HANDLER(Tcl_CreateSite)
{
    if (argc != 2)
        return UsageReply(interp, argv[0], " sitename");
    if (!SiteCreate(argv[1]))
        return TCL_ERROR;
    Tcl_AppendResult(interp, "created successfully", nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_DeleteSite)
{
    if (argc != 2)
        return UsageReply(interp, argv[0], " sitename");
    if (!SiteDelete(argv[1]))
        return TCL_ERROR;
    Tcl_AppendResult(interp, "deleted successfully", nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_SetSite)
{
    if (argc < 3)
        return UsageReply(interp, argv[0], " sitename parameter [arg]");
    if (argc > 4)
        return UsageReply(interp, argv[0], " sitename parameter [arg]");
    const char* value = argc == 4 ? argv[3] : nullptr;
    if (SiteSetParameter(argv[1], argv[2], value))
        return TCL_OK;
    Tcl_AppendResult(interp, argv[0], ": ", SiteParameterProblem(argv[1], argv[2], value).c_str(), nullptr);
    return TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_GetSiteList)
{
    std::string text = SiteGetList();
    Tcl_AppendResult(interp, text.c_str(), nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_GetSiteConfig)
{
    if (argc != 2)
        return UsageReply(interp, argv[0], " sitename");
    std::optional<std::string> text = SiteGetConfig(argv[1]);
    if (!text) {
        Tcl_AppendResult(interp, "site ", argv[1], " not found", nullptr);
        return TCL_ERROR;
    }
    Tcl_AppendResult(interp, text->c_str(), nullptr);
    return TCL_OK;
}
