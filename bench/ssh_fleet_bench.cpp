// Computers reached over SSH, measured on a fleet of three real hosts, each figure side by side
// with what ssh itself costs for the same in the same round:
//   - Connect To (ConnectToComputer to the filled address list) over a warm shared connection,
//     against `ssh HOST true` over the same connection; and both cold (no master running);
//   - zadmin restore of a 3-address, 40-filter configuration onto three hosts, against onto one;
//   - zadmin log deny of a 100 MB deny log, against `ssh HOST cat FILE`, and zadmin's peak memory.
//
// It boots the fleet (root, systemd-nspawn: tests/support/fleet.h), then runs itself again on the
// tests' side of the fleet's bridge (--inside), where the hosts are reached.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tests/support/console_support.h"
#include "tests/support/fleet.h"
#include "tests/support/netlab.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Figures {
    std::vector<double> a, b;
    void Print(const char* what, const char* aName, const char* bName) {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < a.size(); ++i) ratios.push_back(a[i] / b[i]);
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.empty() ? 0.0 : v[v.size() / 2];
        };
        std::printf("%-34s %s %.1f ms, %s %.1f ms (medians of %zu rounds)\n", what, aName,
                    median(a), bName, median(b), a.size());
        std::sort(ratios.begin(), ratios.end());
        if (!ratios.empty())
            std::printf("ratio %s = %.2f (median; lowest %.2f, highest %.2f)\n", what,
                        median(ratios), ratios.front(), ratios.back());
    }
};

// Runs a program to its end; its exit code, its peak memory in *peak.
int Run(const std::vector<std::string>& command, std::uint64_t* peak = nullptr,
        const fs::path& output = "/dev/null") {
    platform::ChildProcessOptions options;
    options.program = command.front();
    options.arguments.assign(command.begin() + 1, command.end());
    options.outputFile = output;
    std::uint32_t pid = 0;
    if (platform::CreateChildProcess(options, &pid)) return -1;
    int code = -1;
    platform::WaitForChildProcess(pid, std::chrono::minutes(5), &code, peak);
    return code;
}

Clock::duration Timed(const std::vector<std::string>& command, int* code = nullptr,
                      std::uint64_t* peak = nullptr) {
    const auto start = Clock::now();
    const int c = Run(command, peak);
    if (code) *code = c;
    return Clock::now() - start;
}

int Inside(const std::string& config, const std::vector<std::string>& hosts,
           const std::string& zadmin) {
    const std::string dir = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/zantor-ssh";
    auto ssh = [&](const std::string& host, std::vector<std::string> rest) {
        // The same shared connection that the programs use.
        std::vector<std::string> c = {"/usr/bin/ssh", "-F", config, "-o", "ControlMaster=auto",
                                      "-o", "ControlPath=" + dir + "/%C", "-o",
                                      "ControlPersist=60", host};
        c.insert(c.end(), rest.begin(), rest.end());
        return c;
    };
    auto zadminOn = [&](std::vector<std::string> computers, std::vector<std::string> rest) {
        std::vector<std::string> c = {zadmin};
        for (const std::string& h : computers) c.insert(c.end(), {"--computer", h});
        c.insert(c.end(), rest.begin(), rest.end());
        return c;
    };
    zantor::test::ScriptedPerson person;
    zantor::console::TConsole console(person);
    for (const std::string& h : hosts)
        if (!console.InstallService(h)) {
            std::printf("install on %s failed\n", h.c_str());
            return 1;
        }

    // Connect To, warm: the master of the first install serves every round.
    Figures warm;
    for (int round = 0; round < 15; ++round) {
        // The service takes its next connection about a second after the last one ended.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        warm.b.push_back(Ms(Timed(ssh(hosts[0], {"true"}))));
        console.MainForm.IPListView.Items.clear();
        const auto start = Clock::now();
        console.ConnectToComputer(hosts[0]);
        warm.a.push_back(Ms(Clock::now() - start));
        if (console.MainForm.IPListView.Items.empty()) {
            std::printf("Connect To failed: %s\n", console.MainForm.StatusPanel1.c_str());
            return 1;
        }
        console.PipeHandle.reset();
    }
    warm.Print("Connect To, warm", "Connect To", "ssh true");

    Figures cold;
    for (int round = 0; round < 7; ++round) {
        Run(ssh(hosts[0], {"-O", "exit"}));
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        cold.b.push_back(Ms(Timed(ssh(hosts[0], {"true"}))));
        Run(ssh(hosts[0], {"-O", "exit"}));
        console.MainForm.IPListView.Items.clear();
        const auto start = Clock::now();
        console.ConnectToComputer(hosts[0]);
        cold.a.push_back(Ms(Clock::now() - start));
        console.PipeHandle.reset();
    }
    cold.Print("Connect To, cold", "Connect To", "ssh true");

    // A configuration of three addresses (a dummy device of each host holds the same three) and
    // 40 filters, made on the first host and saved.
    const std::vector<std::string> addresses = {"192.168.77.1", "192.168.77.2", "192.168.77.3"};
    for (const std::string& h : hosts) {
        Run(ssh(h, {"ip link add zb0 type dummy; ip link set zb0 up; for a in 1 2 3; do "
                    "ip addr add 192.168.77.$a/24 dev zb0; done; systemctl restart ZantorSvc"}));
    }
    std::this_thread::sleep_for(seconds(2));
    for (const std::string& a : addresses)
        Run(zadminOn({hosts[0]}, {"--wait", "10", "enable", a, "forward", "forward"}));
    for (int f = 0; f < 40; ++f)
        Run(zadminOn({hosts[0]}, {"--wait", "10", "add-filter", addresses[f % 3], "in", "--proto",
                                  "tcp", "--dport", std::to_string(1000 + f)}));
    const std::string file = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/bench.INI";
    if (Run(zadminOn({hosts[0]}, {"--wait", "10", "save", file})) != 0) {
        std::printf("save failed\n");
        return 1;
    }
    Figures restore;
    for (int round = 0; round < 5; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        int code = 0;
        restore.b.push_back(
            Ms(Timed(zadminOn({hosts[1]}, {"--wait", "10", "restore", file}), &code)));
        if (code != 0) std::printf("restore onto one failed (%d)\n", code);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        restore.a.push_back(
            Ms(Timed(zadminOn(hosts, {"--wait", "10", "restore", file}), &code)));
        if (code != 0) std::printf("restore onto three failed (%d)\n", code);
    }
    restore.Print("restore 3 addresses, 40 filters", "onto 3", "onto 1");

    // A deny log of 100 MB.
    Run(ssh(hosts[0], {"yes 'Denied 10.79.0.12 -> 10.79.0.11 tcp 40000 -> 7777' | head -c "
                       "100000000 > /var/lib/zantor/system32/IPDenyLog.Log"}));
    Figures log;
    std::uint64_t peak = 0;
    for (int round = 0; round < 5; ++round) {
        log.b.push_back(Ms(
            Timed(ssh(hosts[0], {"cat", "/var/lib/zantor/system32/IPDenyLog.Log"}))));
        std::uint64_t p = 0;
        log.a.push_back(Ms(Timed(zadminOn({hosts[0]}, {"log", "deny"}), nullptr, &p)));
        peak = std::max(peak, p);
    }
    log.Print("log deny of 100 MB", "zadmin", "ssh cat");
    std::printf("zadmin's peak memory reading it: %.1f MiB\n", static_cast<double>(peak) / (1 << 20));
    for (const std::string& h : hosts) console.RemoveService(h);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--inside") {
        std::vector<std::string> hosts(argv + 4, argv + argc);
        return Inside(argv[2], hosts, argv[3]);
    }
    std::string why;
    if (!zantor::test::Fleet::CanBoot(&why)) {
        std::printf("no fleet on this machine: %s\n", why.c_str());
        return 0;
    }
    zantor::test::Fleet fleet(3);
    if (!fleet.error().empty()) {
        std::printf("the fleet did not come up: %s\n", fleet.error().c_str());
        return 1;
    }
    std::printf("%s\n", fleet.BootReport().c_str());
    const fs::path run = fleet.shareDir().parent_path() / "bench-run";
    fs::create_directories(run);
    fs::permissions(run, fs::perms::owner_all);
    const fs::path self = platform::GetModuleFileNameA();
    const fs::path zadmin = self.parent_path().parent_path() / "console" / "cli" / "zadmin";
    // In the service's folder: Install To copies the ZantorSvc of the current directory.
    std::vector<std::string> command = {
        "/usr/bin/env", "-C", (self.parent_path().parent_path() / "service").string(),
        "ZANTOR_SSH_CONFIG=" + fleet.sshConfig(), "XDG_RUNTIME_DIR=" + run.string(),
        self.string(), "--inside", fleet.sshConfig(), zadmin.string()};
    for (std::size_t i = 0; i < fleet.size(); ++i) command.push_back("root@" + fleet.host(i).name());
    int code = -1;
    std::string output;
    platform::lab::RunProgramFor(fleet.Wrap(command), std::chrono::minutes(15), &code, &output);
    std::fputs(output.c_str(), stdout);
    return code;
}
