// Program entry, start-up and closing orders, and the stand-ins for the
// service control manager (a systemd unit), the event log (syslog) and the
// console control handler (a thread that takes SIGINT/SIGQUIT/SIGTERM).
#include "server/service.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <thread>

#include "access/filter.h"
#include "access/incoming.h"
#include "access/passwords.h"
#include "article/article.h"
#include "article/store.h"
#include "control/control_queue.h"
#include "control/control_socket.h"
#include "control/scheduler.h"
#include "control/tcl_interface.h"
#include "feed/queue.h"
#include "groups/groupdb.h"
#include "groups/newgroups.h"
#include "history/arrival.h"
#include "history/history.h"
#include "nntp/post.h"
#include "nntp/precommit.h"
#include "platform/child.h"
#include "platform/file_faults.h"
#include "platform/file_io.h"
#include "platform/signals.h"
#include "platform/socket.h"
#include "platform/unique_fd.h"
#include "server/accept.h"
#include "server/activity.h"
#include "server/check.h"
#include "server/config.h"
#include "server/hash_password.h"
#include "server/log.h"
#include "server/metrics.h"
#include "server/service_internal.h"
#include "server/stats.h"
#include "server/unit_text.h"

#include <tcl.h>

namespace {

constexpr const char* kDisplayName = "Verdalix Internet News Server";
// The longest program path an installed unit names.
constexpr size_t kExecutablePathLimit = 510;

// Tests make chosen files fail (a full disk, I/O errors) through a file
// named in the environment; only a console run in debug mode reads it.
void WatchFaultFile()
{
    const char* path = std::getenv("VERDALIX_FILE_FAULTS");
    if (bDebug && path != nullptr && path[0] != '\0')
        WatchFileFaults(path, LogLine);
}

char szErr[256];

void Print(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The start-up order; ends in the accept loop and does not return.
[[noreturn]] void ServiceStart()
{
    config_init();
    SchedCallbackInit();
    IncomingInit();
    PrecommitInit();
    ExternalFilterInit();
    console_init();
    WatchFaultFile();
    for (const std::string& problem : ConfigProblems())
        LogLine(problem.c_str());
    // Before any data file is opened: a live socket means another server
    // runs on these files.
    ControlSocketInit();
    PasswordsInit();
    SeenInit();
    ArrivalInit();
    ArtStoreInit();
    ArticleInit();
    // Before the threads that read the new-groups list (the control worker
    // and the start-up script's interpreter) start.
    NewgroupsInit();
    ControlQueueInit();  // names its groups before the start-up script loads the active file
    InterfaceInit();
    PostInit();
    FeedInit();
    ActivityInit();
    MetricsInit();
    DoConnections();
    for (;;)
        ::pause();
}

// Sessions still open after the wait go on running, so the stores, the
// history and the group database only flush here: their views stay mapped
// and their descriptors open until the process exits right after this.
void CloseFiles()
{
    Print("shutting down...\n");
    Print("locking out article insertions...\n");
    csArtFile().lock();  // never released: no article is inserted after this
    Print("article insertions locked out\n");
    FeedShutdown();
    Print("closing connections.");
    for (int waits = 0; TotalConnected != 0 && waits < 8; ++waits) {
        ::sleep(1);
        Print(".");
    }
    Print("done.\n");
    Print("shutting down ArtStores...\n");
    StoreShutdown();
    Print("stores shut down...\n");
    Print("shutting down seendb...\n");
    seenclose();
    Print("...seendb shut down\n");
    Print("shutting down groupdb...\n");
    GroupFlush();
    Print("groupdb shut down\n");
    filterclose();
    LogLine(nullptr);
}

// Sets bShutDown and runs the closing order. Returns 0.
int ServiceStop()
{
    bShutDown = 1;
    CloseFiles();
    return 0;
}

// Console mode: any stop signal stops the server and exits with status 1.
[[noreturn]] void ControlHandlerThread()
{
    WaitForStopSignal();
    std::printf("Stopping %s.\n", kDisplayName);
    std::fflush(stdout);
    ServiceStop();
    std::fflush(stdout);
    std::_Exit(1);
}

// Service mode: SIGTERM is the stop control; the stop runs on a thread of its own.
[[noreturn]] void ServiceControlThread()
{
    while (WaitForStopSignal() != SIGTERM) {
    }
    NotifyServiceManager("STOPPING=1");
    std::thread stopper;
    if (StartThread("service stop", ServiceStop, &stopper))
        stopper.join();
    else
        ServiceStop();  // the stop must happen, if not on a thread of its own
    std::_Exit(0);
}

std::string UnitDirectory()
{
    const char* dir = std::getenv("VERDALIX_UNIT_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/etc/systemd/system";
}

std::string UnitPath() { return UnitDirectory() + "/verdalix.service"; }

// The stand-in for opening the service control manager: the unit directory
// must exist and be writable. Sets errno when it is not.
bool UnitDirectoryUsable(bool forWriting)
{
    return IsDirectory(UnitDirectory().c_str()) && (!forWriting || CanWrite(UnitDirectory().c_str()));
}

bool HaveSystemctl()
{
    return RunCommand("command -v systemctl >/dev/null 2>&1") == 0;
}

void ReloadUnits()
{
    if (HaveSystemctl())
        (void)RunCommand("systemctl daemon-reload >/dev/null 2>&1");
}

// The unit's ActiveState ("active", "deactivating", "inactive", ...).
std::string UnitState()
{
    return CommandOutputLine("systemctl show -p ActiveState --value verdalix.service 2>/dev/null");
}

void ReplaceAll(std::string& text, std::string_view placeholder, const std::string& value)
{
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

// The unit's text with `self` as the program it runs and the verdalixctl
// beside it as the one that reloads it.
std::string UnitText(const std::string& self)
{
    std::string text = kUnitTemplate;
    ReplaceAll(text, "@VERDALIXCTL@", self.substr(0, self.rfind('/') + 1) + "verdalixctl");
    ReplaceAll(text, "@VERDALIX@", self);
    return text;
}

void CmdInstallService()
{
    const std::string self = ExecutablePath(kExecutablePathLimit);
    if (self.empty()) {
        std::printf("Unable to install %s - %s\n", kDisplayName, GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    if (!UnitDirectoryUsable(true)) {
        std::printf("OpenSCManager failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    // Exclusive creation: an installed service is not replaced.
    UniqueFd unit = OpenFile(UnitPath().c_str(), O_WRONLY | O_CREAT | O_EXCL);
    if (!unit) {
        std::printf("CreateService failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    // Not enabled: the service starts on demand.
    const std::string text = UnitText(self);
    if (!WriteAll(unit.get(), text.data(), text.size())) {
        std::printf("CreateService failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        RemoveFile(UnitPath().c_str());
        return;
    }
    ReloadUnits();
    std::printf("%s installed.\n", kDisplayName);
}

// Stops a running unit, printing a dot a second while it stops.
void StopUnit()
{
    if (!HaveSystemctl() || UnitState() != "active" ||
        RunCommand("systemctl stop --no-block verdalix.service >/dev/null 2>&1") != 0)
        return;
    std::printf("Stopping %s.", kDisplayName);
    std::fflush(stdout);
    ::sleep(1);
    while (UnitState() == "deactivating") {
        std::printf(".");
        std::fflush(stdout);
        ::sleep(1);
    }
    std::string state = UnitState();
    if (state == "inactive" || state == "failed")
        std::printf("\n%s stopped.\n", kDisplayName);
    else
        std::printf("\n%s failed to stop.\n", kDisplayName);
}

void CmdRemoveService()
{
    if (!UnitDirectoryUsable(false)) {
        std::printf("OpenSCManager failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    if (!PathExists(UnitPath().c_str())) {
        std::printf("OpenService failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    StopUnit();
    if (!RemoveFile(UnitPath().c_str())) {
        std::printf("DeleteService failed - %s\n", GetLastErrorText(szErr, sizeof szErr));
        return;
    }
    ReloadUnits();
    std::printf("%s removed.\n", kDisplayName);
}

[[noreturn]] void CmdDebugService()
{
    std::printf("Debugging %s.\n", kDisplayName);
    std::fflush(stdout);
    if (!StartThread("console control", ControlHandlerThread))
        FatalExit("console control handler not installed, exiting");
    ServiceStart();
}

// Stand-in for the service control dispatcher: only systemd starts us as a service.
int RunAsService()
{
    const char* invocation = std::getenv("INVOCATION_ID");
    if (invocation == nullptr || *invocation == '\0') {
        AddToMessageLog("StartServiceCtrlDispatcher failed.");
        return 0;
    }
    if (!StartThread("service control", ServiceControlThread))
        FatalExit("service control handler not installed, exiting");
    // READY=1 waits for the listening socket (AcceptConnections).
    if (!StartThread("service start", ServiceStart))
        FatalExit("service not started, exiting");
    for (;;)
        ::pause();
}

void PrintUsage()
{
    std::printf("%s -install          to install the service\n", kServiceName);
    std::printf("%s -remove           to remove the service\n", kServiceName);
    std::printf("%s -debug            to run as a console app for debugging\n", kServiceName);
    std::printf("\nStartServiceCtrlDispatcher being called.\n");
    std::printf("This may take several seconds.  Please wait.\n");
    std::fflush(stdout);
}

}  // namespace

char* GetLastErrorText(char* buffer, size_t size)
{
    int err = errno;
    const char* text = std::strerror(err);
    size_t length = std::strlen(text);
    if (err == 0 || size < length + 14)
        buffer[0] = '\0';
    else
        std::snprintf(buffer, size, "%s (0x%x)", text, static_cast<unsigned>(err));
    return buffer;
}

int ServiceMain(int argc, char* argv[])
{
    IgnoreBrokenPipes();
    const char* word = argc > 1 && (argv[1][0] == '-' || argv[1][0] == '/') ? argv[1] + 1 : "";
    if (strcasecmp(word, "install") == 0) {
        CmdInstallService();
        return 0;
    }
    if (strcasecmp(word, "remove") == 0) {
        CmdRemoveService();
        return 0;
    }
    if (strcasecmp(word, "check") == 0) {
        Tcl_FindExecutable(argv[0]);
        return RunCheck();
    }
    if (strcasecmp(word, "hash-password") == 0)
        return RunHashPassword();
    if (strcasecmp(word, "script") == 0) {
        Tcl_FindExecutable(argv[0]);
        return RunTclScript(argc, argv);
    }
    // The server takes its stop signals on one thread with sigwait; blocked
    // before any thread starts, so that every thread inherits the mask.
    BlockStopSignals();
    Tcl_FindExecutable(argv[0]);
    if (strcasecmp(word, "debug") == 0) {
        bDebug = 1;
        CmdDebugService();
    }
    PrintUsage();
    return RunAsService();
}
