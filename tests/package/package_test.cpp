// The Debian package, built by scripts/package.sh (which fails when lintian
// reports an error): its files, conffiles and unit, and the packaged server
// run from a scratch root. Skipped where the package cannot be built (no
// dpkg-buildpackage and no root to install it).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/nntp_client.h"
#include "support/server_harness.h"
#include "support/shell.h"

using verdalix_test::MakeTempDir;
using verdalix_test::NntpClient;
using verdalix_test::ReadFile;
using verdalix_test::Shell;

namespace {

bool CanBuildPackages()
{
    return Shell("command -v dpkg-buildpackage && command -v lintian").first == 0 ||
           Shell("test $(id -u) = 0").first == 0;
}

// The packaged server, started in the background by a shell: it is not the
// test's child, so its end is awaited by polling.
class PackagedServer {
public:
    explicit PackagedServer(const std::string& command)
    {
        const auto [status, output] = Shell(command + " >/dev/null 2>&1 & echo $!");
        if (status == 0)
            pid_ = std::stoi(output);
    }
    ~PackagedServer()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGINT);
        for (int i = 0; i < 300 && ::kill(pid_, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (::kill(pid_, 0) == 0)
            ::kill(pid_, SIGKILL);
    }
    PackagedServer(const PackagedServer&) = delete;
    PackagedServer& operator=(const PackagedServer&) = delete;
    bool Started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// Connects once the server listens, within 30 s.
bool ConnectWhenListening(NntpClient& client, int port)
{
    for (int i = 0; i < 300; ++i) {
        if (client.Connect(port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace

TEST(Package, BuildsLintianCleanWithTheFilesAnOperatorNeeds)
{
    if (!CanBuildPackages())
        GTEST_SKIP() << "dpkg-buildpackage/lintian missing and not root to install them";
    const auto [status, output] = Shell(VERDALIX_SOURCE_DIR "/scripts/package.sh");
    ASSERT_EQ(status, 0) << output.substr(output.size() > 4000 ? output.size() - 4000 : 0);
    const std::string deb = std::string(VERDALIX_SOURCE_DIR) + "/dist/verdalix_2.0.0_amd64.deb";
    ASSERT_TRUE(std::filesystem::exists(deb));

    const std::string files = Shell("dpkg-deb -c " + deb).second;
    for (const char* path :
         {"./usr/sbin/verdalix", "./usr/lib/verdalix/nntppost", "./usr/lib/verdalix/nntpfeed",
          "./usr/lib/verdalix/nntpread", "libcorvask.so.1", "./usr/lib/systemd/system/verdalix.service",
          "./etc/verdalix/verdalix.conf", "./etc/verdalix/init.tcl", "./var/lib/verdalix/history/",
          "./var/spool/verdalix/", "./var/log/verdalix/", "./usr/share/man/man8/verdalix.8.gz",
          "./usr/share/man/man5/verdalix.conf.5.gz", "./usr/share/man/man5/verdalix-init.tcl.5.gz",
          "./usr/bin/verdalixctl", "./usr/share/man/man8/verdalixctl.8.gz", "./etc/logrotate.d/verdalix",
          "./usr/share/bash-completion/completions/verdalixctl"})
        EXPECT_NE(files.find(path), std::string::npos) << path << " not in:\n" << files;
    EXPECT_EQ(Shell("dpkg-deb -I " + deb + " conffiles").second,
              "/etc/logrotate.d/verdalix\n/etc/verdalix/control.policy\n/etc/verdalix/init.tcl\n"
              "/etc/verdalix/verdalix.conf\n");
    const std::string scripts = Shell("dpkg-deb -I " + deb + " postinst postrm").second;
    EXPECT_NE(scripts.find("adduser --system"), std::string::npos) << scripts;
    EXPECT_NE(scripts.find("if [ \"$1\" = purge ]"), std::string::npos) << scripts;

    // The packaged unit is the template with the installed path; the packaged
    // server checks the packaged configuration (paths aside) from a scratch root.
    const std::string root = MakeTempDir();
    ASSERT_EQ(Shell("dpkg-deb -x " + deb + " " + root).first, 0);
    std::string unit = ReadFile(VERDALIX_SOURCE_DIR "/etc/verdalix.service.in");
    for (size_t at; (at = unit.find("@VERDALIXCTL@")) != std::string::npos;)
        unit.replace(at, 13, "/usr/bin/verdalixctl");
    for (size_t at; (at = unit.find("@VERDALIX@")) != std::string::npos;)
        unit.replace(at, 10, "/usr/sbin/verdalix");
    EXPECT_EQ(ReadFile(root + "/usr/lib/systemd/system/verdalix.service"), unit);
    const std::string run = "LD_LIBRARY_PATH=" + root + "/usr/lib/x86_64-linux-gnu " + root + "/usr/sbin/verdalix";
    const std::string conf = root + "/etc/verdalix/verdalix.conf";
    const int port = verdalix_test::FreePort();
    // The shipped files, moved into the scratch root and onto a free port.
    ASSERT_EQ(Shell("mkdir -p " + root + "/run/verdalix && sed -i 's|/var/|" + root + "/var/|; s|/run/|" + root +
                    "/run/|; s|/etc/verdalix/|" + root + "/etc/verdalix/|; s|= 119$|= " + std::to_string(port) + "|' " +
                    conf + " && sed -i 's|/var/|" + root + "/var/|g' " + root + "/etc/verdalix/init.tcl")
                  .first,
              0);
    const auto [checked, report] = Shell("VERDALIX_CONFIGFILE=" + conf + " " + run + " -check");
    EXPECT_EQ(checked, 0) << report;
    EXPECT_EQ(report, "configuration and start-up script ok\n");

    {
        PackagedServer server("cd " + root + " && VERDALIX_CONFIGFILE=" + conf + " " + run + " -debug");
        ASSERT_TRUE(server.Started());
        NntpClient reader;
        ASSERT_TRUE(ConnectWhenListening(reader, port)) << ReadFile(root + "/var/log/verdalix/verdalix.log");
        EXPECT_EQ(reader.ReadLine().substr(0, 4), "200 ");
        const auto list = reader.BlockCommand("LIST");
        ASSERT_FALSE(list.empty());
        EXPECT_EQ(list[0].substr(0, 4), "215 ");
        EXPECT_EQ(list.size(), 3u);
        for (const char* group : {"local.general ", "local.test "}) {
            bool listed = false;
            for (const std::string& line : list)
                listed = listed || line.starts_with(group);
            EXPECT_TRUE(listed) << group;
        }
        EXPECT_EQ(reader.Command("GROUP local.test").substr(0, 4), "211 ");
        EXPECT_EQ(reader.Command("QUIT").substr(0, 4), "205 ");
    }
    std::filesystem::remove_all(root);
}
