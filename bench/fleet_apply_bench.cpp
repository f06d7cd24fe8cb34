// Desired state across a fleet of 20 real hosts, each figure side by side with its comparison in
// the same round:
//   - zadmin apply onto 20 hosts with the default parallelism, and with all 20 at once, against
//     onto one host (each apply changes one filter on every host it works on), in time and in the
//     controller's own processor time (zadmin and its ssh clients);
//   - ansible-playbook of the collection (zantor.filtering.config, forks as many as zadmin's
//     parallelism) onto the same 20, against zadmin apply onto them.
// It boots the fleet (root, systemd-nspawn: tests/support/fleet.h; about 17 MiB a host), then
// runs itself again on the tests' side of the fleet's bridge (--inside), where the hosts are
// reached over ssh.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "tests/support/fleet.h"
#include "tests/support/netlab.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kHosts = 20;
constexpr int kRounds = 5;

struct Inside {
    std::string config, zadmin, source;
    std::vector<std::string> names, addresses;  // ssh destinations, and each one's address
    fs::path dir;

    int Run(const std::vector<std::string>& command) const {
        platform::ChildProcessOptions options;
        options.program = command.front();
        options.arguments.assign(command.begin() + 1, command.end());
        options.outputFile = dir / "last-output.txt";
        std::uint32_t pid = 0;
        if (platform::CreateChildProcess(options, &pid)) return -1;
        int code = -1;
        platform::WaitForChildProcess(pid, std::chrono::minutes(10), &code);
        return code;
    }
    // The processor time of the ended children of this process so far (zadmin and the ssh
    // clients it waited for): the controller's own work, which on a real fleet is all that adds up
    // on one machine, where here the hosts' sshd, shells and services share its two processors.
    static double ChildrenSeconds() {
        rusage use{};
        ::getrusage(RUSAGE_CHILDREN, &use);
        return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
               static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    }
    double Seconds(const std::vector<std::string>& command, const char* what,
                   double* controller = nullptr) const {
        const auto start = Clock::now();
        const double cpu = ChildrenSeconds();
        if (const int code = Run(command); code != 0) {
            std::string said;
            platform::ReadFileContents((dir / "last-output.txt").c_str(), said, 1 << 16);
            std::printf("%s failed (%d): %s\n", what, code, said.c_str());
        }
        if (controller) *controller = ChildrenSeconds() - cpu;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    std::vector<std::string> Zadmin(std::size_t hosts, std::vector<std::string> rest) const {
        std::vector<std::string> c = {zadmin};
        for (std::size_t i = 0; i < hosts; ++i) c.insert(c.end(), {"--computer", names[i]});
        c.insert(c.end(), rest.begin(), rest.end());
        return c;
    }
    // One file per host ({computer}), dropping TCP port `port` on its address.
    void Files(int port) const {
        for (std::size_t i = 0; i < names.size(); ++i)
            std::ofstream(dir / (names[i] + ".INI"), std::ios::binary)
                << "[SYSTEM]\r\nAddrCount=1\r\n[IP0]\r\nAddress=" << addresses[i]
                << "\r\nFiltering=On\r\nInFiltersCount=1\r\nOutFiltersCount=0\r\nDefInAction="
                   "Forward\r\nDefOutAction=Forward\r\nGlobalFilter=\r\nInFilter0=0 0 0 0.0.0.0 "
                   "0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 "
                << port << " 0 " << port << "\r\n";
    }
    void Inventory(int port) const {
        std::ofstream out(dir / "inventory.yml");
        out << "all:\n  vars:\n    ansible_user: root\n    ansible_ssh_common_args: \"-F " << config
            << "\"\n    ansible_python_interpreter: /usr/bin/python3\n    zantor_zadmin: "
            << zantor::test::kFleetBuildDir << "/console/cli/zadmin\n  hosts:\n";
        for (std::size_t i = 0; i < names.size(); ++i)
            out << "    " << names[i].substr(names[i].find('@') + 1)
                << ":\n      zantor_addresses:\n        - address: " << addresses[i]
                << "\n          input_filters:\n            - \"0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 "
                   "0.0.0.0 6 0 0 "
                << port << " 0 " << port << "\"\n";
    }
    std::vector<std::string> Playbook() const {
        return {"/usr/bin/env",
                "ANSIBLE_COLLECTIONS_PATH=" + source + "/ansible",
                "ANSIBLE_HOME=" + (dir / "ansible").string(),
                "ANSIBLE_SSH_CONTROL_PATH_DIR=" + (dir / "ansible-cp").string(),
                "ANSIBLE_FORKS=8",
                "ANSIBLE_NOCOLOR=1",
                "/usr/bin/ansible-playbook",
                "-i",
                (dir / "inventory.yml").string(),
                source + "/tests/ansible/fleet.yml"};
    }
};

int RunInside(const Inside& in) {
    if (in.Run(in.Zadmin(kHosts, {"install"})) != 0) {
        std::printf("install failed\n");
        return 1;
    }
    const std::string files = (in.dir / "{computer}.INI").string();
    std::vector<double> many, one, wide, ansible, zadmin, manyCpu, oneCpu;
    int port = 7000;
    for (int round = 0; round < kRounds; ++round) {
        // Each apply changes the one filter of every host it works on. The service takes its
        // next connection about a second after the last one ended.
        in.Files(++port);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        one.push_back(in.Seconds(in.Zadmin(1, {"--wait", "10", "apply", files}), "apply onto 1",
                                 &oneCpu.emplace_back()));
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        many.push_back(in.Seconds(in.Zadmin(kHosts, {"--wait", "10", "apply", files}),
                                  "apply onto 20", &manyCpu.emplace_back()));
        // The same with every host at once: how much of the default's time is waiting.
        in.Files(++port);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        wide.push_back(in.Seconds(in.Zadmin(kHosts, {"--parallel", std::to_string(kHosts), "--wait",
                                                     "10", "apply", files}),
                                  "apply onto 20 at once"));
        if (!fs::exists("/usr/bin/ansible-playbook")) continue;
        in.Files(++port);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        zadmin.push_back(
            in.Seconds(in.Zadmin(kHosts, {"--wait", "10", "apply", files}), "apply onto 20"));
        in.Inventory(++port);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ansible.push_back(in.Seconds(in.Playbook(), "ansible-playbook onto 20"));
    }
    auto report = [](const char* what, const std::vector<double>& a, const std::vector<double>& b) {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) ratios.push_back(a[i] / b[i]);
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.empty() ? 0.0 : v[v.size() / 2];
        };
        std::printf("%-46s %.2f s against %.2f s (medians of %zu rounds)\n", what, median(a),
                    median(b), a.size());
        std::sort(ratios.begin(), ratios.end());
        if (!ratios.empty())
            std::printf("ratio %s = %.2f (median; lowest %.2f, highest %.2f)\n", what,
                        median(ratios), ratios.front(), ratios.back());
    };
    report("zadmin apply onto 20 hosts / onto 1", many, one);
    report("zadmin apply onto 20 hosts, all at once / onto 1", wide, one);
    report("controller's processor time, onto 20 / onto 1", manyCpu, oneCpu);
    if (!ansible.empty())
        report("ansible-playbook onto 20 / zadmin apply onto 20", ansible, zadmin);
    else
        std::printf("no ansible-playbook here: its figure is left out\n");
    in.Run(in.Zadmin(kHosts, {"remove"}));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--inside") {
        Inside in;
        in.config = argv[2];
        in.zadmin = argv[3];
        in.source = argv[4];
        in.dir = argv[5];
        for (int i = 6; i + 1 < argc; i += 2) {
            in.names.push_back(argv[i]);
            in.addresses.push_back(argv[i + 1]);
        }
        return RunInside(in);
    }
    std::string why;
    if (!zantor::test::Fleet::CanBoot(&why)) {
        std::printf("no fleet on this machine: %s\n", why.c_str());
        return 0;
    }
    zantor::test::Fleet fleet(kHosts);
    if (!fleet.error().empty()) {
        std::printf("the fleet did not come up: %s\n", fleet.error().c_str());
        return 1;
    }
    std::printf("%s\n", fleet.BootReport().c_str());
    const fs::path run = fleet.shareDir().parent_path() / "bench-run";
    fs::create_directories(run);
    fs::permissions(run, fs::perms::owner_all);
    const fs::path self = platform::GetModuleFileNameA();
    const fs::path build = self.parent_path().parent_path();
    // In the service's folder: install copies the ZantorSvc of the current directory.
    std::vector<std::string> command = {"/usr/bin/env",
                                        "-C",
                                        (build / "service").string(),
                                        "ZANTOR_SSH_CONFIG=" + fleet.sshConfig(),
                                        "XDG_RUNTIME_DIR=" + run.string(),
                                        self.string(),
                                        "--inside",
                                        fleet.sshConfig(),
                                        (build / "console" / "cli" / "zadmin").string(),
                                        ZANTOR_SOURCE_DIR,
                                        run.string()};
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        command.push_back("root@" + fleet.host(i).name());
        command.push_back(fleet.host(i).address());
    }
    int code = -1;
    std::string output;
    platform::lab::RunProgramFor(fleet.Wrap(command), std::chrono::minutes(30), &code, &output);
    std::fputs(output.c_str(), stdout);
    return code;
}
