// Processes by id: enough to supervise a service process from outside it.
//
// Errors: false / a Win32Error, with the thread's last error set. Threads: any.
//
// On Windows (win32/process_win32.cpp) a program that cannot be started fails CreateChildProcess
// with the system's error instead of exiting with 127, each child gets a console of its own (so
// that a console control event reaches it alone), a terminated process ends with exit code 1, and
// CTRL_SHUTDOWN_EVENT cannot be sent (kErrorNotSupported): Windows sends it to no program.
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

// Console control events: what a console program is told when the user presses Ctrl-C or the
// system asks it to end. On Linux SIGINT is CTRL_C_EVENT and SIGTERM is CTRL_SHUTDOWN_EVENT.
inline constexpr std::uint32_t CTRL_C_EVENT = 0;
inline constexpr std::uint32_t CTRL_SHUTDOWN_EVENT = 6;
using PHANDLER_ROUTINE = void (*)(std::uint32_t ctrlType);

// Routes the process's console control events to `handler` instead of ending the process. The
// first event calls it once, on a thread of its own (as Windows does), so it may take its time
// to wind the program down; any later event ends the process at once, as if no handler were
// set, so that a program stuck in its wind-down can still be ended the usual way. Call it once,
// early; a second call fails with kErrorAlreadyExists.
Win32Error SetConsoleCtrlHandler(PHANDLER_ROUTINE handler);

// A process that asked this one for something (sent it a signal, a service control), as far as
// the platform tells. It is looked up when the request is handled, so a sender that has ended by
// then may have left its id only; an id is never taken for the process that has it now when
// that one started after the request came.
struct SenderProcess {
    std::uint32_t processId = 0;  // 0: the platform names no sender
    std::string program;          // its program's name, then its arguments; empty: not known
    bool ended = false;           // it had ended when it was looked up
};

// What raised a console control event.
struct ConsoleCtrlOrigin {
    std::uint32_t ctrlType = CTRL_C_EVENT;  // as the handler was told it
    std::string event;                      // what arrived, in the platform's words: "SIGTERM"
    bool atTerminal = false;  // typed at the program's terminal (Ctrl-C), not sent by a process
    SenderProcess sender;     // who sent it, where the platform says
};

// The origin of the console control event that the handler given to SetConsoleCtrlHandler was
// called for; from any thread once the handler runs. On Linux `event` is the signal's name and
// the sender is the process that called kill or sigqueue; a SIGINT that the terminal raised
// (Ctrl-C) names no process and is atTerminal. On Windows the system tells the event's type only:
// `event` is its name ("CTRL_BREAK_EVENT"), Ctrl-C and Ctrl-Break are atTerminal, and no sender
// is named. kErrorInvalidParameter for a null pointer, kErrorNotFound before any event.
Win32Error GetConsoleCtrlOrigin(ConsoleCtrlOrigin* origin);

// Sends a console control event (CTRL_C_EVENT or CTRL_SHUTDOWN_EVENT) to the process.
// kErrorInvalidParameter for another event or when no such process runs, kErrorAccessDenied
// when it is not ours.
Win32Error GenerateConsoleCtrlEvent(std::uint32_t ctrlEvent, std::uint32_t processId);

// Waits until a child of this process has ended, at most `timeout`, and reaps it. *exitCode is
// its exit code, or 128 + the signal that ended it; *peakMemory, when given, the most memory it
// held in RAM at once (its peak working set), in bytes. kErrorTimeout when it still runs.
Win32Error WaitForChildProcess(std::uint32_t processId, std::chrono::milliseconds timeout,
                               int* exitCode, std::uint64_t* peakMemory = nullptr);

}  // namespace platform
