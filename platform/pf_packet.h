// Reading an IPv4 packet for the filter engine: the few fields a decision looks at, taken from
// bytes that are never trusted. Internal to the driver; tests use it through the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace platform::pf {

inline constexpr std::uint8_t kProtoIcmp = 1;
inline constexpr std::uint8_t kProtoTcp = 6;
inline constexpr std::uint8_t kProtoUdp = 17;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::size_t kIpHeaderMin = 20;

// Bytes of the transport header a decision needs: the whole TCP, UDP or ICMP header, nothing for
// other protocols.
constexpr std::size_t TransportHeaderSize(std::uint8_t protocol) {
    switch (protocol) {
        case kProtoTcp:
            return 20;
        case kProtoUdp:
            return 8;
        case kProtoIcmp:
            return 8;
        default:
            return 0;
    }
}

struct Packet {
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;  // the total length field: bytes after it are padding
    std::size_t headerLength = 0;
    std::uint32_t src = 0;  // network byte order in memory
    std::uint32_t dst = 0;
    std::uint8_t protocol = 0;
    std::uint16_t id = 0;
    std::uint32_t fragmentOffset = 0;  // in bytes
    bool moreFragments = false;
    // The transport fields below were read: an unfragmented packet or a first fragment long
    // enough to hold the transport header.
    bool hasTransport = false;
    std::uint16_t srcPort = 0;  // TCP and UDP ports; ICMP type
    std::uint16_t dstPort = 0;  // ICMP code
    std::uint8_t tcpFlags = 0;

    bool IsFragment() const { return fragmentOffset != 0 || moreFragments; }
    std::size_t PayloadLength() const { return length - headerLength; }
};

// False for bytes that are not a readable IPv4 packet (see platform/pf.h for the rules).
bool ParsePacket(std::span<const std::uint8_t> bytes, Packet& packet);

}  // namespace platform::pf
