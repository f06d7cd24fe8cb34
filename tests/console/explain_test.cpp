// The deny log's entries read back into packets, and what drops each under a configuration now.
#include <gtest/gtest.h>

#include <cstring>

#include "console/cli/explain.h"
#include "shared/filter_model.h"
#include "shared/packet_builder.h"

using namespace zantor;
using namespace zantor::console;
using namespace zantor::console::cli;

namespace {

// The deny log's line for `packet` as the service writes it: a time stamp, then the frame's text.
std::string EntryLine(const std::vector<std::uint8_t>& packet) {
    const std::size_t logged = std::min<std::size_t>(packet.size(), 20 + 128);
    std::vector<std::uint8_t> bytes(platform::kPfLogFrameHeaderSize + logged + 8, 0);
    platform::PFLOGFRAME header{};
    header.pfeTypeOfFrame = platform::PFFT_FILTER;
    header.dwTotalSizeUsed = static_cast<std::uint32_t>(platform::kPfLogFrameHeaderSize + logged);
    header.wSizeOfIpHeader = 20;
    header.wSizeOfAdditionalData = static_cast<std::uint16_t>(logged - 20);
    std::memcpy(bytes.data(), &header, platform::kPfLogFrameHeaderSize);
    std::memcpy(bytes.data() + platform::kPfLogFrameHeaderSize, packet.data(), logged);
    return "12/09/26 17:40:03 " +
           LogFrameToStr(*reinterpret_cast<const platform::PFLOGFRAME*>(bytes.data()));
}

PacketFields Tcp(const char* src, std::uint16_t sport, const char* dst, std::uint16_t dport,
                 std::uint8_t flags) {
    PacketFields f;
    f.protocol = kProtocolTcp;
    f.src = StrToIP(src);
    f.dst = StrToIP(dst);
    f.srcPort = sport;
    f.dstPort = dport;
    f.tcpFlags = flags;
    return f;
}

FilterRecord FilterText(const std::string& text) {
    return ParseFilterWords(text, 1);
}

const std::string kWebIn = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80";
const std::string kSmtpOut = "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 25 0 25";
const std::string kNoSynIn = "1 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 22 0 22";

AddressState Address(const char* address, bool filtering, int in, int out,
                     std::vector<FilterRecord> inFilters = {},
                     std::vector<FilterRecord> outFilters = {}, std::uint32_t globals = 0) {
    AddressState a;
    a.address = address;
    a.mask = "255.255.255.0";
    a.filtering = filtering;
    a.in = in;
    a.out = out;
    a.filters[0] = std::move(inFilters);
    a.filters[1] = std::move(outFilters);
    a.globals = globals;
    return a;
}

std::string Explained(DenyExplainer& explainer, const PacketFields& fields) {
    const std::optional<DenyEntry> entry = ParseDenyEntry(EntryLine(BuildPacket(fields)));
    EXPECT_TRUE(entry);
    return entry ? explainer.Explain(*entry) : std::string();
}

}  // namespace

TEST(DenyEntry, AnEntryReadsBackIntoThePacketItWasWrittenFor) {
    PacketFields syn = Tcp("10.0.0.9", 40000, "10.0.0.5", 80, kTcpSyn);
    PacketFields udp = syn;
    udp.protocol = kProtocolUdp;
    udp.dstPort = 53;
    PacketFields ping = syn;
    ping.protocol = kProtocolIcmp;
    ping.icmpType = 3;
    ping.icmpCode = 4;
    for (const PacketFields& f : {syn, udp, ping}) {
        const std::string line = EntryLine(BuildPacket(f));
        const std::optional<DenyEntry> entry = ParseDenyEntry(line);
        ASSERT_TRUE(entry) << line;
        EXPECT_EQ(entry->protocol, f.protocol) << line;
        EXPECT_EQ(entry->src, f.src);
        EXPECT_EQ(entry->dst, f.dst);
        // The packet made of it is logged exactly as the original was.
        EXPECT_EQ(EntryLine(EntryPacket(*entry)), line);
        if (f.protocol != kProtocolIcmp) {
            EXPECT_EQ(entry->dstPort, f.dstPort);
        }
    }
    // A time stamp at midnight has no time; an entry in a line with a CR at its end still reads.
    const std::string midnight =
        "12/10/26 " + EntryLine(BuildPacket(syn)).substr(std::string("12/09/26 17:40:03 ").size()) +
        "\r";
    ASSERT_TRUE(ParseDenyEntry(midnight));
    EXPECT_EQ(EntryLine(EntryPacket(*ParseDenyEntry(midnight))), EntryLine(BuildPacket(syn)));
}

TEST(DenyEntry, LinesThatAreNoEntryWithAddressesAreRefused) {
    for (const char* line : {
             "",
             "12/09/26 17:40:03  Unkn [2] Data: ,1,2,3",
             "12/09/26 17:40:03  TCP 10.0.0.9:1 -> 10.0.0.5:80",             // no data
             "12/09/26 17:40:03  TCP 10.0.0.9:1 -> 10.0.0.300:80 Data: ,1",  // no address
             "12/09/26 17:40:03  TCP 10.0.0.9:70000 -> 10.0.0.5:80 Data: ,1",
             "12/09/26 17:40:03  TCP 10.0.0.9:1 10.0.0.5:80 Data: ,1",
             "12/09/26 17:40:03  TCP 10.0.0.9:1 -> 10.0.0.5:80 Data: ,256",
             "12/09/26 17:40:03  TCP 10.0.0.9:1 -> 10.0.0.5:80 Data: 1,2",
             "12/09/26 17:40:03  ICMP 10.0.0.9 -> 10.0.0.5 Data: ,8,0",
             "12/09/26 17:40:03  ICMP -> 10.0.0.9:5 -> 10.0.0.5 Data: ,8,0",
             "12/09/26 17:40:03  UDP 10.0.0.9:1 -> 10.0.0.5:53 extra Data: ,1",
         })
        EXPECT_FALSE(ParseDenyEntry(line)) << line;
}

TEST(DenyExplanation, TheFilterTheDefaultActionOrTheGlobalFilterThatDropsItNow) {
    // Input forwards but for the web filter; output drops but for SMTP; 192.168.1.20 has strong
    // host checking; 172.16.0.1 filters no more.
    DenyExplainer explainer(
        ComputerState{
            Address("10.0.0.5", true, 0, 1, {FilterText(kNoSynIn), FilterText(kWebIn)},
                    {FilterText(kSmtpOut)}),
            Address("192.168.1.20", true, 0, 0, {}, {}, 1u << 8),
            Address("172.16.0.1", false, 0, 0),
        },
        "PC1");
    EXPECT_EQ(Explained(explainer, Tcp("10.0.0.9", 40000, "10.0.0.5", 80, kTcpSyn)),
              "dropped now by input filter 1 of 10.0.0.5: " + kWebIn);
    EXPECT_EQ(Explained(explainer, Tcp("10.0.0.9", 40000, "10.0.0.5", 22, kTcpAck)),
              "dropped now by input filter 0 of 10.0.0.5: " + kNoSynIn);
    // The No SYN filter leaves a SYN to the default, which forwards.
    EXPECT_EQ(Explained(explainer, Tcp("10.0.0.9", 40000, "10.0.0.5", 22, kTcpSyn)),
              "passes now: the filtering of 10.0.0.5 lets it through");
    EXPECT_EQ(Explained(explainer, Tcp("10.0.0.5", 40000, "10.0.0.9", 443, kTcpSyn)),
              "dropped now by the output default action of 10.0.0.5 (drop)");
    EXPECT_EQ(Explained(explainer, Tcp("10.0.0.5", 40000, "10.0.0.9", 25, kTcpSyn)),
              "passes now: the filtering of 10.0.0.5 lets it through");
    EXPECT_EQ(Explained(explainer, Tcp("10.0.0.9", 40000, "172.16.0.1", 80, kTcpSyn)),
              "172.16.0.1 does not filter any more: nothing drops this packet now");
    EXPECT_EQ(Explained(explainer, Tcp("10.0.0.9", 40000, "10.1.1.1", 80, kTcpSyn)),
              "dropped now by strong host checking (global filter 8) of 192.168.1.20");

    DenyExplainer none(ComputerState{Address("10.0.0.5", true, 0, 0)}, "PC1");
    EXPECT_EQ(Explained(none, Tcp("10.0.0.9", 40000, "10.1.1.1", 80, kTcpSyn)),
              "neither 10.0.0.9 nor 10.1.1.1 is an address of PC1 that filters: nothing drops "
              "this packet now");
}

TEST(DenyExplanation, ADropInOneEntryLeavesTheNextUnexplainedByIt) {
    // The engine of an address serves every entry: each is explained by its own packet alone.
    DenyExplainer explainer(ComputerState{Address("10.0.0.5", true, 1, 0, {FilterText(kWebIn)})},
                            "PC1");
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Explained(explainer, Tcp("10.0.0.9", 40000, "10.0.0.5", 81, kTcpSyn)),
                  "dropped now by the input default action of 10.0.0.5 (drop)");
        EXPECT_EQ(Explained(explainer, Tcp("10.0.0.9", 40000, "10.0.0.5", 80, kTcpSyn)),
                  "passes now: the filtering of 10.0.0.5 lets it through");
    }
}
