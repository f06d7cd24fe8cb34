// IPv4 packets built from a few fields, for the packet tool and for tests that send packets to
// the filter driver. Checksums are filled in, so the packets are what a real stack would send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "shared/address.h"

namespace zantor {

inline constexpr std::uint8_t kProtocolIcmp = 1;
inline constexpr std::uint8_t kProtocolTcp = 6;
inline constexpr std::uint8_t kProtocolUdp = 17;

inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpRst = 0x04;
inline constexpr std::uint8_t kTcpPsh = 0x08;
inline constexpr std::uint8_t kTcpAck = 0x10;
inline constexpr std::uint8_t kTcpUrg = 0x20;

struct PacketFields {
    std::uint8_t protocol = kProtocolTcp;
    IPAddr src = 0;  // network byte order in memory (MakeIP, StrToIP)
    IPAddr dst = 0;
    std::uint16_t srcPort = 0;  // TCP and UDP
    std::uint16_t dstPort = 0;
    std::uint8_t tcpFlags = 0;
    std::uint8_t icmpType = 8;
    std::uint8_t icmpCode = 0;
    std::uint16_t ipId = 0;
    std::uint16_t fragmentOffset = 0;  // in 8-byte units, as the header holds it (0..8191)
    bool moreFragments = false;
    bool dontFragment = false;
    std::uint8_t ttl = 64;
    // Bytes after the transport header; a later fragment (offset above 0) has no transport
    // header, so these are all its bytes. Cut so that the packet stays within 65,535 bytes.
    std::size_t payloadSize = 0;
};

// The packet: a 20-byte IPv4 header, then (unless a later fragment) the TCP (20 bytes), UDP
// (8 bytes) or ICMP (8 bytes) header, then payloadSize bytes of a counting pattern. Other
// protocols get the payload alone.
std::vector<std::uint8_t> BuildPacket(const PacketFields& fields);

// One fragment of `packet` (a whole packet with a 20-byte header, as BuildPacket makes it): the
// `size` bytes of its data from `offset` (bytes, a multiple of 8; cut at the data's end, zeros
// where it has none), with the same header, the more-fragments flag as `more` says and the
// header checksum made again. Well-formed and malformed fragments alike, for tests.
std::vector<std::uint8_t> MakeFragment(const std::vector<std::uint8_t>& packet, std::size_t offset,
                                       std::size_t size, bool more);

// `packet` cut into fragments at these offsets into its data (ascending multiples of 8).
std::vector<std::vector<std::uint8_t>> FragmentPacket(const std::vector<std::uint8_t>& packet,
                                                      const std::vector<std::size_t>& cuts);

// TCP flags as letters F S R P A U, in any case, optionally separated by commas ("S,A", "sa").
// False for other characters; "" is no flag.
bool ParseTcpFlags(std::string_view text, std::uint8_t& flags);

}  // namespace zantor
