// The driver's packet socket: a Unix datagram socket in the computer root that answers every
// packet with the driver's verdict, and the client side that tools and tests send through.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/pf.h"
#include "platform/pf/pf_datagram.h"
#include "platform/posix/unix_socket.h"

namespace platform {

namespace fs = std::filesystem;
using pf::kAnswerDrop;
using pf::kAnswerForward;
using pf::kDatagramHeader;
using pf::kMaxDatagram;
using posix::UniqueFd;
using posix::WakePipe;
using posix::WithUnixAddress;

namespace {

UniqueFd DatagramSocket() {
    return UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

// True when a live endpoint answers at `path`: a datagram socket connects only to a socket that
// some process still holds open.
bool EndpointAlive(const fs::path& path) {
    UniqueFd probe = DatagramSocket();
    return probe && WithUnixAddress(path, [&](const sockaddr* addr, socklen_t length) {
                        return ::connect(probe.Get(), addr, length);
                    }) == kErrorSuccess;
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
    UniqueFd socket;
    WakePipe wake;
    std::thread thread;
    fs::path path;
    struct stat socketFile {};
    std::atomic<std::uint64_t> malformed{0};

    std::uint8_t Answer(const std::uint8_t* data, std::size_t size) {
        return pf::AnswerDatagram(driver, data, size, malformed);
    }

    void Run() {
        std::vector<std::uint8_t> buffer(kMaxDatagram + 1);
        while (posix::WaitReady(socket.Get(), POLLIN, wake) == kErrorSuccess) {
            sockaddr_un from{};
            socklen_t fromLength = sizeof from;
            ssize_t n =
                ::recvfrom(socket.Get(), buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) continue;
            std::uint8_t answer = Answer(buffer.data(), static_cast<std::size_t>(n));
            if (fromLength > sizeof(sa_family_t))
                ::sendto(socket.Get(), &answer, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    }

    Win32Error Open(const fs::path& root) {
        fs::path dir = PacketSocketPath(root).parent_path();
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) return Fail(ErrorFromErrno(ec.value()));
        // The fresh socket is open to all between its bind and its chmod; in a directory only we
        // may enter, nobody else can reach it then.
        if (::chmod(dir.c_str(), 0700) != 0) return FailFromErrno();
        path = PacketSocketPath(root);
        if (EndpointAlive(path)) return Fail(kErrorSharingViolation);

        // Bound under a name of its own, made owner-only, then moved over the old file, so that
        // no client ever sees a socket it may not use and a stale file never blocks us.
        fs::path fresh = dir / ("packets." + std::to_string(::getpid()) + ".new");
        ::unlink(fresh.c_str());
        socket = DatagramSocket();
        if (!socket) return FailFromErrno();
        if (Win32Error e = WithUnixAddress(fresh, [&](const sockaddr* addr, socklen_t length) {
                return ::bind(socket.Get(), addr, length);
            }))
            return e;
        if (::chmod(fresh.c_str(), 0600) != 0 || ::rename(fresh.c_str(), path.c_str()) != 0 ||
            ::lstat(path.c_str(), &socketFile) != 0) {
            Win32Error e = FailFromErrno();
            ::unlink(fresh.c_str());
            return e;
        }
        wake = WakePipe();  // a fresh one: a signalled pipe stays readable
        return wake.Valid() ? kErrorSuccess : FailFromErrno();
    }

    void Close() {
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
    impl_->wake.Signal();
    impl_->thread.join();
    impl_->Close();
}

std::uint64_t PacketEndpoint::MalformedDatagrams() const {
    return impl_->malformed.load();
}

Win32Error SendRawDatagram(const fs::path& root, std::span<const std::uint8_t> datagram,
                           std::uint8_t& answer, std::chrono::milliseconds timeout) {
    UniqueFd fd = DatagramSocket();
    if (!fd) return FailFromErrno();
    // Autobind: an abstract address of our own, so that the endpoint can answer.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0)
        return FailFromErrno();
    if (Win32Error e =
            WithUnixAddress(PacketSocketPath(root), [&](const sockaddr* addr, socklen_t length) {
                return ::connect(fd.Get(), addr, length);
            }))
        return e;
    if (::send(fd.Get(), datagram.data(), datagram.size(), MSG_NOSIGNAL) < 0)
        return FailFromErrno();
    pollfd pfd{fd.Get(), POLLIN, 0};
    // A deadline, so that an interrupted wait goes on with the time left and no timeout, however
    // large or negative, turns into a wait without end.
    const auto deadline =
        std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    int ready;
    do {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        ready =
            ::poll(&pfd, 1, static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX)));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return FailFromErrno();
    if (ready == 0) return Fail(kErrorTimeout);
    ssize_t n = ::recv(fd.Get(), &answer, 1, 0);
    if (n < 0) return FailFromErrno();
    return n == 1 ? kErrorSuccess : Fail(kErrorInvalidData);
}

}  // namespace platform
