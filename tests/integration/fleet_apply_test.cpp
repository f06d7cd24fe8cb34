// Desired state on real hosts reached over SSH: zadmin plan and apply from the tests' side of
// the fleet, a change that drops new SSH connections rolled back by the host itself when no new
// connection can confirm it, a confirmed one that stays, a service killed inside the window that
// rolls back when systemd starts it again, and ansible-playbook with the collection on all
// three hosts. The cases run in order on one fleet of three hosts.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/netlab.h"
#include "tests/support/fleet_suite.h"
#include "tests/support/fleet_zadmin.h"

namespace zantor::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

fs::path gRun;

std::string Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos ? "" : "no \"" + part + "\" in:\n" + text;
}

// A configuration file that switches one address on.
std::string OneAddress(const std::string& address, const std::string& in,
                       const std::vector<std::string>& inFilters) {
    std::string text = "[SYSTEM]\r\nAddrCount=1\r\n[IP0]\r\nAddress=" + address +
                       "\r\nFiltering=On\r\nInFiltersCount=" + std::to_string(inFilters.size()) +
                       "\r\nOutFiltersCount=0\r\nDefInAction=" + in +
                       "\r\nDefOutAction=Forward\r\nGlobalFilter=2\r\n";
    for (std::size_t i = 0; i < inFilters.size(); ++i)
        text += "InFilter" + std::to_string(i) + "=" + inFilters[i] + "\r\n";
    return text;
}

std::string Tcp(int port) {
    return "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 " + std::to_string(port) + " 0 " +
           std::to_string(port);
}

class FleetApply : public FleetSuite<3> {
  protected:
    void SetUp() override {
        FleetSuite::SetUp();
        if (IsSkipped() || HasFatalFailure() || !gRun.empty()) return;
        gRun = ZadminRunDirectory(fleet());
    }
    std::string Name(int i) { return "root@" + host(i).name(); }
    int Zadmin(const std::vector<std::string>& args, std::string* out) {
        return ZadminOnTheSide(fleet(), ZADMIN_PATH, args, out, "", gRun,
                               fs::path(ZANTORSVC_PATH).parent_path(), nullptr, seconds(240));
    }
    std::string On(int i, const std::string& command, int* status = nullptr) {
        std::string out;
        const int s = host(i).Run(command, &out, seconds(60));
        if (status) *status = s;
        return out;
    }
    fs::path Write(const std::string& name, const std::string& text) {
        const fs::path file = gRun / name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    // A new ssh connection from the tests' side, sharing nothing.
    int NewSsh(int i, std::string* out) {
        int code = -1;
        platform::lab::RunProgramFor(
            fleet().Wrap({"ssh", "-F", fleet().sshConfig(), "-o", "ControlPath=none", "-o",
                          "ControlMaster=no", "-o", "ConnectTimeout=3", host(i).name(), "echo",
                          "in"}),
            seconds(20), &code, out);
        return code;
    }
    // The file each host holds after the first case.
    fs::path Baseline(int i) { return gRun / ("root@" + host(i).name() + ".INI"); }
};

TEST_F(FleetApply, PlanAndApplyOverSshSendOnlyTheDifferenceOnEveryHost) {
    std::string out;
    ASSERT_EQ(
        Zadmin({"--computer", Name(1), "--computer", Name(2), "--computer", Name(3), "install"},
               &out),
        0)
        << out;
    for (int i : {1, 2, 3})
        Write("root@" + host(i).name() + ".INI",
              OneAddress(host(i).address(), "Forward", {Tcp(7000 + i), Tcp(7100)}));
    const std::vector<std::string> all = {"--computer", Name(1), "--computer", Name(2),
                                          "--computer", Name(3), "--wait",     "10"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), all.begin(), all.end());
        return args;
    };
    const std::string files = (gRun / "{computer}.INI").string();
    EXPECT_EQ(Zadmin(with({"plan", files}), &out), 2) << out;
    EXPECT_EQ(Has(out, "[" + Name(2) + "]\n+ " + host(2).address() +
                           " filtering on: input forward, output forward\n"),
              "");
    EXPECT_EQ(Has(out, "Plan: 4 to add, 0 to change, 0 to remove.\n[" + Name(3) + "]"), "");
    EXPECT_EQ(Zadmin(with({"apply", files}), &out), 0) << out;
    EXPECT_EQ(Has(out, "Applied: 4 added, 0 changed, 0 removed.\n"), "");
    EXPECT_EQ(Zadmin(with({"apply", files}), &out), 0) << out;
    EXPECT_EQ(Has(out, "[" + Name(1) + "]\nNo changes.\n[" + Name(2) + "]\nNo changes.\n[" +
                           Name(3) + "]\nNo changes.\n"),
              "");
    // Port 7001 is dropped on host1 in the kernel; the rest goes on.
    int reached = -1;
    On(2, "timeout 3 bash -c 'exec 3<>/dev/tcp/" + host(1).address() + "/7001'", &reached);
    EXPECT_EQ(reached, 124) << "dropped, so no answer at all";
}

TEST_F(FleetApply, AChangeThatShutsNewSshOutIsRolledBackByTheHostAndSaysWhen) {
    const std::string a1 = host(1).address();
    const fs::path lock = Write("lock.INI", OneAddress(a1, "Drop", {Tcp(7001)}));
    std::string out;
    // zadmin came in on port 22 of a1: it says so and goes ahead as told.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        Zadmin({"--computer", Name(1), "--yes", "apply", lock.string(), "--confirm", "25"}, &out),
        1)
        << out;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Has(out, "drop new SSH connections from " + Fleet::SideAddress() + " to " + a1 +
                           " port 22"),
              "");
    EXPECT_EQ(Has(out, "zadmin: a new connection could not confirm the change: "), "");
    EXPECT_EQ(Has(out, "Rolled back at "), "");
    EXPECT_EQ(Has(out, ": the service on " + Name(1) +
                           " put back the configuration it had before the change, as no "
                           "confirmation reached it within 25 seconds.\n"),
              "");
    EXPECT_GE(took, seconds(25));
    EXPECT_LT(took, seconds(120));
    // A new session gets in again, and the host holds what it held before the change.
    EXPECT_EQ(NewSsh(1, &out), 0) << out;
    EXPECT_EQ(Zadmin({"--computer", Name(1), "--wait", "10", "plan", Baseline(1).string()}, &out),
              0)
        << out;
    EXPECT_EQ(out, "No changes.\n");
    out = On(1, "journalctl -u ZantorSvc --no-pager -o cat");
    EXPECT_EQ(Has(out, "No confirmation came by "), "");
    EXPECT_EQ(Has(out, "is in force again, in the store and in the packet filter."), "");
}

TEST_F(FleetApply, AChangeConfirmedOverANewSshConnectionStays) {
    const fs::path changed =
        Write("changed.INI", OneAddress(host(2).address(), "Forward", {Tcp(7002), Tcp(7200)}));
    std::string out;
    // zadmin's shared connection to host2 is up: the apply rides on it, and only the
    // confirmation logs in anew.
    ASSERT_EQ(Zadmin({"--computer", Name(2), "--wait", "10", "list"}, &out), 0) << out;
    auto logins = [&] {
        return On(2, "journalctl --no-pager -o cat | grep -c 'Accepted publickey for root'");
    };
    const std::string before = logins();
    EXPECT_EQ(Zadmin({"--computer", Name(2), "apply", changed.string(), "--confirm", "15"}, &out),
              0)
        << out;
    EXPECT_EQ(Has(out, "~ " + host(2).address() + " in filter " + Tcp(7100) + " -> " + Tcp(7200) +
                           "\nApplied: 0 added, 1 changed, 0 removed.\nConfirmed: the change on " +
                           Name(2) + " stays.\n"),
              "");
    EXPECT_EQ(std::stoi(logins()), std::stoi(before) + 1) << "one new ssh connection";
    std::this_thread::sleep_for(seconds(16));
    EXPECT_EQ(Zadmin({"--computer", Name(2), "--wait", "10", "plan", changed.string()}, &out), 0)
        << out;
    EXPECT_EQ(Zadmin({"--computer", Name(2), "--wait", "10", "confirm-state"}, &out), 0) << out;
    EXPECT_TRUE(out.starts_with("Confirmed at ")) << out;
}

TEST_F(FleetApply, AServiceKilledInsideTheWindowRollsBackWhenSystemdStartsItAgain) {
    std::string out;
    ASSERT_EQ(Zadmin({"--computer", Name(3), "--wait", "10", "send", "ckp", "600"}, &out), 0)
        << out;
    const fs::path changed = Write("host3-changed.INI", OneAddress(host(3).address(), "Drop", {}));
    ASSERT_EQ(
        Zadmin({"--computer", Name(3), "--yes", "--wait", "10", "apply", changed.string()}, &out),
        0)
        << out;
    const std::string pid = On(3, "systemctl show -p MainPID --value ZantorSvc");
    On(3, "systemctl kill -s KILL ZantorSvc");
    // systemd starts it again at once; it rolls back before it serves the pipe.
    bool again = false;
    for (int i = 0; i < 100 && !again; ++i) {
        const std::string now = On(3, "systemctl show -p MainPID --value ZantorSvc");
        again = now != pid && now != "0\n" && On(3, "systemctl is-active ZantorSvc") == "active\n";
        if (!again) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(again) << On(3, "systemctl status ZantorSvc");
    EXPECT_EQ(Zadmin({"--computer", Name(3), "--wait", "10", "plan", Baseline(3).string()}, &out),
              0)
        << out;
    EXPECT_EQ(Zadmin({"--computer", Name(3), "--wait", "10", "confirm-state"}, &out), 0) << out;
    EXPECT_TRUE(out.starts_with("Rolled back at ")) << out;
    out = On(3, "journalctl -u ZantorSvc --no-pager -o cat");
    EXPECT_EQ(Has(out, "A change was waiting for its confirmation (due by "), "");
}

// ansible-playbook with the collection, as a fleet tool runs it: over ssh from the tests' side,
// its modules on the hosts running the build tree's zadmin there.
TEST_F(FleetApply, AnsibleChangesAllThreeHostsThenNoneAndCheckDiffChangesNothing) {
    if (!fs::exists("/usr/bin/ansible-playbook"))
        GTEST_SKIP() << "no ansible-playbook (ansible-core; scripts/install-deps.sh installs it)";
    const fs::path home = gRun / "ansible";
    fs::create_directories(home / "cp");
    auto inventory = [&](int port) {
        std::string text =
            "all:\n  vars:\n    ansible_user: root\n"
            "    ansible_ssh_common_args: \"-F " +
            fleet().sshConfig() +
            "\"\n    ansible_python_interpreter: /usr/bin/python3\n"
            "    zantor_zadmin: " +
            Fleet::InHost(ZADMIN_PATH) + "\n    zantor_confirm: 30\n  hosts:\n";
        for (int i : {1, 2, 3})
            text += "    " + host(i).name() +
                    ":\n      zantor_addresses:\n        - address: " + host(i).address() +
                    "\n          input_filters:\n            - {protocol: tcp, "
                    "destination_ports: " +
                    std::to_string(port + i) + "}\n";
        return Write("inventory.yml", text);
    };
    auto playbook = [&](std::vector<std::string> args, std::string* out) {
        std::vector<std::string> command = {
            "env",
            "ANSIBLE_COLLECTIONS_PATH=" + std::string(ZANTOR_SOURCE_DIR) + "/ansible",
            "ANSIBLE_HOME=" + home.string(),
            "ANSIBLE_LOCAL_TEMP=" + (home / "tmp").string(),
            "ANSIBLE_SSH_CONTROL_PATH_DIR=" + (home / "cp").string(),
            "ANSIBLE_NOCOLOR=1",
            "ANSIBLE_RETRY_FILES_ENABLED=0",
            "ANSIBLE_FORKS=20",
            "/usr/bin/ansible-playbook",
            "-i",
            (gRun / "inventory.yml").string(),
            std::string(ZANTOR_SOURCE_DIR) + "/tests/ansible/fleet.yml"};
        command.insert(command.end(), args.begin(), args.end());
        int code = -1;
        platform::lab::RunProgramFor(fleet().Wrap(command), seconds(300), &code, out);
        return code;
    };
    // "host1 : ok=3 changed=1 ...", the recap line of each host.
    auto changed = [&](const std::string& out, int i) {
        std::smatch m;
        const std::regex recap("\n" + host(i).name() + " +: ok=\\d+ +changed=(\\d+) ");
        return std::regex_search(out, m, recap) ? std::stoi(m[1]) : -1;
    };
    std::string out;
    inventory(8000);
    ASSERT_EQ(playbook({"-v"}, &out), 0) << out;
    for (int i : {1, 2, 3}) EXPECT_EQ(changed(out, i), 1) << out;
    EXPECT_EQ(Has(out, "\"confirm\": {\"result\": \"confirmed\"}"), "");
    ASSERT_EQ(playbook({}, &out), 0) << out;
    for (int i : {1, 2, 3}) EXPECT_EQ(changed(out, i), 0) << out;
    EXPECT_EQ(Has(out, host(2).name() + " filtering=1 inputs=1"), "");

    // Another port for each: check and diff show the difference as the configuration file
    // holds it, and nothing changes.
    inventory(9000);
    ASSERT_EQ(playbook({"--check", "--diff"}, &out), 0) << out;
    for (int i : {1, 2, 3}) {
        EXPECT_EQ(changed(out, i), 1) << out;
        EXPECT_EQ(Has(out, "-InFilter0=" + Tcp(8000 + i) + "\n+InFilter0=" + Tcp(9000 + i) + "\n"),
                  "");
    }
    EXPECT_EQ(Has(out, "--- before: live configuration"), "");
    EXPECT_EQ(Has(out, "+++ after: desired configuration"), "");
    inventory(8000);
    ASSERT_EQ(playbook({"--check"}, &out), 0) << out;
    for (int i : {1, 2, 3}) EXPECT_EQ(changed(out, i), 0) << "nothing changed: " << out;
}

}  // namespace
}  // namespace zantor::test
