// Tcl commands for cancel files and for the settings that can change while
// the server runs.
#include <strings.h>

#include "access/incoming.h"
#include "article/article.h"
#include "control/tcl_commands.h"
#include "nntp/post.h"
#include "server/config.h"
#include "server/stats.h"

VERDALIX_TCL_HANDLER(Tcl_ProcessCancelFile)
{
    if (argc != 2)
        return UsageReply(interp, argv[0], " filename");
    return ProcessCancelFile(argv[1]) ? TCL_OK : TCL_ERROR;
}

VERDALIX_TCL_HANDLER(Tcl_SetGlobal)
{
    if (argc != 3)
        return UsageReply(interp, argv[0], " parameter value");
    const char* parameter = argv[1];
    const char* value = argv[2];
    if (strcasecmp(parameter, "incomingfilter") == 0)
        return SetIncomingFilter(value) ? TCL_OK : TCL_ERROR;
    if (strcasecmp(parameter, "maxconnections") == 0) {
        int limit = ParseDecimal(value);
        if (limit <= 0)
            return TCL_ERROR;
        MaxConnections = static_cast<uint32_t>(limit);
        return TCL_OK;
    }
    if (strcasecmp(parameter, "doHostnameResolution") == 0)
        doHostnameResolution = ParseDecimal(value);
    return TCL_OK;
}
