#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/linux/process_posix.h"
#include "platform/process.h"
#include "tests/support/netlab.h"

namespace platform::lab {

namespace fs = std::filesystem;

namespace {

std::string ScratchFile(const char* what) {
    static std::atomic<unsigned> counter{0};
    return (fs::temp_directory_path() / ("zantor-netlab-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(counter++) + "." + what))
        .string();
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

Win32Error Failed(std::string* why, const std::string& what, int err) {
    if (why) *why = what + ": " + std::strerror(err);
    return Fail(ErrorFromErrno(err));
}

}  // namespace

std::string IpProgram() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (::access(p, X_OK) == 0) return p;
    return "/usr/sbin/ip";
}

bool CanMakeNamespaces(std::string* why) {
    if (::geteuid() != 0) {
        if (why) *why = "network namespaces need root, and this process is not root";
        return false;
    }
    if (::access(IpProgram().c_str(), X_OK) != 0) {
        if (why) *why = "iproute2's ip is not installed";
        return false;
    }
    Namespace probe("probe");
    if (!probe.ok()) {
        if (why) *why = probe.error();
        return false;
    }
    return true;
}

Win32Error RunProgramFor(const std::vector<std::string>& command, std::chrono::milliseconds timeout,
                         int* exitCode, std::string* output,
                         const std::vector<std::string>& controlGroups) {
    ChildProcessOptions options;
    options.program = command.at(0);
    options.arguments.assign(command.begin() + 1, command.end());
    options.outputFile = ScratchFile("out");
    std::uint32_t pid = 0;
    if (Win32Error e = posix::CreateChildProcessJoining(options, controlGroups, &pid)) {
        if (output) *output = "cannot start " + command[0];
        return e;
    }
    *exitCode = -1;
    Win32Error e = WaitForChildProcess(pid, timeout, exitCode);
    if (e) {
        TerminateProcessById(pid, std::chrono::seconds(5));
        // Reaped, so that the id is not left to a zombie.
        int ignored = 0;
        WaitForChildProcess(pid, std::chrono::seconds(5), &ignored);
    }
    std::string text = Slurp(options.outputFile.string());
    std::error_code ec;
    fs::remove(options.outputFile, ec);
    if (output) *output = text;
    return e;
}

Win32Error RunProgram(const std::vector<std::string>& command, std::string* output,
                      std::string* why) {
    int exitCode = -1;
    std::string text;
    Win32Error e = RunProgramFor(command, std::chrono::minutes(2), &exitCode, &text);
    if (output) *output = text;
    if (e) {
        if (why) *why = e == kErrorTimeout ? Joined(command) + " did not end" : text;
        return e;
    }
    if (exitCode != 0) {
        if (why) *why = Joined(command) + " exited with " + std::to_string(exitCode) + ": " + text;
        return Fail(kErrorGenFailure);
    }
    return kErrorSuccess;
}

void SweepAbandonedNamespaceNames() {
    std::error_code ec;
    for (fs::directory_iterator it("/run/netns", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto last = name.rfind('-');
        if (!name.starts_with("zt-") || last == std::string::npos) continue;
        const auto before = name.rfind('-', last - 1);
        if (before == std::string::npos || before < 3) continue;
        const std::string pid = name.substr(before + 1, last - before - 1);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        // Its maker runs (or its number was given to another process since): left alone.
        std::error_code gone;
        if (fs::exists("/proc/" + pid, gone) || gone) continue;
        RunProgram({IpProgram(), "netns", "del", name});
    }
}

Namespace::Namespace(const std::string& stem) {
    static std::once_flag swept;
    std::call_once(swept, SweepAbandonedNamespaceNames);
    static std::atomic<unsigned> counter{0};
    name_ = "zt-" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    std::string why;
    if (RunProgram({IpProgram(), "netns", "add", name_}, nullptr, &why) != kErrorSuccess) {
        error_ = why.empty() ? "ip netns add failed" : why;
        return;
    }
    named_ = true;
    fd_ = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        error_ = std::string("cannot open the namespace: ") + std::strerror(errno);
    else if (Ip({"link", "set", "lo", "up"}, &why) != kErrorSuccess)
        error_ = why;
}

Namespace::~Namespace() {
    if (named_) RunProgram({IpProgram(), "netns", "del", name_});
    if (fd_ >= 0) ::close(fd_);
}

Win32Error Namespace::Unname(std::string* why) {
    if (!named_) return kErrorSuccess;
    if (fd_ < 0) {
        if (why) *why = "the namespace " + name_ + " is not held open";
        return Fail(kErrorInvalidHandle);
    }
    if (Win32Error e = RunProgram({IpProgram(), "netns", "del", name_}, nullptr, why)) return e;
    named_ = false;
    return kErrorSuccess;
}

Win32Error Namespace::Ip(const std::vector<std::string>& args, std::string* why) const {
    std::vector<std::string> command{IpProgram(), "-n", name_};
    command.insert(command.end(), args.begin(), args.end());
    return RunProgram(command, nullptr, why);
}

Win32Error Namespace::IpBatch(const std::vector<std::string>& lines, std::string* why) const {
    const std::string file = ScratchFile("batch");
    {
        std::ofstream out(file);
        for (const auto& line : lines) out << line << "\n";
    }
    Win32Error e = RunProgram({IpProgram(), "-n", name_, "-batch", file}, nullptr, why);
    std::error_code ec;
    fs::remove(file, ec);
    return e;
}

std::vector<std::string> Namespace::Wrap(const std::vector<std::string>& command) const {
    std::vector<std::string> wrapped{IpProgram(), "netns", "exec", name_};
    wrapped.insert(wrapped.end(), command.begin(), command.end());
    return wrapped;
}

std::string Namespace::HandlePath() const {
    return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd_);
}

std::vector<std::string> Namespace::WrapHeld(const std::vector<std::string>& command) const {
    std::vector<std::string> wrapped{"/usr/bin/nsenter", "--net=" + HandlePath(), "--"};
    wrapped.insert(wrapped.end(), command.begin(), command.end());
    return wrapped;
}

std::uint64_t Namespace::Inode() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_ino);
}

Win32Error Namespace::Exec(const std::vector<std::string>& command, std::string* output,
                           std::string* why) const {
    return RunProgram(Wrap(command), output, why);
}

Win32Error Namespace::Enter(const std::function<void()>& fn) const {
    if (fd_ < 0) return Fail(kErrorInvalidHandle);
    int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0) return FailFromErrno();
    if (::setns(fd_, CLONE_NEWNET) != 0) {
        Win32Error e = FailFromErrno();
        ::close(home);
        return e;
    }
    fn();
    // Back home, or the thread would go on in a namespace that is about to go away.
    int back = ::setns(home, CLONE_NEWNET);
    ::close(home);
    return back == 0 ? kErrorSuccess : FailFromErrno();
}

Win32Error Namespace::SetSysctl(const std::string& key, const std::string& value) const {
    std::string path = "/proc/sys/" + key;
    std::replace(path.begin() + 10, path.end(), '.', '/');
    Win32Error written = kErrorSuccess;
    // The network part of /proc/sys answers for the namespace of the thread that opens it.
    Win32Error entered = Enter([&] {
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || ::write(fd, value.data(), value.size()) != static_cast<ssize_t>(value.size()))
            written = FailFromErrno();
        if (fd >= 0) ::close(fd);
    });
    return entered ? entered : written;
}

Win32Error Link(const Namespace& a, const std::string& aDevice, const Namespace& b,
                const std::string& bDevice, std::string* why) {
    if (Win32Error e = RunProgram({IpProgram(), "link", "add", aDevice, "netns", a.name(), "type",
                                   "veth", "peer", "name", bDevice, "netns", b.name()},
                                  nullptr, why))
        return e;
    if (Win32Error e = a.Ip({"link", "set", aDevice, "up"}, why)) return e;
    return b.Ip({"link", "set", bDevice, "up"}, why);
}

Win32Error EnterPrivateNamespace(std::string* why) {
    if (::unshare(CLONE_NEWNET) != 0) return Failed(why, "unshare(CLONE_NEWNET)", errno);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Failed(why, "socket", errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    int r = ::ioctl(fd, SIOCGIFFLAGS, &request);
    if (r == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        r = ::ioctl(fd, SIOCSIFFLAGS, &request);
    }
    const int err = errno;
    ::close(fd);
    return r == 0 ? kErrorSuccess : Failed(why, "bringing lo up", err);
}

Win32Error HardwareAddress(const Namespace& ns, const std::string& device,
                           std::array<std::uint8_t, 6>& mac) {
    Win32Error result = kErrorSuccess;
    Win32Error entered = ns.Enter([&] {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, device.c_str(), IFNAMSIZ - 1);
        if (fd < 0 || ::ioctl(fd, SIOCGIFHWADDR, &request) != 0)
            result = FailFromErrno();
        else
            std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, 6);
        if (fd >= 0) ::close(fd);
    });
    return entered ? entered : result;
}

PinnedThread::PinnedThread() {
    cpu_set_t old;
    CPU_ZERO(&old);
    if (::sched_getaffinity(0, sizeof old, &old) != 0) return;
    saved_.assign(reinterpret_cast<unsigned char*>(&old),
                  reinterpret_cast<unsigned char*>(&old) + sizeof old);
    const int cpu = ::sched_getcpu();
    if (cpu < 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ::sched_setaffinity(0, sizeof one, &one);
}

PinnedThread::~PinnedThread() {
    if (saved_.size() == sizeof(cpu_set_t))
        ::sched_setaffinity(0, sizeof(cpu_set_t),
                            reinterpret_cast<const cpu_set_t*>(saved_.data()));
}

PacketSocket::PacketSocket(int fd, int ifindex, std::array<std::uint8_t, 6> peer)
    : fd_(fd), ifindex_(ifindex), peer_(peer) {}

PacketSocket::~PacketSocket() {
    ::close(fd_);
}

namespace {

// Makes a socket inside `ns` (or here, without one).
Win32Error MakeSocket(const Namespace* ns, int domain, int type, int protocol, int& fd) {
    Win32Error made = kErrorSuccess;
    auto make = [&] {
        fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
        if (fd < 0) made = FailFromErrno();
    };
    if (!ns) {
        make();
        return made;
    }
    Win32Error entered = ns->Enter(make);
    return entered ? entered : made;
}

}  // namespace

Win32Error PacketSocket::Delivered(const Namespace* ns, std::uint8_t protocol,
                                   std::unique_ptr<PacketSocket>* socket) {
    int fd = -1;
    if (Win32Error e = MakeSocket(ns, AF_INET, SOCK_RAW, protocol, fd)) return e;
    int size = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socket->reset(new PacketSocket(fd, 0, {}));
    return kErrorSuccess;
}

Win32Error PacketSocket::Sender(const Namespace* ns, std::unique_ptr<PacketSocket>* socket) {
    int fd = -1;
    if (Win32Error e = MakeSocket(ns, AF_INET, SOCK_RAW, IPPROTO_RAW, fd)) return e;
    socket->reset(new PacketSocket(fd, 0, {}));
    return kErrorSuccess;
}

Win32Error PacketSocket::OnDevice(const Namespace* ns, const std::string& device,
                                  std::array<std::uint8_t, 6> peer,
                                  std::unique_ptr<PacketSocket>* socket) {
    int fd = -1;
    if (Win32Error e = MakeSocket(ns, AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP), fd)) return e;
    int ifindex = 0;
    Win32Error found = kErrorSuccess;
    auto find = [&] {
        ifindex = static_cast<int>(::if_nametoindex(device.c_str()));
        if (ifindex == 0) found = FailFromErrno();
    };
    Win32Error entered = ns ? ns->Enter(find) : (find(), kErrorSuccess);
    if (entered || found) {
        ::close(fd);
        return entered ? entered : found;
    }
    sockaddr_ll self{};
    self.sll_family = AF_PACKET;
    self.sll_protocol = htons(ETH_P_IP);
    self.sll_ifindex = ifindex;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        Win32Error e = FailFromErrno();
        ::close(fd);
        return e;
    }
    int size = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socket->reset(new PacketSocket(fd, ifindex, peer));
    return kErrorSuccess;
}

Win32Error PacketSocket::Send(std::span<const std::uint8_t> packet) {
    if (packet.size() < 20) return Fail(kErrorInvalidParameter);
    ssize_t n;
    if (ifindex_ != 0) {
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_IP);
        to.sll_ifindex = ifindex_;
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, peer_.data(), 6);
        n = ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to);
    } else {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr, packet.data() + 16, 4);
        n = ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to);
    }
    if (n < 0) return FailFromErrno();
    return static_cast<std::size_t>(n) == packet.size() ? kErrorSuccess : Fail(kErrorGenFailure);
}

Win32Error PacketSocket::Receive(std::vector<std::uint8_t>& packet,
                                 std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd pfd{fd_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return FailFromErrno();
        if (ready == 0) return Fail(kErrorTimeout);
        packet.resize(65536);
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(fd_, packet.data(), packet.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return FailFromErrno();
        }
        // A device socket also sees what its own side sends.
        if (ifindex_ != 0 && from.sll_pkttype == PACKET_OUTGOING) continue;
        packet.resize(static_cast<std::size_t>(n));
        return kErrorSuccess;
    }
}

namespace {

Win32Error SetWaits(int fd, std::chrono::milliseconds timeout) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
        return FailFromErrno();
    return kErrorSuccess;
}

// A wait bounded by SO_SNDTIMEO or SO_RCVTIMEO that ran out says so with EAGAIN (EINPROGRESS
// for a connect).
Win32Error WaitFailed(int err) {
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS) return Fail(kErrorTimeout);
    return Fail(ErrorFromErrno(err));
}

Win32Error CloseFailed(int fd) {
    const int err = errno;
    ::close(fd);
    return WaitFailed(err);
}

bool SocketAddress(const std::string& address, std::uint16_t port, sockaddr_in& to) {
    to = sockaddr_in{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    return ::inet_pton(AF_INET, address.c_str(), &to.sin_addr) == 1;
}

}  // namespace

StreamSocket::StreamSocket(int fd) : fd_(fd) {}

StreamSocket::~StreamSocket() {
    ::close(fd_);
}

Win32Error StreamSocket::Listen(const Namespace* ns, const std::string& address, std::uint16_t port,
                                std::unique_ptr<StreamSocket>* listener) {
    sockaddr_in at;
    if (!SocketAddress(address, port, at)) return Fail(kErrorInvalidParameter);
    int fd = -1;
    if (Win32Error e = MakeSocket(ns, AF_INET, SOCK_STREAM, 0, fd)) return e;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 16) != 0)
        return CloseFailed(fd);
    listener->reset(new StreamSocket(fd));
    return kErrorSuccess;
}

Win32Error StreamSocket::Connect(const Namespace* ns, const std::string& address,
                                 std::uint16_t port, std::chrono::milliseconds timeout,
                                 std::unique_ptr<StreamSocket>* connection, const std::string& from,
                                 std::uint16_t fromPort) {
    sockaddr_in to, at;
    if (!SocketAddress(address, port, to)) return Fail(kErrorInvalidParameter);
    const bool bound = !from.empty() || fromPort != 0;
    if (bound && !SocketAddress(from.empty() ? "0.0.0.0" : from, fromPort, at))
        return Fail(kErrorInvalidParameter);
    int fd = -1;
    if (Win32Error e = MakeSocket(ns, AF_INET, SOCK_STREAM, 0, fd)) return e;
    if (Win32Error e = SetWaits(fd, timeout)) {
        ::close(fd);
        return e;
    }
    const int on = 1;
    if (bound && (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
                  ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0))
        return CloseFailed(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return CloseFailed(fd);
    connection->reset(new StreamSocket(fd));
    return kErrorSuccess;
}

Win32Error StreamSocket::Accept(std::chrono::milliseconds timeout,
                                std::unique_ptr<StreamSocket>* connection) {
    pollfd pfd{fd_, POLLIN, 0};
    int ready;
    do ready = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
    while (ready < 0 && errno == EINTR);
    if (ready < 0) return FailFromErrno();
    if (ready == 0) return Fail(kErrorTimeout);
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return FailFromErrno();
    if (Win32Error e = SetWaits(fd, timeout)) {
        ::close(fd);
        return e;
    }
    connection->reset(new StreamSocket(fd));
    return kErrorSuccess;
}

Win32Error StreamSocket::Send(std::span<const std::uint8_t> bytes, std::size_t* sent) {
    ssize_t n;
    do n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0) return WaitFailed(errno);
    *sent = static_cast<std::size_t>(n);
    return kErrorSuccess;
}

Win32Error StreamSocket::Receive(std::span<std::uint8_t> bytes, std::size_t* received) {
    ssize_t n;
    do n = ::recv(fd_, bytes.data(), bytes.size(), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) return WaitFailed(errno);
    *received = static_cast<std::size_t>(n);
    return kErrorSuccess;
}

void StreamSocket::StopSending() {
    ::shutdown(fd_, SHUT_WR);
}

}  // namespace platform::lab
