// The administrative share of a computer reached over SSH: copy a file there, read one, delete
// one. Each is one of the transport's fixed scripts; the path travels as a line of its input,
// and a file's contents follow it, so no name is ever part of a command.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/ssh/ssh_transport.h"
#include "platform/linux/ssh_channels.h"

namespace platform::ssh {

namespace {

std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

}  // namespace

bool CopyFileTo(int source, std::size_t size, const Place& target, bool failIfExists) {
    const std::string header = Lines({target.computer.root.string(), target.path.string(),
                                      std::to_string(size), failIfExists ? "1" : "0"});
    std::size_t left = size;
    Win32Error readError = kErrorSuccess;
    const Win32Error e = Run(
        target.computer.destination, Command::kWriteFile, header, {},
        [&](std::string& more) {
            if (left == 0) return false;
            more.resize(std::min<std::size_t>(left, 1 << 16));
            ssize_t n;
            do {
                n = ::read(source, more.data(), more.size());
            } while (n < 0 && errno == EINTR);
            if (n <= 0) {
                // A source that shrank: the far side gets less than it was told, and keeps the
                // target as it was.
                readError = n < 0 ? ErrorFromErrno(errno) : kErrorHandleEof;
                left = 0;
                return false;
            }
            more.resize(static_cast<std::size_t>(n));
            left -= static_cast<std::size_t>(n);
            return true;
        });
    if (readError) return Fail(readError), false;
    return e == kErrorSuccess;
}

bool ReadFile(const Place& place, std::size_t maxBytes,
              const std::function<bool(std::string_view)>& piece) {
    bool stopped = false;
    const Win32Error e = Run(place.computer.destination, Command::kReadFile,
                             Lines({place.computer.root.string(), place.path.string(),
                                    std::to_string(maxBytes)}),
                             [&](std::string_view data) {
                                 if (!piece(data)) stopped = true;
                                 return !stopped;
                             });
    // The reader that had enough is no failure.
    if (e == kErrorOperationAborted && stopped) return SetLastError(kErrorSuccess), true;
    return e == kErrorSuccess;
}

bool DeleteFile(const Place& place) {
    return Run(place.computer.destination, Command::kDeleteFile,
               Lines({place.computer.root.string(), place.path.string()}), {}) == kErrorSuccess;
}

}  // namespace platform::ssh
