// Process identities for the Linux ports: a process id alone can be reused by the system, so a
// process is known by its id and its start time together.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"

namespace platform::posix {

struct ProcessIdentity {
    std::uint32_t pid = 0;
    std::uint64_t startTime = 0;  // clock ticks after boot, from /proc/PID/stat
};

// The identity of a running process; false when it does not run (or has ended, unreaped).
bool ReadProcessIdentity(std::uint32_t pid, ProcessIdentity& id);

// True while the process `id` names runs: same id, same start time, not ended.
bool IsSameProcessRunning(const ProcessIdentity& id);

// Waits until the process `id` has ended (or is no longer `id`), at most `timeout`; false when it
// still runs then.
bool WaitForProcessEnd(const ProcessIdentity& id, std::chrono::milliseconds timeout);

// Ends the process if it still is `id` and waits until it has ended, at most `timeout`.
// kErrorSuccess also when it had ended already.
Win32Error TerminateProcess(const ProcessIdentity& id, std::chrono::milliseconds timeout);

// Now on the clock that /proc counts process start times on (CLOCK_BOOTTIME). Safe in a signal
// handler.
std::chrono::nanoseconds BootClock();

// What /proc tells of a process at one moment, as raw text: enough to name it later. Taken with
// calls that are safe in a signal handler, into fixed buffers.
struct ProcessSnapshot {
    std::uint32_t pid = 0;
    char cmdline[1024];
    std::size_t cmdlineLength = 0;
    char comm[64];  // only when the command line is empty
    std::size_t commLength = 0;
    char stat[640];  // enough for the fields up to the start time
    std::size_t statLength = 0;
};
void TakeSnapshot(std::uint32_t pid, ProcessSnapshot& snapshot) noexcept;

// The process of the snapshot as the sender of something that reached this process at `seenAt`
// (BootClock): its program and arguments, or its command name when it is ending or has ended
// unreaped. A process that started after `seenAt` reuses the id of a sender that has gone, and is
// not named.
SenderProcess SenderOf(const ProcessSnapshot& snapshot, std::chrono::nanoseconds seenAt);

// TakeSnapshot, then SenderOf.
SenderProcess LookUpSender(std::uint32_t pid, std::chrono::nanoseconds seenAt);

// CreateChildProcess, with the child moved into control groups before the program starts: it
// writes itself into each of `procsFiles` (a group's cgroup.procs). The child ends with 126 when
// a group refused it.
Win32Error CreateChildProcessJoining(const ChildProcessOptions& options,
                                     const std::vector<std::string>& procsFiles,
                                     std::uint32_t* processId);

// True when a running process has the file (device, inode) as its program.
bool IsProgramInUse(std::uint64_t device, std::uint64_t inode);

}  // namespace platform::posix
