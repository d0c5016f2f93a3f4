// The Debian package, built by scripts/package.sh (which fails when lintian
// reports an error): its files, conffiles and unit, and the packaged server
// run from a scratch root. Skipped where the package cannot be built (no
// dpkg-buildpackage and no root to install it).
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/server_harness.h"
#include "support/shell.h"

using verdalix_test::MakeTempDir;
using verdalix_test::ReadFile;
using verdalix_test::Shell;

namespace {

bool CanBuildPackages()
{
    return Shell("command -v dpkg-buildpackage && command -v lintian").first == 0 ||
           Shell("test $(id -u) = 0").first == 0;
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
    ASSERT_EQ(Shell("sed -i 's|/var/|" + root + "/var/|; s|/etc/verdalix/|" + root +
                    "/etc/verdalix/|; s|= 119$|= " + std::to_string(verdalix_test::FreePort()) + "|' " + conf)
                  .first,
              0);
    const auto [checked, report] = Shell("VERDALIX_CONFIGFILE=" + conf + " " + run + " -check");
    EXPECT_EQ(checked, 0) << report;
    EXPECT_EQ(report, "configuration and start-up script ok\n");
    std::filesystem::remove_all(root);
}
