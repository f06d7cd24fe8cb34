// The packet socket's datagrams, on every platform: one byte direction (0 input, 1 output), the
// 4-byte local address in network byte order, then the IPv4 packet; each is answered with one
// byte, 0 forwarded, 1 dropped. Each platform carries them its own way (pf_socket_posix.cpp,
// pf_socket_win32.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

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

}  // namespace platform::pf
