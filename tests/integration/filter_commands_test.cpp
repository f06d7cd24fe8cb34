// Filtering, filter and global filter commands over the real pipe, and the packets they decide.
#include <gtest/gtest.h>

#include "platform/pf.h"
#include "shared/packet_builder.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"
#include "tests/support/service_process.h"

using namespace zantor;
using namespace zantor::test;

namespace {

const std::string kWebIn = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80";
const std::string kDnsIn = "0 0 0 192.168.0.0 255.255.0.0 0.0.0.0 0.0.0.0 17 0 0 53 0 53";
const std::string kPingIn = "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 1 0 8 0 8 0";

// Sends a TCP or UDP packet to 10.0.0.5 from 10.0.0.9 and says whether it passed.
class Packets {
  public:
    explicit Packets(const Computer& pc) : pc_(pc) {}

    std::string Verdict(platform::PacketDirection dir, PacketFields fields) const {
        auto bytes = BuildPacket(fields);
        platform::PFFORWARD_ACTION verdict{};
        platform::Win32Error e =
            platform::SendTestPacket(pc_.root(), dir, MakeIP(10, 0, 0, 5), bytes, verdict);
        if (e) return "error " + std::to_string(e);
        return verdict == platform::PF_ACTION_FORWARD ? "forward" : "drop";
    }
    std::string In(std::uint8_t protocol, std::uint16_t dstPort, std::uint8_t flags = kTcpAck,
                   IPAddr src = MakeIP(10, 0, 0, 9)) const {
        PacketFields fields;
        fields.protocol = protocol;
        fields.src = src;
        fields.dst = MakeIP(10, 0, 0, 5);
        fields.srcPort = 40000;
        fields.dstPort = dstPort;
        fields.tcpFlags = flags;
        return Verdict(platform::PacketDirection::kInput, fields);
    }

  private:
    const Computer& pc_;
};

class FilterCommands : public ::testing::Test {
  protected:
    Computer pc;
    ServiceProcess svc{pc};
    Client client;
    Packets packets{pc};
};

}  // namespace

TEST_F(FilterCommands, StartAndStopFilteringResultCodesAndGreeting) {
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.Command("staf 10.9.9.9 1 0"), "-1");
    EXPECT_EQ(client.Command("stof 10.0.0.5"), "-2");
    EXPECT_EQ(client.Command("staf 10.0.0.5 1 0"), "0");
    EXPECT_EQ(client.Command("staf 10.0.0.5 0 0"), "-2");
    // The platform's own number for an action it does not know.
    EXPECT_EQ(client.Command("staf 192.168.1.20 7 0"),
              std::to_string(platform::kErrorInvalidParameter));
    client.Close();

    Client next;
    ASSERT_TRUE(next.connected());
    EXPECT_EQ(next.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 0 0 1 0 0");
    EXPECT_EQ(next.greeting()[1], "IP 192.168.1.20 255.255.0.0 0 3 0 0 0 0 0");
    EXPECT_EQ(next.Command("stof 10.0.0.5"), "0");
    EXPECT_EQ(next.Command("stof 10.0.0.5"), "-2");
    EXPECT_TRUE(svc.WaitForOutput("Processing StoptFiltering(10.0.0.5)\nResult 0\n"));
}

TEST_F(FilterCommands, FiltersAddListRemoveAndDrop) {
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.Command("sif 10.9.9.9 in " + kWebIn), "-1");
    EXPECT_EQ(client.Command("sif 10.0.0.5 in " + kWebIn), "-2");
    EXPECT_EQ(client.Command("gif 10.9.9.9 in 0"), "-4");
    EXPECT_EQ(client.Command("gif 10.0.0.5 in 0"), "-1");
    EXPECT_EQ(client.Command("rif 10.0.0.5 in 0"), "-1");
    ASSERT_EQ(client.Command("staf 10.0.0.5 1 0"), "0");

    std::string handle = client.Command("sif 10.0.0.5 in " + kWebIn);
    EXPECT_EQ(GetWord(handle, 1), "0");
    EXPECT_GT(std::stoul(std::string(GetWord(handle, 2))), 0u);
    EXPECT_EQ(client.Command("sif 10.0.0.5 in " + kWebIn), "-3") << "the same filter twice";
    EXPECT_EQ(GetWord(client.Command("sif 10.0.0.5 out " + kWebIn), 1), "0") << "other direction";
    EXPECT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + kDnsIn), 1), "0");
    EXPECT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + kPingIn), 1), "0");
    // A filter the platform cannot honour (an address type it does not know).
    EXPECT_EQ(client.Command("sif 10.0.0.5 in 0 0 1 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 22 0 22"),
              "-4");

    EXPECT_EQ(client.Command("gif 10.0.0.5 in 0"), "0 " + kWebIn);
    EXPECT_EQ(client.Command("gif 10.0.0.5 in 3"), "-2");
    EXPECT_EQ(client.Command("gif 10.0.0.5 out 1"), "-3");
    EXPECT_EQ(client.Command("rif 10.0.0.5 out 1"), "-3");

    // Removing position 0 of three moves the others up.
    EXPECT_EQ(client.Command("rif 10.0.0.5 in 0"), "0");
    EXPECT_EQ(client.Command("gif 10.0.0.5 in 0"), "0 " + kDnsIn);
    EXPECT_EQ(client.Command("gif 10.0.0.5 in 1"), "0 " + kPingIn);
    EXPECT_EQ(client.Command("gif 10.0.0.5 in 2"), "-2");

    EXPECT_EQ(client.Command("df 10.0.0.5"), "-1") << "active";
    EXPECT_EQ(client.Command("sig 10.0.0.5 2"), "0 0");
    EXPECT_EQ(client.Command("stof 10.0.0.5"), "0");
    EXPECT_EQ(client.Command("df 10.9.9.9"), "-4");
    EXPECT_EQ(client.Command("df 10.0.0.5 and more words"), "0");
    client.Close();
    Client next;
    ASSERT_TRUE(next.connected());
    EXPECT_EQ(next.greeting()[0], "IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 0");
}

// "gfl" reads a list many filters to a line, each as "gif" answers it, at most 200 a line, and
// logs one pair of lines per line rather than per filter.
TEST_F(FilterCommands, AListIsReadManyFiltersToALine) {
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.Command("staf 10.0.0.5 0 0"), "0");
    std::vector<std::string> in;
    for (int port = 1; port <= 250; ++port)
        in.push_back("0 0 0 10.1.0." + std::to_string(port % 200) +
                     " 255.255.255.255 0.0.0.0 0.0.0.0 6 0 0 " + std::to_string(port) + " 0 " +
                     std::to_string(port + 10000));
    for (const std::string& f : in)
        ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + f), 1), "0") << f;
    ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 out " + kWebIn), 1), "0");
    const std::size_t logged = pc.ServiceLogMessages().size();

    auto joined = [&](std::size_t from, std::size_t to) {
        std::string text = "0 " + std::to_string(to - from);
        for (std::size_t i = from; i < to; ++i) text += " " + in[i];
        return text;
    };
    EXPECT_EQ(client.Command("gfl 10.0.0.5 in 0 1000"), joined(0, 200));
    EXPECT_EQ(client.Command("gfl 10.0.0.5 in 200 1000"), joined(200, 250));
    EXPECT_EQ(client.Command("gfl 10.0.0.5 in 7 3"), joined(7, 10));
    EXPECT_EQ(client.Command("gfl 10.0.0.5 out 0 9"), "0 1 " + kWebIn);
    for (const char* empty :
         {"gfl 10.0.0.5 in 250 1", "gfl 10.0.0.5 out 1 5", "gfl 10.0.0.5 in 0 0"})
        EXPECT_EQ(client.Command(empty), "0 0") << empty;
    // Two lines each in the service log: what was asked, and that it went well.
    const std::vector<std::string> log = pc.ServiceLogMessages();
    ASSERT_EQ(log.size(), logged + 14);
    EXPECT_EQ(log[logged], "Processing GetFilters(10.0.0.5 in 0 1000)");
    EXPECT_EQ(log[logged + 1], "Succefull.");

    // Failures as "gif" answers them; words that do not convert end the connection.
    EXPECT_EQ(client.Command("gfl 10.9.9.9 in 0 1"), "-4");
    EXPECT_EQ(client.Command("gfl 192.168.1.20 in 0 1"), "-1");
    EXPECT_EQ(client.Command("gfl 10.0.0.5 up 0 1"), kEndOfConnection);
    Client again;
    ASSERT_TRUE(again.connected());
    EXPECT_EQ(again.Command("gfl 10.0.0.5 in -1 1"), kEndOfConnection);
}

TEST_F(FilterCommands, GlobalFilters) {
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.Command("gig 10.9.9.9"), "-1");
    EXPECT_EQ(client.Command("gig 10.0.0.5"), "-2");
    EXPECT_EQ(client.Command("sig 10.0.0.5 2"), "-2");
    ASSERT_EQ(client.Command("staf 10.0.0.5 0 0"), "0");
    EXPECT_EQ(client.Command("gig 10.0.0.5"), "0 0");
    EXPECT_EQ(client.Command("sig 10.0.0.5 2"), "0 0");
    EXPECT_EQ(client.Command("sig 10.0.0.5 8"), "0 0");
    EXPECT_EQ(client.Command("gig 10.0.0.5"), "0 260");
    // A number the platform refuses is answered with its code and is not reported as in force.
    EXPECT_EQ(client.Command("sig 10.0.0.5 5"),
              "0 " + std::to_string(platform::kPfErrorGlobalFilterNotSupported));
    EXPECT_EQ(client.Command("gig 10.0.0.5"), "0 260");
    // Removing one that is not on: the platform's code; the set is unchanged.
    EXPECT_EQ(client.Command("rig 10.0.0.5 9"), "0 " + std::to_string(platform::kErrorNotFound));
    EXPECT_EQ(client.Command("rig 10.0.0.5 8"), "0 0");
    EXPECT_EQ(client.Command("gig 10.0.0.5"), "0 4");
}

TEST_F(FilterCommands, WordsThatDoNotConvertEndTheConnectionWithoutAReply) {
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.Command("staf 10.0.0.5 1 0"), "0");
    client.Close();
    for (const std::string& line : std::vector<std::string>{
             "staf 10.0.0.x 0 0", "staf 10.0.0.5 -1 0", "stof", "sif 10.0.0.5 sideways " + kWebIn,
             "sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 65536 0 0",
             "sif 10.0.0.5 in 0 0 0", "gif 10.0.0.5 in -1", "rif 10.0.0.5 up 0", "sig 10.0.0.5 -2",
             "df 1.2.3"}) {
        Client c;
        ASSERT_TRUE(c.connected()) << line;
        EXPECT_EQ(c.Command(line), kEndOfConnection) << line;
    }
    Client c;
    ASSERT_TRUE(c.connected());
    // Nothing changed.
    EXPECT_EQ(c.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 0 0 1 0 0");
    EXPECT_EQ(c.Command("rl"), "0 ");
}

TEST_F(FilterCommands, PacketsFollowTheRulesBeforeAndAfterStopAndStart) {
    ASSERT_TRUE(client.connected());
    // Nothing filters an address before "staf".
    EXPECT_EQ(packets.In(kProtocolTcp, 22), "forward");
    // Input dropped by default; web and DNS are the exceptions.
    ASSERT_EQ(client.Command("staf 10.0.0.5 1 0"), "0");
    ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + kWebIn), 1), "0");
    ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + kDnsIn), 1), "0");
    EXPECT_EQ(packets.In(kProtocolTcp, 80), "forward");
    EXPECT_EQ(packets.In(kProtocolTcp, 22), "drop");
    EXPECT_EQ(packets.In(kProtocolUdp, 53), "drop") << "DNS only from 192.168/16";
    EXPECT_EQ(packets.In(kProtocolUdp, 53, 0, MakeIP(192, 168, 3, 4)), "forward");

    // Strong host: a packet received on 10.0.0.5 for another address.
    ASSERT_EQ(client.Command("sig 10.0.0.5 8"), "0 0");
    PacketFields spoof;
    spoof.protocol = kProtocolTcp;
    spoof.src = MakeIP(10, 0, 0, 9);
    spoof.dst = MakeIP(10, 0, 0, 77);
    spoof.dstPort = 80;
    spoof.tcpFlags = kTcpAck;
    EXPECT_EQ(packets.Verdict(platform::PacketDirection::kInput, spoof), "drop");

    ASSERT_EQ(client.Command("stof 10.0.0.5"), "0");
    EXPECT_EQ(packets.In(kProtocolTcp, 22), "forward");
    EXPECT_EQ(packets.Verdict(platform::PacketDirection::kInput, spoof), "forward");

    // The console changes actions by stop and start: the filters come back, and so does the
    // strong host check the address still reports.
    ASSERT_EQ(client.Command("staf 10.0.0.5 1 0"), "0");
    EXPECT_EQ(client.Command("gig 10.0.0.5"), "0 256");
    EXPECT_EQ(packets.In(kProtocolTcp, 80), "forward");
    EXPECT_EQ(packets.In(kProtocolTcp, 22), "drop");
    EXPECT_EQ(packets.Verdict(platform::PacketDirection::kInput, spoof), "drop");

    // Output forwarded by default, so an output filter is a block.
    ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 out 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 "
                                     "25 0 25"),
                      1),
              "0");
    PacketFields mail;
    mail.protocol = kProtocolTcp;
    mail.src = MakeIP(10, 0, 0, 5);
    mail.dst = MakeIP(8, 8, 8, 8);
    mail.dstPort = 25;
    EXPECT_EQ(packets.Verdict(platform::PacketDirection::kOutput, mail), "drop");
    mail.dstPort = 443;
    EXPECT_EQ(packets.Verdict(platform::PacketDirection::kOutput, mail), "forward");
}
