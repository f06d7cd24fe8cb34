#include "platform/linux/ssh/ssh_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/pidfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/computer.h"
#include "platform/linux/unix_socket.h"

extern char** environ;

namespace platform::ssh {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using posix::UniqueFd;

// How much of ssh's standard error is kept: its last lines explain a failure.
constexpr std::size_t kTailBytes = 4096;
// How long an ssh whose work is done may take to end before it is ended.
constexpr std::chrono::seconds kGraceTime{5};

// Whether the far side's shell runs as root: bash (root's shell on most hosts) knows its EUID
// without running id, which would cost every channel a process start. Where EUID is not the
// shell's own but the environment's, a wrong word gains nothing: a program started without sudo
// as another user is refused root's pipe and files, and sudo as root is root.
const std::string kIsRoot = "[ \"${EUID:-$(id -u)}\" = 0 ]";

// The far side runs each script as root: as it is when the login is root, through sudo -n
// otherwise. A script's text never holds a single quote, so it sits in one here unchanged.
std::string AsRoot(std::string_view script) {
    const std::string quoted = "'" + std::string(script) + "'";
    return "if " + kIsRoot + "; then exec sh -c " + quoted + " zantor; else exec sudo -n sh -c " +
           quoted + " zantor; fi";
}

// The scripts. The first input line is always the far side's root ($r); paths and names come
// as further lines and are used only as quoted words. Their exit codes are Win32 numbers.

// A program that a process runs is in use: it may be neither replaced nor deleted.
constexpr const char* kInUse =
    "for e in /proc/[0-9]*/exe; do [ \"$e\" -ef \"$f\" ] && exit 32; done 2>/dev/null\n";

const std::string kReadFile = AsRoot(
    "read -r r && read -r f && read -r max || exit 87\n"
    "case $max in *[!0-9]*|\"\") exit 87;; esac\n"
    "[ -e \"$f\" ] || { [ -d \"${f%/*}\" ] && exit 2; exit 3; }\n"
    "[ -d \"$f\" ] && exit 5\n"
    "[ -r \"$f\" ] || exit 5\n"
    "if [ \"$max\" != 0 ]; then s=$(stat -c %s -- \"$f\") || exit 5; "
    "[ \"$s\" -le \"$max\" ] || exit 223; fi\n"
    "exec cat -- \"$f\"\n");

// The contents go to a new file beside the target, which replaces it only when complete and on
// the disk: a reader never sees half a program. An input that ended early (a lost connection)
// leaves the target as it was. The target's folder, and each one above it, belongs to root and
// no one else may write it (one above it may, with its sticky bit): nobody else can put a link or
// a file of theirs in the way. The new file's name is mktemp's, made by it alone, and whatever
// the source was, the program is root's with mode 0755.
const std::string kWriteFile = AsRoot(
    std::string("read -r r && read -r f && read -r n && read -r x || exit 87\n"
                "case $n in *[!0-9]*|\"\") exit 87;; esac\n"
                "umask 022\n"
                "mkdir -p -- \"$r/system32\" 2>/dev/null\n"
                "d=${f%/*}\n"
                "[ -d \"$d\" ] || exit 3\n"
                "u=$(id -u) p=$d\n"
                "while :; do\n"
                "  s=$(stat -L -c \"%u %a\" -- \"$p\") || exit 5\n"
                "  set -- $s\n"
                "  [ \"$1\" = 0 ] || [ \"$1\" = \"$u\" ] || {\n"
                "    printf \"the folder %s belongs to user %s\\n\" \"$p\" \"$1\" >&2; exit 5; }\n"
                "  [ $((0$2 & 022)) = 0 ] ||\n"
                "    { [ \"$p\" != \"$d\" ] && [ $((0$2 & 01000)) != 0 ]; } || {\n"
                "    printf \"the folder %s may be written by others\\n\" \"$p\" >&2; exit 5; }\n"
                "  [ \"$p\" = / ] && break\n"
                "  p=${p%/*}; p=${p:-/}\n"
                "done\n"
                "[ -d \"$f\" ] || [ -L \"$f\" ] && exit 5\n"
                "[ \"$x\" = 1 ] && [ -e \"$f\" ] && exit 80\n") +
    kInUse +
    "t=$(mktemp -- \"$d/.~zantorXXXXXXXX.tmp\") || exit 5\n"
    "trap \"rm -f -- \\\"\\$t\\\"\" EXIT\n"
    "head -c \"$n\" > \"$t\" || exit 112\n"
    "[ \"$(stat -c %s -- \"$t\")\" = \"$n\" ] || exit 109\n"
    "chmod 755 \"$t\" || exit 5\n"
    "sync -- \"$t\" 2>/dev/null\n"
    "mv -f -- \"$t\" \"$f\" || exit 5\n"
    "trap - EXIT\n");

const std::string kDeleteFile = AsRoot(
    std::string("read -r r && read -r f || exit 87\n"
                "[ -e \"$f\" ] || [ -L \"$f\" ] || { [ -d \"${f%/*}\" ] && exit 2; exit 3; }\n"
                "[ -d \"$f\" ] && exit 5\n") +
    kInUse + "rm -f -- \"$f\" || exit 5\n");

// Unit names are checked here too: they become part of a path.
constexpr const char* kUnitName =
    "case $n in *[!A-Za-z0-9_.@-]*|\"\"|.*) exit 123;; esac\n"
    "u=/etc/systemd/system/$n.service\n";

const std::string kListUnits = AsRoot(
    "read -r r || exit 87\n"
    "for u in /etc/systemd/system/*.service; do\n"
    "  [ -f \"$u\" ] || continue\n"
    "  IFS= read -r l < \"$u\" || continue\n"
    "  case $l in \"# Registered through Zantor\"*) ;; *) continue;; esac\n"
    "  n=${u##*/}; printf \"%s\\0\" \"${n%.service}\"; cat -- \"$u\"; printf \"\\0\"\n"
    "done\n");

const std::string kWriteUnit = AsRoot(std::string("read -r r && read -r n && read -r s || exit 87\n"
                                                  "case $s in *[!0-9]*|\"\") exit 87;; esac\n") +
                                      kUnitName +
                                      "mkdir -p -- \"$r/system32\" || exit 5\n"
                                      "t=$u.new\n"
                                      "trap \"rm -f -- \\\"\\$t\\\"\" EXIT\n"
                                      "head -c \"$s\" > \"$t\" || exit 112\n"
                                      "[ \"$(stat -c %s -- \"$t\")\" = \"$s\" ] || exit 109\n"
                                      "chmod 644 \"$t\" && mv -f -- \"$t\" \"$u\" || exit 5\n"
                                      "trap - EXIT\n");

const std::string kRemoveUnit = AsRoot(std::string("read -r r && read -r n || exit 87\n") +
                                       kUnitName + "rm -f -- \"$u\" || exit 5\n");

// The bridge is the copy of our program that the computer's system directory holds (the one the
// service runs), else the one the host's package installed. Its first line is where the session
// arrived ($SSH_CONNECTION, an empty line where sshd set none): the lockout guard needs it for
// every change, and a channel of its own for it would cost the host a second session start.
const std::string kPipeBridge =
    "read -r r || exit 87; printf \"%s\\n\" \"$SSH_CONNECTION\"; p=\"$r/system32/ZantorSvc\"; "
    "[ -x \"$p\" ] || p=$(command -v ZantorSvc) || p=/usr/sbin/ZantorSvc; if " +
    kIsRoot + "; then exec \"$p\" -bridge \"$r\"; else exec sudo -n \"$p\" -bridge \"$r\"; fi";

constexpr const char* kSessionEnd = "printf \"%s\\n\" \"$SSH_CONNECTION\"";

// As root, the manager takes every call of ours; another account would be asked for an
// authorization that nobody can give in batch mode.
const std::string kBusBridge = "if " + kIsRoot +
                               "; then exec systemd-stdio-bridge; "
                               "else exec sudo -n systemd-stdio-bridge; fi";

// Whether nobody but root and this user can take away or swap what we place in `dir` (an
// absolute path without links): it and every directory above it belong to one of them, and none
// may be written by others unless it is sticky (as /tmp), where others cannot rename or remove
// what is ours. `own` asks more of `dir` itself: that it be this user's, and written by nobody
// else at all.
bool Unswappable(const fs::path& dir, bool own) {
    const uid_t me = ::geteuid();
    fs::path at = dir;
    for (bool last = true;; last = false) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        const bool strict = last && own;
        if (st.st_uid != me && (st.st_uid != 0 || strict)) return false;
        if ((st.st_mode & 022) != 0 && (strict || (st.st_mode & S_ISVTX) == 0)) return false;
        if (at == at.root_path()) return true;
        at = at.parent_path();
    }
}

// `dir` resolved (links followed), when it is a directory that only root and this user can
// change (Unswappable); empty otherwise.
fs::path TrustedBase(const char* dir, bool own) {
    if (!dir || dir[0] != '/') return {};
    char resolved[PATH_MAX];
    if (!::realpath(dir, resolved)) return {};
    return Unswappable(resolved, own) ? fs::path(resolved) : fs::path();
}

// A directory of ours for the control sockets at `dir`: made when missing, and taken only when it
// is a directory (not a link), this user's, and written by nobody else.
bool PrivateDirectory(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 022) == 0;
}

// The private directory of the shared connections' control sockets. The user's runtime directory
// when it is theirs alone (after su or sudo -E it may be another user's, who could swap our
// sockets there), else zantor-ssh-UID in $TMPDIR (when only root and we can change it) or /tmp.
// Where that name is taken by another user or open to others, a directory of our own beside it
// stands in (zantor-ssh-UID.XXXXXX): the one an earlier run made, or a new one. Nobody else can
// then stop our remote operations by making the directory first.
Win32Error ControlDirectory(std::string& dir) {
    const fs::path runtime = TrustedBase(std::getenv("XDG_RUNTIME_DIR"), true);
    if (!runtime.empty() && PrivateDirectory(runtime / "zantor-ssh")) {
        dir = (runtime / "zantor-ssh").string();
        return kErrorSuccess;
    }
    fs::path temporary = TrustedBase(std::getenv("TMPDIR"), false);
    if (temporary.empty()) temporary = "/tmp";
    const std::string name = "zantor-ssh-" + std::to_string(::geteuid());
    const fs::path fixed = temporary / name;
    if (PrivateDirectory(fixed)) {
        dir = fixed.string();
        return kErrorSuccess;
    }
    // One stand-in per run and fixed name, so that the run's connections are shared still.
    static std::mutex mutex;
    static std::map<std::string, std::string> standIns;
    std::lock_guard lock(mutex);
    if (auto known = standIns.find(fixed.string()); known != standIns.end()) {
        dir = known->second;
        return kErrorSuccess;
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(temporary, ec)) {
        const std::string entryName = entry.path().filename().string();
        if (entryName.size() == name.size() + 7 && entryName.starts_with(name + ".") &&
            PrivateDirectory(entry.path())) {
            dir = standIns[fixed.string()] = entry.path().string();
            return kErrorSuccess;
        }
    }
    std::string made = (temporary / (name + ".XXXXXX")).string();
    if (!::mkdtemp(made.data())) {
        const Win32Error e = FailFromErrno();
        SetLastErrorDetail(fixed.string() +
                           " is not a private directory of this user's, and no directory of "
                           "ours could be made beside it.");
        return e;
    }
    dir = standIns[fixed.string()] = made;
    return kErrorSuccess;
}

// The ssh program and the config file it is told to read, as every ssh we start gets them.
std::vector<std::string> SshProgram() {
    const char* program = std::getenv("ZANTOR_SSH");
    std::vector<std::string> argv = {program && *program ? program : "ssh"};
    if (const char* config = std::getenv("ZANTOR_SSH_CONFIG"); config && *config)
        argv.insert(argv.end(), {"-F", config});
    return argv;
}

// Runs the program `args` (an ssh for `destination`) as Run runs ssh.
Win32Error RunProgram(std::vector<std::string> args, std::string_view destination,
                      const std::string& input, const std::function<bool(std::string_view)>& output,
                      const std::function<bool(std::string& more)>& produce = {});

std::atomic<bool> gAcceptNewHostKeys{false};

// What the administrator's ssh config says for `destination`, as `ssh -G` reads it (the config
// of ZANTOR_SSH_CONFIG where that is set); asked once per run, destination and config. A config
// that ssh cannot read says nothing: the connection then fails with ssh's own words.
struct Effective {
    bool acceptNew = false;  // StrictHostKeyChecking accept-new
    int port = 22;
};

Effective EffectiveConfig(std::string_view destination) {
    std::vector<std::string> argv = SshProgram();
    static std::mutex mutex;
    static std::map<std::string, Effective> known;
    std::string key;
    for (const std::string& word : argv) key += word + '\n';
    key += destination;
    {
        std::lock_guard lock(mutex);
        if (auto it = known.find(key); it != known.end()) return it->second;
    }
    argv.insert(argv.end(), {"-G", "--", std::string(destination)});
    std::string said;
    Effective effective;
    if (RunProgram(argv, destination, {}, [&](std::string_view piece) {
            said.append(piece);
            return said.size() < (1 << 20);
        }) == kErrorSuccess) {
        std::istringstream lines(said);
        std::string line;
        while (std::getline(lines, line)) {
            if (line == "stricthostkeychecking accept-new") effective.acceptNew = true;
            if (line.starts_with("port ")) {
                const int port = std::atoi(line.c_str() + 5);
                if (port > 0 && port < 65536) effective.port = port;
            }
        }
    }
    std::lock_guard lock(mutex);
    known[key] = effective;
    return effective;
}

// Whether an unknown host key of `destination` is accepted (and recorded in known_hosts): where
// this run was told so, or the administrator's own ssh config says StrictHostKeyChecking
// accept-new for it. Nothing else that a config may say ("no", "ask") is followed: a changed key
// is refused always, an unknown one otherwise. Over a shared connection that is up, ssh checks
// no key (the connection checked it when it was made), so the config is not asked then: that
// question costs a run of ssh as much processor time as the channel itself.
bool AcceptsNewHostKey(std::string_view destination, bool connected) {
    if (gAcceptNewHostKeys) return true;
    if (const char* accept = std::getenv("ZANTOR_SSH_ACCEPT_NEW");
        accept && accept == std::string_view("1"))
        return true;
    return !connected && EffectiveConfig(destination).acceptNew;
}

// The control socket of the shared connection to `destination` that ssh started as `program`
// makes: a name of ours (FNV-1a of both) rather than ssh's own %C, so that whether the connection
// is up can be seen here without asking ssh. 16 hex digits keep the path well inside a socket
// path's limit.
std::string ControlSocket(const std::string& dir, const std::vector<std::string>& program,
                          std::string_view destination) {
    std::uint64_t hash = 14695981039346656037ull;
    auto byte = [&](unsigned char c) { hash = (hash ^ c) * 1099511628211ull; };
    // Each word ends with a NUL, so that no two lists of words run together alike.
    auto word = [&](std::string_view text) {
        for (const char c : text) byte(static_cast<unsigned char>(c));
        byte(0);
    };
    for (const std::string& w : program) word(w);
    word(destination);
    char name[17];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    return dir + "/" + name;
}

bool IsSocket(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The last `count` lines of a text that hold something, on one line; control characters become
// blanks.
std::string LastLines(std::string_view text, std::size_t count) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        // ssh names itself first; the message names it already.
        if (line.starts_with("ssh: ")) line.remove_prefix(5);
        if (!line.empty()) lines.push_back(line);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    std::string out;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        if (!out.empty()) out += ' ';
        for (char c : lines[i]) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return out;
}

Win32Error WithDetail(Win32Error e, std::string detail) {
    Fail(e);
    while (detail.starts_with(' ')) detail.erase(0, 1);
    if (!detail.empty()) SetLastErrorDetail(detail);
    return e;
}

}  // namespace

std::string_view RemoteText(Command command) {
    switch (command) {
        case Command::kPipeBridge:
            return kPipeBridge;
        case Command::kReadFile:
            return kReadFile;
        case Command::kWriteFile:
            return kWriteFile;
        case Command::kDeleteFile:
            return kDeleteFile;
        case Command::kListUnits:
            return kListUnits;
        case Command::kWriteUnit:
            return kWriteUnit;
        case Command::kRemoveUnit:
            return kRemoveUnit;
        case Command::kSessionEnd:
            return kSessionEnd;
        case Command::kBusBridge:
            return kBusBridge;
    }
    return kSessionEnd;
}

Win32Error CommandLine(std::string_view destination, Command command,
                       std::vector<std::string>& argv) {
    if (destination.empty() || CheckComputerName(destination)) return Fail(kErrorInvalidName);
    std::string dir;
    if (Win32Error e = ControlDirectory(dir)) return e;
    argv = SshProgram();
    const std::string control = ControlSocket(dir, argv, destination);
    const std::string hostKeys =
        AcceptsNewHostKey(destination, IsSocket(control)) ? "accept-new" : "yes";
    // With -o the first value given wins, so these come first, before anything a config file
    // says.
    std::vector<std::string> options;
    for (const std::string& option : {
             std::string("BatchMode=yes"),
             "StrictHostKeyChecking=" + hostKeys,
             "ConnectTimeout=" + std::to_string(kConnectTimeout.count()),
             "ServerAliveInterval=" + std::to_string(kKeepAliveInterval.count()),
             "ServerAliveCountMax=" + std::to_string(kKeepAliveCount),
             std::string("ControlMaster=auto"),
             "ControlPath=" + control,
             "ControlPersist=" + std::to_string(kSharingTime.count()),
             std::string("ClearAllForwardings=yes"),
             std::string("LogLevel=ERROR"),
         })
        options.insert(options.end(), {"-o", option});
    argv.insert(argv.begin() + 1, options.begin(), options.end());
    argv.insert(argv.end(), {"-T", "-x", "-a", "--", std::string(destination),
                             std::string(RemoteText(command))});
    return kErrorSuccess;
}

Process::~Process() {
    if (pid_ > 0 && !ended_) {
        int code = 0;
        if (Wait(kGraceTime, &code) == kErrorTimeout) Kill();
    }
    if (pidfd_ >= 0) ::close(pidfd_);
    if (errors_ >= 0) ::close(errors_);
}

Win32Error Process::Start(std::string_view destination, Command command, int input, int output,
                          std::unique_ptr<Process>* process) {
    std::vector<std::string> args;
    if (Win32Error e = CommandLine(destination, command, args)) return e;
    return Start(std::move(args), destination, input, output, process);
}

Win32Error Process::Start(std::vector<std::string> args, std::string_view destination, int input,
                          int output, std::unique_ptr<Process>* process) {
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) return FailFromErrno();
    UniqueFd errorRead(errorPipe[0]), errorWrite(errorPipe[1]);
    ::fcntl(errorRead.Get(), F_SETFL, O_NONBLOCK);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, errorWrite.Get(), 2);
    // Nothing else of ours reaches ssh: a shared connection's master lives on after this call,
    // and must not hold another channel's socket open.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int r = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (r != 0) {
        Fail(ErrorFromErrno(r));
        SetLastErrorDetail("the ssh program \"" + args[0] + "\" could not be started.");
        return GetLastError();
    }
    std::unique_ptr<Process> p(new Process);
    p->destination_ = std::string(destination);
    p->pid_ = pid;
    p->pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    p->errors_ = errorRead.Release();
    *process = std::move(p);
    return kErrorSuccess;
}

void Process::Collect() {
    if (errors_ < 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(errors_, buffer, sizeof buffer);
        if (n > 0) {
            tail_.append(buffer, static_cast<std::size_t>(n));
            if (tail_.size() > kTailBytes) tail_.erase(0, tail_.size() - kTailBytes);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            ::close(errors_);
            errors_ = -1;
        }
        return;
    }
}

Win32Error Process::Wait(std::chrono::milliseconds timeout, int* exitCode) {
    const auto end = Clock::now() + timeout;
    while (!ended_) {
        int wait = -1;
        if (timeout.count() > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return Fail(kErrorTimeout);
            wait = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
        }
        pollfd fds[2] = {{pidfd_, POLLIN, 0}, {errors_, POLLIN, 0}};
        const int n = ::poll(fds, errors_ >= 0 ? 2 : 1, pidfd_ >= 0 ? wait : 10);
        if (n < 0 && errno != EINTR) return FailFromErrno();
        if (errors_ >= 0 && fds[1].revents) Collect();
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            ended_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (done < 0 && errno != EINTR) {
            return FailFromErrno();
        }
    }
    // What it wrote just before it ended; a master it left behind keeps nothing of ours open.
    Collect();
    *exitCode = exitCode_;
    return kErrorSuccess;
}

void Process::Kill() {
    if (ended_ || pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int code = 0;
    if (Wait(std::chrono::seconds(2), &code) == kErrorSuccess) return;
    ::kill(pid_, SIGKILL);
    Wait(std::chrono::milliseconds(0), &code);
}

std::string Process::ErrorTail() const {
    return LastLines(tail_, 3);
}

Win32Error Process::Failure(int exitCode, Win32Error lost) const {
    const std::string tail = ErrorTail();
    std::string said = tail.empty() ? std::string() : "ssh " + destination_ + ": " + tail;
    // What follows ssh's words is a sentence of its own.
    const std::string then = said.empty() || said.ends_with('.') ? "" : ".";
    if (!said.empty()) said += then;
    if (exitCode == 255) {
        if (Contains(tail, "Host key verification failed") ||
            Contains(tail, "IDENTIFICATION HAS CHANGED") || Contains(tail, "host key for"))
            return WithDetail(
                kErrorAccessDenied,
                said + " To trust " + destination_ +
                    ", check its host key's fingerprint and add the key to known_hosts, for "
                    "example by connecting once with \"ssh " +
                    destination_ +
                    "\" (ZANTOR_SSH_ACCEPT_NEW=1 accepts a host's first key unchecked); a key "
                    "that changed must first be removed with \"ssh-keygen -R " +
                    destination_ + "\".");
        if (Contains(tail, "Permission denied") || Contains(tail, "Too many authentication"))
            return WithDetail(kErrorLogonFailure, said);
        if (Contains(tail, "Could not resolve") || Contains(tail, "Connection refused") ||
            Contains(tail, "No route to host") || Contains(tail, "Network is unreachable") ||
            Contains(tail, "Connection timed out") || Contains(tail, "not known") ||
            Contains(tail, "banner exchange"))
            return WithDetail(kErrorBadNetPath, said);
        return WithDetail(lost, said);
    }
    if (exitCode == 1 && Contains(tail, "sudo"))
        return WithDetail(kErrorAccessDenied,
                          said + " The account must be root, or may use sudo without a password.");
    if (exitCode == 126 || exitCode == 127) return WithDetail(kErrorFileNotFound, said);
    // 126 to 192 are the shell's own (a program it could not run, a signal that ended one).
    if (exitCode > 1 && exitCode < 255 && (exitCode < 126 || exitCode > 192))
        return WithDetail(static_cast<Win32Error>(exitCode), said);
    return WithDetail(exitCode == 0 ? lost : kErrorGenFailure, said);
}

Win32Error Run(std::string_view destination, Command command, const std::string& input,
               const std::function<bool(std::string_view)>& output,
               const std::function<bool(std::string& more)>& produce) {
    std::vector<std::string> args;
    if (Win32Error e = CommandLine(destination, command, args)) return e;
    return RunProgram(std::move(args), destination, input, output, produce);
}

namespace {

Win32Error RunProgram(std::vector<std::string> args, std::string_view destination,
                      const std::string& input, const std::function<bool(std::string_view)>& output,
                      const std::function<bool(std::string& more)>& produce) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return FailFromErrno();
    UniqueFd near(pair[0]), far(pair[1]);
    // Room for ssh to run ahead of a reader that works on what it got (a log being printed).
    const int room = 1 << 20;
    ::setsockopt(far.Get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    ::setsockopt(near.Get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    std::unique_ptr<Process> process;
    if (Win32Error e = Process::Start(std::move(args), destination, far.Get(), far.Get(), &process))
        return e;
    far.Reset();
    ::fcntl(near.Get(), F_SETFL, O_NONBLOCK);

    std::string pending = input;
    std::size_t sent = 0;
    bool inputDone = false, outputDone = false, stopped = false;
    std::string more;
    char buffer[65536];
    while (!outputDone) {
        if (!inputDone && sent == pending.size()) {
            more.clear();
            if (produce && produce(more)) {
                pending.swap(more);
                sent = 0;
                continue;
            }
            inputDone = true;
            ::shutdown(near.Get(), SHUT_WR);
        }
        pollfd fds[1] = {{near.Get(), static_cast<short>(POLLIN | (inputDone ? 0 : POLLOUT)), 0}};
        if (::poll(fds, 1, 1000) < 0 && errno != EINTR) break;
        process->Collect();
        if (fds[0].revents & POLLIN || fds[0].revents & (POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(near.Get(), buffer, sizeof buffer, 0);
            if (n > 0) {
                if (output && !output(std::string_view(buffer, static_cast<std::size_t>(n)))) {
                    stopped = true;
                    break;
                }
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                outputDone = true;
            }
        }
        if (!inputDone && sent < pending.size() && (fds[0].revents & POLLOUT)) {
            const ssize_t n =
                ::send(near.Get(), pending.data() + sent, pending.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                // The far side stopped reading: what it says about why comes with its exit.
                inputDone = true;
            }
        }
    }
    near.Reset();
    if (stopped) {
        process->Kill();
        return Fail(kErrorOperationAborted);
    }
    int code = 0;
    if (Win32Error e = process->Wait(std::chrono::milliseconds(0), &code)) return e;
    if (code == 0) return kErrorSuccess;
    return process->Failure(code, kErrorBrokenPipe);
}

}  // namespace

void AcceptNewHostKeys() {
    gAcceptNewHostKeys = true;
}

int DestinationPort(std::string_view destination) {
    if (destination.empty() || CheckComputerName(destination)) return 22;
    return EffectiveConfig(destination).port;
}

namespace {

// The session ends that a channel has told, by destination: the same for every channel of a run,
// as they all ride on one shared connection.
std::mutex gSessionEndsMutex;
std::map<std::string, std::string, std::less<>> gSessionEnds;

}  // namespace

void NoteSessionEnd(std::string_view destination, std::string_view connection) {
    if (connection.empty()) return;
    std::lock_guard lock(gSessionEndsMutex);
    gSessionEnds.insert_or_assign(std::string(destination), std::string(connection));
}

Win32Error SessionEnd(std::string_view destination, std::string& connection) {
    {
        std::lock_guard lock(gSessionEndsMutex);
        if (auto it = gSessionEnds.find(destination); it != gSessionEnds.end()) {
            connection = it->second + "\n";
            return kErrorSuccess;
        }
    }
    connection.clear();
    return Run(destination, Command::kSessionEnd, {}, [&](std::string_view piece) {
        connection.append(piece);
        return connection.size() < 1024;
    });
}

}  // namespace platform::ssh
