// The packet socket's datagrams, on every platform: one byte direction (0 input, 1 output), the
// 4-byte local address in network byte order, then the IPv4 packet; each is answered with one
// byte, 0 forwarded, 1 dropped. Each platform carries them its own way
// (linux/pf_socket_posix.cpp, win32/pf_socket_win32.cpp); the endpoint's life around that is
// the same everywhere (pf_datagram.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/pf.h"

namespace platform::pf {

inline constexpr std::size_t kDatagramHeader = 5;  // direction byte, local address
inline constexpr std::size_t kMaxDatagram = kDatagramHeader + 65535;
inline constexpr std::uint8_t kAnswerForward = 0;
inline constexpr std::uint8_t kAnswerDrop = 1;

// The driver's answer to one datagram of `size` bytes at `data`; a malformed one (too short, too
// long, another direction byte) is dropped and counted in `malformed`.
std::uint8_t AnswerDatagram(PacketFilterDriver& driver, const std::uint8_t* data, std::size_t size,
                            std::atomic<std::uint64_t>& malformed);

// One system's way of carrying the datagrams to a PacketEndpoint and its answers back. The
// endpoint opens it, serves it on a thread of its own until it interrupts it, and closes it.
class DatagramTransport {
  public:
    using Answer = std::function<std::uint8_t(const std::uint8_t* data, std::size_t size)>;

    virtual ~DatagramTransport() = default;
    // Makes the endpoint's place in the computer root `root`: kErrorSharingViolation where a
    // live endpoint serves it already.
    virtual Win32Error Open(const std::filesystem::path& root) = 0;
    // Receives datagrams, each answered with the byte `answer` gives, until Interrupt.
    virtual void Serve(const Answer& answer) = 0;
    // Ends Serve promptly, from another thread.
    virtual void Interrupt() = 0;
    // Takes the place away again, and whatever an Open that failed half way left.
    virtual void Close() = 0;
};

// This system's transport.
std::unique_ptr<DatagramTransport> MakeDatagramTransport();

}  // namespace platform::pf
