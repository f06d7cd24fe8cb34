// Processes on Windows: by id through OpenProcess, children through CreateProcess, console
// control events through the console's own handler routines.
#include "platform/process.h"
#include "platform/process_shared.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

namespace {

// What TerminateProcessById leaves as the exit code, as the system's own tools do.
constexpr UINT kTerminatedExitCode = 1;

// How long GenerateConsoleCtrlEvent waits for its own copy of the event, and for the console of
// a process that is only starting (see there).
constexpr DWORD kOwnEventWaitMs = 2000;
constexpr DWORD kConsoleWaitMs = 2000;
constexpr DWORD kConsolePollMs = 20;

DWORD WaitMilliseconds(std::chrono::milliseconds timeout) {
    if (timeout.count() <= 0) return 0;
    // INFINITE is one more than the longest wait: a long timeout stays a timeout.
    return static_cast<DWORD>(std::min<std::int64_t>(timeout.count(), INFINITE - 1));
}

struct OwnedHandle {
    HANDLE handle = nullptr;
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE h) : handle(h) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (handle && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
};

// The children that CreateChildProcess started and WaitForChildProcess has not reaped yet. A
// waiter holds its child's handle while it waits, so that another thread reaping the same child
// cannot close the handle under it.
std::mutex gChildrenMutex;
std::map<std::uint32_t, std::shared_ptr<OwnedHandle>> gChildren;

// Handles are inherited by every child that CreateProcess starts while they are inheritable, not
// only by the one they are meant for: a child that held on to another's output file would keep
// it open after that one ended. The programs make inheritable handles only here, so one child at a
// time is started.
std::mutex gSpawnMutex;

// ---- Command line and environment -------------------------------------------------------------

// One argument as the child's C runtime splits the command line again: plain unless it holds a
// space, a tab or a quote; inside quotes, backslashes count only before a quote, where each is
// doubled and the quote escaped, and before the closing quote, where each is doubled.
void AppendArgument(std::string& line, std::string_view arg) {
    line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) {
        line += arg;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// The program's own name is split by other rules: inside quotes nothing is escaped, so it is
// quoted whole and may hold no quote (no file name can).
Win32Error BuildCommandLine(const ChildProcessOptions& options, std::string& line) {
    const std::string program = options.program.string();
    if (program.empty() || program.find_first_of("\"") != std::string::npos)
        return kErrorInvalidName;
    line = '"' + program + '"';
    for (const auto& arg : options.arguments) {
        if (arg.find('\0') != std::string::npos) return kErrorInvalidParameter;
        AppendArgument(line, arg);
    }
    return kErrorSuccess;
}

// Variable names are compared in any letter case, as the system compares them; the block is
// sorted in upper case, as the system keeps it.
struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](unsigned char x, unsigned char y) { return std::toupper(x) < std::toupper(y); });
    }
};

// This process's environment with `added` on top, as the block CreateProcess takes: "NAME=VALUE"
// strings, each ended by a NUL, and one more NUL.
Win32Error BuildEnvironment(const std::map<std::string, std::string>& added, std::string& block) {
    std::map<std::string, std::string, NameLess> variables;
    if (char* own = ::GetEnvironmentStringsA()) {
        for (const char* entry = own; *entry; entry += std::strlen(entry) + 1) {
            std::string_view text(entry);
            // Names such as "=C:" (the current folder of each drive) start with '='.
            const std::size_t eq = text.find('=', 1);
            if (eq == std::string_view::npos) continue;
            variables[std::string(text.substr(0, eq))] = std::string(text.substr(eq + 1));
        }
        ::FreeEnvironmentStringsA(own);
    }
    for (const auto& [name, value] : added) {
        if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string::npos ||
            value.find('\0') != std::string::npos)
            return kErrorInvalidParameter;
        variables.erase(name);  // "Path" replaces "PATH", under the name given
        variables.emplace(name, value);
    }
    block.clear();
    for (const auto& [name, value] : variables) {
        block += name + '=' + value;
        block += '\0';
    }
    block.append(block.empty() ? 2 : 1, '\0');
    return kErrorSuccess;
}

// ---- Standard handles of a child --------------------------------------------------------------

// Inheritable handles for the child's standard streams: NUL and the output file, or copies of
// this process's own. Closed here once the child has its copies.
struct ChildStreams {
    OwnedHandle input, output, error;
    bool toFile = false;

    Win32Error Open(const std::filesystem::path& outputFile) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        if (outputFile.empty()) {
            // The child has a console of its own (CreateChildProcess), so it writes where this
            // process does only through copies of this process's handles.
            input.handle = Inheritable(STD_INPUT_HANDLE);
            output.handle = Inheritable(STD_OUTPUT_HANDLE);
            error.handle = Inheritable(STD_ERROR_HANDLE);
            return kErrorSuccess;
        }
        constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        input.handle = ::CreateFileA("NUL", GENERIC_READ, kShareAll, &inherit, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (input.handle == INVALID_HANDLE_VALUE) return ::GetLastError();
        // Started afresh, as on Linux: a run's output is that run's only. Both streams share one
        // handle and so one file position: their lines interleave, never overwrite each other.
        output.handle = ::CreateFileA(outputFile.string().c_str(), GENERIC_WRITE, kShareAll,
                                      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output.handle == INVALID_HANDLE_VALUE) return ::GetLastError();
        toFile = true;
        return kErrorSuccess;
    }

    static HANDLE Inheritable(DWORD which) {
        HANDLE own = ::GetStdHandle(which);
        HANDLE copy = nullptr;
        if (own && own != INVALID_HANDLE_VALUE &&
            ::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE,
                              DUPLICATE_SAME_ACCESS))
            return copy;
        return nullptr;
    }

    void FillIn(STARTUPINFOA& startup) const {
        // A process without standard handles (a service) leaves the child its console's.
        if (!toFile && !input.handle && !output.handle && !error.handle) return;
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = input.handle;
        startup.hStdOutput = output.handle;
        startup.hStdError = toFile ? output.handle : error.handle;
    }
};

Win32Error StartChild(const ChildProcessOptions& options, std::string& commandLine,
                      std::string& environment, PROCESS_INFORMATION& info) {
    const std::string program = options.program.string();
    const std::string directory = options.workingDirectory.string();
    std::lock_guard lock(gSpawnMutex);
    ChildStreams streams;
    if (Win32Error e = streams.Open(options.outputFile)) return e;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    streams.FillIn(startup);
    // A console of its own, without a window: a console control event can then be sent to the
    // child alone (GenerateConsoleCtrlEvent), never to this process's console and the shell on
    // it.
    if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW, environment.data(),
                          directory.empty() ? nullptr : directory.c_str(), &startup, &info))
        return ::GetLastError();
    return kErrorSuccess;
}

// ---- Console control events -------------------------------------------------------------------

std::atomic<int> gCtrlEvents{0};

// Registering the program's routine and borrowing another console happen one at a time, so that
// the routine that swallows our own Ctrl-C stays first in the system's list.
std::mutex gConsoleMutex;
HANDLE gOwnEventArrived = nullptr;

const char* EventName(DWORD ctrlType) {
    switch (ctrlType) {
        case CTRL_C_EVENT:
            return "CTRL_C_EVENT";
        case CTRL_BREAK_EVENT:
            return "CTRL_BREAK_EVENT";
        case CTRL_CLOSE_EVENT:
            return "CTRL_CLOSE_EVENT";
        case CTRL_LOGOFF_EVENT:
            return "CTRL_LOGOFF_EVENT";
        case CTRL_SHUTDOWN_EVENT:
            return "CTRL_SHUTDOWN_EVENT";
        default:
            return "CTRL_EVENT";
    }
}

// Windows calls this on a thread of its own for each event.
BOOL WINAPI OnConsoleCtrl(DWORD ctrlType) {
    // A second event finds the program winding down already: the next routine, in the end the
    // system's default one, ends the process as if no handler were set.
    if (gCtrlEvents.fetch_add(1) > 0) return FALSE;
    ConsoleCtrlOrigin origin;
    origin.ctrlType = ctrlType;
    origin.event = EventName(ctrlType);
    // The system names no sender; Ctrl-C and Ctrl-Break are what a person types.
    origin.atTerminal = ctrlType == CTRL_C_EVENT || ctrlType == CTRL_BREAK_EVENT;
    RunConsoleCtrlHandler(origin);
    if (ctrlType == CTRL_CLOSE_EVENT || ctrlType == CTRL_LOGOFF_EVENT ||
        ctrlType == CTRL_SHUTDOWN_EVENT) {
        // After these the system ends the process as soon as this routine returns, whatever it
        // returns. The handler has only asked the program to wind down; the program ends the
        // process itself when it is done (or the system does when its grace runs out), so this
        // thread never returns.
        ::Sleep(INFINITE);
    }
    return TRUE;
}

// Swallows the Ctrl-C that GenerateConsoleCtrlEvent sends to every process on the console it
// borrowed, this one included.
BOOL WINAPI SwallowOwnCtrlC(DWORD ctrlType) {
    if (ctrlType != CTRL_C_EVENT) return FALSE;
    ::SetEvent(gOwnEventArrived);
    return TRUE;
}

// The processes on this process's console, this one included; empty without a console.
std::vector<DWORD> ConsoleProcesses() {
    std::vector<DWORD> ids(16);
    for (;;) {
        const DWORD n = ::GetConsoleProcessList(ids.data(), static_cast<DWORD>(ids.size()));
        if (n <= ids.size()) {
            ids.resize(n);
            return ids;
        }
        ids.resize(n + 8);
    }
}

// Leaves this process's console for the one of `processId`, raises Ctrl-C on it, and comes back.
Win32Error RaiseCtrlCOnConsoleOf(std::uint32_t processId) {
    const std::vector<DWORD> ours = ConsoleProcesses();
    // On our own console the event would reach every process on it, the shell among them.
    if (std::find(ours.begin(), ours.end(), processId) != ours.end()) return kErrorNotSupported;
    // Any other process on our console takes us back to it afterwards. When this process has it
    // alone, the console ends as we leave it, and the parent's, if any, is the one we come back
    // to.
    DWORD home = 0;
    for (DWORD id : ours)
        if (id != ::GetCurrentProcessId()) home = id;
    const HANDLE streams[3] = {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                               ::GetStdHandle(STD_ERROR_HANDLE)};

    ::ResetEvent(gOwnEventArrived);
    if (!::SetConsoleCtrlHandler(SwallowOwnCtrlC, TRUE)) return ::GetLastError();
    // Also without a console of our own: a process that Wine started from a Unix terminal has
    // none to list, yet must leave what it has before it may attach to another.
    ::FreeConsole();
    Win32Error e = kErrorSuccess;
    // A child started a moment ago makes its console as it starts: until then it has none.
    for (DWORD waited = 0; !::AttachConsole(processId); waited += kConsolePollMs) {
        e = ::GetLastError();
        if (e != ERROR_INVALID_HANDLE || waited >= kConsoleWaitMs) break;
        ::Sleep(kConsolePollMs);
        e = kErrorSuccess;
    }
    if (!e) {
        if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
            e = ::GetLastError();
        else
            // Our own copy comes on a thread of ours, shortly after: until it has, Ctrl-C must
            // not reach the program's routine (which would stop this program) or the system's
            // (which would end it).
            ::WaitForSingleObject(gOwnEventArrived, kOwnEventWaitMs);
        ::FreeConsole();
    }
    if (!ours.empty() && !(home && ::AttachConsole(home))) ::AttachConsole(ATTACH_PARENT_PROCESS);
    // Attaching may have pointed the standard handles at the borrowed console.
    ::SetStdHandle(STD_INPUT_HANDLE, streams[0]);
    ::SetStdHandle(STD_OUTPUT_HANDLE, streams[1]);
    ::SetStdHandle(STD_ERROR_HANDLE, streams[2]);
    ::SetConsoleCtrlHandler(SwallowOwnCtrlC, FALSE);
    return e;
}

}  // namespace

std::uint32_t GetCurrentProcessId() {
    return ::GetCurrentProcessId();
}

bool IsProcessRunning(std::uint32_t processId) {
    if (processId == 0) return false;
    OwnedHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (process.handle) return ::WaitForSingleObject(process.handle, 0) == WAIT_TIMEOUT;
    if (::GetLastError() != ERROR_ACCESS_DENIED) return false;
    // Not ours to wait for, but perhaps to ask about.
    OwnedHandle query(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    DWORD code = 0;
    if (!query.handle) return ::GetLastError() == ERROR_ACCESS_DENIED;
    return ::GetExitCodeProcess(query.handle, &code) && code == STILL_ACTIVE;
}

Win32Error TerminateProcessById(std::uint32_t processId, std::chrono::milliseconds timeout) {
    if (processId == 0) return Fail(kErrorInvalidParameter);
    // The system says 87 for an id that no process has, and 5 for a process not ours.
    OwnedHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process.handle) return Fail(::GetLastError());
    // An ended process stays while handles to it are open: it runs no more all the same.
    if (::WaitForSingleObject(process.handle, 0) == WAIT_OBJECT_0)
        return Fail(kErrorInvalidParameter);
    if (!::TerminateProcess(process.handle, kTerminatedExitCode)) {
        const Win32Error e = ::GetLastError();
        // It ended on its own meanwhile.
        if (::WaitForSingleObject(process.handle, 0) == WAIT_OBJECT_0) return kErrorSuccess;
        return Fail(e);
    }
    switch (::WaitForSingleObject(process.handle, WaitMilliseconds(timeout))) {
        case WAIT_OBJECT_0:
            return kErrorSuccess;
        case WAIT_TIMEOUT:
            return Fail(kErrorTimeout);
        default:
            return Fail(::GetLastError());
    }
}

// Windows tells at once when a program cannot be started: that is the call's failure (the
// CreateProcess error: 2 for a missing program, 193 for a file that is none, 267 for a missing
// working directory), where Linux can show it only as the child's exit code 127.
Win32Error CreateChildProcess(const ChildProcessOptions& options, std::uint32_t* processId) {
    if (!processId) return Fail(kErrorInvalidParameter);
    std::string commandLine, environment;
    if (Win32Error e = BuildCommandLine(options, commandLine)) return Fail(e);
    if (Win32Error e = BuildEnvironment(options.environment, environment)) return Fail(e);
    PROCESS_INFORMATION info{};
    if (Win32Error e = StartChild(options, commandLine, environment, info)) return Fail(e);
    ::CloseHandle(info.hThread);
    {
        std::lock_guard lock(gChildrenMutex);
        gChildren[info.dwProcessId] = std::make_shared<OwnedHandle>(info.hProcess);
    }
    *processId = info.dwProcessId;
    return kErrorSuccess;
}

Win32Error WaitForChildProcess(std::uint32_t processId, std::chrono::milliseconds timeout,
                               int* exitCode, std::uint64_t* peakMemory) {
    if (!exitCode) return Fail(kErrorInvalidParameter);
    std::shared_ptr<OwnedHandle> child;
    {
        std::lock_guard lock(gChildrenMutex);
        auto it = gChildren.find(processId);
        // Not a child of ours, or reaped already.
        if (it == gChildren.end()) return Fail(kErrorInvalidParameter);
        child = it->second;
    }
    switch (::WaitForSingleObject(child->handle, WaitMilliseconds(timeout))) {
        case WAIT_OBJECT_0:
            break;
        case WAIT_TIMEOUT:
            return Fail(kErrorTimeout);
        default:
            return Fail(::GetLastError());
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(child->handle, &code)) return Fail(::GetLastError());
    *exitCode = static_cast<int>(code);
    if (peakMemory) {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        // The counters outlive the process as long as a handle to it is open.
        *peakMemory = ::GetProcessMemoryInfo(child->handle, &counters, sizeof counters)
                          ? counters.PeakWorkingSetSize
                          : 0;
    }
    std::lock_guard lock(gChildrenMutex);
    if (auto it = gChildren.find(processId); it != gChildren.end() && it->second == child)
        gChildren.erase(it);
    return kErrorSuccess;
}

Win32Error SetConsoleCtrlHandler(PHANDLER_ROUTINE handler) {
    std::lock_guard lock(gConsoleMutex);
    if (Win32Error e = ClaimConsoleCtrlHandler(handler)) return e;
    if (!::SetConsoleCtrlHandler(OnConsoleCtrl, TRUE)) {
        ReleaseConsoleCtrlHandler();
        return Fail(::GetLastError());
    }
    return kErrorSuccess;
}

// Windows raises console control events only on the caller's own console, and for all the
// processes on it at once: the event reaches the child through its console (each child of ours has
// one of its own). A program cannot raise CTRL_SHUTDOWN_EVENT at all: the system sends it to
// everyone when it shuts down.
Win32Error GenerateConsoleCtrlEvent(std::uint32_t ctrlEvent, std::uint32_t processId) {
    if (ctrlEvent == CTRL_SHUTDOWN_EVENT) return Fail(kErrorNotSupported);
    if (ctrlEvent != CTRL_C_EVENT || processId == 0) return Fail(kErrorInvalidParameter);
    OwnedHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process.handle) return Fail(::GetLastError());
    if (::WaitForSingleObject(process.handle, 0) == WAIT_OBJECT_0)
        return Fail(kErrorInvalidParameter);
    std::lock_guard lock(gConsoleMutex);
    if (!gOwnEventArrived) gOwnEventArrived = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!gOwnEventArrived) return Fail(::GetLastError());
    if (Win32Error e = RaiseCtrlCOnConsoleOf(processId)) return Fail(e);
    return kErrorSuccess;
}

}  // namespace platform
