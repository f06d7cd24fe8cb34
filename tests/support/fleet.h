// A fleet of real Linux hosts for tests: each one booted with systemd-nspawn, systemd as its PID
// 1, sshd taking the fleet's key for root, a network namespace and nftables ruleset of its own,
// and its own writable /etc and /var/lib (an overlay over the machine's file system, so every
// package of the machine is installed there too). The tests reach the hosts with the real ssh
// client.
//
// How it sits on the machine, and why nothing of it outlives a test run:
//
//   the tests' side   a network namespace of the fleet's (no name: it lives as long as the fleet
//                     holds it) with the bridge "fbr" and 10.79.0.1/24. Wrap() runs a program
//                     there; that is where ssh and zadmin reach the hosts from.
//   host i (1..N)     a network namespace with eth0, 10.79.0.(10+i)/24, whose peer is a port of
//                     the bridge; the machine's own namespace, links and rules are never touched.
//   files             a tmpfs per host holding the overlay's upper layer, mounted in a mount
//                     namespace of the host's own thread: the machine's mount table never sees
//                     it, and it goes away with the host's processes. The machine's /root, /tmp,
//                     /var/tmp and the folder holding the project checkout are empty in a host;
//                     the build tree is at kFleetBuildDir (read-only) and the fleet's share
//                     directory at kFleetShareDir (read-only).
//   processes         a control group "zfleet-PID-START-N" below the test's own (a group per host,
//                     one for the fleet's ssh clients), in the unified and in systemd's
//                     hierarchy: ended and removed as a whole.
//   files of its own  a private directory TMPDIR/zfleet-PID-START-N: the key pair, known_hosts,
//                     the ssh config, the share directory, each boot's console output.
//
// A fleet removes all of that when it is destroyed. When the test process is killed, a watcher
// it started (fleet_sweeper) removes it at once; and every fleet, before it boots, removes what
// fleets of processes that no longer run have left.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace platform::lab {
class ControlGroup;
class Namespace;
}  // namespace platform::lab

namespace zantor::test {

// Where every host sees the build tree, and the fleet's share directory.
inline constexpr const char* kFleetBuildDir = "/opt/zantor/build";
inline constexpr const char* kFleetShareDir = "/opt/zantor/share";

class Fleet;

// One host of a fleet. Its methods may be called from any thread, one at a time per host.
class FleetHost {
  public:
    ~FleetHost();
    FleetHost(const FleetHost&) = delete;
    FleetHost& operator=(const FleetHost&) = delete;

    // Its host name, its alias in the fleet's ssh config, and its name in every host's /etc/hosts.
    const std::string& name() const { return name_; }
    // Its address on the fleet's bridge.
    const std::string& address() const { return address_; }

    // Runs a shell command line on the host as root over ssh. Returns the command's exit status:
    // 255 when ssh itself failed (the host is down, refused the key ...), -1 when it did not end
    // within `timeout` (it is ended). `output` receives what it printed on both streams.
    int Run(const std::string& command, std::string* output = nullptr,
            std::chrono::seconds timeout = std::chrono::seconds(60)) const;
    // The command line, run on this machine, that runs `command` on the host over ssh.
    std::vector<std::string> SshCommand(const std::string& command) const;

    // "systemctl reboot" from inside; waits until the host is up again. False, with `why`, when
    // it did not come back.
    bool Reboot(std::string* why = nullptr);
    // "systemctl poweroff" from inside; waits until the host is down.
    bool PowerOff(std::string* why = nullptr);
    // Ends every process of the host at once, as pulling the plug would.
    void Kill();
    // Boots a host that is down again, with the files it had; waits until it is up.
    bool Boot(std::string* why = nullptr);

    // While its systemd-nspawn runs.
    bool running() const;
    // How often it has been started, reboots included.
    int boots() const;
    // What "systemctl is-system-running" said when it was last up: "running", or "degraded"
    // when a unit had failed.
    std::string systemState() const;
    // From the start of its last boot until sshd took a connection, and until systemd had
    // finished starting up.
    std::chrono::milliseconds sshAfter() const;
    std::chrono::milliseconds upAfter() const;
    // The last lines that its last boot wrote on its console, for messages about failures.
    std::string ConsoleTail(std::size_t lines = 15) const;
    // The inode numbers of its network namespace and of its files' mount namespace.
    std::uint64_t networkNamespace() const;
    std::uint64_t mountNamespace() const;

  private:
    friend class Fleet;
    struct Machine;
    FleetHost(Fleet& fleet, int index);
    // The host's thread: mounts and fills its files, then starts systemd-nspawn whenever a boot
    // is asked for, and again at once when the host rebooted.
    void Supervise();
    bool Seed(const std::filesystem::path& upper, std::string* why) const;
    bool WaitUp(std::string* why);
    void DropConnection() const;
    bool Fail(std::string* why, const std::string& what) const;

    Fleet& fleet_;
    std::string name_, address_;
    std::unique_ptr<Machine> machine_;
};

class Fleet {
  public:
    // Boots `hosts` hosts at once and waits until each one takes ssh and its systemd has started
    // up; prints how long that took. error() says what went wrong.
    explicit Fleet(int hosts);
    // TearDown.
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // Whether this machine can boot hosts at all (root, systemd-nspawn, overlayfs, namespaces,
    // the ssh programs); `why` says what is missing, for a test to skip with.
    static bool CanBoot(std::string* why);

    // Empty when every host came up.
    const std::string& error() const { return error_; }
    std::size_t size() const { return hosts_.size(); }
    FleetHost& host(std::size_t i) { return *hosts_.at(i); }

    // The fleet's name: "zfleet-PID-START-N", the name of its control group and directory.
    const std::string& id() const { return id_; }
    // An ssh config with a Host entry for every host and everything the fleet's ssh needs (its
    // key, known_hosts, no prompt, connection timeout, shared connections): run
    // Wrap({"ssh", "-F", sshConfig(), "host1", ...}).
    std::string sshConfig() const;
    // The command line that runs `command` on the tests' side of the bridge.
    std::vector<std::string> Wrap(const std::vector<std::string>& command) const;
    // The tests' side's address on the bridge.
    static std::string SideAddress();
    // A directory every host sees, read-only, at kFleetShareDir: a place for packages to install.
    std::filesystem::path shareDir() const;
    // Where a host sees a path of the build tree (which it sees read-only at kFleetBuildDir).
    static std::string InHost(const std::filesystem::path& buildPath);
    // How long the boot took, host by host.
    std::string BootReport() const;

    // Ends every host and removes everything of the fleet; also what Wrap started. Afterwards
    // leftovers() names what could not be removed (nothing, normally).
    void TearDown();
    const std::vector<std::string>& leftovers() const { return leftovers_; }

    // What fleets of this process have left on the machine: control groups, directories,
    // namespace names, and namespaces that something still holds. Empty after every fleet of
    // the process is gone.
    static std::vector<std::string> Leftovers();
    // Removes what fleets of processes that no longer run have left (a test run that was
    // killed); says what it removed.
    static std::vector<std::string> SweepAbandoned();
    // fleet_sweeper's work: watches the process that made the fleet `id` (whose directory is
    // `dir` and whose tests' side namespace is at `sidePath`) and, when that process has ended
    // without removing the fleet, removes it. Returns when the fleet is gone. Call it in a process
    // of its own: it detaches from its parent first.
    static int Watch(const std::string& id, const std::filesystem::path& dir,
                     const std::string& sidePath);

  private:
    friend class FleetHost;
    bool Prepare(int hosts, std::string* why);
    bool MakeNetwork(std::string* why);
    bool StartSweeper(std::string* why);
    // Removes what the fleet `id` left: its processes, control groups and directory, the
    // processes in its tests' side namespace `sideInode` (0: not known), and the names of
    // namespaces its process made and no longer holds.
    static void Sweep(const std::string& id, std::uint64_t sideInode);

    std::string id_;
    std::filesystem::path dir_;
    std::unique_ptr<platform::lab::ControlGroup> group_, clients_;
    std::unique_ptr<platform::lab::Namespace> side_;
    std::vector<std::unique_ptr<FleetHost>> hosts_;
    std::string error_;
    std::chrono::milliseconds bootTime_{0};
    std::vector<std::string> leftovers_;
    bool tornDown_ = false;
};

}  // namespace zantor::test
