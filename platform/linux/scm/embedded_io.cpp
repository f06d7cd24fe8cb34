#include "platform/linux/scm/embedded_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::posix {

namespace fs = std::filesystem;

namespace {

// Waits until `fd` is ready for `events`; kErrorTimeout when the deadline passes first.
Win32Error WaitReady(int fd, short events, Deadline deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1 << 30)));
        if (r > 0) return kErrorSuccess;
        if (r == 0) return Fail(kErrorTimeout);
        if (errno != EINTR) return FailFromErrno();
    }
}

// Waits a little before the next try of something that cannot be waited for with poll, longer
// each time; false, without waiting, once the deadline has passed.
bool PauseBeforeRetry(Deadline deadline, std::chrono::milliseconds& pause) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    poll(nullptr, 0, static_cast<int>(std::min(pause, left).count()));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
    return true;
}

// Connects or binds a Unix socket at `path`.
int OpenUnix(const fs::path& path, bool listen, Deadline deadline) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (listen ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) return FailFromErrno(), -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string name = path.string();
    int dirFd = -1;
    if (name.size() >= sizeof addr.sun_path) {
        // Too long for the address: name the directory by an open descriptor instead.
        dirFd = open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) {
            FailFromErrno();
            close(fd);
            return -1;
        }
        name = "/proc/self/fd/" + std::to_string(dirFd) + "/" + path.filename().string();
        if (name.size() >= sizeof addr.sun_path) {
            close(dirFd);
            close(fd);
            return Fail(kErrorFilenameExcedRange), -1;
        }
    }
    std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
    int r;
    if (listen) {
        unlink(name.c_str());
        r = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (r == 0) r = ::listen(fd, 16);
    } else {
        // A listener whose queue is full (its process stopped, or its handler busy) refuses a
        // non-blocking connection with EAGAIN, and a Unix socket cannot be polled for the moment
        // it makes room: the connection is tried again until the deadline.
        auto pause = std::chrono::milliseconds(1);
        do {
            r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        } while (r != 0 &&
                 (errno == EINTR || (errno == EAGAIN && PauseBeforeRetry(deadline, pause))));
    }
    int err = errno;
    if (dirFd >= 0) close(dirFd);
    if (r != 0) {
        close(fd);
        Fail(err == EAGAIN && !listen ? kErrorTimeout : ErrorFromErrno(err));
        return -1;
    }
    return fd;
}

}  // namespace

Win32Error WriteAll(int fd, const void* data, std::size_t size, Deadline deadline) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        if (Win32Error e = WaitReady(fd, POLLOUT, deadline)) return e;
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return errno == EPIPE || errno == ECONNRESET ? Fail(kErrorHandleEof) : FailFromErrno();
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return kErrorSuccess;
}

Win32Error ReadAll(int fd, void* data, std::size_t size, Deadline deadline) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        if (Win32Error e = WaitReady(fd, POLLIN, deadline)) return e;
        // Only after poll said so: read returns what is there without waiting for more.
        ssize_t n = read(fd, p, size);
        if (n == 0) return Fail(kErrorHandleEof);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return errno == ECONNRESET ? Fail(kErrorHandleEof) : FailFromErrno();
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return kErrorSuccess;
}

int ListenUnix(const fs::path& path) {
    return OpenUnix(path, true, Deadline());
}

int ConnectUnix(const fs::path& path, Deadline deadline) {
    return OpenUnix(path, false, deadline);
}

Win32Error ReplaceFile(const fs::path& path, const std::string& text, bool flush) {
    fs::path temp = path;
    temp += ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return FailFromErrno();
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Win32Error e = FailFromErrno();
            close(fd);
            unlink(temp.c_str());
            return e;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if ((flush && fsync(fd) != 0) || close(fd) != 0) {
        Win32Error e = FailFromErrno();
        unlink(temp.c_str());
        return e;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        Win32Error e = FailFromErrno();
        unlink(temp.c_str());
        return e;
    }
    // The rename itself lasts only once the directory is flushed.
    int dir = flush ? open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return kErrorSuccess;
}

Win32Error ReadWholeFile(const fs::path& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailFromErrno();
    text.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Win32Error e = FailFromErrno();
            close(fd);
            return e;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        // Our records are small; anything this large is not one of them.
        if (text.size() > (1u << 20)) {
            close(fd);
            return Fail(kErrorFileCorrupt);
        }
    }
    close(fd);
    return kErrorSuccess;
}

FileLock::FileLock(const fs::path& path, Deadline deadline) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error_ = FailFromErrno();
        return;
    }
    // Never a blocking flock: a holder that is stopped or hangs would keep every caller waiting.
    auto pause = std::chrono::milliseconds(1);
    int r;
    do {
        r = flock(fd_, LOCK_EX | LOCK_NB);
    } while (r != 0 &&
             (errno == EINTR || (errno == EWOULDBLOCK && PauseBeforeRetry(deadline, pause))));
    if (r != 0) {
        error_ = errno == EWOULDBLOCK ? Fail(kErrorServiceDatabaseLocked) : FailFromErrno();
        close(fd_);
        fd_ = -1;
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) close(fd_);  // closing the last descriptor releases the lock
}

}  // namespace platform::posix
