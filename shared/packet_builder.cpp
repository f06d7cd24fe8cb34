#include "shared/packet_builder.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace zantor {

namespace {

constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kMaxPacket = 65535;

void StoreBe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// The Internet checksum's running sum, 16-bit big-endian words.
std::uint32_t SumWords(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    return sum;
}

std::uint16_t Fold(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::size_t TransportSize(const PacketFields& s) {
    if (s.fragmentOffset != 0) return 0;
    switch (s.protocol) {
        case kProtocolTcp:
            return 20;
        case kProtocolUdp:
            return 8;
        case kProtocolIcmp:
            return 8;
        default:
            return 0;
    }
}

}  // namespace

std::vector<std::uint8_t> BuildPacket(const PacketFields& s) {
    std::size_t transport = TransportSize(s);
    std::size_t payload = std::min(s.payloadSize, kMaxPacket - kIpHeader - transport);
    std::size_t total = kIpHeader + transport + payload;
    std::vector<std::uint8_t> p(total, 0);

    std::uint8_t* ip = p.data();
    ip[0] = 0x45;
    StoreBe16(ip + 2, static_cast<std::uint32_t>(total));
    StoreBe16(ip + 4, s.ipId);
    StoreBe16(ip + 6, (s.dontFragment ? 0x4000u : 0u) | (s.moreFragments ? 0x2000u : 0u) |
                          (s.fragmentOffset & 0x1FFFu));
    ip[8] = s.ttl;
    ip[9] = s.protocol;
    std::memcpy(ip + 12, &s.src, 4);
    std::memcpy(ip + 16, &s.dst, 4);
    StoreBe16(ip + 10, Fold(SumWords(ip, kIpHeader)));

    std::uint8_t* t = ip + kIpHeader;
    for (std::size_t i = 0; i < payload; ++i) t[transport + i] = static_cast<std::uint8_t>(i);
    if (transport == 0) return p;

    std::size_t segment = transport + payload;
    std::uint32_t pseudo = SumWords(ip + 12, 8) + s.protocol + static_cast<std::uint32_t>(segment);
    switch (s.protocol) {
        case kProtocolTcp:
            StoreBe16(t, s.srcPort);
            StoreBe16(t + 2, s.dstPort);
            t[12] = 5 << 4;  // header length in 32-bit words
            t[13] = s.tcpFlags;
            StoreBe16(t + 14, 65535);  // window
            StoreBe16(t + 16, Fold(SumWords(t, segment, pseudo)));
            break;
        case kProtocolUdp: {
            StoreBe16(t, s.srcPort);
            StoreBe16(t + 2, s.dstPort);
            StoreBe16(t + 4, static_cast<std::uint32_t>(segment));
            std::uint16_t sum = Fold(SumWords(t, segment, pseudo));
            StoreBe16(t + 6, sum == 0 ? 0xFFFF : sum);  // 0 would mean "no checksum"
            break;
        }
        case kProtocolIcmp:
            t[0] = s.icmpType;
            t[1] = s.icmpCode;
            StoreBe16(t + 2, Fold(SumWords(t, segment)));
            break;
        default:
            break;
    }
    return p;
}

std::vector<std::uint8_t> MakeFragment(const std::vector<std::uint8_t>& packet, std::size_t offset,
                                       std::size_t size, bool more) {
    std::vector<std::uint8_t> f(kIpHeader + size, 0);
    const std::size_t data = packet.size() > kIpHeader ? packet.size() - kIpHeader : 0;
    std::memcpy(f.data(), packet.data(), std::min(kIpHeader, packet.size()));
    if (offset < data)
        std::memcpy(f.data() + kIpHeader, packet.data() + kIpHeader + offset,
                    std::min(size, data - offset));
    StoreBe16(f.data() + 2, static_cast<std::uint32_t>(f.size()));
    const std::uint32_t dontFragment = (f[6] << 8 | f[7]) & 0x4000u;
    StoreBe16(f.data() + 6, dontFragment | (more ? 0x2000u : 0u) |
                                (static_cast<std::uint32_t>(offset / 8) & 0x1FFFu));
    StoreBe16(f.data() + 10, 0);
    StoreBe16(f.data() + 10, Fold(SumWords(f.data(), kIpHeader)));
    return f;
}

std::vector<std::vector<std::uint8_t>> FragmentPacket(const std::vector<std::uint8_t>& packet,
                                                      const std::vector<std::size_t>& cuts) {
    const std::size_t data = packet.size() > kIpHeader ? packet.size() - kIpHeader : 0;
    std::vector<std::vector<std::uint8_t>> pieces;
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        if (cut <= at || cut >= data) continue;
        pieces.push_back(MakeFragment(packet, at, cut - at, true));
        at = cut;
    }
    pieces.push_back(MakeFragment(packet, at, data - at, false));
    return pieces;
}

bool ParseTcpFlags(std::string_view text, std::uint8_t& flags) {
    std::uint8_t result = 0;
    for (char c : text) {
        switch (std::toupper(static_cast<unsigned char>(c))) {
            case 'F':
                result |= kTcpFin;
                break;
            case 'S':
                result |= kTcpSyn;
                break;
            case 'R':
                result |= kTcpRst;
                break;
            case 'P':
                result |= kTcpPsh;
                break;
            case 'A':
                result |= kTcpAck;
                break;
            case 'U':
                result |= kTcpUrg;
                break;
            case ',':
                break;
            default:
                return false;
        }
    }
    flags = result;
    return true;
}

}  // namespace zantor
