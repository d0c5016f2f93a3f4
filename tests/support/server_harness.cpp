// The end-to-end harness: process launch, files and bounded waits.
#include "support/server_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <strings.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/unique_fd.h"

extern char** environ;

namespace verdalix_test {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr const char* kSubdirectories[] = {"logs", "history", "groups", "stores", "posts", "control", "feeds"};

// Runs `check` until it holds or `timeoutSeconds` pass; true if it held.
template <typename Check>
bool PollUntil(int timeoutSeconds, Check check)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        if (check())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

int DecodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::string EntryName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The parent's environment with `extra` added; an extra entry replaces an
// inherited one of the same name, and one without "=" only removes it.
std::vector<std::string> BuildEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        bool replaced = false;
        for (const std::string& e : extra)
            replaced = replaced || EntryName(e) == EntryName(text);
        if (!replaced)
            result.push_back(text);
    }
    for (const std::string& e : extra)
        if (e.find('=') != std::string::npos)
            result.push_back(e);
    return result;
}

std::vector<char*> PointerArray(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts the program with standard output and error on `outFd`. Everything
// the child needs is prepared before fork: only async-signal-safe calls follow.
pid_t Spawn(std::vector<std::string> args, const std::vector<std::string>& extraEnvironment, int outFd,
            const std::string& workingDir)
{
    args.insert(args.begin(), VERDALIX_BINARY);
    std::vector<std::string> environment = BuildEnvironment(extraEnvironment);
    std::vector<char*> argv = PointerArray(args);
    std::vector<char*> envp = PointerArray(environment);
    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(devNull.get(), 0);
    ::dup2(outFd, 1);
    ::dup2(outFd, 2);
    if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0)
        ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

// Waits for `pid` with a bound; on timeout kills it (status then 128+9).
int WaitBounded(pid_t pid, int timeoutSeconds)
{
    int status = 0;
    bool ended = PollUntil(timeoutSeconds, [&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    return DecodeStatus(status);
}

std::string Tail(const std::string& text, size_t length)
{
    return text.size() <= length ? text : "..." + text.substr(text.size() - length);
}

// The server is another process, so a sanitizer's finding in it would pass
// unseen: a report in its output fails the test that ran it.
void ExpectNoSanitizerReport(const std::string& output)
{
    for (const char* marker : {"WARNING: ThreadSanitizer:", "ERROR: AddressSanitizer:", "ERROR: LeakSanitizer:",
                               "SUMMARY: UndefinedBehaviorSanitizer:"})
        if (output.find(marker) != std::string::npos) {
            ADD_FAILURE() << "sanitizer report in the server's output:\n" << Tail(output, 8000);
            return;
        }
}

bool CanConnect(int port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

std::string MakeTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "verdalix-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

UniqueFd TakePort(int port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd.get(), 1) != 0)
        return {};
    return fd;
}

int FreePort()
{
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

ProgramResult RunVerdalix(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                          int timeoutSeconds)
{
    ProgramResult result;
    std::string dir = MakeTempDir();
    std::string outPath = dir + "/output.txt";
    UniqueFd out(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    pid_t pid = Spawn(args, environment, out.get(), "");
    out.reset();
    if (pid > 0)
        result.status = WaitBounded(pid, timeoutSeconds);
    result.output = ReadFile(outPath);
    ExpectNoSanitizerReport(result.output);
    std::filesystem::remove_all(dir);
    return result;
}

TestServer::TestServer() : dir_(MakeTempDir()), port_(FreePort())
{
    EXPECT_FALSE(dir_.empty()) << "mkdtemp failed";
    EXPECT_NE(port_, 0) << "no free port";
    for (const char* sub : kSubdirectories)
        std::filesystem::create_directory(Path(sub));
    config_ = {
        {"LogDirectory", "@DIR@/logs"},
        {"ListenAddress", "127.0.0.1"},
        {"ListenPort", "@PORT@"},
        {"StartupScript", "@DIR@/init.tcl"},
        {"HostPathIdentifier", "verdalix.test"},
        {"HistoryTablePath", "@DIR@/history"},
        {"HistoryDataPath", "@DIR@/history"},
        {"GroupDataPath", "@DIR@/groups"},
        {"PostQueueDirectory", "@DIR@/posts"},
        {"ControlQueueDirectory", "@DIR@/control"},
        {"FeedQueuePath", "@DIR@/feeds"},
    };
}

TestServer::~TestServer()
{
    if (Running())
        Stop();
    ExpectNoSanitizerReport(StdoutText());
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "---- server output (%s):\n%s\n---- log:\n%s\n", dir_.c_str(),
                     Tail(StdoutText(), 4000).c_str(), Tail(LogText(), 4000).c_str());
    if (!dir_.empty())
        std::filesystem::remove_all(dir_);
}

void TestServer::SetConfig(const std::string& key, const std::string& value)
{
    for (auto& entry : config_)
        if (strcasecmp(entry.first.c_str(), key.c_str()) == 0) {
            entry.second = value;
            return;
        }
    config_.emplace_back(key, value);
}

void TestServer::RemoveConfig(const std::string& key)
{
    std::erase_if(config_, [&](const auto& entry) { return strcasecmp(entry.first.c_str(), key.c_str()) == 0; });
}

void TestServer::SetScript(const std::string& script) { script_ = script; }

std::string TestServer::Expand(const std::string& text) const
{
    std::string result = text;
    const std::pair<std::string, std::string> substitutions[] = {{"@DIR@", dir_}, {"@PORT@", std::to_string(port_)}};
    for (const auto& [placeholder, value] : substitutions)
        for (size_t at = result.find(placeholder); at != std::string::npos;
             at = result.find(placeholder, at + value.size()))
            result.replace(at, placeholder.size(), value);
    return result;
}

bool TestServer::Start()
{
    if (Running())
        return false;
    std::ostringstream conf;
    for (const auto& [key, value] : config_)
        conf << key << " = " << Expand(value) << "\n";
    if (!WriteFile(Path("verdalix.conf"), conf.str()) || !WriteFile(Path("init.tcl"), Expand(script_)))
        return false;
    ExpectNoSanitizerReport(StdoutText());  // of the run before, about to be overwritten
    UniqueFd out(::open(Path("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    std::vector<std::string> environment = environment_;
    environment.push_back("VERDALIX_CONFIGFILE=" + Path("verdalix.conf"));
    std::vector<std::string> args = args_.empty() ? std::vector<std::string>{"-debug"} : args_;
    pid_ = Spawn(args, environment, out.get(), dir_);
    return pid_ > 0;
}

bool TestServer::Reap(int* status, bool wait)
{
    int raw = 0;
    if (::waitpid(pid_, &raw, wait ? 0 : WNOHANG) != pid_)
        return false;
    *status = DecodeStatus(raw);
    pid_ = -1;
    return true;
}

bool TestServer::WaitForListening(int timeoutSeconds)
{
    int status = 0;
    return PollUntil(timeoutSeconds, [&] { return !Running() || Reap(&status, false) || CanConnect(port_); }) &&
           Running();
}

bool TestServer::WaitForLog(const std::string& text, int timeoutSeconds)
{
    return PollUntil(timeoutSeconds, [&] { return LogText().find(text) != std::string::npos; });
}

bool TestServer::WaitForOutput(const std::string& text, int timeoutSeconds)
{
    return PollUntil(timeoutSeconds, [&] { return StdoutText().find(text) != std::string::npos; });
}

int TestServer::WaitForExit(int timeoutSeconds)
{
    int status = -1;
    if (!Running())
        return -1;
    PollUntil(timeoutSeconds, [&] { return Reap(&status, false); });
    return status;
}

int TestServer::Stop(int timeoutSeconds)
{
    if (!Running())
        return -1;
    ::kill(pid_, SIGINT);
    int status = WaitBounded(pid_, timeoutSeconds);
    pid_ = -1;
    return status;
}

int TestServer::Restart()
{
    int status = Stop();
    EXPECT_TRUE(Start()) << "restart failed";
    return status;
}

void TestServer::Signal(int signal)
{
    if (Running())
        ::kill(pid_, signal);
}

std::string TestServer::LogText() const { return ReadFile(Path("logs/verdalix.log")); }

std::string TestServer::StdoutText() const { return ReadFile(Path("stdout.txt")); }

}  // namespace verdalix_test
