#include "platform/pf_packet.h"

#include <cstring>

namespace platform::pf {

namespace {

std::uint16_t LoadBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

bool ParsePacket(std::span<const std::uint8_t> bytes, Packet& p) {
    p = Packet{};
    if (bytes.size() < kIpHeaderMin) return false;
    const std::uint8_t* b = bytes.data();
    if (b[0] >> 4 != 4) return false;
    std::size_t headerLength = static_cast<std::size_t>(b[0] & 0x0F) * 4;
    std::size_t length = LoadBe16(b + 2);
    if (headerLength < kIpHeaderMin || headerLength > length || length > bytes.size()) return false;

    p.bytes = b;
    p.length = length;
    p.headerLength = headerLength;
    p.id = LoadBe16(b + 4);
    std::uint16_t fragment = LoadBe16(b + 6);
    p.moreFragments = (fragment & 0x2000) != 0;
    p.fragmentOffset = static_cast<std::uint32_t>(fragment & 0x1FFF) * 8;
    p.protocol = b[9];
    std::memcpy(&p.src, b + 12, 4);
    std::memcpy(&p.dst, b + 16, 4);

    if (p.fragmentOffset != 0) return true;  // a later fragment: no transport header
    const std::uint8_t* t = b + headerLength;
    if (p.PayloadLength() < TransportHeaderSize(p.protocol)) {
        // A first fragment may be short (fragment checking judges it); a whole packet may not.
        return p.moreFragments;
    }
    p.hasTransport = true;
    switch (p.protocol) {
        case kProtoTcp:
            p.tcpFlags = t[13];
            [[fallthrough]];
        case kProtoUdp:
            p.srcPort = LoadBe16(t);
            p.dstPort = LoadBe16(t + 2);
            break;
        case kProtoIcmp:
            p.srcPort = t[0];
            p.dstPort = t[1];
            break;
        default:
            break;
    }
    return true;
}

}  // namespace platform::pf
