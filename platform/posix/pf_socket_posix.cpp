// The driver's packet socket: a Unix datagram socket in the computer root that answers every
// packet with the driver's verdict, and the client side that tools and tests send through.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/pf.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kDatagramHeader = 5;  // direction byte, local address
constexpr std::size_t kMaxDatagram = kDatagramHeader + 65535;
constexpr std::uint8_t kAnswerForward = 0;
constexpr std::uint8_t kAnswerDrop = 1;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& o) noexcept : fd_(o.Release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            Reset();
            fd_ = o.Release();
        }
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// A socket address for a path. sun_path holds 107 characters; a longer path is reached through
// an O_PATH descriptor of its directory as /proc/self/fd/N/NAME, which stays open while the
// address is in use.
class SocketAddress {
  public:
    Win32Error Set(const fs::path& path) {
        std::string text = path.string();
        if (text.size() >= sizeof addr_.sun_path) {
            dir_ = Fd(::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!dir_) return FailFromErrno();
            text = "/proc/self/fd/" + std::to_string(dir_.get()) + "/" + path.filename().string();
            if (text.size() >= sizeof addr_.sun_path) return Fail(kErrorFilenameExcedRange);
        }
        std::memset(&addr_, 0, sizeof addr_);
        addr_.sun_family = AF_UNIX;
        std::memcpy(addr_.sun_path, text.data(), text.size());
        length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
        return kErrorSuccess;
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr_); }
    socklen_t length() const { return length_; }

  private:
    sockaddr_un addr_{};
    socklen_t length_ = 0;
    Fd dir_;
};

Fd DatagramSocket() {
    return Fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

// True when a live endpoint answers at `path`: a datagram socket connects only to a socket that
// some process still holds open.
bool EndpointAlive(const fs::path& path) {
    SocketAddress addr;
    Fd probe = DatagramSocket();
    if (!probe || addr.Set(path) != kErrorSuccess) return false;
    return ::connect(probe.get(), addr.get(), addr.length()) == 0;
}

bool SameFile(const fs::path& path, const struct stat& st) {
    struct stat now {};
    return ::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

}  // namespace

struct PacketEndpoint::Impl {
    explicit Impl(PacketFilterDriver& d) : driver(d) {}

    PacketFilterDriver& driver;
    std::mutex mutex;  // Start and Stop
    Fd socket, wakeRead, wakeWrite;
    std::thread thread;
    fs::path path;
    struct stat socketFile {};
    std::atomic<std::uint64_t> malformed{0};

    std::uint8_t Answer(const std::uint8_t* data, std::size_t size) {
        if (size < kDatagramHeader || size > kMaxDatagram || data[0] > 1) {
            ++malformed;
            return kAnswerDrop;
        }
        std::uint32_t local;
        std::memcpy(&local, data + 1, 4);
        auto direction = static_cast<PacketDirection>(data[0]);
        PFFORWARD_ACTION action =
            driver.DecidePacket(direction, local, {data + kDatagramHeader, size - kDatagramHeader});
        return action == PF_ACTION_FORWARD ? kAnswerForward : kAnswerDrop;
    }

    void Run() {
        std::vector<std::uint8_t> buffer(kMaxDatagram + 1);
        for (;;) {
            pollfd fds[2] = {{socket.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            sockaddr_un from{};
            socklen_t fromLength = sizeof from;
            ssize_t n =
                ::recvfrom(socket.get(), buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) continue;
            std::uint8_t answer = Answer(buffer.data(), static_cast<std::size_t>(n));
            if (fromLength > sizeof(sa_family_t))
                ::sendto(socket.get(), &answer, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    }

    Win32Error Open(const fs::path& root) {
        fs::path dir = PacketSocketPath(root).parent_path();
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) return Fail(ErrorFromErrno(ec.value()));
        path = PacketSocketPath(root);
        if (EndpointAlive(path)) return Fail(kErrorSharingViolation);

        // Bound under a name of its own, made owner-only, then moved over the old file, so that
        // no client ever sees a socket it may not use and a stale file never blocks us.
        fs::path fresh = dir / ("packets." + std::to_string(::getpid()) + ".new");
        ::unlink(fresh.c_str());
        socket = DatagramSocket();
        if (!socket) return FailFromErrno();
        SocketAddress addr;
        if (Win32Error e = addr.Set(fresh)) return e;
        if (::bind(socket.get(), addr.get(), addr.length()) != 0) return FailFromErrno();
        if (::chmod(fresh.c_str(), 0600) != 0 || ::rename(fresh.c_str(), path.c_str()) != 0 ||
            ::lstat(path.c_str(), &socketFile) != 0) {
            Win32Error e = FailFromErrno();
            ::unlink(fresh.c_str());
            return e;
        }
        int wake[2];
        if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return FailFromErrno();
        wakeRead = Fd(wake[0]);
        wakeWrite = Fd(wake[1]);
        return kErrorSuccess;
    }

    void Close() {
        wakeRead.Reset();
        wakeWrite.Reset();
        if (socket) {
            socket.Reset();
            if (SameFile(path, socketFile)) ::unlink(path.c_str());
        }
    }
};

PacketEndpoint::PacketEndpoint(PacketFilterDriver& driver)
    : impl_(std::make_unique<Impl>(driver)) {}

PacketEndpoint::~PacketEndpoint() {
    Stop();
}

Win32Error PacketEndpoint::Start(const fs::path& root) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->thread.joinable()) return Fail(kErrorAlreadyExists);
    if (Win32Error e = impl_->Open(root)) {
        impl_->Close();
        return e;
    }
    try {
        impl_->thread = std::thread([this] { impl_->Run(); });
    } catch (const std::system_error&) {
        impl_->Close();
        return Fail(kErrorNotEnoughMemory);
    }
    return kErrorSuccess;
}

void PacketEndpoint::Stop() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->thread.joinable()) return;
    char wake = 1;
    while (::write(impl_->wakeWrite.get(), &wake, 1) < 0 && errno == EINTR) {
    }
    impl_->thread.join();
    impl_->Close();
}

std::uint64_t PacketEndpoint::MalformedDatagrams() const {
    return impl_->malformed.load();
}

namespace {

PacketEndpoint& ProcessEndpoint() {
    static PacketEndpoint endpoint(ProcessPacketFilterDriver());
    return endpoint;
}

}  // namespace

Win32Error StartPacketEndpoint(const fs::path& root) {
    return ProcessEndpoint().Start(root);
}

void StopPacketEndpoint() {
    ProcessEndpoint().Stop();
}

Win32Error SendRawDatagram(const fs::path& root, std::span<const std::uint8_t> datagram,
                           std::uint8_t& answer, std::chrono::milliseconds timeout) {
    Fd fd = DatagramSocket();
    if (!fd) return FailFromErrno();
    // Autobind: an abstract address of our own, so that the endpoint can answer.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0)
        return FailFromErrno();
    SocketAddress to;
    if (Win32Error e = to.Set(PacketSocketPath(root))) return e;
    if (::connect(fd.get(), to.get(), to.length()) != 0) return FailFromErrno();
    if (::send(fd.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL) < 0)
        return FailFromErrno();
    pollfd pfd{fd.get(), POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return FailFromErrno();
    if (ready == 0) return Fail(kErrorTimeout);
    ssize_t n = ::recv(fd.get(), &answer, 1, 0);
    if (n < 0) return FailFromErrno();
    return n == 1 ? kErrorSuccess : Fail(kErrorInvalidData);
}

Win32Error SendTestPacket(const fs::path& root, PacketDirection direction, std::uint32_t localAddr,
                          std::span<const std::uint8_t> packet, PFFORWARD_ACTION& verdict,
                          std::chrono::milliseconds timeout) {
    if (packet.size() > kMaxDatagram - kDatagramHeader) return Fail(kErrorInvalidParameter);
    std::vector<std::uint8_t> datagram(kDatagramHeader + packet.size());
    datagram[0] = static_cast<std::uint8_t>(direction);
    std::memcpy(datagram.data() + 1, &localAddr, 4);
    if (!packet.empty())
        std::memcpy(datagram.data() + kDatagramHeader, packet.data(), packet.size());
    std::uint8_t answer = kAnswerDrop;
    if (Win32Error e = SendRawDatagram(root, datagram, answer, timeout)) return e;
    verdict = answer == kAnswerForward ? PF_ACTION_FORWARD : PF_ACTION_DROP;
    return kErrorSuccess;
}

}  // namespace platform
