#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "shared/filter_model.h"
#include "shared/text.h"

using namespace zantor;

TEST(FilterText, PrintsFieldsInDescriptorOrderWithLowPortsFirst) {
    EXPECT_EQ(FilterToStr(FilterRecord{}),
              "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 0 0 0 0 0 0");
    FilterRecord f;
    f.dwFilterFlags = 1;
    f.SrcAddr = StrToIP("10.0.0.0");
    f.SrcMask = StrToIP("255.0.0.0");
    f.dwProtocol = 6;
    f.wDstPort = 80;
    f.wDstPortHighRange = 80;
    f.wSrcPortHighRange = 65535;
    EXPECT_EQ(FilterToStr(f), "1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 65535 80");
    f.dwRule = 4294967295u;  // printed unsigned
    EXPECT_EQ(GetWord(FilterToStr(f), 2), "4294967295");
}

TEST(FilterText, ParsesWhatItPrintsFromAnyStartingWord) {
    const std::string text = "1 7 0 10.1.2.0 255.255.255.0 192.168.0.9 255.255.255.255 17 0 53 "
                             "1024 53 65535";
    FilterRecord f = ParseFilterWords("10.0.0.5 in " + text, 3);
    EXPECT_EQ(FilterToStr(f), text);
    EXPECT_EQ(f.wSrcPort, 53);
    EXPECT_EQ(f.wDstPort, 1024);
    EXPECT_EQ(f.wSrcPortHighRange, 53);
    EXPECT_EQ(f.wDstPortHighRange, 65535);
    EXPECT_EQ(ParseFilterWords(text, 1), f);
}

TEST(FilterText, RefusesEachKindOfBadField) {
    const std::string good = "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80";
    ASSERT_NO_THROW(ParseFilterWords(good, 1));
    struct Case {
        int field;
        const char* value;
    };
    for (Case c : std::vector<Case>{{1, "-1"},
                                    {1, "4294967295"},
                                    {1, "x"},
                                    {2, "2147483648"},
                                    {3, ""},
                                    {4, "1.2.3"},
                                    {5, "255.255.255.256"},
                                    {7, "a.b.c.d"},
                                    {8, "-6"},
                                    {9, "1e3"},
                                    {10, "65536"},
                                    {11, "-1"},
                                    {13, "70000"}}) {
        std::string text;
        for (int k = 1; k <= 13; ++k) {
            if (k > 1) text += ' ';
            text += k == c.field ? std::string(c.value) : std::string(GetWord(good, k));
        }
        EXPECT_THROW(ParseFilterWords(text, 1), ConvertError) << c.field << " = " << c.value;
    }
    EXPECT_THROW(ParseFilterWords("0 0 0 0.0.0.0", 1), ConvertError) << "missing words";
    EXPECT_EQ(ParseFilterWords("2147483647 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 0 0 65535 0 0 0", 1)
                  .wSrcPort,
              65535);
}

TEST(FilterText, SameFilterIgnoresLateBoundOnly) {
    FilterRecord a = ParseFilterWords("0 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80", 1);
    FilterRecord b = a;
    b.fLateBound = 1;
    EXPECT_TRUE(SameFilter(a, b));
    b = a;
    b.dwFilterFlags = 1;
    EXPECT_FALSE(SameFilter(a, b)) << "no-SYN makes another filter";
    b = a;
    b.dwRule = 3;
    EXPECT_FALSE(SameFilter(a, b));
    b = a;
    b.wDstPortHighRange = 81;
    EXPECT_FALSE(SameFilter(a, b));
    b = a;
    b.SrcMask = StrToIP("255.255.0.0");
    EXPECT_FALSE(SameFilter(a, b));
}

TEST(FilterText, Captions) {
    EXPECT_EQ(ProtocolName(1), "ICMP");
    EXPECT_EQ(ProtocolName(6), "TCP");
    EXPECT_EQ(ProtocolName(17), "UDP");
    EXPECT_EQ(ProtocolName(0), "Unkn [0]");
    EXPECT_EQ(ProtocolName(2), "Unkn [2]");
    EXPECT_EQ(ProtocolCaption(0), "Any");
    EXPECT_EQ(ProtocolCaption(17), "UDP");
    EXPECT_EQ(ProtocolCaption(47), "Unk");
    EXPECT_EQ(FlagsCaption(0), "-");
    EXPECT_EQ(FlagsCaption(1), "No SYN");
    EXPECT_EQ(FlagsCaption(2), "Unk");
}

namespace {

// A frame as the filter log lays it out: the fixed part, then `packet`.
std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& packet) {
    std::vector<std::uint8_t> bytes(platform::kPfLogFrameHeaderSize + packet.size() + 8, 0xEE);
    platform::PFLOGFRAME header{};
    header.pfeTypeOfFrame = platform::PFFT_FILTER;
    header.dwTotalSizeUsed = static_cast<std::uint32_t>(platform::kPfLogFrameHeaderSize + packet.size());
    header.wSizeOfIpHeader = 20;
    header.wSizeOfAdditionalData = static_cast<std::uint16_t>(packet.size() - 20);
    std::memcpy(bytes.data(), &header, platform::kPfLogFrameHeaderSize);
    std::memcpy(bytes.data() + platform::kPfLogFrameHeaderSize, packet.data(), packet.size());
    return bytes;
}

std::vector<std::uint8_t> Packet(std::uint8_t protocol, std::vector<std::uint8_t> transport) {
    std::vector<std::uint8_t> p = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, protocol, 0, 0,
                                   10,   0, 0, 5, 10, 0, 0, 1};
    for (std::uint8_t b : transport) p.push_back(b);
    return p;
}

std::string Text(const std::vector<std::uint8_t>& frame) {
    return LogFrameToStr(*reinterpret_cast<const platform::PFLOGFRAME*>(frame.data()));
}

}  // namespace

TEST(LogFrameText, ProtocolsAddressesPortsAndTheDataBytes) {
    std::vector<std::uint8_t> tcp(24, 0);
    tcp[0] = 0x04;  // source port 1034
    tcp[1] = 0x0A;
    tcp[2] = 0;  // destination port 139
    tcp[3] = 139;
    EXPECT_EQ(Text(Frame(Packet(6, tcp))),
              " TCP 10.0.0.5:1034 -> 10.0.0.1:139 Data: ,4,10,0,139,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0");
    std::vector<std::uint8_t> udp = {0, 53, 0x13, 0x88, 0, 9, 0, 0, 1};
    EXPECT_EQ(Text(Frame(Packet(17, udp))),
              " UDP 10.0.0.5:53 -> 10.0.0.1:5000 Data: ,0,53,19,136,0,9,0,0,1");
    EXPECT_EQ(Text(Frame(Packet(1, {8, 0, 0xF7, 0xFF}))),
              " ICMP -> 10.0.0.5 -> 10.0.0.1 Data: ,8,0,247,255");
    EXPECT_EQ(Text(Frame(Packet(2, {1, 2, 3}))), " Unkn [2] Data: ,1,2,3");
}

TEST(LogFrameText, NeverReadsBeyondThePacketData) {
    // The bytes after the packet are 0xEE (238); none may show up.
    auto frame = Frame(Packet(6, {0, 80}));
    std::string text = Text(frame);
    EXPECT_EQ(text.find("238"), std::string::npos) << text;
    EXPECT_EQ(text, " TCP 10.0.0.5:80 -> 10.0.0.1 Data: ,0,80");
    auto shortFrame = Frame(Packet(6, {}));
    EXPECT_EQ(Text(shortFrame), " TCP 10.0.0.5 -> 10.0.0.1 Data: ");
}
