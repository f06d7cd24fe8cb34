#include "platform/linux/process_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/process_shared.h"

extern char** environ;

namespace platform {

namespace posix {

namespace {

// Reads the file `name` of /proc/PID into `buf`; the number of bytes read, 0 when there is no
// such process. Only calls that are safe in a signal handler: the sender of a signal is often
// gone a moment later, so it is looked up before the handler returns.
std::size_t ReadProcInto(std::uint32_t pid, const char* name, char* buf,
                         std::size_t size) noexcept {
    char path[64];
    char* p = path;
    for (const char* c = "/proc/"; *c;) *p++ = *c++;
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid);
    while (n) *p++ = digits[--n];
    *p++ = '/';
    for (const char* c = name; *c && p < path + sizeof path - 1;) *p++ = *c++;
    *p = '\0';
    const int saved = errno;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    std::size_t got = 0;
    while (fd >= 0 && got < size) {
        ssize_t r = ::read(fd, buf + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    if (fd >= 0) ::close(fd);
    errno = saved;
    return got;
}

// The state letter and the start time from the text of /proc/PID/stat. The command name (field
// 2) is in parentheses and may hold spaces and parentheses itself, so fields are counted from the
// last ')'.
bool ParseStat(std::string_view text, char& state, std::uint64_t& startTime) {
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

bool ReadStat(std::uint32_t pid, char& state, std::uint64_t& startTime) {
    char buf[1024];
    std::size_t n = ReadProcInto(pid, "stat", buf, sizeof buf);
    return n > 0 && ParseStat(std::string_view(buf, n), state, startTime);
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

// A command line from /proc (arguments ended by NULs) as one line of a log: the program's file
// name without its directory, then the arguments; control characters cannot break the line, and a
// long line is cut. A program that wrote a title of its own over its arguments ("sshd: user")
// keeps its title whole.
std::string CommandLineText(std::string raw) {
    constexpr std::size_t kMaxText = 160;
    while (!raw.empty() && (raw.back() == '\0' || raw.back() == '\n')) raw.pop_back();
    const std::size_t programEnd = std::min(raw.find('\0'), raw.size());
    const std::size_t slash = raw.rfind('/', programEnd);
    if (slash != std::string::npos && raw.find(' ') > programEnd) raw.erase(0, slash + 1);
    for (char& c : raw)
        if (c == '\0')
            c = ' ';
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    if (raw.size() > kMaxText) raw = raw.substr(0, kMaxText - 3) + "...";
    return raw;
}

}  // namespace

std::chrono::nanoseconds BootClock() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void TakeSnapshot(std::uint32_t pid, ProcessSnapshot& snapshot) noexcept {
    snapshot.pid = pid;
    snapshot.cmdlineLength =
        ReadProcInto(pid, "cmdline", snapshot.cmdline, sizeof snapshot.cmdline);
    // An ending process, or an ended one that its parent has not reaped yet, keeps its command
    // name but no longer its arguments.
    snapshot.commLength =
        snapshot.cmdlineLength ? 0 : ReadProcInto(pid, "comm", snapshot.comm, sizeof snapshot.comm);
    // Read last: a process that has the id now and started before the request had it all along,
    // so the names read above are its own.
    snapshot.statLength = ReadProcInto(pid, "stat", snapshot.stat, sizeof snapshot.stat);
}

SenderProcess SenderOf(const ProcessSnapshot& snapshot, std::chrono::nanoseconds seenAt) {
    SenderProcess sender;
    sender.processId = snapshot.pid;
    sender.ended = true;
    char state = 0;
    std::uint64_t start = 0;
    if (!ParseStat(std::string_view(snapshot.stat, snapshot.statLength), state, start))
        return sender;
    // Start times count whole clock ticks: one in the tick of the request may be its sender.
    static const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (ticksPerSecond > 0 &&
        start > static_cast<std::uint64_t>(
                    seenAt / std::chrono::nanoseconds(1'000'000'000 / ticksPerSecond)))
        return sender;
    sender.program = snapshot.cmdlineLength
                         ? CommandLineText(std::string(snapshot.cmdline, snapshot.cmdlineLength))
                         : CommandLineText(std::string(snapshot.comm, snapshot.commLength));
    // A process that has let go of its memory on its way out has no command line any more, even
    // before it counts as ended.
    sender.ended = HasEnded(state) || snapshot.cmdlineLength == 0;
    return sender;
}

SenderProcess LookUpSender(std::uint32_t pid, std::chrono::nanoseconds seenAt) {
    ProcessSnapshot snapshot;
    TakeSnapshot(pid, snapshot);
    return SenderOf(snapshot, seenAt);
}

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

bool WaitForProcessEnd(const ProcessIdentity& id, std::chrono::milliseconds timeout) {
    if (id.pid == 0) return true;
    const int pidfd = PidfdOpen(static_cast<pid_t>(id.pid));
    if (pidfd < 0) return errno == ESRCH || !IsSameProcessRunning(id);
    // The pidfd pins whatever has the id now; the start time says whether that is `id`.
    const bool ended = !IsSameProcessRunning(id) || WaitForEnd(pidfd, timeout);
    close(pidfd);
    return ended;
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
    return posix::CreateChildProcessJoining(options, {}, processId);
}

namespace posix {

Win32Error CreateChildProcessJoining(const ChildProcessOptions& options,
                                     const std::vector<std::string>& procsFiles,
                                     std::uint32_t* processId) {
    // The groups are opened here, so that a missing one is a failure of the caller's, not an exit
    // code of the child's.
    std::vector<int> groups;
    auto closeGroups = [&] {
        for (int fd : groups) ::close(fd);
    };
    for (const auto& file : procsFiles) {
        int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            Win32Error e = FailFromErrno();
            closeGroups();
            return e;
        }
        groups.push_back(fd);
    }
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
    if (pid < 0) {
        Win32Error e = FailFromErrno();
        closeGroups();
        return e;
    }
    if (pid == 0) {
        // "0" moves the writer itself, before the program (and whatever it starts) runs.
        for (int fd : groups)
            if (::write(fd, "0", 1) != 1) ::_exit(126);
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(127);
        if (!output.empty()) {
            int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) ::_exit(127);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    closeGroups();
    *processId = static_cast<std::uint32_t>(pid);
    return kErrorSuccess;
}

}  // namespace posix

namespace {

// The console control events arrive as signals. The signal handler only copies what the system
// tells of the signal, and what /proc tells of its sender while it may still be there, into a
// pipe (all it may safely do); a thread reads it, names the sender and runs the program's
// handler.
struct CtrlSignal {
    int number;
    int code;  // si_code: who raised it, a process or the kernel (the terminal)
    pid_t sender;
    std::int64_t arrivedNs;  // posix::BootClock, to tell the sender from a later process
    posix::ProcessSnapshot snapshot;
};

static_assert(sizeof(CtrlSignal) <= PIPE_BUF, "one write, never torn");

// Only these codes carry the id of a process (kill, sigqueue, tgkill); anything else the kernel
// raised, and a SIGINT from the kernel is the terminal's Ctrl-C.
bool IsSentByProcess(int code) {
    return code == SI_USER || code == SI_QUEUE || code == SI_TKILL;
}
// A sender in a process namespace that this one cannot see has no id here (0).
bool FromProcess(const CtrlSignal& signal) {
    return IsSentByProcess(signal.code) && signal.sender > 0;
}

// The first signal's record. Not on the handler's stack, which may be small: only the first
// signal writes it.
CtrlSignal gCtrlSignal;
std::atomic<int> gCtrlEvents{0};
int gCtrlPipe[2] = {-1, -1};

extern "C" void OnCtrlSignal(int sig, siginfo_t* info, void*) {
    if (gCtrlEvents.fetch_add(1) > 0) {
        // The program is winding down already: this one ends it the way it would have without
        // a handler.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    const int saved = errno;
    CtrlSignal& event = gCtrlSignal;
    event.number = sig;
    event.code = info ? info->si_code : SI_KERNEL;
    event.sender = info ? info->si_pid : 0;
    event.arrivedNs = posix::BootClock().count();
    if (FromProcess(event))
        posix::TakeSnapshot(static_cast<std::uint32_t>(event.sender), event.snapshot);
    [[maybe_unused]] auto n = ::write(gCtrlPipe[1], &event, sizeof event);
    errno = saved;
}

ConsoleCtrlOrigin OriginOf(const CtrlSignal& signal) {
    ConsoleCtrlOrigin origin;
    origin.ctrlType = signal.number == SIGINT ? CTRL_C_EVENT : CTRL_SHUTDOWN_EVENT;
    origin.event = signal.number == SIGINT ? "SIGINT" : "SIGTERM";
    if (FromProcess(signal))
        origin.sender =
            posix::SenderOf(signal.snapshot, std::chrono::nanoseconds(signal.arrivedNs));
    else if (signal.number == SIGINT && !IsSentByProcess(signal.code))
        origin.atTerminal = true;
    return origin;
}

void RunCtrlEvents() {
    CtrlSignal event{};
    auto* bytes = reinterpret_cast<unsigned char*>(&event);
    std::size_t got = 0;
    while (got < sizeof event) {
        ssize_t n = ::read(gCtrlPipe[0], bytes + got, sizeof event - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        got += static_cast<std::size_t>(n);
    }
    RunConsoleCtrlHandler(OriginOf(event));
}

}  // namespace

Win32Error SetConsoleCtrlHandler(PHANDLER_ROUTINE handler) {
    if (Win32Error e = ClaimConsoleCtrlHandler(handler)) return e;
    if (::pipe2(gCtrlPipe, O_CLOEXEC) != 0) {
        ReleaseConsoleCtrlHandler();
        return FailFromErrno();
    }
    // The thread lives as long as the process; it is parked in its read until an event comes.
    std::thread(RunCtrlEvents).detach();
    struct sigaction action {};
    action.sa_sigaction = OnCtrlSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
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
    // The child's pidfd wakes the wait the moment it ends; where the kernel has none, a look
    // every few milliseconds does.
    const int pidfd = posix::PidfdOpen(static_cast<pid_t>(processId));
    Win32Error result = kErrorSuccess;
    for (;;) {
        int status = 0;
        struct rusage usage {};
        pid_t r = ::wait4(static_cast<pid_t>(processId), &status, WNOHANG, &usage);
        if (r == static_cast<pid_t>(processId)) {
            *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // Linux counts the peak resident set in KiB.
            if (peakMemory) *peakMemory = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
            break;
        }
        if (r < 0 && errno != EINTR) {
            result = FailFromErrno();
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result = Fail(kErrorTimeout);
            break;
        }
        if (pidfd >= 0)
            posix::WaitForEnd(pidfd,
                              std::min<std::chrono::milliseconds>(left, std::chrono::hours(1)));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pidfd >= 0) ::close(pidfd);
    return result;
}

}  // namespace platform
