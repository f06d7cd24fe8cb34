// The fleet of real hosts: they boot, answer ssh, are hosts of their own (name, address,
// nftables, files), reach each other, reboot, and leave nothing behind, also when the test
// process is killed. The cases share one fleet; the last one checks the machine once it is gone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/process.h"
#include "tests/support/fleet.h"
#include "tests/support/hostlab.h"
#include "tests/support/netlab.h"

namespace zantor::test {
namespace {

namespace fs = std::filesystem;
namespace lab = platform::lab;
using std::chrono::seconds;

constexpr int kHosts = 3;
constexpr const char* kChildIdFile = "ZANTOR_FLEET_CHILD_ID_FILE";

std::string Output(const std::vector<std::string>& command) {
    std::string out;
    lab::RunProgram(command, &out);
    return out;
}

// What of the machine a fleet could change if it went wrong: its links and addresses, its
// nftables rules, mounts of overlays, tmpfs or systemd-nspawn's, /run/systemd.
struct MachineState {
    std::string links, rules, mounts, runSystemd;

    static MachineState Now() {
        MachineState s;
        s.links =
            Output({lab::IpProgram(), "-o", "addr"}) + Output({lab::IpProgram(), "-o", "link"});
        s.rules = Output({"/usr/sbin/nft", "list", "ruleset"});
        std::ifstream mountinfo("/proc/self/mountinfo");
        for (std::string line; std::getline(mountinfo, line);)
            if (line.find("overlay") != std::string::npos ||
                line.find("zfleet") != std::string::npos ||
                line.find("nspawn") != std::string::npos ||
                line.find("/run/systemd") != std::string::npos)
                s.mounts += line + "\n";
        std::error_code ec;
        for (fs::directory_iterator it("/run/systemd", ec), end; !ec && it != end; it.increment(ec))
            s.runSystemd += it->path().filename().string() + "\n";
        return s;
    }
};

std::string gSkip;
MachineState* gBefore = nullptr;
Fleet* gFleet = nullptr;

class FleetTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!Fleet::CanBoot(&gSkip) || gFleet) return;
        gBefore = new MachineState(MachineState::Now());
        gFleet = new Fleet(kHosts);
    }
    static void TearDownTestSuite() {
        delete gFleet;
        gFleet = nullptr;
    }
    void SetUp() override {
        if (!gSkip.empty()) GTEST_SKIP() << gSkip;
        ASSERT_EQ(gFleet->error(), "") << gFleet->BootReport();
    }
    static Fleet& fleet() { return *gFleet; }
    static FleetHost& host(int i) { return gFleet->host(static_cast<std::size_t>(i)); }

    // Runs `command` on host i; fails the test when it does not exit with 0.
    static std::string On(int i, const std::string& command) {
        std::string out;
        const int code = host(i).Run(command, &out);
        EXPECT_EQ(code, 0) << host(i).name() << ": " << command << "\n" << out;
        return out;
    }
};

TEST_F(FleetTest, EveryHostAnswersSshAsAHostOfItsOwn) {
    std::set<std::string> machineIds;
    for (int i = 0; i < kHosts; ++i) {
        SCOPED_TRACE(host(i).name());
        EXPECT_EQ(host(i).systemState(), "running") << host(i).ConsoleTail();
        EXPECT_EQ(On(i, "hostname"), host(i).name() + "\n");
        EXPECT_NE(On(i, "ip -4 -o addr show dev eth0").find(" " + host(i).address() + "/24 "),
                  std::string::npos);
        EXPECT_EQ(On(i, "cat /proc/1/comm"), "systemd\n");
        EXPECT_EQ(On(i, "systemctl is-active ssh.service"), "active\n");
        machineIds.insert(On(i, "cat /etc/machine-id"));
        // Of the machine's files, only what the fleet shows it: no home of root's but the key,
        // no checkout, no temporary files (the fleet's private key is among the machine's).
        EXPECT_EQ(On(i, "ls -A /root"), ".ssh\n");
        EXPECT_EQ(On(i, std::string("ls -A ") + fs::path(ZANTORSVC_PATH).parent_path().string() +
                            " 2>&1 | head -1"),
                  "ls: cannot access '" + fs::path(ZANTORSVC_PATH).parent_path().string() +
                      "': No such file or directory\n");
        EXPECT_EQ(On(i, "ls -A /tmp /var/tmp | grep zfleet; true"), "");
    }
    EXPECT_EQ(machineIds.size(), static_cast<std::size_t>(kHosts));

    // The generated ssh config alone takes a plain ssh there, without a prompt.
    std::string out;
    ASSERT_EQ(lab::RunProgram(fleet().Wrap({"ssh", "-F", fleet().sshConfig(), host(1).name(),
                                            "echo", "reached"}),
                              &out),
              platform::kErrorSuccess)
        << out;
    EXPECT_EQ(out, "reached\n");
    // A key other than the fleet's is refused at once, never asked for a password.
    int code = 0;
    const auto start = std::chrono::steady_clock::now();
    // (Not through the shared connection, which has logged in already.)
    lab::RunProgramFor(fleet().Wrap({"ssh", "-F", fleet().sshConfig(), "-o", "ControlPath=none",
                                     "-o", "PubkeyAuthentication=no", host(0).name(), "true"}),
                       seconds(30), &code, &out);
    EXPECT_EQ(code, 255) << out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));
}

TEST_F(FleetTest, EachHostHasANftablesRulesetOfItsOwn) {
    const std::string machineRules = Output({"/usr/sbin/nft", "list", "ruleset"});
    On(0,
       "nft add table inet zfleet_probe && nft add chain inet zfleet_probe input "
       "'{ type filter hook input priority 0; }'");
    EXPECT_NE(On(0, "nft list tables"), "");
    EXPECT_NE(On(0, "nft list tables").find("zfleet_probe"), std::string::npos);
    for (int i = 1; i < kHosts; ++i)
        EXPECT_EQ(On(i, "nft list tables").find("zfleet_probe"), std::string::npos)
            << host(i).name();
    EXPECT_EQ(Output({"/usr/sbin/nft", "list", "ruleset"}), machineRules);
    On(0, "nft delete table inet zfleet_probe");
}

TEST_F(FleetTest, HostsReachEachOtherOverTheBridge) {
    // sshd's greeting, by address and by name, from every host to the next.
    for (int i = 0; i < kHosts; ++i) {
        const FleetHost& next = host((i + 1) % kHosts);
        for (const std::string& to : {next.address(), next.name()})
            EXPECT_EQ(On(i, "timeout 5 bash -c 'exec 3<>/dev/tcp/" + to + "/22; head -c 7 <&3'"),
                      "SSH-2.0")
                << host(i).name() << " to " << to;
    }
    // The tests' side is on the bridge too (nothing listens on port 9 there: it refuses), and a
    // host has no other way out.
    EXPECT_NE(
        On(0, "timeout 3 bash -c 'exec 3<>/dev/tcp/" + Fleet::SideAddress() + "/9' 2>&1; true")
            .find("Connection refused"),
        std::string::npos);
    EXPECT_EQ(On(0, "ip -o link show | grep -c -v -e ': lo:' -e ': eth0@'; true"), "0\n");
}

TEST_F(FleetTest, TheBuildTreeIsThereReadOnlyAndItsServiceRuns) {
    const std::string svc = Fleet::InHost(ZANTORSVC_PATH);
    std::string out;
    EXPECT_EQ(host(2).Run(svc + " -help", &out), 0) << out;
    EXPECT_NE(out.find("-help"), std::string::npos) << out;
    EXPECT_NE(host(2).Run("touch " + std::string(kFleetBuildDir) + "/written", &out), 0);
    EXPECT_NE(out.find("Read-only file system"), std::string::npos) << out;

    // What a test puts into the share directory, every host reads.
    std::ofstream(fleet().shareDir() / "package.deb") << "not really a package\n";
    for (int i = 0; i < kHosts; ++i)
        EXPECT_EQ(On(i, std::string("cat ") + kFleetShareDir + "/package.deb"),
                  "not really a package\n");
    fs::remove(fleet().shareDir() / "package.deb");
}

TEST_F(FleetTest, ARebootFromInsideComesBackWithItsFiles) {
    FleetHost& h = host(1);
    const int boots = h.boots();
    On(1, "echo kept > /var/lib/zfleet-marker && echo gone > /run/zfleet-marker");
    std::string why;
    ASSERT_TRUE(h.Reboot(&why)) << why << h.ConsoleTail();
    EXPECT_EQ(h.boots(), boots + 1);
    EXPECT_EQ(h.systemState(), "running");
    EXPECT_EQ(On(1, "cat /var/lib/zfleet-marker; ls /run/zfleet-marker 2>/dev/null; true"),
              "kept\n");
    // A new systemd: its PID 1 has only just started.
    EXPECT_LT(std::stoi(On(1, "ps -o etimes= -p 1")), 30);
    EXPECT_EQ(On(1, "hostname"), h.name() + "\n");
}

TEST_F(FleetTest, AHostPoweredOffOrKilledIsDownAndBootsAgain) {
    FleetHost& h = host(2);
    const std::uint64_t net = h.networkNamespace();
    std::string why;
    ASSERT_TRUE(h.PowerOff(&why)) << why;
    EXPECT_FALSE(h.running());
    EXPECT_TRUE(lab::ControlGroup(fleet().id() + "/" + h.name()).Processes().empty());
    ASSERT_TRUE(h.Boot(&why)) << why;
    On(2, "echo kept > /etc/zfleet-marker");

    h.Kill();
    EXPECT_FALSE(h.running());
    EXPECT_EQ(lab::ControlGroup(fleet().id() + "/" + h.name()).Processes().size(), 0u);
    // The namespace stays, held by the fleet, with no process in it.
    EXPECT_TRUE(lab::ProcessesInNamespace("net", net).empty());
    std::string out;
    EXPECT_EQ(h.Run("true", &out, seconds(20)), 255) << out;
    // The others do not notice.
    EXPECT_EQ(On(0, "echo still"), "still\n");

    ASSERT_TRUE(h.Boot(&why)) << why;
    EXPECT_EQ(On(2, "hostname; cat /etc/zfleet-marker"), h.name() + "\nkept\n");
}

// Boots a fleet and waits to be killed; the next test runs it in a process of its own.
TEST(FleetChild, DISABLED_BootsAndWaitsToBeKilled) {
    const char* idFile = std::getenv(kChildIdFile);
    if (!idFile) GTEST_SKIP() << "run by FleetKilledTest only";
    Fleet fleet(1);
    ASSERT_EQ(fleet.error(), "");
    std::ofstream(std::string(idFile) + ".new") << fleet.id() << "\n";
    fs::rename(std::string(idFile) + ".new", idFile);
    std::this_thread::sleep_for(seconds(120));
}

TEST(FleetKilledTest, AFleetWhoseTestProcessIsKilledIsRemovedAtOnce) {
    std::string skip;
    if (!Fleet::CanBoot(&skip)) GTEST_SKIP() << skip;
    const fs::path idFile =
        fs::temp_directory_path() / ("fleet-child-" + std::to_string(::getpid()) + ".id");
    platform::ChildProcessOptions child;
    child.program = fs::read_symlink("/proc/self/exe");
    child.arguments = {"--gtest_also_run_disabled_tests",
                       "--gtest_filter=FleetChild.DISABLED_BootsAndWaitsToBeKilled"};
    child.environment[kChildIdFile] = idFile.string();
    child.outputFile = idFile.string() + ".log";
    std::uint32_t pid = 0;
    ASSERT_EQ(platform::CreateChildProcess(child, &pid), platform::kErrorSuccess);
    const auto deadline = std::chrono::steady_clock::now() + seconds(90);
    while (!fs::exists(idFile) && platform::IsProcessRunning(pid) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string id;
    std::ifstream(idFile) >> id;
    ASSERT_FALSE(id.empty()) << std::ifstream(child.outputFile).rdbuf();
    const lab::ControlGroup group(id);
    ASSERT_FALSE(group.Processes().empty());

    // As a test runner's timeout ends a test: at once, no chance to clean up.
    ASSERT_EQ(platform::TerminateProcessById(pid, seconds(10)), platform::kErrorSuccess);
    int code = 0;
    platform::WaitForChildProcess(pid, seconds(10), &code);
    const auto gone = std::chrono::steady_clock::now() + seconds(20);
    while ((group.Exists() || fs::exists(fs::temp_directory_path() / id)) &&
           std::chrono::steady_clock::now() < gone)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(group.Exists()) << "processes left: " << group.Processes().size();
    EXPECT_FALSE(fs::exists(fs::temp_directory_path() / id));
    std::error_code ec;
    fs::remove(idFile, ec);
    fs::remove(child.outputFile, ec);
}

TEST(FleetSweepTest, RemovesWhatProcessesThatNoLongerRunLeftAndNothingElse) {
    std::string skip;
    if (!Fleet::CanBoot(&skip)) GTEST_SKIP() << skip;
    // A process id beyond any the kernel gives out never runs; this process's own tag does.
    const std::string dead = "zfleet-999999999-1-0";
    const std::string alive = "zfleet-" + lab::OwnerTag() + "-999";
    std::unique_ptr<lab::ControlGroup> deadGroup, aliveGroup;
    ASSERT_EQ(lab::ControlGroup::Make(dead + "/host1/payload", &deadGroup),
              platform::kErrorSuccess);
    ASSERT_EQ(lab::ControlGroup::Make(alive, &aliveGroup), platform::kErrorSuccess);
    const fs::path deadDir = fs::temp_directory_path() / dead;
    fs::create_directories(deadDir / "share");
    ASSERT_EQ(lab::RunProgram({lab::IpProgram(), "netns", "add", "zt-zfleet-999999999-0"}),
              platform::kErrorSuccess);

    const auto removed = Fleet::SweepAbandoned();
    EXPECT_FALSE(lab::ControlGroup(dead).Exists());
    EXPECT_FALSE(fs::exists(deadDir));
    EXPECT_FALSE(fs::exists("/run/netns/zt-zfleet-999999999-0"));
    EXPECT_NE(std::find(removed.begin(), removed.end(), "fleet " + dead), removed.end());
    EXPECT_TRUE(aliveGroup->Exists());
    EXPECT_EQ(aliveGroup->Remove(seconds(5)), platform::kErrorSuccess);
}

// Last: once the fleet is gone, nothing of it is left, and the machine is as it was.
TEST(FleetGoneTest, NothingOfTheFleetIsLeftAndTheMachineIsAsItWas) {
    std::string skip;
    if (!Fleet::CanBoot(&skip)) GTEST_SKIP() << skip;
    ASSERT_EQ(gFleet, nullptr) << "runs after the fleet's tests";
    std::string left;
    for (const auto& thing : Fleet::Leftovers()) left += thing + "\n";
    EXPECT_EQ(left, "");
    if (!gBefore) return;  // run alone
    const MachineState after = MachineState::Now();
    EXPECT_EQ(after.links, gBefore->links);
    EXPECT_EQ(after.rules, gBefore->rules);
    EXPECT_EQ(after.mounts, gBefore->mounts);
    EXPECT_EQ(after.runSystemd, gBefore->runSystemd);
}

}  // namespace
}  // namespace zantor::test
