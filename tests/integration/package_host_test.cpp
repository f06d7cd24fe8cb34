// The Debian package on a real host: apt-get installs it with what the host has, it starts and
// enables nothing, and the service it holds registers and runs from /usr/sbin under systemd. Run
// after scripts/package.sh, which made the package; without one it says so and skips.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fleet.h"

namespace zantor::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// The package scripts/package.sh made in this build tree.
fs::path Package() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(ZANTOR_BUILD_DIR, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("zantor_") && name.ends_with(".deb")) return entry.path();
    }
    return {};
}

TEST(PackageOnAHost, InstallsStartsNothingAndItsServiceRunsUnderSystemd) {
    std::string why;
    if (!Fleet::CanBoot(&why)) GTEST_SKIP() << why;
    const fs::path deb = Package();
    if (deb.empty())
        GTEST_SKIP() << "no package in " << ZANTOR_BUILD_DIR << ": run scripts/package.sh";
    Fleet fleet(1);
    ASSERT_EQ(fleet.error(), "") << fleet.BootReport();
    fs::copy_file(deb, fleet.shareDir() / deb.filename());
    FleetHost& host = fleet.host(0);
    auto run = [&](const std::string& command, int expected = 0) {
        std::string out;
        EXPECT_EQ(host.Run(command, &out, seconds(120)), expected) << command << "\n" << out;
        return out;
    };

    // As an administrator installs a package file; what it needs, the host has already.
    run(std::string("cd ") + kFleetShareDir + " && apt-get install -y ./" +
        deb.filename().string());
    // Nothing registered, nothing running: the service is the administrator's to install.
    EXPECT_EQ(run("systemctl list-unit-files --no-legend 'ZantorSvc*' | wc -l"), "0\n");
    run("pgrep -x ZantorSvc", 1);
    for (const char* file :
         {"/usr/sbin/ZantorSvc", "/usr/bin/ZantorManager", "/usr/bin/zadmin", "/usr/bin/zreg",
          "/usr/bin/zpacket", "/usr/share/applications/zantor-manager.desktop"})
        run(std::string("test -f ") + file);
    EXPECT_EQ(run("man -w ZantorSvc"), "/usr/share/man/man8/ZantorSvc.8.gz\n");

    std::string out = run("ZantorSvc -install && ZantorSvc -start");
    EXPECT_NE(out.find("started on LocalHost successfull."), std::string::npos) << out;
    EXPECT_EQ(run("systemctl show -p ExecStart --value ZantorSvc | grep -o 'path=[^ ]*'"),
              "path=/usr/sbin/ZantorSvc\n");
    EXPECT_EQ(run("systemctl is-active ZantorSvc"), "active\n");
    // The unit as systemd checks it, its man page included.
    run("systemd-analyze verify /etc/systemd/system/ZantorSvc.service");
    out = run("zadmin --wait 10 list --tsv");
    EXPECT_NE(out.find(host.address() + "\t255.255.255.0\tOff"), std::string::npos) << out;

    run("ZantorSvc -stop && ZantorSvc -remove && apt-get remove -y zantor");
    EXPECT_EQ(run("systemctl list-unit-files --no-legend 'ZantorSvc*' | wc -l"), "0\n");
    run("test ! -e /usr/sbin/ZantorSvc");
    fleet.TearDown();
    EXPECT_EQ(fleet.leftovers(), std::vector<std::string>{});
    EXPECT_EQ(Fleet::Leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace zantor::test
