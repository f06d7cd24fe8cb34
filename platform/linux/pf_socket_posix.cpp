// The driver's packet socket: a Unix datagram socket in the computer root that answers every
// packet with the driver's verdict, and the client side that tools and tests send through.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/linux/unix_socket.h"
#include "platform/pf.h"
#include "platform/pf_datagram.h"

namespace platform {

namespace fs = std::filesystem;
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

// A Unix datagram socket at driver/packets, owner-only.
class UnixDatagramTransport final : public pf::DatagramTransport {
  public:
    Win32Error Open(const fs::path& root) override {
        fs::path dir = PacketSocketPath(root).parent_path();
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) return Fail(ErrorFromErrno(ec.value()));
        // The fresh socket is open to all between its bind and its chmod; in a directory only we
        // may enter, nobody else can reach it then.
        if (::chmod(dir.c_str(), 0700) != 0) return FailFromErrno();
        path_ = PacketSocketPath(root);
        if (EndpointAlive(path_)) return Fail(kErrorSharingViolation);

        // Bound under a name of its own, made owner-only, then moved over the old file, so that
        // no client ever sees a socket it may not use and a stale file never blocks us.
        fs::path fresh = dir / ("packets." + std::to_string(::getpid()) + ".new");
        ::unlink(fresh.c_str());
        socket_ = DatagramSocket();
        if (!socket_) return FailFromErrno();
        if (Win32Error e = WithUnixAddress(fresh, [&](const sockaddr* addr, socklen_t length) {
                return ::bind(socket_.Get(), addr, length);
            }))
            return e;
        if (::chmod(fresh.c_str(), 0600) != 0 || ::rename(fresh.c_str(), path_.c_str()) != 0 ||
            ::lstat(path_.c_str(), &socketFile_) != 0) {
            Win32Error e = FailFromErrno();
            ::unlink(fresh.c_str());
            return e;
        }
        wake_ = WakePipe();  // a fresh one: a signalled pipe stays readable
        return wake_.Valid() ? kErrorSuccess : FailFromErrno();
    }

    void Serve(const Answer& answer) override {
        std::vector<std::uint8_t> buffer(kMaxDatagram + 1);
        while (posix::WaitReady(socket_.Get(), POLLIN, wake_) == kErrorSuccess) {
            sockaddr_un from{};
            socklen_t fromLength = sizeof from;
            ssize_t n =
                ::recvfrom(socket_.Get(), buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) continue;
            std::uint8_t reply = answer(buffer.data(), static_cast<std::size_t>(n));
            if (fromLength > sizeof(sa_family_t))
                ::sendto(socket_.Get(), &reply, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&from), fromLength);
        }
    }

    void Interrupt() override { wake_.Signal(); }

    void Close() override {
        if (socket_) {
            socket_.Reset();
            if (SameFile(path_, socketFile_)) ::unlink(path_.c_str());
        }
    }

  private:
    UniqueFd socket_;
    WakePipe wake_;
    fs::path path_;
    struct stat socketFile_ {};
};

}  // namespace

std::unique_ptr<pf::DatagramTransport> pf::MakeDatagramTransport() {
    return std::make_unique<UnixDatagramTransport>();
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
