// Packets from the builder: what the driver reads back from them, and valid checksums.
#include <gtest/gtest.h>

#include "platform/pf_packet.h"
#include "shared/packet_builder.h"

using namespace zantor;

namespace {

// The ones' complement sum over a range, with an optional pseudo header; 0xFFFF when valid.
std::uint32_t Sum(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i < n; ++i) sum += i % 2 ? p[i] : p[i] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

TEST(PacketBuilder, DriverReadsBackWhatWasBuilt) {
    auto make = [](std::uint8_t proto, std::uint16_t offset8, bool more, std::size_t payload) {
        PacketFields s;
        s.protocol = proto;
        s.src = MakeIP(192, 168, 1, 20);
        s.dst = MakeIP(10, 0, 0, 5);
        s.srcPort = 40000;
        s.dstPort = 443;
        s.tcpFlags = kTcpSyn | kTcpAck;
        s.icmpType = 3;
        s.icmpCode = 4;
        s.ipId = 0xBEEF;
        s.fragmentOffset = offset8;
        s.moreFragments = more;
        s.payloadSize = payload;
        return s;
    };
    const PacketFields fieldSets[] = {
        make(kProtocolTcp, 0, false, 5),  make(kProtocolUdp, 0, false, 0),
        make(kProtocolIcmp, 0, false, 9), make(47, 0, false, 3),
        make(kProtocolTcp, 0, true, 4),   make(kProtocolTcp, 185, false, 11),
    };
    for (const PacketFields& s : fieldSets) {
        SCOPED_TRACE(testing::Message() << int(s.protocol) << " offset " << s.fragmentOffset);
        auto bytes = BuildPacket(s);
        platform::pf::Packet p;
        ASSERT_TRUE(platform::pf::ParsePacket(bytes, p));
        EXPECT_EQ(p.length, bytes.size());
        EXPECT_EQ(p.src, s.src);
        EXPECT_EQ(p.dst, s.dst);
        EXPECT_EQ(p.protocol, s.protocol);
        EXPECT_EQ(p.id, s.ipId);
        EXPECT_EQ(p.fragmentOffset, s.fragmentOffset * 8u);
        EXPECT_EQ(p.moreFragments, s.moreFragments);
        EXPECT_EQ(Sum(bytes.data(), 20), 0xFFFFu) << "IP header checksum";
        if (s.fragmentOffset != 0) {
            EXPECT_FALSE(p.hasTransport);
            EXPECT_EQ(bytes.size(), 20 + s.payloadSize) << "no transport header";
            continue;
        }
        ASSERT_TRUE(p.hasTransport);
        const std::uint8_t* t = bytes.data() + 20;
        std::size_t segment = bytes.size() - 20;
        std::uint32_t pseudo = Sum(bytes.data() + 12, 8, s.protocol + std::uint32_t(segment));
        switch (s.protocol) {
            case kProtocolTcp:
                EXPECT_EQ(p.tcpFlags, s.tcpFlags);
                [[fallthrough]];
            case kProtocolUdp:
                EXPECT_EQ(p.srcPort, s.srcPort);
                EXPECT_EQ(p.dstPort, s.dstPort);
                EXPECT_EQ(Sum(t, segment, pseudo), 0xFFFFu) << "transport checksum";
                break;
            case kProtocolIcmp:
                EXPECT_EQ(p.srcPort, s.icmpType);
                EXPECT_EQ(p.dstPort, s.icmpCode);
                EXPECT_EQ(Sum(t, segment), 0xFFFFu);
                break;
            default:
                EXPECT_EQ(bytes.size(), 23u);
        }
    }
    PacketFields huge;
    huge.payloadSize = 100000;
    EXPECT_EQ(BuildPacket(huge).size(), 65535u);
}

TEST(PacketBuilder, FragmentsCarryTheDatagramAndValidHeaders) {
    PacketFields s;
    s.protocol = kProtocolUdp;
    s.src = MakeIP(10, 0, 0, 1);
    s.dst = MakeIP(10, 0, 0, 2);
    s.ipId = 0x1234;
    s.payloadSize = 50;  // 58 bytes of data after the header
    const auto whole = BuildPacket(s);
    const auto pieces = FragmentPacket(whole, {16, 40, 100});  // a cut past the end is left out
    ASSERT_EQ(pieces.size(), 3u);
    std::vector<std::uint8_t> data;
    const std::size_t offsets[] = {0, 16, 40};
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        platform::pf::Packet p;
        ASSERT_TRUE(platform::pf::ParsePacket(pieces[i], p)) << i;
        EXPECT_EQ(p.fragmentOffset, offsets[i]);
        EXPECT_EQ(p.moreFragments, i + 1 < pieces.size());
        EXPECT_EQ(p.id, 0x1234);
        EXPECT_EQ(Sum(pieces[i].data(), 20), 0xFFFFu) << i;
        data.insert(data.end(), pieces[i].begin() + 20, pieces[i].end());
    }
    EXPECT_EQ(data, std::vector<std::uint8_t>(whole.begin() + 20, whole.end()));

    // Pieces made by hand: any size, zeros where the datagram has no data.
    const auto odd = MakeFragment(whole, 56, 13, true);
    platform::pf::Packet p;
    ASSERT_TRUE(platform::pf::ParsePacket(odd, p));
    EXPECT_EQ(p.PayloadLength(), 13u);
    EXPECT_EQ(odd[20], whole[76]);
    EXPECT_EQ(odd[22], 0);
    EXPECT_EQ(Sum(odd.data(), 20), 0xFFFFu);
    EXPECT_EQ(MakeFragment(whole, 8, 0, true).size(), 20u);
}

TEST(PacketBuilder, TcpFlagLetters) {
    const std::pair<const char*, int> cases[] = {
        {"", 0},
        {"S", kTcpSyn},
        {"s,a", kTcpSyn | kTcpAck},
        {"FSRPAU", 0x3F},
        {"A,,P", kTcpAck | kTcpPsh},
        {"X", -1},
        {"S A", -1},
    };
    for (const auto& [text, expected] : cases) {
        std::uint8_t flags = 0xFF;
        EXPECT_EQ(ParseTcpFlags(text, flags), expected >= 0) << text;
        EXPECT_EQ(flags, expected >= 0 ? expected : 0xFF) << text << ": unchanged on failure";
    }
}

}  // namespace
