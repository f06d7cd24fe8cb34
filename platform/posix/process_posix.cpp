#include "platform/posix/process_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/process.h"

extern char** environ;

namespace platform {

namespace posix {

namespace {

// Reads /proc/PID/stat: the state letter and the start time. The command name (field 2) is in
// parentheses and may hold spaces and parentheses itself, so fields are counted from the last
// ')'.
bool ReadStat(std::uint32_t pid, char& state, std::uint64_t& startTime) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    std::string_view text(buf, static_cast<std::size_t>(n));
    auto paren = text.rfind(')');
    if (paren == std::string_view::npos) return false;
    text.remove_prefix(paren + 1);
    // Fields after the name: 3 state ... 22 starttime.
    int field = 2;
    while (!text.empty()) {
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
        auto end = text.find(' ');
        std::string_view token = text.substr(0, end);
        ++field;
        if (field == 3) {
            if (token.empty()) return false;
            state = token.front();
        } else if (field == 22) {
            std::string digits(token);
            char* stop = nullptr;
            startTime = std::strtoull(digits.c_str(), &stop, 10);
            return stop && *stop == '\0' && !digits.empty();
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end);
    }
    return false;
}

// Straight system calls: not every C library declares these for C++ yet.
int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0u));
}
int PidfdKill(int pidfd) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0u));
}

bool HasEnded(char state) {
    return state == 'Z' || state == 'X' || state == 'x';
}

// Waits until the process behind `pidfd` has ended.
bool WaitForEnd(int pidfd, std::chrono::milliseconds timeout) {
    pollfd p{pidfd, POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        int r = poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

Win32Error KillAndWait(std::uint32_t pid, const ProcessIdentity* expected,
                       std::chrono::milliseconds timeout) {
    // The pidfd pins the process: once it is open, checking the start time proves that the
    // signal goes to the process we mean and not to a later one with the same id.
    int pidfd = PidfdOpen(static_cast<pid_t>(pid));
    if (pidfd < 0) {
        if (errno != ESRCH) return FailFromErrno();
        // No process has the id any more: the one we meant has ended, and any other is not ours.
        return expected ? kErrorSuccess : Fail(kErrorInvalidParameter);
    }
    char state = 0;
    std::uint64_t start = 0;
    bool running = ReadStat(pid, state, start) && !HasEnded(state);
    if (!running || (expected && start != expected->startTime)) {
        close(pidfd);
        return expected ? kErrorSuccess : Fail(kErrorInvalidParameter);
    }
    if (PidfdKill(pidfd) != 0) {
        Win32Error e = errno == ESRCH ? kErrorSuccess : ErrorFromErrno(errno);
        close(pidfd);
        return e == kErrorSuccess ? e : Fail(e);
    }
    bool ended = WaitForEnd(pidfd, timeout);
    close(pidfd);
    return ended ? kErrorSuccess : Fail(kErrorTimeout);
}

}  // namespace

bool ReadProcessIdentity(std::uint32_t pid, ProcessIdentity& id) {
    char state = 0;
    std::uint64_t start = 0;
    if (pid == 0 || !ReadStat(pid, state, start) || HasEnded(state)) return false;
    id = ProcessIdentity{pid, start};
    return true;
}

bool IsSameProcessRunning(const ProcessIdentity& id) {
    ProcessIdentity now;
    return ReadProcessIdentity(id.pid, now) && now.startTime == id.startTime;
}

Win32Error TerminateProcess(const ProcessIdentity& id, std::chrono::milliseconds timeout) {
    if (id.pid == 0) return kErrorSuccess;
    return KillAndWait(id.pid, &id, timeout);
}

bool IsProgramInUse(std::uint64_t device, std::uint64_t inode) {
    DIR* proc = opendir("/proc");
    if (!proc) return false;
    bool inUse = false;
    while (dirent* entry = readdir(proc)) {
        const char* name = entry->d_name;
        if (*name < '1' || *name > '9') continue;
        std::string exe = std::string("/proc/") + name + "/exe";
        struct stat st {};
        // Processes of other users may hide their program; those cannot be ours to check.
        if (stat(exe.c_str(), &st) != 0) continue;
        if (st.st_dev == device && st.st_ino == inode) {
            inUse = true;
            break;
        }
    }
    closedir(proc);
    return inUse;
}

}  // namespace posix

std::uint32_t GetCurrentProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

bool IsProcessRunning(std::uint32_t processId) {
    posix::ProcessIdentity id;
    return posix::ReadProcessIdentity(processId, id);
}

Win32Error TerminateProcessById(std::uint32_t processId, std::chrono::milliseconds timeout) {
    if (processId == 0) return Fail(kErrorInvalidParameter);
    return posix::KillAndWait(processId, nullptr, timeout);
}

}  // namespace platform

namespace platform {

Win32Error CreateChildProcess(const ChildProcessOptions& options, std::uint32_t* processId) {
    // Everything the child needs is built before the fork: after it, only calls that are safe in
    // a copy of a threaded process are made.
    std::vector<std::string> argStorage{options.program.string()};
    argStorage.insert(argStorage.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argStorage) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string_view entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string_view::npos)
            env[std::string(entry.substr(0, eq))] = std::string(entry.substr(eq + 1));
    }
    for (const auto& [name, value] : options.environment) env[name] = value;
    std::vector<std::string> envStorage;
    for (const auto& [name, value] : env) envStorage.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envStorage) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string program = options.program.string();
    const std::string dir = options.workingDirectory.string();
    const std::string output = options.outputFile.string();
    pid_t pid = ::fork();
    if (pid < 0) return FailFromErrno();
    if (pid == 0) {
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(127);
        if (!output.empty()) {
            int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) ::_exit(127);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    *processId = static_cast<std::uint32_t>(pid);
    return kErrorSuccess;
}

namespace {

// The console control events arrive as signals. The signal handler only writes the signal's
// number into a pipe (all it may safely do); a thread reads it and runs the program's handler.
std::atomic<PHANDLER_ROUTINE> gCtrlHandler{nullptr};
std::atomic<int> gCtrlEvents{0};
int gCtrlPipe[2] = {-1, -1};

extern "C" void OnCtrlSignal(int sig) {
    if (gCtrlEvents.fetch_add(1) > 0) {
        // The program is winding down already: this one ends it the way it would have without
        // a handler.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(sig);
    [[maybe_unused]] auto n = ::write(gCtrlPipe[1], &number, 1);
    errno = saved;
}

void RunCtrlEvents() {
    unsigned char number = 0;
    for (;;) {
        ssize_t n = ::read(gCtrlPipe[0], &number, 1);
        if (n == 1) break;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
    gCtrlHandler.load()(number == SIGINT ? CTRL_C_EVENT : CTRL_SHUTDOWN_EVENT);
}

}  // namespace

Win32Error SetConsoleCtrlHandler(PHANDLER_ROUTINE handler) {
    if (!handler) return Fail(kErrorInvalidParameter);
    PHANDLER_ROUTINE none = nullptr;
    if (!gCtrlHandler.compare_exchange_strong(none, handler)) return Fail(kErrorAlreadyExists);
    if (::pipe2(gCtrlPipe, O_CLOEXEC) != 0) {
        gCtrlHandler = nullptr;
        return FailFromErrno();
    }
    // The thread lives as long as the process; it is parked in its read until an event comes.
    std::thread(RunCtrlEvents).detach();
    struct sigaction action {};
    action.sa_handler = OnCtrlSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM})
        if (::sigaction(sig, &action, nullptr) != 0) return FailFromErrno();
    return kErrorSuccess;
}

Win32Error GenerateConsoleCtrlEvent(std::uint32_t ctrlEvent, std::uint32_t processId) {
    int sig = ctrlEvent == CTRL_C_EVENT ? SIGINT : ctrlEvent == CTRL_SHUTDOWN_EVENT ? SIGTERM : 0;
    if (sig == 0 || processId == 0) return Fail(kErrorInvalidParameter);
    if (::kill(static_cast<pid_t>(processId), sig) != 0)
        return Fail(errno == ESRCH ? kErrorInvalidParameter : ErrorFromErrno(errno));
    return kErrorSuccess;
}

Win32Error WaitForChildProcess(std::uint32_t processId, std::chrono::milliseconds timeout,
                               int* exitCode, std::uint64_t* peakMemory) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        struct rusage usage {};
        pid_t r = ::wait4(static_cast<pid_t>(processId), &status, WNOHANG, &usage);
        if (r == static_cast<pid_t>(processId)) {
            *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // Linux counts the peak resident set in KiB.
            if (peakMemory) *peakMemory = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
            return kErrorSuccess;
        }
        if (r < 0 && errno != EINTR) return FailFromErrno();
        if (std::chrono::steady_clock::now() >= end) return Fail(kErrorTimeout);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace platform
