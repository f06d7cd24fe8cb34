#include "platform/linux/scm/embedded_common.h"

#include <charconv>
#include <cstring>

namespace platform::posix {

namespace {

// Bounds of a start request a dispatcher accepts: far above any real use, low enough that a
// bogus peer cannot make it allocate without end.
constexpr std::uint32_t kMaxArguments = 4096;
constexpr std::uint32_t kMaxArgumentBytes = 1u << 20;

}  // namespace

Win32Error SendStartArguments(int fd, const std::vector<std::string>& args, Deadline deadline) {
    std::string message;
    auto put = [&message](std::uint32_t v) {
        message.append(reinterpret_cast<const char*>(&v), sizeof v);
    };
    put(static_cast<std::uint32_t>(args.size()));
    for (const std::string& a : args) {
        put(static_cast<std::uint32_t>(a.size()));
        message += a;
    }
    return WriteAll(fd, message.data(), message.size(), deadline);
}

Win32Error ReceiveStartArguments(int fd, std::vector<std::string>& args, Deadline deadline) {
    std::uint32_t count = 0;
    if (Win32Error e = ReadAll(fd, &count, sizeof count, deadline)) return e;
    if (count > kMaxArguments) return Fail(kErrorInvalidData);
    std::uint32_t total = 0;
    args.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t size = 0;
        if (Win32Error e = ReadAll(fd, &size, sizeof size, deadline)) return e;
        if (size > kMaxArgumentBytes - total) return Fail(kErrorInvalidData);
        total += size;
        std::string arg(size, '\0');
        if (Win32Error e = ReadAll(fd, arg.data(), size, deadline)) return e;
        args.push_back(std::move(arg));
    }
    return kErrorSuccess;
}

}  // namespace platform::posix
