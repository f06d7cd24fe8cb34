// The packet counts over the real pipe ("gis", "gfs"): what the service's engine counted for test
// packets, to the packet, and how long a count lives.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/pf.h"
#include "platform/registry.h"
#include "shared/commands.h"
#include "shared/packet_builder.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"
#include "tests/support/service_process.h"

using namespace zantor;
using namespace zantor::test;

namespace {

const std::string kWebIn = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80";
const std::string kDnsIn = "0 0 0 192.168.0.0 255.255.0.0 0.0.0.0 0.0.0.0 17 0 0 53 0 53";
const std::string kSmtpOut = "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 25 0 25";

class Statistics : public ::testing::Test {
  protected:
    Computer pc;
    ServiceProcess svc{pc};
    Client client;

    // `n` packets of `fields` through the service's engine, as received on (input) or sent from
    // (output) 10.0.0.5; the verdicts must be `expected`.
    void Send(int n, platform::PacketDirection dir, const PacketFields& fields,
              platform::PFFORWARD_ACTION expected) {
        const auto bytes = BuildPacket(fields);
        for (int i = 0; i < n; ++i) {
            platform::PFFORWARD_ACTION verdict{};
            ASSERT_EQ(platform::SendTestPacket(pc.root(), dir, MakeIP(10, 0, 0, 5), bytes, verdict),
                      platform::kErrorSuccess);
            ASSERT_EQ(verdict, expected);
        }
    }
    static PacketFields Tcp(IPAddr src, IPAddr dst, std::uint16_t dport) {
        PacketFields f;
        f.protocol = kProtocolTcp;
        f.src = src;
        f.dst = dst;
        f.srcPort = 40000;
        f.dstPort = dport;
        f.tcpFlags = kTcpSyn;
        return f;
    }
    static PacketFields In(std::uint16_t dport, std::uint8_t protocol = kProtocolTcp,
                           IPAddr src = MakeIP(10, 0, 0, 9)) {
        PacketFields f = Tcp(src, MakeIP(10, 0, 0, 5), dport);
        f.protocol = protocol;
        return f;
    }
    static PacketFields Out(std::uint16_t dport) {
        return Tcp(MakeIP(10, 0, 0, 5), MakeIP(10, 0, 0, 9), dport);
    }
    // Word n of the "gis" reply for 10.0.0.5 (2: driver context ... 17: since).
    std::string Gis(int n) { return std::string(GetWord(client.Command("gis 10.0.0.5"), n)); }
};

}  // namespace

TEST_F(Statistics, CountsAreExactlyWhatTheEngineDecidedEachInItsPlace) {
    ASSERT_TRUE(client.connected());
    const auto started = std::time(nullptr);
    ASSERT_EQ(client.Command("staf 10.0.0.5 0 1"), "0");
    for (const std::string& line :
         std::vector<std::string>{"sif 10.0.0.5 in " + kWebIn, "sif 10.0.0.5 in " + kDnsIn,
                                  "sif 10.0.0.5 out " + kSmtpOut})
        ASSERT_EQ(GetWord(client.Command(line), 1), "0") << line;

    using platform::PacketDirection;
    Send(3, PacketDirection::kInput, In(80), platform::PF_ACTION_DROP);  // the web filter
    Send(2, PacketDirection::kInput, In(53, kProtocolUdp, MakeIP(192, 168, 7, 1)),
         platform::PF_ACTION_DROP);                                           // the DNS filter
    Send(4, PacketDirection::kInput, In(22), platform::PF_ACTION_FORWARD);    // the default
    Send(5, PacketDirection::kOutput, Out(25), platform::PF_ACTION_FORWARD);  // the SMTP filter
    Send(6, PacketDirection::kOutput, Out(443), platform::PF_ACTION_DROP);    // the default

    const std::string gis = client.Command("gis 10.0.0.5");
    ASSERT_EQ(WordsCount(gis), 17) << gis;
    // context, flags, in drops, out drops, in action, out action, in filters, out filters, frag,
    // spoof, two reserved, SYN
    EXPECT_EQ(GetWords(gis, 1, 13), "0 0 0 0 6 0 1 2 1 0 0 0 0") << gis;
    // The deny log took the dropped ones: 3 + 2 + 6, none lost.
    EXPECT_EQ(GetWords(gis, 15, 16), "11 0") << gis;
    const std::int64_t since = std::stoll(std::string(GetWord(gis, 17)));
    EXPECT_GE(since, started);
    EXPECT_LE(since, std::time(nullptr));

    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 0 2"), "0 2 3 2");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 1 9"), "0 1 2");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 out 0 1"), "0 1 5");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 2 1"), "0 0");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 out 7 1"), "0 0");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 0 0"), "0 0");

    // Failures as "gig" and "gif" answer them.
    EXPECT_EQ(client.Command("gis 10.9.9.9"), "-1");
    EXPECT_EQ(client.Command("gis 192.168.1.20"), "-2");
    EXPECT_EQ(client.Command("gfs 10.9.9.9 in 0 1"), "-4");
    EXPECT_EQ(client.Command("gfs 192.168.1.20 in 0 1"), "-1");
    // A direction that is none ends the connection, as for "gif".
    EXPECT_EQ(client.Command("gfs 10.0.0.5 up 0 1"), kEndOfConnection);
    // Reading counts is not logged as a change: the service log holds no line of it.
    for (const std::string& line : pc.ServiceLogMessages())
        EXPECT_EQ(line.find("Statistics"), std::string::npos) << line;
}

TEST_F(Statistics, ACountLivesAsLongAsItsFilterAndStartsAgainWithFiltering) {
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.Command("staf 10.0.0.5 0 0"), "0");
    ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + kWebIn), 1), "0");
    ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + kDnsIn), 1), "0");
    Send(3, platform::PacketDirection::kInput, In(80), platform::PF_ACTION_DROP);
    Send(1, platform::PacketDirection::kInput, In(53, kProtocolUdp, MakeIP(192, 168, 0, 1)),
         platform::PF_ACTION_DROP);
    ASSERT_EQ(client.Command("gfs 10.0.0.5 in 0 2"), "0 2 3 1");

    // Changes to other filters, the global filters and other addresses leave the count alone;
    // the web filter moves from row 0 to row 1 and takes its count with it.
    const std::string smtpIn = "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 25 0 25";
    for (const std::string& line : std::vector<std::string>{
             "sif 10.0.0.5 in " + smtpIn, "sif 10.0.0.5 out " + kSmtpOut, "sig 10.0.0.5 2",
             "rig 10.0.0.5 2", "staf 192.168.1.20 1 1", "sif 192.168.1.20 in " + kWebIn,
             "stof 192.168.1.20", "rif 10.0.0.5 in 1", "rif 10.0.0.5 out 0"})
        ASSERT_EQ(GetWord(client.Command(line), 1), "0") << line;
    Send(2, platform::PacketDirection::kInput, In(80), platform::PF_ACTION_DROP);
    Send(1, platform::PacketDirection::kInput, In(25), platform::PF_ACTION_DROP);
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 0 2"), "0 2 5 1");
    EXPECT_EQ(Gis(8), "2");  // two input filters

    // Stopping and starting filtering starts every count again from zero, and says since when.
    const std::string before = Gis(17);
    ASSERT_EQ(client.Command("stof 10.0.0.5"), "0");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 0 2"), "-1");
    ASSERT_EQ(client.Command("staf 10.0.0.5 0 0"), "0");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 0 2"), "0 2 0 0");
    EXPECT_GE(std::stoll(Gis(17)), std::stoll(before));
}

// A removal that cannot be recorded puts the filter back into the platform, after the others:
// the platform's order is no longer the list's, and each row still gets its own filter's count.
TEST_F(Statistics, EachRowGetsItsOwnFiltersCountWhateverOrderThePlatformKeeps) {
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.Command("staf 10.0.0.5 0 0"), "0");
    ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + kWebIn), 1), "0");
    ASSERT_EQ(GetWord(client.Command("sif 10.0.0.5 in " + kDnsIn), 1), "0");
    {
        // Another writer holds the store longer than the service waits for it.
        platform::RegTransaction hold(platform::HKEY_LOCAL_MACHINE);
        ASSERT_EQ(hold.Begin_result(), 0u);
        ASSERT_EQ(client.Command("rif 10.0.0.5 in 0"), "-5");
    }
    ASSERT_EQ(client.Command("gif 10.0.0.5 in 0"), "0 " + kWebIn);
    Send(3, platform::PacketDirection::kInput, In(80), platform::PF_ACTION_DROP);
    Send(1, platform::PacketDirection::kInput, In(53, kProtocolUdp, MakeIP(192, 168, 0, 1)),
         platform::PF_ACTION_DROP);
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 0 2"), "0 2 3 1");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 1 1"), "0 1 1");
}

TEST_F(Statistics, OneLineCarriesAtMostAThousandCounts) {
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.Command("staf 10.0.0.5 0 0"), "0");
    // 1,001 filters, each for one source port of TCP to port 80.
    std::string batch;
    for (int port = 1; port <= 1001; ++port)
        batch += "sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 " +
                 std::to_string(port) + " 80 " + std::to_string(port) + " 80\r\n";
    client.Send(batch);
    for (int i = 0; i < 1001; ++i) ASSERT_EQ(GetWord(client.ReadLine(), 1), "0") << i;
    PacketFields last = In(80);
    last.srcPort = 1001;
    Send(2, platform::PacketDirection::kInput, last, platform::PF_ACTION_DROP);

    const std::string all = client.Command("gfs 10.0.0.5 in 0 5000");
    ASSERT_EQ(WordsCount(all), 2 + static_cast<int>(kMaxFilterCounts));
    EXPECT_EQ(GetWord(all, 2), "1000");
    EXPECT_EQ(client.Command("gfs 10.0.0.5 in 1000 5000"), "0 1 2");
}

TEST(StatisticsGreeting, TheGreetingNamesStatsAfterTheWordsEveryConsoleReads) {
    Computer pc;
    ServiceProcess svc{pc};
    Client client;
    ASSERT_TRUE(client.connected());
    const std::string end = client.greeting().back();
    // A console that reads the first three words sees what it always saw.
    EXPECT_EQ(GetWords(end, 1, 3), "IP End 0.9");
    EXPECT_EQ(GetWord(end, 4), "confirm,lists,stats");
}
