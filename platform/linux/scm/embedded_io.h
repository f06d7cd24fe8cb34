// Small I/O helpers of the service control manager: bounded reads and writes on sockets, Unix
// socket endpoints, durable file replacement and the database lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/errors.h"

namespace platform::posix {

using Deadline = std::chrono::steady_clock::time_point;

// Writes or reads exactly `size` bytes before the deadline. kErrorTimeout when it passes,
// kErrorHandleEof when the peer closed first; other failures map errno.
Win32Error WriteAll(int fd, const void* data, std::size_t size, Deadline deadline);
Win32Error ReadAll(int fd, void* data, std::size_t size, Deadline deadline);

// A listening or connected Unix stream socket (close-on-exec) at `path`; -1 with the last error
// set on failure. Paths longer than a socket address can hold are reached through the
// directory's descriptor. A connection is non-blocking, and waits for a listener whose queue is
// full at most until the deadline (kErrorTimeout).
int ListenUnix(const std::filesystem::path& path);
int ConnectUnix(const std::filesystem::path& path, Deadline deadline);

// Replaces `path` with `text` so that a crash of a process leaves either the old or the new
// contents: a temporary file beside it is written and renamed over it. With `flush` the data and
// the rename are on the disk before the call returns, so that they outlast the machine too.
Win32Error ReplaceFile(const std::filesystem::path& path, const std::string& text, bool flush);

// The whole file; kErrorFileNotFound when it does not exist.
Win32Error ReadWholeFile(const std::filesystem::path& path, std::string& text);

// An exclusive lock on a lock file, held while the object lives (flock: it also excludes other
// threads of this process that open the same file). Another holder is waited for until the
// deadline, after which the lock fails with kErrorServiceDatabaseLocked; it is tried at least
// once, also when the deadline has passed already.
class FileLock {
  public:
    FileLock(const std::filesystem::path& path, Deadline deadline);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // kErrorSuccess when the lock is held.
    Win32Error error() const { return error_; }

  private:
    int fd_ = -1;
    Win32Error error_ = kErrorSuccess;
};

}  // namespace platform::posix
