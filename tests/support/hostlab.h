// Real hosts for tests: what booting whole Linux hosts with systemd-nspawn on this machine takes
// beyond the network namespaces of netlab.h. Control groups that hold every process of a host, a
// mount namespace of the calling thread's own for a host's root file system, overlay layers, and
// the checks that tell whether this machine can do it at all. Nothing here changes the machine's
// own mounts; control groups are made below this process's own and removed again. Not part of the
// programs.
//
// Errors: a Win32Error, with `why` saying what failed. Threads: any; EnterPrivateMounts moves only
// the calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"

namespace platform::lab {

// Whether this machine can boot hosts: root, systemd-nspawn, overlayfs, network namespaces, a
// control group hierarchy to put hosts in, OpenSSH's programs and nsenter. `why` says what is
// missing.
bool CanBootHosts(std::string* why);

// A control group in every hierarchy systemd-nspawn uses that the machine has mounted: the unified
// one (cgroup2) and systemd's named one of the older layout; on a hybrid machine both. `path` is
// relative to the group this process is in. The object only names the group: the group stays
// until Remove, so that one whose maker was killed is still there to be found and removed.
class ControlGroup {
  public:
    // Makes the group (and the groups above it that are missing).
    static Win32Error Make(const std::string& path, std::unique_ptr<ControlGroup>* group,
                           std::string* why = nullptr);
    // The group of that path, whether it exists or not.
    explicit ControlGroup(const std::string& path);

    const std::string& path() const { return path_; }
    bool Exists() const;
    // Its cgroup.procs files, one per hierarchy: what a process writes itself into to join.
    std::vector<std::string> ProcsFiles() const;
    // Every process in the group and in the groups below it.
    std::vector<std::uint32_t> Processes() const;
    // Ends every process in it and below at once (SIGKILL) and waits until none is left, at most
    // `timeout` (kErrorTimeout).
    Win32Error Kill(std::chrono::milliseconds timeout) const;
    // Kill, then removes the group with every group below it.
    Win32Error Remove(std::chrono::milliseconds timeout, std::string* why = nullptr) const;

    // The names of the groups right below this process's own whose names start with `prefix`, in
    // any hierarchy.
    static std::vector<std::string> Find(const std::string& prefix);

  private:
    std::string path_;
    std::vector<std::string> dirs_;  // one per hierarchy; the unified one first when there is one
};

// CreateChildProcess, with the child in `group` before the program starts: whatever the program
// starts is in the group too.
Win32Error StartInGroup(const ChildProcessOptions& options, const ControlGroup& group,
                        std::uint32_t* processId);

// Moves the calling thread into a mount namespace of its own: a copy of the process's, private,
// so that what is mounted in it is seen nowhere else and what is mounted elsewhere later does not
// come in. The programs the thread starts inherit it. Its mounts go away when the thread and
// every program in it have ended, however the process ends. A thread cannot leave it again.
Win32Error EnterPrivateMounts(std::string* why = nullptr);
// The inode number of the calling thread's mount namespace ("mnt:[N]").
std::uint64_t CurrentMountNamespace();

// `mount -t tmpfs -o OPTIONS tmpfs TARGET`.
Win32Error MountTmpfs(const std::string& target, const std::string& options,
                      std::string* why = nullptr);
// An overlay of `upper` (written to, with `work` beside it on the same file system) over `lower`
// at `target`.
Win32Error MountOverlay(const std::string& lower, const std::string& upper, const std::string& work,
                        const std::string& target, std::string* why = nullptr);
// Makes `path`, in an overlay's upper layer, an empty directory that hides the lower layer's
// directory of the same name and everything in it (an opaque directory).
Win32Error MakeOpaqueDirectory(const std::string& path, std::string* why = nullptr);
// Makes `path`, in an overlay's upper layer, a whiteout: the lower layer's file or directory of
// that name is not there.
Win32Error MakeWhiteout(const std::string& path, std::string* why = nullptr);

// The processes with a thread in the namespace of that kind ("net", "mnt") and inode number.
std::vector<std::uint32_t> ProcessesInNamespace(const std::string& kind, std::uint64_t inode);
// Whether anything keeps that namespace alive: a thread in it, an open handle to it, or a name
// (a mount of it, as "ip netns add" makes). The kernel gives the number of a namespace that has
// gone to the next one made: with `startedBy` (ProcessClock) only processes started by then count,
// and names do not, so that a later namespace with the same number is not taken for it.
bool NamespaceAlive(const std::string& kind, std::uint64_t inode,
                    std::chrono::nanoseconds startedBy = std::chrono::nanoseconds::max());
// Now on the clock that processes' start times are counted on.
std::chrono::nanoseconds ProcessClock();

// Holds the namespace at `path` (a namespace file, as Namespace::HandlePath names one) open
// until this process ends, so that its inode number names it alone meanwhile (the kernel reuses
// the numbers of namespaces that have gone). Returns that number; 0 when it cannot be opened.
std::uint64_t HoldNamespace(const std::string& path);

// This process as the owner of things named after it: "PID-STARTTIME". The start time tells a
// process from a later one that got the same id.
std::string OwnerTag();
// Whether the process of a tag that OwnerTag made still runs.
bool IsOwnerRunning(const std::string& tag);

// Makes the calling process a child of no process of the caller's (it forks; the parent ends at
// once with 0), in a session of its own: a watcher that must outlive its maker and the maker's
// process tree. Only for a process with one thread.
Win32Error Detach();

}  // namespace platform::lab
