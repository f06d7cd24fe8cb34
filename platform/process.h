// Processes by id: enough to supervise a service process from outside it.
//
// Errors: false / a Win32Error, with the thread's last error set. Threads: any.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

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

// A program to start as a child of this process.
struct ChildProcessOptions {
    std::filesystem::path program;
    std::vector<std::string> arguments;              // after the program's own name
    std::filesystem::path workingDirectory;          // empty: this process's
    std::map<std::string, std::string> environment;  // set on top of this process's environment
    std::filesystem::path outputFile;                // standard output and error; empty: inherited
};

// Starts the program; *processId is the child's. The program's own failure to start shows as
// exit code 127.
Win32Error CreateChildProcess(const ChildProcessOptions& options, std::uint32_t* processId);

// Waits until a child of this process has ended, at most `timeout`, and reaps it. *exitCode is
// its exit code, or 128 + the signal that ended it. kErrorTimeout when it still runs.
Win32Error WaitForChildProcess(std::uint32_t processId, std::chrono::milliseconds timeout,
                               int* exitCode);

}  // namespace platform
