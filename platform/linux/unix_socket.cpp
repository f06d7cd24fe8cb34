#include "platform/linux/unix_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace platform::posix {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Win32Error WithUnixAddress(const std::filesystem::path& path,
                           const std::function<int(const sockaddr*, socklen_t)>& fn) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string text = path.string();
    UniqueFd dir;
    if (text.size() >= sizeof addr.sun_path) {
        dir = UniqueFd(::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir) return FailFromErrno();
        text = "/proc/self/fd/" + std::to_string(dir.Get()) + "/" + path.filename().string();
        if (text.size() >= sizeof addr.sun_path) return Fail(kErrorFilenameExcedRange);
    }
    std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
    if (fn(reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return FailFromErrno();
    return kErrorSuccess;
}

WakePipe::WakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        read_.Reset(fds[0]);
        write_.Reset(fds[1]);
    }
}

void WakePipe::Signal() {
    // The byte is never drained: the read end stays readable, so every later wait wakes too.
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(write_.Get(), &byte, 1);
}

Win32Error WaitReady(int fd, short events, const WakePipe& wake, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const bool limited = limit.count() > 0;
    const Clock::time_point end = Clock::now() + limit;
    pollfd fds[2] = {{fd, events, 0}, {wake.ReadFd(), POLLIN, 0}};
    for (;;) {
        int wait = -1;
        if (limited) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return Fail(kErrorTimeout);
            wait = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        int n = ::poll(fds, 2, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FailFromErrno();
        }
        if (fds[1].revents) return Fail(kErrorOperationAborted);
        if (fds[0].revents) return kErrorSuccess;
    }
}

Win32Error SocketStream::Read(void* buffer, std::size_t size, std::size_t* read) {
    *read = 0;
    if (size == 0) return kErrorSuccess;
    for (;;) {
        if (Win32Error e = WaitReady(fd_.Get(), POLLIN, wake_, timeout_)) return e;
        ssize_t n = ::recv(fd_.Get(), buffer, size, MSG_DONTWAIT);
        if (n > 0) {
            *read = static_cast<std::size_t>(n);
            return kErrorSuccess;
        }
        if (n == 0) return Fail(kErrorBrokenPipe);
        if (errno == EINTR || errno == EAGAIN) continue;
        if (errno == ECONNRESET || errno == ENOTCONN) return Fail(kErrorBrokenPipe);
        return FailFromErrno();
    }
}

Win32Error SocketStream::Write(const void* buffer, std::size_t size) {
    auto* p = static_cast<const char*>(buffer);
    while (size > 0) {
        if (cancelled_) return Fail(kErrorOperationAborted);
        // Without a limit a full socket blocks the send (Cancel shuts it down to end that);
        // with one, the wait for room is a poll that can give up.
        const int flags = MSG_NOSIGNAL | (timeout_.count() > 0 ? MSG_DONTWAIT : 0);
        ssize_t n = ::send(fd_.Get(), p, size, flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (cancelled_) return Fail(kErrorOperationAborted);
            if (errno == EAGAIN) {
                if (Win32Error e = WaitReady(fd_.Get(), POLLOUT, wake_, timeout_)) return e;
                continue;
            }
            if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)
                return Fail(kErrorNoData);
            return FailFromErrno();
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return kErrorSuccess;
}

void SocketStream::Cancel() {
    cancelled_ = true;
    wake_.Signal();
    // A send blocked on a full socket does not poll; shutting the socket down ends it.
    if (fd_) ::shutdown(fd_.Get(), SHUT_RDWR);
}

}  // namespace platform::posix
