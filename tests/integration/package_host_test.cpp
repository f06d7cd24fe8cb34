// The Debian package on a real host: apt-get installs it with what the host has, it starts and
// enables nothing, and the service it holds registers and runs from /usr/sbin under systemd. Run
// after scripts/package.sh, which made the package; without one it says so and skips.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/fleet.h"
#include "tests/support/netlab.h"

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

// The collection's role, as a fleet tool runs it from the controller: on a host that has
// neither, it installs the package and starts the service; a second run changes nothing.
TEST(PackageOnAHost, TheCollectionsRoleInstallsItAndStartsTheServiceOnceOnly) {
    std::string why;
    if (!Fleet::CanBoot(&why)) GTEST_SKIP() << why;
    const fs::path deb = Package();
    if (deb.empty())
        GTEST_SKIP() << "no package in " << ZANTOR_BUILD_DIR << ": run scripts/package.sh";
    if (!fs::exists("/usr/bin/ansible-playbook"))
        GTEST_SKIP() << "no ansible-playbook (ansible-core; scripts/install-deps.sh installs it)";
    Fleet fleet(1);
    ASSERT_EQ(fleet.error(), "") << fleet.BootReport();
    FleetHost& host = fleet.host(0);
    std::string out;
    ASSERT_EQ(host.Run("test -e /usr/sbin/ZantorSvc || echo none", &out), 0);
    ASSERT_EQ(out, "none\n");

    const fs::path home = fleet.shareDir().parent_path() / "ansible";
    fs::create_directories(home / "cp");
    const fs::path inventory = home / "inventory.yml";
    std::ofstream(inventory) << "all:\n  vars:\n    ansible_user: root\n"
                                "    ansible_ssh_common_args: \"-F "
                             << fleet.sshConfig()
                             << "\"\n    ansible_python_interpreter: /usr/bin/python3\n"
                                "    zantor_package: "
                             << deb.string() << "\n  hosts:\n    " << host.name() << ":\n";
    auto playbook = [&](std::string* output) {
        int code = -1;
        platform::lab::RunProgramFor(
            fleet.Wrap(
                {"env", "ANSIBLE_COLLECTIONS_PATH=" + std::string(ZANTOR_SOURCE_DIR) + "/ansible",
                 "ANSIBLE_HOME=" + home.string(), "ANSIBLE_LOCAL_TEMP=" + (home / "tmp").string(),
                 "ANSIBLE_SSH_CONTROL_PATH_DIR=" + (home / "cp").string(), "ANSIBLE_NOCOLOR=1",
                 "/usr/bin/ansible-playbook", "-i", inventory.string(),
                 std::string(ZANTOR_SOURCE_DIR) + "/tests/ansible/role.yml"}),
            seconds(600), &code, output);
        return code;
    };
    // The recap line: "host1    : ok=6    changed=5    unreachable=0    failed=0 ...".
    auto changed = [&](const std::string& said) {
        std::smatch m;
        const std::regex recap("\n" + host.name() + " +: ok=\\d+ +changed=(\\d+) ");
        return std::regex_search(said, m, recap) ? std::stoi(m[1]) : -1;
    };
    ASSERT_EQ(playbook(&out), 0) << out;
    // The package's directory, its file, the package, the unit, the service started.
    EXPECT_EQ(changed(out), 5) << out;
    auto run = [&](const std::string& command) {
        std::string said;
        EXPECT_EQ(host.Run(command, &said, seconds(60)), 0) << command << "\n" << said;
        return said;
    };
    EXPECT_EQ(run("systemctl is-active ZantorSvc"), "active\n");
    EXPECT_EQ(run("systemctl is-enabled ZantorSvc"), "enabled\n");
    EXPECT_EQ(run("systemctl show -p ExecStart --value ZantorSvc | grep -o 'path=[^ ]*'"),
              "path=/usr/sbin/ZantorSvc\n");
    out = run("zadmin --wait 10 show --json");
    EXPECT_NE(out.find("\"extensions\":[\"confirm\",\"lists\",\"stats\"]"), std::string::npos)
        << out;
    ASSERT_EQ(playbook(&out), 0) << out;
    EXPECT_EQ(changed(out), 0) << out;
    fleet.TearDown();
    EXPECT_EQ(fleet.leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace zantor::test
