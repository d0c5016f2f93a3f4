// End-to-end harness: runs the real `verdalix -debug` in a temporary
// directory of its own, with a generated configuration file and start-up
// script, and stops it again.
//
//   TestServer server;                            // temp dir, free port
//   server.SetConfig("OpMode", "transit");        // add or override a key
//   server.SetScript("CreateArtStore ...\nAcceptConnections\n");
//   ASSERT_TRUE(server.Start());
//   ASSERT_TRUE(server.WaitForListening());
//   ... NntpClient client; client.Connect(server.Port()); ...
//   EXPECT_EQ(server.Stop(), 1);                  // SIGINT: console stop
//
// The directory holds logs/ history/ groups/ stores/ posts/ control/ feeds/,
// the configuration file "verdalix.conf", the start-up script "init.tcl" and
// "stdout.txt" (standard output and error of the server). The server runs
// with the directory as its working directory. In configuration values and
// in the script, "@DIR@" stands for the directory and "@PORT@" for the port.
// Every wait has a bound so a broken server fails the test instead of
// hanging it; the bounds are generous because sanitizer builds are slow.
// A sanitizer report in the server's output (or RunVerdalix's) fails the
// test that ran it.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace verdalix_test {

// Result of running the program to its end (see RunVerdalix).
struct ProgramResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string output;  // standard output and standard error, interleaved
};

// Runs `build/verdalix args...` to its end with the extra environment
// entries ("NAME=value") added ("NAME" alone removes the variable),
// standard input from /dev/null. Kills it after
// `timeoutSeconds` (status then reports SIGKILL).
ProgramResult RunVerdalix(const std::vector<std::string>& args, const std::vector<std::string>& environment = {},
                          int timeoutSeconds = 60);

// Creates a fresh temporary directory (mkdtemp) and returns its path.
std::string MakeTempDir();

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Writes a whole file (truncating); false on failure.
bool WriteFile(const std::string& path, const std::string& text);

class TestServer {
public:
    // Makes the directory and its subdirectories, picks a free port and fills
    // the configuration with the keys every test needs (see the .cpp). The
    // default script only runs AcceptConnections.
    TestServer();
    // Stops the server if it still runs and removes the directory. When the
    // test has failed, the tails of stdout.txt and the log go to stderr.
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Sets a configuration key, replacing an earlier value of the same key
    // (the harness's own keys included); an empty value writes "key =".
    void SetConfig(const std::string& key, const std::string& value);
    // Removes a key from the configuration written at the next Start.
    void RemoveConfig(const std::string& key);
    // Replaces the start-up script.
    void SetScript(const std::string& script);
    // Extra command-line arguments and environment entries for the next
    // Start (replacing "-debug" when args is not empty).
    void SetArgs(std::vector<std::string> args) { args_ = std::move(args); }
    void AddEnvironment(const std::string& entry) { environment_.push_back(entry); }

    // Writes the configuration file and the script, then starts the server.
    // stdout.txt is truncated first. False when fork/exec fails.
    bool Start();
    // True once a connection to 127.0.0.1:Port() succeeds (the probe
    // connection is closed at once); false if the server exits or the bound
    // passes first.
    bool WaitForListening(int timeoutSeconds = 30);
    // True once the current log file contains `text`.
    bool WaitForLog(const std::string& text, int timeoutSeconds = 30);
    // True once stdout.txt contains `text`.
    bool WaitForOutput(const std::string& text, int timeoutSeconds = 30);
    // Waits for the server to end by itself; its status (as Stop), or -1
    // when it still runs after the bound (it is left running).
    int WaitForExit(int timeoutSeconds = 30);
    // Sends SIGINT and waits for the end; SIGKILL after `timeoutSeconds`.
    // Returns the exit status, or 128 + signal number; -1 if not running.
    int Stop(int timeoutSeconds = 60);
    // Stop, then Start again in the same directory with the same settings.
    // Returns the status Stop gave.
    int Restart();
    // Sends a signal to the running server.
    void Signal(int signal);
    bool Running() const { return pid_ > 0; }

    const std::string& Dir() const { return dir_; }
    // `relative` below the directory, e.g. Path("stores/s1").
    std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }
    int Port() const { return port_; }
    // The current log file (logs/verdalix.log) and the captured output.
    std::string LogText() const;
    std::string StdoutText() const;

private:
    std::string Expand(const std::string& text) const;
    bool Reap(int* status, bool wait);

    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::vector<std::pair<std::string, std::string>> config_;
    std::string script_ = "AcceptConnections\n";
    std::vector<std::string> args_;
    std::vector<std::string> environment_;
};

// A free TCP port on 127.0.0.1 (bound once by the kernel, then released).
int FreePort();

// A socket listening on 127.0.0.1:port, holding the port while it lives;
// invalid when the port cannot be taken.
UniqueFd TakePort(int port);

}  // namespace verdalix_test
