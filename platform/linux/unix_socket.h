// Unix socket helpers shared by the POSIX ports (pipes, the packet filter driver's socket).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>

#include "platform/errors.h"

namespace platform::posix {

// Calls fn with an address for `path`. sun_path holds 107 bytes; a longer path is reached through
// a descriptor of its directory ("/proc/self/fd/N/name"), which stays open for the call.
Win32Error WithUnixAddress(const std::filesystem::path& path,
                           const std::function<int(const sockaddr*, socklen_t)>& fn);

// Closes fd when it goes out of scope.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// A self-pipe that wakes every poll() that includes ReadFd() once Signal() was called.
class WakePipe {
  public:
    WakePipe();
    bool Valid() const { return static_cast<bool>(read_); }
    int ReadFd() const { return read_.Get(); }
    void Signal();

  private:
    UniqueFd read_, write_;
};

// Waits until fd is ready for `events` or the wake pipe was signalled, at most `limit` (zero: no
// limit). Returns kErrorSuccess when fd is ready, kErrorOperationAborted when woken,
// kErrorTimeout when the limit passed first.
Win32Error WaitReady(int fd, short events, const WakePipe& wake,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(0));

// One connected stream socket as a pipe end sees it: reads and writes with the pipe's errors
// (kErrorBrokenPipe for a read, kErrorNoData for a write once the peer has gone), an optional time
// limit, and a Cancel that ends any wait from another thread. Shared by the pipe ends of this
// machine and the SSH channel, whose near end is a socket too.
class SocketStream {
  public:
    Win32Error Read(void* buffer, std::size_t size, std::size_t* read);
    Win32Error Write(const void* buffer, std::size_t size);
    void Cancel();

    UniqueFd fd_;
    WakePipe wake_;
    std::atomic<bool> cancelled_{false};
    std::chrono::milliseconds timeout_{0};
};

}  // namespace platform::posix
