#include "tests/support/fleet.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "platform/process.h"
#include "tests/support/hostlab.h"
#include "tests/support/netlab.h"

namespace zantor::test {

namespace lab = platform::lab;
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

namespace {

constexpr const char* kPrefix = "zfleet-";
// netlab names its namespaces "zt-STEM-PID-N"; the fleet's carry their names only while the
// network is being laid.
constexpr const char* kNamespaceStem = "zfleet";
const std::string kNamespacePrefix = std::string("zt-") + kNamespaceStem + "-";
const std::string kNetwork = "10.79.0.";
constexpr const char* kBridge = "fbr";
constexpr const char* kSsh = "/usr/bin/ssh";
constexpr const char* kSshKeygen = "/usr/bin/ssh-keygen";
constexpr const char* kNspawn = "/usr/bin/systemd-nspawn";
// systemd-nspawn --keep-unit ends with this code when its host rebooted: whoever started it
// starts it again.
constexpr int kRebootExit = 133;
constexpr auto kBootLimit = seconds(90);
constexpr auto kKillLimit = seconds(15);

std::string HostName(int index) {
    return "host" + std::to_string(index + 1);
}
std::string HostAddress(int index) {
    return kNetwork + std::to_string(11 + index);
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteFile(const fs::path& path, const std::string& text, mode_t mode, std::string* why) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out || ::chmod(path.c_str(), mode) != 0) {
        if (why) *why = "cannot write " + path.string();
        return false;
    }
    return true;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string SecondsText(milliseconds ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(ms.count()) / 1000.0);
    return text;
}

milliseconds Since(steady_clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
}

// "zfleet-PID-START-N" → "PID-START", the owner's tag.
std::string OwnerOf(const std::string& id) {
    const std::string rest = id.substr(std::string(kPrefix).size());
    const auto last = rest.rfind('-');
    return last == std::string::npos ? std::string() : rest.substr(0, last);
}

// The namespaces of this process's fleets, to tell afterwards that nothing holds them any more:
// nothing that had started when its fleet let go of it.
struct Released {
    std::string kind;
    std::uint64_t inode;
    std::chrono::nanoseconds at;
};
std::mutex gReleasedMutex;
std::vector<Released> gReleased;

std::vector<std::string> StillHeld(const std::vector<Released>& namespaces) {
    std::vector<std::string> held;
    for (const auto& ns : namespaces)
        if (ns.inode && lab::NamespaceAlive(ns.kind, ns.inode, ns.at)) {
            std::string holders;
            for (std::uint32_t pid : lab::ProcessesInNamespace(ns.kind, ns.inode))
                holders += " " + std::to_string(pid);
            held.push_back(ns.kind + " namespace " + std::to_string(ns.inode) +
                           (holders.empty() ? "" : ", processes" + holders));
        }
    return held;
}

// Names of namespaces whose maker no longer runs: it was killed while it laid the network.
std::vector<std::string> SweepNamespaceNames() {
    std::vector<std::string> removed;
    std::error_code ec;
    for (fs::directory_iterator it("/run/netns", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kNamespacePrefix, 0) != 0) continue;
        const std::string rest = name.substr(kNamespacePrefix.size());
        const auto dash = rest.find('-');
        std::uint32_t pid = 0;
        try {
            pid = static_cast<std::uint32_t>(std::stoul(rest.substr(0, dash)));
        } catch (const std::exception&) {
            continue;
        }
        if (platform::IsProcessRunning(pid)) continue;
        if (lab::RunProgram({lab::IpProgram(), "netns", "del", name}) == platform::kErrorSuccess)
            removed.push_back("network namespace " + name);
    }
    return removed;
}

// Directories of the upper layer as the machine has them (owner and mode), from `upper` down
// to `path`, so that a file put into it does not change what the host's directories look like.
bool MirrorDirectories(const fs::path& upper, const fs::path& path, std::string* why) {
    fs::path lower = "/";
    for (const auto& part : path.relative_path()) {
        lower /= part;
        const fs::path inUpper = upper / lower.relative_path();
        struct stat st {};
        if (::lstat(inUpper.c_str(), &st) == 0) continue;
        struct stat machine {};
        const bool known = ::stat(lower.c_str(), &machine) == 0 && S_ISDIR(machine.st_mode);
        if (::mkdir(inUpper.c_str(), known ? machine.st_mode & 07777 : 0755) != 0 ||
            (known && (::chmod(inUpper.c_str(), machine.st_mode & 07777) != 0 ||
                       ::chown(inUpper.c_str(), machine.st_uid, machine.st_gid) != 0))) {
            if (why) *why = "cannot make " + inUpper.string();
            return false;
        }
    }
    return true;
}

// Units the machine enables that a test host must not start: its database servers, timers that
// would update packages, getty on a terminal the host does not have. sshd is the host's reason
// to be.
std::vector<std::string> UnitsToMask() {
    std::set<std::string> units;
    std::error_code ec;
    for (fs::directory_iterator it("/etc/systemd/system", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string dir = it->path().filename().string();
        if (dir.size() < 6 || dir.substr(dir.size() - 6) != ".wants") continue;
        std::error_code inner;
        for (fs::directory_iterator unit(it->path(), inner), stop; !inner && unit != stop;
             unit.increment(inner)) {
            const std::string name = unit->path().filename().string();
            const auto dot = name.rfind('.');
            if (dot == std::string::npos) continue;
            const std::string kind = name.substr(dot);
            if (kind != ".service" && kind != ".timer" && kind != ".socket" && kind != ".path")
                continue;
            if (name == "ssh.service" || name == "sshd.service") continue;
            units.insert(name);
        }
    }
    return {units.begin(), units.end()};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// A host

struct FleetHost::Machine {
    std::unique_ptr<lab::Namespace> net;
    std::unique_ptr<lab::ControlGroup> group;
    fs::path dir;                     // its tmpfs, mounted in its own mount namespace
    std::vector<std::string> nspawn;  // the command line that boots it
    fs::path hostKey;                 // its ssh host key, made by the fleet

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool prepared = false;  // the thread has its files ready (or failed: setupError)
    std::string setupError;
    bool bootWanted = false;
    bool quit = false;
    bool running = false;
    int launches = 0;
    int lastExit = -1;
    std::string launchError;
    steady_clock::time_point launchedAt;
    fs::path console;
    std::string state;
    milliseconds ssh{0}, up{0};
    std::uint64_t mountNamespace = 0;
    std::thread thread;
};

FleetHost::FleetHost(Fleet& fleet, int index)
    : fleet_(fleet),
      name_(HostName(index)),
      address_(HostAddress(index)),
      machine_(std::make_unique<Machine>()) {}

FleetHost::~FleetHost() {
    if (machine_->thread.joinable()) {
        {
            std::lock_guard lock(machine_->mutex);
            machine_->quit = true;
        }
        machine_->changed.notify_all();
        if (machine_->group) machine_->group->Kill(kKillLimit);
        machine_->thread.join();
    }
}

bool FleetHost::Seed(const fs::path& upper, std::string* why) const {
    // What a host must not see of the machine: root's home (its shell start-up files cost every
    // ssh command a second), the temporary directories (the fleet's private key is there), and
    // the project's checkouts. Empty directories stand in for them.
    std::vector<fs::path> hidden{"/root", "/tmp", "/var/tmp", fs::temp_directory_path()};
    const fs::path checkout = fs::path(ZANTOR_SOURCE_DIR).lexically_normal();
    hidden.push_back(checkout.has_relative_path() && checkout.parent_path() != "/"
                         ? checkout.parent_path()
                         : checkout);
    for (const auto& path : hidden) {
        const fs::path inUpper = upper / path.relative_path();
        struct stat st {};
        if (::lstat(inUpper.c_str(), &st) == 0) continue;  // hidden already (the same path twice)
        if (!MirrorDirectories(upper, path.parent_path(), why)) return false;
        if (lab::MakeOpaqueDirectory(inUpper, why)) return false;
        struct stat machine {};
        if (::stat(path.c_str(), &machine) == 0) {
            ::chmod(inUpper.c_str(), machine.st_mode & 07777);
            ::chown(inUpper.c_str(), machine.st_uid, machine.st_gid);
        }
    }
    // A service root that the machine's own runs left would make a host look installed.
    for (const fs::path path : {"/var/lib/zantor"}) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (!MirrorDirectories(upper, path.parent_path(), why) ||
            lab::MakeWhiteout(upper / path.relative_path(), why))
            return false;
    }

    for (const fs::path dir :
         {"/etc/ssh/sshd_config.d", "/etc/systemd/system/multi-user.target.wants", "/root/.ssh"})
        if (!MirrorDirectories(upper, dir, why)) return false;
    ::chmod((upper / "root/.ssh").c_str(), 0700);

    std::random_device random;
    std::string machineId;
    for (int i = 0; i < 32; ++i) machineId += "0123456789abcdef"[random() % 16];
    std::string hosts = "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n" +
                        Fleet::SideAddress() + "\tfleet-side\n";
    for (std::size_t i = 0; i < fleet_.size(); ++i)
        hosts += HostAddress(static_cast<int>(i)) + "\t" + HostName(static_cast<int>(i)) + "\n";
    const std::string keyName = "ssh_host_zantor_fleet_ed25519_key";
    const std::string sshd =
        "# A host of the test fleet: root logs in with the fleet's key, and nothing else is "
        "taken.\n"
        "HostKey /etc/ssh/" +
        keyName +
        "\n"
        "PermitRootLogin prohibit-password\n"
        "PubkeyAuthentication yes\n"
        "AuthorizedKeysFile .ssh/authorized_keys\n"
        "PasswordAuthentication no\n"
        "KbdInteractiveAuthentication no\n"
        "UseDNS no\n";
    if (!WriteFile(upper / "etc/hostname", name_ + "\n", 0644, why) ||
        !WriteFile(upper / "etc/machine-id", machineId + "\n", 0444, why) ||
        !WriteFile(upper / "etc/hosts", hosts, 0644, why) ||
        !WriteFile(upper / "etc/ssh/sshd_config.d/zantor-fleet.conf", sshd, 0644, why) ||
        !WriteFile(upper / "etc/ssh" / keyName, Slurp(machine_->hostKey), 0600, why) ||
        !WriteFile(upper / "etc/ssh" / (keyName + ".pub"),
                   Slurp(machine_->hostKey.string() + ".pub"), 0644, why) ||
        !WriteFile(upper / "root/.ssh/authorized_keys", Slurp(fleet_.dir_ / "id_ed25519.pub"), 0600,
                   why))
        return false;

    const fs::path units = upper / "etc/systemd/system";
    std::error_code ec;
    for (const auto& unit : UnitsToMask()) {
        fs::remove(units / unit, ec);
        fs::create_symlink("/dev/null", units / unit, ec);
        if (ec) return Fail(why, "cannot mask " + unit);
    }
    fs::remove(units / "multi-user.target.wants/ssh.service", ec);
    fs::create_symlink("/lib/systemd/system/ssh.service",
                       units / "multi-user.target.wants/ssh.service", ec);
    if (ec) return Fail(why, "cannot enable ssh.service");
    return true;
}

bool FleetHost::Fail(std::string* why, const std::string& what) const {
    if (why) *why = name_ + ": " + what;
    return false;
}

void FleetHost::Supervise() {
    Machine& m = *machine_;
    std::string why;
    const fs::path upper = m.dir / "upper", work = m.dir / "work", root = m.dir / "root";
    // The host's files live in a mount namespace of this thread's: the machine's mount table
    // never sees them, and they go away with the thread and the host's processes.
    bool ok = !lab::EnterPrivateMounts(&why) && !lab::MountTmpfs(m.dir, "mode=0755", &why);
    std::error_code ec;
    for (const auto& dir : {upper, work, root})
        if (ok && !fs::create_directory(dir, ec)) ok = Fail(&why, "cannot make " + dir.string());
    // systemd-nspawn keeps locks and mount propagation directories below /run/systemd/nspawn:
    // here they land in a tmpfs of this namespace instead of on the machine.
    ok = ok && Seed(upper, &why) && !lab::MountOverlay("/", upper, work, root, &why) &&
         !lab::MountTmpfs("/run/systemd", "mode=0755", &why);

    std::unique_lock lock(m.mutex);
    m.mountNamespace = lab::CurrentMountNamespace();
    m.prepared = true;
    m.setupError = ok ? "" : why;
    m.changed.notify_all();
    if (!ok) return;
    for (;;) {
        m.changed.wait(lock, [&] { return m.quit || m.bootWanted; });
        if (m.quit) return;
        m.bootWanted = false;
        for (;;) {  // one power-on, with its reboots
            platform::ChildProcessOptions options;
            options.program = m.nspawn.front();
            options.arguments.assign(m.nspawn.begin() + 1, m.nspawn.end());
            options.outputFile =
                fleet_.dir_ / (name_ + "-boot" + std::to_string(m.launches + 1) + ".log");
            std::uint32_t pid = 0;
            m.launchedAt = steady_clock::now();
            if (lab::StartInGroup(options, *m.group, &pid)) {
                m.launchError = "cannot start systemd-nspawn";
                m.changed.notify_all();
                break;
            }
            m.running = true;
            ++m.launches;
            m.console = options.outputFile;
            m.launchError.clear();
            m.changed.notify_all();
            lock.unlock();
            int code = -1;
            platform::Win32Error waited;
            do waited = platform::WaitForChildProcess(pid, std::chrono::hours(1), &code);
            while (waited == platform::kErrorTimeout);
            lock.lock();
            m.running = false;
            m.lastExit = code;
            m.changed.notify_all();
            if (code != kRebootExit || m.quit) break;
        }
    }
}

bool FleetHost::WaitUp(std::string* why) {
    Machine& m = *machine_;
    const auto deadline = steady_clock::now() + kBootLimit;
    steady_clock::time_point launched;
    {
        std::unique_lock lock(m.mutex);
        m.changed.wait_until(lock, deadline, [&] {
            return m.running || !m.launchError.empty() || (m.prepared && !m.setupError.empty());
        });
        if (m.prepared && !m.setupError.empty()) return Fail(why, m.setupError);
        if (!m.launchError.empty()) return Fail(why, m.launchError);
        if (!m.running) return Fail(why, "systemd-nspawn did not start");
        launched = m.launchedAt;
    }
    bool sshSeen = false;
    std::string state;
    for (;;) {
        bool running = true;
        int lastExit = 0;
        {
            std::lock_guard lock(m.mutex);
            running = m.running;
            lastExit = m.lastExit;
        }
        // The console's tail is read without the lock, which ConsoleTail takes itself.
        if (!running)
            return Fail(why, "systemd-nspawn ended with " + std::to_string(lastExit) +
                                 " while the host booted; its console:\n" + ConsoleTail());
        if (steady_clock::now() >= deadline)
            return Fail(why, "not up within " + std::to_string(kBootLimit.count()) +
                                 " s (systemd said \"" + state + "\"); its console:\n" +
                                 ConsoleTail());
        if (!sshSeen) {
            // A connection attempt costs no process: refused at once until sshd listens.
            std::unique_ptr<lab::StreamSocket> probe;
            if (lab::StreamSocket::Connect(fleet_.side_.get(), address_, 22, milliseconds(250),
                                           &probe)) {
                std::this_thread::sleep_for(milliseconds(20));
                continue;
            }
            sshSeen = true;
            std::lock_guard lock(m.mutex);
            m.ssh = Since(launched);
        }
        std::string output;
        const int code = Run("systemctl is-system-running --wait", &output, seconds(60));
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);)
            if (!Trimmed(line).empty()) state = Trimmed(line);
        // Degraded is up as well: systemd has finished starting, and a unit failed. The host is
        // usable, and the state is kept for a test to look at.
        if (code >= 0 && code != 255 && (state == "running" || state == "degraded")) {
            std::lock_guard lock(m.mutex);
            m.state = state;
            m.up = Since(launched);
            return true;
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
}

std::vector<std::string> FleetHost::SshCommand(const std::string& command) const {
    return fleet_.Wrap({kSsh, "-F", fleet_.sshConfig(), name_, "--", command});
}

int FleetHost::Run(const std::string& command, std::string* output,
                   std::chrono::seconds timeout) const {
    int code = -1;
    std::string text;
    // In the fleet's group: the connection ssh leaves running for the next commands is ended
    // with the fleet.
    platform::Win32Error e = lab::RunProgramFor(SshCommand(command), timeout, &code, &text,
                                                fleet_.clients_->ProcsFiles());
    if (output) *output = text;
    return e ? -1 : code;
}

void FleetHost::DropConnection() const {
    int code = 0;
    lab::RunProgramFor(fleet_.Wrap({kSsh, "-F", fleet_.sshConfig(), "-O", "exit", name_}),
                       seconds(10), &code);
}

bool FleetHost::Reboot(std::string* why) {
    Machine& m = *machine_;
    int before = 0;
    {
        std::lock_guard lock(m.mutex);
        if (!m.running) return Fail(why, "it is not running");
        before = m.launches;
    }
    // ssh may lose its connection before it hears the command's end: the host's coming back is
    // what counts.
    Run("systemctl reboot", nullptr, seconds(30));
    {
        std::unique_lock lock(m.mutex);
        const bool relaunched = m.changed.wait_for(lock, kBootLimit, [&] {
            return m.launches > before || (!m.running && m.lastExit != kRebootExit);
        });
        if (!relaunched || m.launches == before)
            return Fail(why, "did not reboot (systemd-nspawn ended with " +
                                 std::to_string(m.lastExit) + ")");
    }
    DropConnection();
    if (!WaitUp(why)) return false;
    std::printf("[fleet] %s rebooted: sshd after %s, %s after %s\n", name_.c_str(),
                SecondsText(sshAfter()).c_str(), systemState().c_str(),
                SecondsText(upAfter()).c_str());
    std::fflush(stdout);
    return true;
}

bool FleetHost::PowerOff(std::string* why) {
    Machine& m = *machine_;
    Run("systemctl poweroff", nullptr, seconds(30));
    bool off = false;
    {
        std::unique_lock lock(m.mutex);
        off = m.changed.wait_for(lock, kBootLimit, [&] { return !m.running; });
    }
    DropConnection();
    if (off) return true;
    Kill();
    return Fail(why, "did not power off; it was killed");
}

void FleetHost::Kill() {
    Machine& m = *machine_;
    m.group->Kill(kKillLimit);
    {
        std::unique_lock lock(m.mutex);
        m.changed.wait_for(lock, kKillLimit, [&] { return !m.running; });
    }
    DropConnection();
}

bool FleetHost::Boot(std::string* why) {
    Machine& m = *machine_;
    {
        std::lock_guard lock(m.mutex);
        if (m.running) return true;
        m.bootWanted = true;
        m.launchError.clear();
    }
    m.changed.notify_all();
    return WaitUp(why);
}

bool FleetHost::running() const {
    std::lock_guard lock(machine_->mutex);
    return machine_->running;
}

int FleetHost::boots() const {
    std::lock_guard lock(machine_->mutex);
    return machine_->launches;
}

std::string FleetHost::systemState() const {
    std::lock_guard lock(machine_->mutex);
    return machine_->state;
}

milliseconds FleetHost::sshAfter() const {
    std::lock_guard lock(machine_->mutex);
    return machine_->ssh;
}

milliseconds FleetHost::upAfter() const {
    std::lock_guard lock(machine_->mutex);
    return machine_->up;
}

std::string FleetHost::ConsoleTail(std::size_t lines) const {
    fs::path console;
    {
        std::lock_guard lock(machine_->mutex);
        console = machine_->console;
    }
    std::vector<std::string> all;
    std::istringstream in(console.empty() ? std::string() : Slurp(console));
    for (std::string line; std::getline(in, line);) all.push_back(line);
    std::string tail;
    for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
        tail += all[i] + "\n";
    return tail;
}

std::uint64_t FleetHost::networkNamespace() const {
    return machine_->net ? machine_->net->Inode() : 0;
}

std::uint64_t FleetHost::mountNamespace() const {
    std::lock_guard lock(machine_->mutex);
    return machine_->mountNamespace;
}

// ---------------------------------------------------------------------------------------------
// The fleet

bool Fleet::CanBoot(std::string* why) {
    if (!lab::CanBootHosts(why)) return false;
    std::error_code ec;
    if (!fs::is_directory(ZANTOR_BUILD_DIR, ec)) {
        if (why) *why = std::string("the build tree ") + ZANTOR_BUILD_DIR + " is not there";
        return false;
    }
    return true;
}

Fleet::Fleet(int hosts) {
    const auto start = steady_clock::now();
    std::string why;
    if (!CanBoot(&why)) {
        error_ = why;
        return;
    }
    for (const auto& removed : SweepAbandoned())
        std::printf("[fleet] removed what an earlier run left: %s\n", removed.c_str());
    if (!Prepare(hosts, &why)) {
        error_ = why;
        TearDown();
        return;
    }
    for (auto& host : hosts_) {
        std::lock_guard lock(host->machine_->mutex);
        host->machine_->bootWanted = true;
    }
    std::vector<std::string> failures(hosts_.size());
    std::vector<std::thread> waits;
    for (std::size_t i = 0; i < hosts_.size(); ++i) {
        hosts_[i]->machine_->changed.notify_all();
        waits.emplace_back([this, i, &failures] { hosts_[i]->WaitUp(&failures[i]); });
    }
    for (auto& t : waits) t.join();
    bootTime_ = Since(start);
    for (const auto& failure : failures)
        if (!failure.empty()) error_ += (error_.empty() ? "" : "\n") + failure;
    std::printf("[fleet] %s\n", BootReport().c_str());
    std::fflush(stdout);
}

Fleet::~Fleet() {
    TearDown();
}

bool Fleet::Prepare(int hosts, std::string* why) {
    static std::atomic<unsigned> counter{0};
    id_ = kPrefix + lab::OwnerTag() + "-" + std::to_string(counter++);
    dir_ = fs::temp_directory_path() / id_;
    std::error_code ec;
    fs::create_directory(dir_, ec);
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::create_directory(shareDir(), ec);
    if (ec) {
        *why = "cannot make " + dir_.string() + ": " + ec.message();
        return false;
    }
    if (lab::ControlGroup::Make(id_, &group_, why) ||
        lab::ControlGroup::Make(id_ + "/clients", &clients_, why))
        return false;

    // The fleet's own keys: the one it logs in with, and every host's host key, so that
    // known_hosts is written before any host runs and ssh never has to trust a key it is shown.
    auto keygen = [&](const fs::path& file, const std::string& comment) {
        return lab::RunProgram({kSshKeygen, "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f",
                                file.string()},
                               nullptr, why) == platform::kErrorSuccess;
    };
    if (!keygen(dir_ / "id_ed25519", "zantor-fleet")) return false;
    std::string knownHosts, config;
    config = "# The test fleet " + id_ +
             ": ssh -F THIS-FILE host1 COMMAND, run on the tests' side of the bridge.\n";
    for (int i = 0; i < hosts; ++i) {
        hosts_.push_back(std::unique_ptr<FleetHost>(new FleetHost(*this, i)));
        FleetHost& host = *hosts_.back();
        FleetHost::Machine& m = *host.machine_;
        m.hostKey = dir_ / (host.name() + "_host_key");
        m.dir = dir_ / host.name();
        if (!keygen(m.hostKey, host.name())) return false;
        if (!fs::create_directory(m.dir, ec)) {
            *why = "cannot make " + m.dir.string();
            return false;
        }
        if (lab::ControlGroup::Make(id_ + "/" + host.name(), &m.group, why)) return false;
        std::istringstream key(Slurp(m.hostKey.string() + ".pub"));
        std::string type, blob;
        key >> type >> blob;
        knownHosts += host.name() + "," + host.address() + " " + type + " " + blob + "\n";
        config += "\nHost " + host.name() + "\n    HostName " + host.address() + "\n";
    }
    config +=
        "\nHost *\n"
        "    User root\n"
        "    IdentityFile " +
        (dir_ / "id_ed25519").string() +
        "\n"
        "    IdentitiesOnly yes\n"
        "    UserKnownHostsFile " +
        (dir_ / "known_hosts").string() +
        "\n"
        "    GlobalKnownHostsFile /dev/null\n"
        "    StrictHostKeyChecking yes\n"
        "    CheckHostIP no\n"
        "    BatchMode yes\n"
        "    ConnectTimeout 5\n"
        "    ServerAliveInterval 5\n"
        "    ServerAliveCountMax 3\n"
        "    ControlMaster auto\n"
        "    ControlPath " +
        (dir_ / "cm-%C").string() +
        "\n"
        "    ControlPersist 60\n"
        "    LogLevel ERROR\n";
    if (!WriteFile(dir_ / "known_hosts", knownHosts, 0600, why) ||
        !WriteFile(sshConfig(), config, 0600, why) || !MakeNetwork(why) || !StartSweeper(why))
        return false;

    for (auto& host : hosts_) {
        FleetHost::Machine& m = *host->machine_;
        m.nspawn = {kNspawn, "--boot", "--directory=" + (m.dir / "root").string(),
                    "--machine=" + host->name(),
                    // Without systemd as the machine's PID 1 there is no manager to register
                    // with: the host stays in the group it was started in.
                    "--register=no", "--keep-unit",
                    "--network-namespace-path=" + m.net->HandlePath(),
                    // nftables inside.
                    "--capability=CAP_NET_ADMIN", "--console=pipe", "--link-journal=no",
                    std::string("--bind-ro=") + ZANTOR_BUILD_DIR + ":" + kFleetBuildDir,
                    "--bind-ro=" + shareDir().string() + ":" + kFleetShareDir};
        m.thread = std::thread([h = host.get()] { h->Supervise(); });
    }
    return true;
}

bool Fleet::MakeNetwork(std::string* why) {
    // Every namespace is named while the network is laid (ip needs the names), then held by its
    // handle alone: however this process ends, they go with it.
    side_ = std::make_unique<lab::Namespace>(kNamespaceStem);
    if (!side_->ok()) {
        *why = side_->error();
        return false;
    }
    std::vector<std::string> bridge{std::string("link add ") + kBridge + " type bridge",
                                    std::string("link set ") + kBridge + " up",
                                    "addr add " + SideAddress() + "/24 dev " + kBridge};
    if (side_->IpBatch(bridge, why)) return false;
    for (std::size_t i = 0; i < hosts_.size(); ++i) {
        FleetHost::Machine& m = *hosts_[i]->machine_;
        m.net = std::make_unique<lab::Namespace>(kNamespaceStem);
        if (!m.net->ok()) {
            *why = m.net->error();
            return false;
        }
        const std::string port = "fv" + std::to_string(i + 1);
        if (lab::Link(*side_, port, *m.net, "eth0", why) ||
            side_->Ip({"link", "set", port, "master", kBridge}, why) ||
            m.net->IpBatch({"addr add " + hosts_[i]->address() + "/24 dev eth0",
                            "route add default via " + SideAddress()},
                           why))
            return false;
    }
    for (auto& host : hosts_)
        if (host->machine_->net->Unname(why)) return false;
    return !side_->Unname(why);
}

bool Fleet::StartSweeper(std::string* why) {
    platform::ChildProcessOptions options;
    options.program = ZANTOR_FLEET_SWEEPER;
    options.arguments = {id_, dir_.string(), side_->HandlePath()};
    // Never the test's own output: a watcher that holds it would keep the test runner waiting.
    options.outputFile = dir_ / "sweeper.log";
    std::uint32_t pid = 0;
    int code = -1;
    if (platform::CreateChildProcess(options, &pid) ||
        platform::WaitForChildProcess(pid, seconds(10), &code) || code != 0) {
        *why = "cannot start fleet_sweeper: " + Slurp(options.outputFile);
        return false;
    }
    // It watches once it has said who it is.
    const auto deadline = steady_clock::now() + seconds(10);
    while (!fs::exists(dir_ / "sweeper.pid"))
        if (steady_clock::now() >= deadline) {
            *why = "fleet_sweeper did not start watching: " + Slurp(options.outputFile);
            return false;
        } else {
            std::this_thread::sleep_for(milliseconds(5));
        }
    return true;
}

std::string Fleet::sshConfig() const {
    return (dir_ / "ssh_config").string();
}

std::vector<std::string> Fleet::Wrap(const std::vector<std::string>& command) const {
    return side_->WrapHeld(command);
}

std::string Fleet::SideAddress() {
    return kNetwork + "1";
}

fs::path Fleet::shareDir() const {
    return dir_ / "share";
}

std::string Fleet::InHost(const fs::path& buildPath) {
    return (fs::path(kFleetBuildDir) /
            buildPath.lexically_normal().lexically_relative(fs::path(ZANTOR_BUILD_DIR)))
        .string();
}

std::string Fleet::BootReport() const {
    std::string report = std::to_string(hosts_.size()) + " hosts up in " + SecondsText(bootTime_);
    std::string each;
    for (const auto& host : hosts_)
        each += (each.empty() ? "" : "; ") + host->name() + " " + host->address() +
                ": sshd after " + SecondsText(host->sshAfter()) + ", " +
                (host->systemState().empty() ? "not up" : host->systemState()) + " after " +
                SecondsText(host->upAfter());
    return report + " (" + each + ")";
}

void Fleet::TearDown() {
    if (tornDown_) return;
    tornDown_ = true;
    // Whatever holds the fleet's namespaces was started before this point.
    const auto start = lab::ProcessClock();
    for (auto& host : hosts_) {
        {
            std::lock_guard lock(host->machine_->mutex);
            host->machine_->quit = true;
        }
        host->machine_->changed.notify_all();
    }
    // Every host and every ssh connection at once; then what Wrap started, which is in the
    // tests' side namespace but in no group of the fleet's.
    if (group_) group_->Kill(kKillLimit);
    if (side_)
        for (std::uint32_t pid : lab::ProcessesInNamespace("net", side_->Inode()))
            if (pid != platform::GetCurrentProcessId())
                platform::TerminateProcessById(pid, seconds(5));
    std::vector<Released> released;
    if (side_) released.push_back({"net", side_->Inode(), start});
    for (auto& host : hosts_) {
        if (host->machine_->thread.joinable()) host->machine_->thread.join();
        released.push_back({"mnt", host->machine_->mountNamespace, start});
        if (host->machine_->net) released.push_back({"net", host->machine_->net->Inode(), start});
        host->machine_->net.reset();
    }
    side_.reset();
    std::string why;
    if (group_ && group_->Remove(kKillLimit, &why))
        std::fprintf(stderr, "[fleet] %s\n", why.c_str());

    std::uint32_t sweeper = 0;
    try {
        sweeper = static_cast<std::uint32_t>(std::stoul(Slurp(dir_ / "sweeper.pid")));
    } catch (const std::exception&) {
    }
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
    // The watcher ends once the directory has gone; it holds the tests' side namespace until
    // then.
    const auto deadline = steady_clock::now() + seconds(5);
    while (sweeper && platform::IsProcessRunning(sweeper) && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));

    leftovers_.clear();
    if (group_ && group_->Exists()) leftovers_.push_back("control group " + id_);
    if (!dir_.empty() && fs::exists(dir_, ec)) leftovers_.push_back("directory " + dir_.string());
    for (const auto& held : StillHeld(released)) leftovers_.push_back(held);
    {
        std::lock_guard lock(gReleasedMutex);
        gReleased.insert(gReleased.end(), released.begin(), released.end());
    }
    for (const auto& left : leftovers_)
        std::fprintf(stderr, "[fleet] left behind: %s\n", left.c_str());
}

std::vector<std::string> Fleet::Leftovers() {
    std::vector<std::string> left;
    const std::string own = kPrefix + lab::OwnerTag() + "-";
    for (const auto& group : lab::ControlGroup::Find(own)) left.push_back("control group " + group);
    std::error_code ec;
    for (fs::directory_iterator it(fs::temp_directory_path(), ec), end; !ec && it != end;
         it.increment(ec))
        if (it->path().filename().string().rfind(own, 0) == 0)
            left.push_back("directory " + it->path().string());
    const std::string ownNames = kNamespacePrefix + std::to_string(::getpid()) + "-";
    for (fs::directory_iterator it("/run/netns", ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind(ownNames, 0) == 0)
            left.push_back("network namespace name " + it->path().filename().string());
    std::lock_guard lock(gReleasedMutex);
    for (const auto& held : StillHeld(gReleased)) left.push_back(held);
    return left;
}

void Fleet::Sweep(const std::string& id, std::uint64_t sideInode) {
    if (sideInode)
        for (std::uint32_t pid : lab::ProcessesInNamespace("net", sideInode))
            if (pid != platform::GetCurrentProcessId())
                platform::TerminateProcessById(pid, seconds(5));
    lab::ControlGroup(id).Remove(kKillLimit);
    SweepNamespaceNames();
    std::error_code ec;
    fs::remove_all(fs::temp_directory_path() / id, ec);
}

std::vector<std::string> Fleet::SweepAbandoned() {
    std::vector<std::string> removed;
    std::set<std::string> ids;
    for (const auto& group : lab::ControlGroup::Find(kPrefix)) ids.insert(group);
    std::error_code ec;
    for (fs::directory_iterator it(fs::temp_directory_path(), ec), end; !ec && it != end;
         it.increment(ec))
        if (it->path().filename().string().rfind(kPrefix, 0) == 0)
            ids.insert(it->path().filename().string());
    for (const auto& id : ids)
        if (!lab::IsOwnerRunning(OwnerOf(id))) {
            Sweep(id, 0);
            removed.push_back("fleet " + id);
        }
    for (auto& name : SweepNamespaceNames()) removed.push_back(name);
    return removed;
}

int Fleet::Watch(const std::string& id, const fs::path& dir, const std::string& sidePath) {
    const std::string owner = OwnerOf(id);
    // Held from here on, while its maker still holds it, so that the number stays the side's.
    const std::uint64_t side = lab::HoldNamespace(sidePath);
    if (side == 0 || lab::Detach()) return 1;
    std::string why;
    if (!WriteFile(dir / "sweeper.pid", std::to_string(::getpid()), 0600, &why)) return 1;
    for (;;) {
        std::error_code ec;
        if (!fs::exists(dir, ec)) return 0;  // the fleet has removed itself
        if (!lab::IsOwnerRunning(owner)) {
            Sweep(id, side);
            return 0;
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
}

}  // namespace zantor::test
