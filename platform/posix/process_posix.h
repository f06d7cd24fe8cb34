// Process identities for the Linux ports: a process id alone can be reused by the system, so a
// process is known by its id and its start time together.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/errors.h"

namespace platform::posix {

struct ProcessIdentity {
    std::uint32_t pid = 0;
    std::uint64_t startTime = 0;  // clock ticks after boot, from /proc/PID/stat
};

// The identity of a running process; false when it does not run (or has ended, unreaped).
bool ReadProcessIdentity(std::uint32_t pid, ProcessIdentity& id);

// True while the process `id` names runs: same id, same start time, not ended.
bool IsSameProcessRunning(const ProcessIdentity& id);

// Ends the process if it still is `id` and waits until it has ended, at most `timeout`.
// kErrorSuccess also when it had ended already.
Win32Error TerminateProcess(const ProcessIdentity& id, std::chrono::milliseconds timeout);

// True when a running process has the file (device, inode) as its program.
bool IsProgramInUse(std::uint64_t device, std::uint64_t inode);

}  // namespace platform::posix
