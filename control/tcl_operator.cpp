// Tcl commands for running a site without a restart: the status, the
// groups, the intake pause, the log reopen and the stop. verdalixctl reaches
// them through the control socket; results are Tcl lists and dicts, so that
// a script can take them apart with dict and lindex.
#include <cstdio>
#include <cstring>
#include <string>

#include "access/wildmat.h"
#include "control/control_groups.h"
#include "control/tcl_commands.h"
#include "groups/groupdb.h"
#include "nntp/intake.h"
#include "platform/signals.h"
#include "platform/tls.h"
#include "server/log.h"
#include "server/status.h"

namespace {

// A dict under construction: keys and values appended in order.
class Dict {
public:
    Dict() : obj_(Tcl_NewDictObj()) {}
    Dict& Put(const char* key, Tcl_Obj* value)
    {
        Tcl_DictObjPut(nullptr, obj_, Tcl_NewStringObj(key, -1), value);
        return *this;
    }
    Dict& Put(const char* key, const std::string& value) { return Put(key, Tcl_NewStringObj(value.c_str(), -1)); }
    Dict& Put(const char* key, uint64_t value) { return Put(key, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(value))); }
    Dict& Put(const char* key, int32_t value) { return Put(key, Tcl_NewIntObj(value)); }
    Dict& PutRate(const char* key, double value)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", value);
        return Put(key, std::string(text));
    }
    Tcl_Obj* Obj() const { return obj_; }

private:
    Tcl_Obj* obj_;
};

std::string RightsText(uint32_t rights)
{
    std::string text;
    text += (rights & kRightRead) != 0 ? "r" : "";
    text += (rights & kRightPost) != 0 ? "p" : "";
    text += (rights & kRightFeed) != 0 ? "f" : "";
    return text;
}

Tcl_Obj* PeerList(const std::vector<IncomingCounts>& peers)
{
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    for (const IncomingCounts& peer : peers) {
        Dict d;
        d.Put("host", peer.host).Put("rights", RightsText(peer.rights)).Put("connected", peer.connected);
        d.Put("connects", uint64_t{peer.connects}).Put("accepted", uint64_t{peer.accepts});
        d.Put("refused", uint64_t{peer.refuses}).Put("rejected", uint64_t{peer.rejects});
        Tcl_ListObjAppendElement(nullptr, list, d.Obj());
    }
    return list;
}

Tcl_Obj* SiteList(const std::vector<SiteStatus>& sites)
{
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    for (const SiteStatus& site : sites) {
        Dict d;
        d.Put("name", site.name).Put("host", site.host).Put("port", uint64_t{site.port});
        d.Put("configured", site.configured).Put("connected", site.connected);
        d.Put("accepted", uint64_t{site.accepted}).Put("refused", uint64_t{site.refused});
        d.Put("rejected", uint64_t{site.rejected}).Put("requeued", uint64_t{site.requeued});
        d.Put("backlog", uint64_t{site.memoryQueued}).Put("queue_bytes", site.queueBytes);
        Tcl_ListObjAppendElement(nullptr, list, d.Obj());
    }
    return list;
}

Tcl_Obj* StoreList(const std::vector<StoreStatus>& stores)
{
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    for (const StoreStatus& store : stores) {
        Dict d;
        d.Put("number", uint64_t{store.number}).Put("size", store.size).Put("position", store.position);
        d.Put("wraps", uint64_t{store.wraps});
        Tcl_ListObjAppendElement(nullptr, list, d.Obj());
    }
    return list;
}

Tcl_Obj* StatusDict(const ServerStatus& s)
{
    Dict connections, rates, articles, history, result;
    connections.Put("readers", uint64_t{s.readers}).Put("feeders", uint64_t{s.feeders});
    connections.Put("outgoing", uint64_t{s.outgoing}).Put("incoming", uint64_t{s.connected});
    connections.Put("limit", uint64_t{s.connectionLimit});
    rates.PutRate("accepted", s.rates.accepted).PutRate("refused", s.rates.refused);
    rates.PutRate("rejected", s.rates.rejected);
    articles.Put("accepted", s.accepted).Put("refused", s.refused).Put("rejected", s.rejected);
    history.Put("entries", uint64_t{s.historyEntries}).Put("capacity", uint64_t{s.historyCapacity});
    result.Put("uptime", s.uptime).Put("paused", uint64_t{s.paused ? 1u : 0u}).Put("reason", s.pauseReason);
    result.Put("connections", connections.Obj()).Put("rates", rates.Obj()).Put("articles", articles.Obj());
    result.Put("stores", StoreList(s.stores)).Put("history", history.Obj()).Put("sites", SiteList(s.sites));
    return result.Obj();
}

// A group name as a newgroup would carry it: printable, no blanks, no
// wildcard or path characters that would confuse the active file.
bool ValidGroupName(const char* name)
{
    const size_t length = std::strlen(name);
    if (length == 0 || length > 200 || name[0] == '.' || name[length - 1] == '.')
        return false;
    for (const char* p = name; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c >= 0x7F || std::strchr("*?[]\\!,/", c) != nullptr)
            return false;
    }
    return true;
}

bool ValidFlag(const char* flag)
{
    return std::strlen(flag) == 1 && std::strchr("ymn", flag[0]) != nullptr;
}

int Outcome(Tcl_Interp* interp, bool ok, const std::string& outcome)
{
    Tcl_AppendResult(interp, outcome.c_str(), nullptr);
    return ok ? TCL_OK : TCL_ERROR;
}

// Changes a carried group's flag or description through the same road as a
// newgroup for an existing group.
int ChangeGroup(Tcl_Interp* interp, const char* name, char flag, const std::string& description)
{
    uint32_t number = 0;
    if (!FindGroup(name, &number))
        return Outcome(interp, false, std::string("no such group: ") + name);
    std::string outcome;
    const bool ok = CreateGroupByControl(name, flag, description, &outcome);
    return Outcome(interp, ok, outcome);
}

}  // namespace

VERDALIX_TCL_HANDLER(Tcl_GetStatus)
{
    if (argc != 1)
        return UsageReply(interp, argv[0], " (no args allowed)");
    Tcl_SetObjResult(interp, StatusDict(CollectStatus()));
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_GetPeerStatus)
{
    if (argc != 1)
        return UsageReply(interp, argv[0], " (no args allowed)");
    Tcl_SetObjResult(interp, PeerList(IncomingCountsList()));
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_GetSiteStatus)
{
    if (argc != 1)
        return UsageReply(interp, argv[0], " (no args allowed)");
    Tcl_SetObjResult(interp, SiteList(SiteStatuses()));
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_ListGroups)
{
    if (argc > 2)
        return UsageReply(interp, argv[0], " ?wildmat?");
    const Wildmat pattern(argc == 2 ? argv[1] : "*");
    Tcl_Obj* list = Tcl_NewListObj(0, nullptr);
    ForEachGroup([&](const char* name, const GroupRecord& record) {
        if (!pattern.Matches(name))
            return;
        const char flag[2] = {GroupPostingFlag(record), '\0'};
        Tcl_Obj* row[] = {Tcl_NewStringObj(name, -1), Tcl_NewWideIntObj(record.end), Tcl_NewWideIntObj(record.start),
                          Tcl_NewStringObj(flag, -1)};
        Tcl_ListObjAppendElement(nullptr, list, Tcl_NewListObj(4, row));
    });
    Tcl_SetObjResult(interp, list);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_NewGroup)
{
    if (argc < 2 || argc > 4)
        return UsageReply(interp, argv[0], " name ?y|m|n? ?description?");
    if (!ValidGroupName(argv[1]))
        return Outcome(interp, false, std::string("not a valid group name: ") + argv[1]);
    const char* flag = argc >= 3 ? argv[2] : "y";
    if (!ValidFlag(flag))
        return Outcome(interp, false, std::string("posting flag must be y, m or n, not ") + flag);
    std::string outcome;
    const bool ok = CreateGroupByControl(argv[1], flag[0], argc == 4 ? argv[3] : "", &outcome);
    LogFormat("operator: newgroup %s: %s", argv[1], outcome.c_str());
    return Outcome(interp, ok, outcome);
}

VERDALIX_TCL_HANDLER(Tcl_RemoveGroup)
{
    if (argc != 2)
        return UsageReply(interp, argv[0], " name");
    uint32_t number = 0;
    if (!FindGroup(argv[1], &number))
        return Outcome(interp, false, std::string("no such group: ") + argv[1]);
    std::string outcome;
    const bool ok = RemoveGroupByControl(argv[1], &outcome);
    LogFormat("operator: rmgroup %s: %s", argv[1], outcome.c_str());
    return Outcome(interp, ok, outcome);
}

VERDALIX_TCL_HANDLER(Tcl_SetGroupFlag)
{
    if (argc != 3 || !ValidFlag(argv[2]))
        return UsageReply(interp, argv[0], " name y|m|n");
    return ChangeGroup(interp, argv[1], argv[2][0], "");
}

VERDALIX_TCL_HANDLER(Tcl_SetGroupDescription)
{
    if (argc != 3 || argv[2][0] == '\0' || std::strpbrk(argv[2], "\r\n\t") != nullptr)
        return UsageReply(interp, argv[0], " name description (one line, not empty)");
    return ChangeGroup(interp, argv[1], GetGroupPostInfo(argv[1]), argv[2]);
}

VERDALIX_TCL_HANDLER(Tcl_PauseIntake)
{
    if (argc != 2 || argv[1][0] == '\0')
        return UsageReply(interp, argv[0], " reason");
    PauseIntake(argv[1]);
    LogFormat("operator: intake paused: %s", IntakePauseReason().c_str());
    Tcl_AppendResult(interp, "intake paused", nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_ResumeIntake)
{
    if (argc != 1)
        return UsageReply(interp, argv[0], " (no args allowed)");
    const bool was = ResumeIntake();
    if (was)
        LogLine("operator: intake resumed");
    Tcl_AppendResult(interp, was ? "intake resumed" : "intake was not paused", nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_ReopenLog)
{
    if (argc != 1)
        return UsageReply(interp, argv[0], " (no args allowed)");
    if (!LogReopen())
        return Outcome(interp, false, std::string("cannot reopen the log: ") + std::strerror(errno));
    LogLine("operator: log reopened");
    // Renewed certificates are taken up here too.
    if (std::string problem = TlsServerReload(); !problem.empty())
        LogFormat("TLS certificate kept: %s", problem.c_str());
    Tcl_AppendResult(interp, "log reopened", nullptr);
    return TCL_OK;
}

VERDALIX_TCL_HANDLER(Tcl_Shutdown)
{
    if (argc != 1)
        return UsageReply(interp, argv[0], " (no args allowed)");
    LogLine("operator: shutdown requested");
    RaiseStopSignal();
    Tcl_AppendResult(interp, "shutting down", nullptr);
    return TCL_OK;
}
