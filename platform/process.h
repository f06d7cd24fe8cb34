// Processes by id: enough to supervise a service process from outside it.
//
// Errors: false / a Win32Error, with the thread's last error set. Threads: any.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/errors.h"

namespace platform {

// This process's id.
std::uint32_t GetCurrentProcessId();

// True while the process runs; one that has ended but was not yet reaped by its parent counts as
// ended.
bool IsProcessRunning(std::uint32_t processId);

// Ends the process at once (it cannot clean up), as TerminateProcess does, and waits until it
// has ended, at most `timeout`. kErrorInvalidParameter when no such process runs,
// kErrorAccessDenied when it is not ours to end, kErrorTimeout when it had not ended in time.
Win32Error TerminateProcessById(std::uint32_t processId, std::chrono::milliseconds timeout);

}  // namespace platform
