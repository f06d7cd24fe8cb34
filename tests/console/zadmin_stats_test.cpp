// zadmin stats and log deny --explain as an administrator runs them, against the real service
// with packets its engine decided, and against stand-ins.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "platform/pf.h"
#include "shared/packet_builder.h"
#include "shared/text.h"
#include "tests/support/console_support.h"
#include "tests/support/service_process.h"
#include "tests/support/zadmin_fixture.h"
#include "tests/support/zadmin_run.h"

using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const std::string kWebIn = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80";
const std::string kSshIn = "0 0 0 192.0.2.0 255.255.255.0 0.0.0.0 0.0.0.0 6 0 0 22 0 22";
const std::string kSmtpOut = "0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 25 0 25";

class ZadminStats : public ZadminWithService {
  protected:
    void Commands(const Lines& lines) {
        Client c;
        ASSERT_TRUE(c.connected());
        for (const std::string& line : lines) ASSERT_EQ(GetWord(c.Command(line), 1), "0") << line;
    }
    // `n` TCP SYNs from `src` to `dst` port `port`, received on or sent from 10.0.0.5.
    void Packets(int n, platform::PacketDirection dir, const char* src, const char* dst,
                 std::uint16_t port) {
        PacketFields f;
        f.protocol = kProtocolTcp;
        f.src = StrToIP(src);
        f.dst = StrToIP(dst);
        f.srcPort = 40000;
        f.dstPort = port;
        f.tcpFlags = kTcpSyn;
        for (int i = 0; i < n; ++i) {
            platform::PFFORWARD_ACTION verdict{};
            ASSERT_EQ(platform::SendTestPacket(pc.root(), dir, MakeIP(10, 0, 0, 5), BuildPacket(f),
                                               verdict),
                      platform::kErrorSuccess);
        }
    }
};

}  // namespace

TEST_F(ZadminStats, EveryCountBesideItsFilterInListOrder) {
    Commands({"staf 10.0.0.5 0 1", "sif 10.0.0.5 in " + kWebIn, "sif 10.0.0.5 in " + kSshIn,
              "sif 10.0.0.5 out " + kSmtpOut});
    Packets(3, platform::PacketDirection::kInput, "10.0.0.9", "10.0.0.5", 80);
    Packets(2, platform::PacketDirection::kInput, "192.0.2.7", "10.0.0.5", 22);
    Packets(4, platform::PacketDirection::kOutput, "10.0.0.5", "10.0.0.9", 443);

    const ZadminRun tsv = zadmin({"stats", "--tsv"});
    ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
    const Lines lines = SplitLines(tsv.out);
    ASSERT_EQ(lines.size(), 9u) << tsv.out;
    EXPECT_EQ(lines[0],
              "IP Address\tFiltering\tCounting Since\tIn Drops\tOut Drops\tFragments\tSpoofed\t"
              "SYN\tLogged\tLost Log Entries");
    // Since: the person's clock, then the counts: 9 drops were logged.
    EXPECT_TRUE(lines[1].starts_with("10.0.0.5\tOn\t20")) << lines[1];
    EXPECT_TRUE(lines[1].ends_with("\t0\t4\t0\t0\t0\t9\t0")) << lines[1];
    EXPECT_EQ(lines[2], "192.168.1.20\tOff");
    EXPECT_EQ(lines[3], "127.0.0.1\tOff");
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5],
              "IP Address\tList\tRow\tPackets\tProtocol\tFrom IP\tFrom Mask\tTo IP\tTo Mask\t"
              "Flags\tSrcPort\tSrcHighPort\tDstPort\tDstHighPort");
    EXPECT_EQ(lines[6],
              "10.0.0.5\tin\t0\t3\tTCP\t0.0.0.0\t0.0.0.0\t10.0.0.5\t255.255.255.255\t-"
              "\t0\t0\t80\t80");
    EXPECT_EQ(lines[7],
              "10.0.0.5\tin\t1\t2\tTCP\t192.0.2.0\t255.255.255.0\t0.0.0.0\t0.0.0.0\t-"
              "\t0\t0\t22\t22");
    EXPECT_EQ(lines[8],
              "10.0.0.5\tout\t0\t0\tTCP\t0.0.0.0\t0.0.0.0\t0.0.0.0\t0.0.0.0\t-\t0\t0\t25"
              "\t25");

    // One address, in columns, with the words that say what the counts are.
    const ZadminRun one = zadmin({"stats", "10.0.0.5"});
    ASSERT_EQ(one.exitCode, 0) << one.err;
    EXPECT_TRUE(
        one.out.starts_with("Counts are packets, counted since filtering on the address "
                            "started or the service started (Counting Since).\n"))
        << one.out;
    EXPECT_TRUE(Has(one.out, "10.0.0.5    in    0    3        TCP")) << one.out;
    EXPECT_FALSE(Has(one.out, "192.168.1.20")) << one.out;
    // Per address: one line for its record; the filters' texts and their counts in one line a
    // list each.
    Lines asked;
    for (const std::string& line : svc.ReceivedCommands())
        if (line.starts_with("g")) asked.push_back(line);
    EXPECT_EQ(Lines(asked.end() - 5, asked.end()),
              (Lines{"gfl 10.0.0.5 in 0 200", "gfl 10.0.0.5 out 0 200", "gis 10.0.0.5",
                     "gfs 10.0.0.5 in 0 2", "gfs 10.0.0.5 out 0 1"}));

    const ZadminRun unknown = zadmin({"stats", "10.9.9.9"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.err,
              "zadmin: 10.9.9.9 is not an address of . (its addresses: 10.0.0.5, 192.168.1.20, "
              "127.0.0.1).\n");
}

TEST_F(ZadminStats, EachDenyLogEntryIsFollowedByWhatDropsItNow) {
    Commands({"staf 10.0.0.5 0 1", "sif 10.0.0.5 in " + kWebIn, "sif 10.0.0.5 in " + kSshIn});
    Packets(1, platform::PacketDirection::kInput, "10.0.0.9", "10.0.0.5", 80);
    Packets(1, platform::PacketDirection::kInput, "192.0.2.7", "10.0.0.5", 22);
    Packets(1, platform::PacketDirection::kOutput, "10.0.0.5", "10.0.0.9", 443);
    ASSERT_TRUE(Eventually([&] { return pc.DenyLogMessages().size() == 3; }));
    // Since then the SSH filter went, and 192.168.1.20 drops everything but filters nothing
    // logged here.
    Commands({"rif 10.0.0.5 in 1"});
    std::ofstream(pc.system32() / "IPDenyLog.Log", std::ios::app | std::ios::binary)
        << "12/09/26 17:40:03  TCP 10.0.0.9:5 -> 192.168.1.20:80 Data: ,0,5,0,80\r\n"
        << "not an entry\r\n";

    const ZadminRun r = zadmin({"log", "deny", "--explain"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Lines lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 10u) << r.out;
    EXPECT_TRUE(Has(lines[0], " TCP 10.0.0.9:40000 -> 10.0.0.5:80 Data: ")) << lines[0];
    EXPECT_EQ(lines[1], "    dropped now by input filter 0 of 10.0.0.5: " + kWebIn);
    EXPECT_TRUE(Has(lines[2], " TCP 192.0.2.7:40000 -> 10.0.0.5:22 ")) << lines[2];
    EXPECT_EQ(lines[3], "    passes now: the filtering of 10.0.0.5 lets it through");
    EXPECT_TRUE(Has(lines[4], " TCP 10.0.0.5:40000 -> 10.0.0.9:443 ")) << lines[4];
    EXPECT_EQ(lines[5], "    dropped now by the output default action of 10.0.0.5 (drop)");
    EXPECT_EQ(lines[7], "    192.168.1.20 does not filter any more: nothing drops this packet now");
    EXPECT_EQ(lines[8], "not an entry");
    EXPECT_EQ(lines[9], "    (no entry of a packet with addresses)");
    // The configuration was read once, before the log.
    for (const std::string& line : svc.ReceivedCommands())
        EXPECT_FALSE(line.starts_with("gis") || line.starts_with("gfs")) << line;
}

// A service that greets as every older one does: nothing new is sent, and zadmin says why.
TEST(ZadminStatsOfAnOlderService, NothingIsAskedAndZadminSaysSo) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    FakeService svc(
        {"IP 10.0.0.5 255.255.255.0 1 2 1 0 0 0 0", "IP End 0.9"},
        [](const std::string&) -> std::optional<std::string> { return "0"; }, 2);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"stats"}, {"stats", "10.0.0.5", "--watch", "1"}}) {
        const ZadminRun r = Zadmin(world, args, local.root());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err,
                  "zadmin: the service on . does not report statistics: its greeting names no "
                  "\"stats\" extension (an older service); nothing was asked.\n");
    }
    EXPECT_TRUE(svc.received().empty());
}

// --watch down a pipe: one block per reading, each with its time, for as long as the service
// answers.
TEST(ZadminStatsWatch, OneBlockPerIntervalUntilTheServiceGoesAway) {
    Computer local;
    const World world{local.root(), local.root() / "network"};
    std::atomic<int> readings{0};
    FakeService svc({"IP 10.0.0.5 255.255.255.0 1 2 0 0 0 0 0", "IP End 0.9 confirm,stats"},
                    [&](const std::string& line) -> std::optional<std::string> {
                        if (!line.starts_with("gis")) return "0 0";
                        if (++readings > 2) return std::nullopt;  // the connection ends
                        return "0 0 0 " + std::to_string(readings.load()) +
                               " 0 0 0 0 0 0 0 0 0 0 0 0 1765300000";
                    });
    const ZadminRun r = Zadmin(world, {"stats", "--watch", "1"}, local.root());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "zadmin: ")) << r.err;
    const Lines lines = SplitLines(r.out);
    std::vector<std::string> headers, rows;
    for (const std::string& line : lines) {
        if (line.starts_with("Every 1 s on ., read at ")) headers.push_back(line);
        if (line.starts_with("10.0.0.5")) rows.push_back(line);
    }
    EXPECT_EQ(headers.size(), 2u) << r.out;
    ASSERT_EQ(rows.size(), 2u) << r.out;
    EXPECT_TRUE(Has(rows[0], "  1 ")) << rows[0];
    EXPECT_TRUE(Has(rows[1], "  2 ")) << rows[1];
    EXPECT_FALSE(Has(r.out, "\x1b")) << "no terminal: nothing is redrawn";
}

// On a terminal each reading takes the place of the one before, as top does.
TEST(ZadminStatsWatch, OnATerminalEachReadingIsDrawnInPlace) {
    if (!HasScript()) GTEST_SKIP() << "no script(1) here";
    Computer local;
    const World world{local.root(), local.root() / "network"};
    std::atomic<int> readings{0};
    FakeService svc({"IP 10.0.0.5 255.255.255.0 1 2 0 0 0 0 0", "IP End 0.9 stats"},
                    [&](const std::string& line) -> std::optional<std::string> {
                        if (!line.starts_with("gis") || ++readings > 2) return std::nullopt;
                        return "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1765300000";
                    });
    const std::string shown = ZadminOnATerminal(world, {"stats", "--watch", "1"}, local.root(), "");
    std::size_t clears = 0;
    for (std::size_t at = 0; (at = shown.find("\x1b[H\x1b[2J", at)) != std::string::npos; ++at)
        ++clears;
    EXPECT_EQ(clears, 2u) << shown;
}
