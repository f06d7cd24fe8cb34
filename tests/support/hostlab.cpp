#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/linux/process_posix.h"
#include "tests/support/hostlab.h"
#include "tests/support/netlab.h"

namespace platform::lab {

namespace fs = std::filesystem;

namespace {

Win32Error Failed(std::string* why, const std::string& what, int err) {
    if (why) *why = what + ": " + std::strerror(err);
    return Fail(ErrorFromErrno(err));
}

std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// Where a hierarchy is mounted and which group of it this process is in.
struct Hierarchy {
    std::string mountPoint;
    std::string ownGroup;
};

// The hierarchies systemd-nspawn puts a host's processes in: the unified one, and systemd's named
// v1 hierarchy where the machine has the older or the hybrid layout. Read once: they do not move
// while tests run.
const std::vector<Hierarchy>& Hierarchies() {
    static const std::vector<Hierarchy> found = [] {
        std::string unifiedMount, namedMount;
        for (const auto& line : Lines("/proc/self/mountinfo")) {
            // mountinfo: ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [TAGS...] - FSTYPE SOURCE SUPER
            const auto w = Words(line);
            const auto dash = std::find(w.begin(), w.end(), "-");
            if (dash == w.end() || w.end() - dash < 4 || w.size() < 5) continue;
            const std::string& type = dash[1];
            const std::string& super = dash[3];
            if (type == "cgroup2" && unifiedMount.empty()) unifiedMount = w[4];
            if (type == "cgroup" && super.find("name=systemd") != std::string::npos &&
                namedMount.empty())
                namedMount = w[4];
        }
        std::string unifiedGroup = "/", namedGroup = "/";
        for (const auto& line : Lines("/proc/self/cgroup")) {
            if (line.rfind("0::", 0) == 0) unifiedGroup = line.substr(3);
            const auto named = line.find(":name=systemd:");
            if (named != std::string::npos) namedGroup = line.substr(named + 14);
        }
        std::vector<Hierarchy> list;
        if (!unifiedMount.empty()) list.push_back({unifiedMount, unifiedGroup});
        if (!namedMount.empty()) list.push_back({namedMount, namedGroup});
        return list;
    }();
    return found;
}

std::string OwnGroupDir(const Hierarchy& h) {
    std::string dir = h.mountPoint + h.ownGroup;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

// Every group directory at `dir` and below it, deepest first.
std::vector<std::string> GroupsBelow(const std::string& dir) {
    std::vector<std::string> dirs;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return dirs;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec)) dirs.push_back(it->path().string());
    std::sort(dirs.begin(), dirs.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    dirs.push_back(dir);
    return dirs;
}

std::vector<std::uint32_t> ProcsOf(const std::string& dir) {
    std::vector<std::uint32_t> pids;
    for (const auto& group : GroupsBelow(dir))
        for (const auto& line : Lines(group + "/cgroup.procs"))
            if (!line.empty()) pids.push_back(static_cast<std::uint32_t>(std::stoul(line)));
    return pids;
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string Program(const std::vector<std::string>& candidates) {
    for (const auto& p : candidates)
        if (::access(p.c_str(), X_OK) == 0) return p;
    return {};
}

// "net:[4026532173]" → 4026532173 when the link names a namespace of that kind, else 0.
std::uint64_t NamespaceLink(const std::string& path, const std::string& kind) {
    char target[128];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    const std::string text(target);
    const std::string head = kind + ":[";
    if (text.rfind(head, 0) != 0 || text.back() != ']') return 0;
    return std::strtoull(text.c_str() + head.size(), nullptr, 10);
}

// Whether the file `path` leads to (an open file of a process) is the namespace of that inode
// number; every kind of namespace is numbered apart in the one nsfs. Its name tells nothing: a
// handle opened through a namespace's name keeps that name as its path.
// With `madeAt`, also when the namespace's file came to be (its first handle was opened): a
// namespace's file lasts as long as a handle to it, so one opened later is of a later namespace.
bool IsNamespaceFile(const std::string& path, std::uint64_t inode,
                     std::chrono::system_clock::time_point* madeAt = nullptr) {
    static const dev_t nsfs = [] {
        struct stat st {};
        return ::stat("/proc/self/ns/net", &st) == 0 ? st.st_dev : dev_t{};
    }();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_dev != nsfs ||
        static_cast<std::uint64_t>(st.st_ino) != inode)
        return false;
    if (madeAt)
        *madeAt = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_ctim.tv_sec) +
                std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
    return true;
}

template <typename Fn>
void ForEachNumber(const std::string& dir, Fn fn) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') fn(std::string(e->d_name));
    ::closedir(d);
}

}  // namespace

bool CanBootHosts(std::string* why) {
    auto no = [&](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    if (::geteuid() != 0) return no("booting hosts needs root, and this process is not root");
    if (Program({"/usr/bin/systemd-nspawn", "/bin/systemd-nspawn"}).empty())
        return no("systemd-nspawn is not installed (package systemd-container)");
    if (Program({"/usr/sbin/sshd"}).empty())
        return no("sshd is not installed (package openssh-server)");
    if (Program({"/usr/bin/ssh"}).empty() || Program({"/usr/bin/ssh-keygen"}).empty())
        return no("the ssh client is not installed (package openssh-client)");
    if (Program({"/usr/bin/nsenter"}).empty()) return no("nsenter is not installed (util-linux)");
    std::ifstream filesystems("/proc/filesystems");
    std::string all((std::istreambuf_iterator<char>(filesystems)), {});
    if (all.find("\toverlay\n") == std::string::npos)
        return no("the kernel has no overlay file system");
    if (Hierarchies().empty()) return no("no control group hierarchy is mounted");
    std::string reason;
    if (!CanMakeNamespaces(&reason)) return no(reason);
    return true;
}

ControlGroup::ControlGroup(const std::string& path) : path_(path) {
    for (const auto& h : Hierarchies()) dirs_.push_back(OwnGroupDir(h) + "/" + path);
}

Win32Error ControlGroup::Make(const std::string& path, std::unique_ptr<ControlGroup>* group,
                              std::string* why) {
    auto made = std::make_unique<ControlGroup>(path);
    if (made->dirs_.empty()) return Failed(why, "no control group hierarchy is mounted", ENOENT);
    for (const auto& dir : made->dirs_) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) return Failed(why, "cannot make the control group " + dir, ec.value());
    }
    *group = std::move(made);
    return kErrorSuccess;
}

bool ControlGroup::Exists() const {
    return std::any_of(dirs_.begin(), dirs_.end(), [](const auto& d) { return PathExists(d); });
}

std::vector<std::string> ControlGroup::ProcsFiles() const {
    std::vector<std::string> files;
    for (const auto& dir : dirs_) files.push_back(dir + "/cgroup.procs");
    return files;
}

std::vector<std::uint32_t> ControlGroup::Processes() const {
    std::set<std::uint32_t> all;
    for (const auto& dir : dirs_)
        for (std::uint32_t pid : ProcsOf(dir)) all.insert(pid);
    return {all.begin(), all.end()};
}

Win32Error ControlGroup::Kill(std::chrono::milliseconds timeout) const {
    const auto end = std::chrono::steady_clock::now() + timeout;
    // cgroup.kill ends the whole subtree in one step, also processes that fork while it works; a
    // kernel without it gets a signal for each process until none is left.
    bool killedAtOnce = false;
    if (!dirs_.empty() && PathExists(dirs_.front() + "/cgroup.kill")) {
        std::ofstream kill(dirs_.front() + "/cgroup.kill");
        kill << "1";
        kill.flush();
        killedAtOnce = static_cast<bool>(kill);
    }
    for (;;) {
        const auto left = Processes();
        if (left.empty()) return kErrorSuccess;
        if (std::chrono::steady_clock::now() >= end) return Fail(kErrorTimeout);
        if (!killedAtOnce)
            for (std::uint32_t pid : left) ::kill(static_cast<pid_t>(pid), SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Win32Error ControlGroup::Remove(std::chrono::milliseconds timeout, std::string* why) const {
    if (Win32Error e = Kill(timeout)) {
        if (why) *why = "processes of the control group " + path_ + " did not end";
        return e;
    }
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (const auto& dir : dirs_)
        for (const auto& group : GroupsBelow(dir)) {
            // A group whose last process has just ended can refuse for a moment.
            while (::rmdir(group.c_str()) != 0 && errno == EBUSY &&
                   std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (PathExists(group)) return Failed(why, "cannot remove " + group, errno);
        }
    return kErrorSuccess;
}

std::vector<std::string> ControlGroup::Find(const std::string& prefix) {
    std::set<std::string> names;
    for (const auto& h : Hierarchies()) {
        std::error_code ec;
        for (fs::directory_iterator it(OwnGroupDir(h), ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.rfind(prefix, 0) == 0 && it->is_directory(ec)) names.insert(name);
        }
    }
    return {names.begin(), names.end()};
}

Win32Error StartInGroup(const ChildProcessOptions& options, const ControlGroup& group,
                        std::uint32_t* processId) {
    return posix::CreateChildProcessJoining(options, group.ProcsFiles(), processId);
}

Win32Error EnterPrivateMounts(std::string* why) {
    // A thread shares its root and working directory with the others until it takes copies of
    // its own; only then may it have a mount namespace of its own.
    if (::unshare(CLONE_FS | CLONE_NEWNS) != 0)
        return Failed(why, "unshare(CLONE_FS | CLONE_NEWNS)", errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return Failed(why, "making the mounts private", errno);
    return kErrorSuccess;
}

std::uint64_t CurrentMountNamespace() {
    return NamespaceLink("/proc/thread-self/ns/mnt", "mnt");
}

Win32Error MountTmpfs(const std::string& target, const std::string& options, std::string* why) {
    if (::mount("tmpfs", target.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        return Failed(why, "mounting a tmpfs on " + target, errno);
    return kErrorSuccess;
}

Win32Error MountOverlay(const std::string& lower, const std::string& upper, const std::string& work,
                        const std::string& target, std::string* why) {
    const std::string options = "lowerdir=" + lower + ",upperdir=" + upper + ",workdir=" + work;
    if (::mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0)
        return Failed(why, "mounting an overlay on " + target, errno);
    return kErrorSuccess;
}

Win32Error MakeOpaqueDirectory(const std::string& path, std::string* why) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return Failed(why, "cannot make " + path, errno);
    if (::setxattr(path.c_str(), "trusted.overlay.opaque", "y", 1, 0) != 0)
        return Failed(why, "cannot make " + path + " opaque", errno);
    return kErrorSuccess;
}

Win32Error MakeWhiteout(const std::string& path, std::string* why) {
    // overlayfs's whiteout: a character device with device number 0/0.
    if (::mknod(path.c_str(), S_IFCHR | 0000, ::makedev(0, 0)) != 0)
        return Failed(why, "cannot make the whiteout " + path, errno);
    return kErrorSuccess;
}

std::vector<std::uint32_t> ProcessesInNamespace(const std::string& kind, std::uint64_t inode) {
    std::vector<std::uint32_t> pids;
    ForEachNumber("/proc", [&](const std::string& pid) {
        bool in = false;
        ForEachNumber("/proc/" + pid + "/task", [&](const std::string& tid) {
            if (!in &&
                NamespaceLink("/proc/" + pid + "/task/" + tid + "/ns/" + kind, kind) == inode)
                in = true;
        });
        if (in) pids.push_back(static_cast<std::uint32_t>(std::stoul(pid)));
    });
    return pids;
}

std::chrono::nanoseconds ProcessClock() {
    return posix::BootClock();
}

bool NamespaceAlive(const std::string& kind, std::uint64_t inode,
                    std::chrono::nanoseconds startedBy) {
    const bool any = startedBy == std::chrono::nanoseconds::max();
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    auto counts = [&](const std::string& pid) {
        posix::ProcessIdentity id;
        if (any) return true;
        if (!posix::ReadProcessIdentity(static_cast<std::uint32_t>(std::stoul(pid)), id))
            return false;
        return std::chrono::nanoseconds(static_cast<std::int64_t>(id.startTime) *
                                        (1'000'000'000 / ticksPerSecond)) <= startedBy;
    };
    for (std::uint32_t pid : ProcessesInNamespace(kind, inode))
        if (counts(std::to_string(pid))) return true;
    // A handle opened after `startedBy` is to a later namespace with the same number, even where
    // its holder started before (another test's lab keeps handles to the namespaces it makes).
    const auto openedBy = any ? std::chrono::system_clock::time_point::max()
                              : std::chrono::system_clock::now() -
                                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                        ProcessClock() - startedBy);
    bool held = false;
    ForEachNumber("/proc", [&](const std::string& pid) {
        if (held) return;
        ForEachNumber("/proc/" + pid + "/fd", [&](const std::string& fd) {
            std::chrono::system_clock::time_point madeAt;
            if (!held && IsNamespaceFile("/proc/" + pid + "/fd/" + fd, inode, &madeAt) &&
                counts(pid) && madeAt <= openedBy)
                held = true;
        });
    });
    if (held || !any) return held;
    const std::string name = kind + ":[" + std::to_string(inode) + "]";
    for (const auto& line : Lines("/proc/self/mountinfo"))
        if (line.find(name) != std::string::npos) return true;
    return false;
}

std::uint64_t HoldNamespace(const std::string& path) {
    // Never closed: the number must stay this namespace's until the process ends.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_ino);
}

std::string OwnerTag() {
    posix::ProcessIdentity self;
    posix::ReadProcessIdentity(static_cast<std::uint32_t>(::getpid()), self);
    return std::to_string(self.pid) + "-" + std::to_string(self.startTime);
}

bool IsOwnerRunning(const std::string& tag) {
    const auto dash = tag.find('-');
    if (dash == std::string::npos) return false;
    try {
        posix::ProcessIdentity id{static_cast<std::uint32_t>(std::stoul(tag.substr(0, dash))),
                                  std::stoull(tag.substr(dash + 1))};
        return posix::IsSameProcessRunning(id);
    } catch (const std::exception&) {
        return false;
    }
}

Win32Error Detach() {
    const pid_t pid = ::fork();
    if (pid < 0) return FailFromErrno();
    if (pid > 0) ::_exit(0);
    if (::setsid() < 0) return FailFromErrno();
    return kErrorSuccess;
}

}  // namespace platform::lab
