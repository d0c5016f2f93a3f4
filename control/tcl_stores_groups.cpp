// Tcl commands that build the article stores, name, create and move groups,
// and load the active file.

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "article/article.h"
#include "article/store.h"
#include "article/store_end.h"
#include "control/tcl_commands.h"
#include "groups/active.h"
#include "groups/groupdb.h"
#include "platform/file_io.h"
#include "server/log.h"

namespace {

int Reply(Tcl_Interp* interp, bool ok, const char* success, const char* failure)
{
    Tcl_AppendResult(interp, ok ? success : failure, nullptr);
    return ok ? TCL_OK : TCL_ERROR;
}

// Tcl_GetInt of each word in turn into the unsigned outs; false (with Tcl's
// message) at the first that fails.
bool GetNumbers(Tcl_Interp* interp, std::initializer_list<std::pair<const char*, uint32_t*>> words)
{
    for (const auto& [word, out] : words) {
        int value = 0;
        if (Tcl_GetInt(interp, word, &value) != TCL_OK)
            return false;
        *out = static_cast<uint32_t>(value);
    }
    return true;
}

// Nothing creates a store's directory: say so when that is the reason.
void LogStoreFailure(uint32_t number, const char* dir)
{
    if (!IsDirectory(dir))
        LogFormat("CreateArtStore: store %u not built: directory %s does not exist", number, dir);
    else
        LogFormat("CreateArtStore: store %u not built in %s", number, dir);
}

}  // namespace

VERDALIX_TCL_HANDLER(Tcl_CreateArtStore)
{
    if (argc != 6)
        return UsageReply(interp, argv[0], " number dir selectString storeSize expirePriority");
    uint32_t number = 0, size = 0, priority = 0;
    if (!GetNumbers(interp, {{argv[1], &number}, {argv[4], &size}, {argv[5], &priority}}))
        return TCL_ERROR;
    bool ok = false;
    {
        // No article goes in while the store is rebuilt and moved to the
        // end of its records.
        CsLock lock(csArtFile());
        ok = BuildArtStore(number, argv[2], argv[3], size, priority) != nullptr && ResumeStoreAtEnd(number) != 0;
    }
    if (!ok)
        LogStoreFailure(number, argv[2]);
    return Reply(interp, ok, "build succeeded", "build failed");
}

VERDALIX_TCL_HANDLER(Tcl_InsertGroup)
{
    if (argc != 3)
        return UsageReply(interp, argv[0], " group number");
    uint32_t number = 0;
    if (!GetNumbers(interp, {{argv[2], &number}}))
        return TCL_ERROR;
    return Reply(interp, InsertGroup(argv[1], number) != 0, "insert succeeded", "insert failed");
}

VERDALIX_TCL_HANDLER(Tcl_SetGroupStartPoint)
{
    if (argc != 3)
        return UsageReply(interp, argv[0], " group number");
    uint32_t number = 0;
    if (!GetNumbers(interp, {{argv[2], &number}}))
        return TCL_ERROR;
    return Reply(interp, SetGroupStartPoint(argv[1], number) != 0, "set succeeded", "set failed");
}

// Words: group number slots post start (the usage text lists them otherwise).
VERDALIX_TCL_HANDLER(Tcl_CreateGroup)
{
    if (argc != 6)
        return UsageReply(interp, argv[0], " group number start post numslots");
    uint32_t number = 0, start = 0, slots = 0;
    if (!GetNumbers(interp, {{argv[2], &number}, {argv[5], &start}, {argv[3], &slots}}))
        return TCL_ERROR;
    bool ok = CreateGroup(argv[1], number, start, slots, argv[4]) != 0;
    if (ok)
        AddActive(argv[1], start, argv[4]);
    return Reply(interp, ok, "create succeeded", "create failed");
}

VERDALIX_TCL_HANDLER(Tcl_MoveGroup)
{
    if (argc != 5)
        return UsageReply(interp, argv[0], " group number destnumber slots");
    uint32_t from = 0, to = 0, slots = 0;
    if (!GetNumbers(interp, {{argv[2], &from}, {argv[3], &to}, {argv[4], &slots}}))
        return TCL_ERROR;
    return Reply(interp, MoveGroup(argv[1], from, to, slots) != 0, "move succeeded", "move failed");
}

// Connections may already be served: load under the same hold as a reload.
VERDALIX_TCL_HANDLER(Tcl_ActiveInit)
{
    if (argc != 1)
        return UsageReply(interp, argv[0], " (no args allowed)");
    return Reply(interp, ActiveReload() != 0, "active init successful", "active init failed");
}

VERDALIX_TCL_HANDLER(Tcl_ReloadActive)
{
    return Reply(interp, IndicateActiveReload() != 0, "", "active reload not started");
}
