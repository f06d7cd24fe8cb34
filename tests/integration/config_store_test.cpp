// The stored configuration: what the pipe changes survives a killed service, and what is stored
// (seeded with zreg) is replayed at start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/pf.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "shared/packet_builder.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"
#include "tests/support/service_process.h"

using namespace zantor;
using namespace zantor::test;

namespace {

const std::string kParams =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZantorSvc\\Parameters";
const std::string kWeb = "0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80";
const std::string kSsh = "1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 22 0 22";
const std::string kDns = "0 0 0 192.168.0.0 255.255.0.0 0.0.0.0 0.0.0.0 17 0 53 0 53 0";

void Zreg(const Computer& pc, const std::string& regText) {
    auto file = pc.root() / "seed.reg";
    std::ofstream(file) << "Windows Registry Editor Version 5.00\n\n" << regText;
    std::string command = std::string(ZANTOR_ZREG) + " import " + file.string();
    ASSERT_EQ(std::system(command.c_str()), 0) << regText;
}

// .reg text: a key below the Parameters key, and a DWORD value.
std::string Key(const std::string& below) {
    return "[" + kParams + "\\" + below + "]\n";
}
std::string Dword(const std::string& name, unsigned value) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", value);
    return "\"" + name + "\"=dword:" + hex + "\n";
}

std::string FilterKeys(const std::string& addr, const char* dir,
                       std::initializer_list<std::string> filters) {
    const char* names[] = {"wFilterFlags",     "dwRule",   "pfatType", "SrcAddr",
                           "SrcMask",          "DstAddr",  "DstMask",  "dwProtocol",
                           "fLateBound",       "wSrcPort", "wDstPort", "wSrcPortHighRange",
                           "wDstPortHighRange"};
    std::string text = Key(addr + "\\" + dir);
    int n = 0;
    for (const std::string& f : filters) {
        text += Key(addr + "\\" + dir + "\\Filter" + std::to_string(n++));
        for (int k = 0; k < 13; ++k) {
            std::string word(GetWord(f, k + 1));
            if (k >= 3 && k <= 6)
                text += "\"" + std::string(names[k]) + "\"=\"" + word + "\"\n";
            else
                text += Dword(names[k], static_cast<unsigned>(std::stoul(word)));
        }
    }
    return text;
}

std::int32_t StoredDword(const std::string& path, const std::string& name) {
    platform::HKEY key = nullptr;
    std::int32_t value = -999;
    if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, path, &key) == 0) {
        if (platform::RegQueryDword(key, name, &value) != 0) value = -998;
        platform::RegCloseKey(key);
    }
    return value;
}

std::string StoredString(const std::string& path, const std::string& name) {
    platform::HKEY key = nullptr;
    std::string value = "<missing>";
    if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, path, &key) == 0) {
        platform::RegQueryString(key, name, &value);
        platform::RegCloseKey(key);
    }
    return value;
}

const std::string kStore = "SYSTEM\\CurrentControlSet\\Services\\ZantorSvc\\Parameters\\";

// What a console sees of a computer: the greeting and every filter of every active address.
std::vector<std::string> Snapshot(Client& client) {
    std::vector<std::string> seen = client.greeting();
    for (const std::string& line : client.greeting()) {
        if (GetWord(line, 2) == "End" || GetWord(line, 4) == "0") continue;
        std::string addr(GetWord(line, 2));
        for (const char* dir : {"in", "out"}) {
            int count = std::stoi(std::string(GetWord(line, std::string(dir) == "in" ? 6 : 7)));
            for (int i = 0; i < count; ++i)
                seen.push_back(client.Command("gif " + addr + " " + dir + " " + std::to_string(i)));
        }
        seen.push_back(client.Command("gig " + addr));
    }
    return seen;
}

std::string Verdict(const Computer& pc, platform::PacketDirection dir, IPAddr local,
                    std::uint8_t protocol, IPAddr src, IPAddr dst, std::uint16_t dstPort,
                    std::uint8_t flags = kTcpAck) {
    PacketFields fields;
    fields.protocol = protocol;
    fields.src = src;
    fields.dst = dst;
    fields.srcPort = 40000;
    fields.dstPort = dstPort;
    fields.tcpFlags = flags;
    platform::PFFORWARD_ACTION verdict{};
    if (platform::Win32Error e =
            platform::SendTestPacket(pc.root(), dir, local, BuildPacket(fields), verdict))
        return "error " + std::to_string(e);
    return verdict == platform::PF_ACTION_FORWARD ? "forward" : "drop";
}

std::vector<std::string> Verdicts(const Computer& pc) {
    using platform::PacketDirection;
    const IPAddr a = MakeIP(10, 0, 0, 5), b = MakeIP(192, 168, 1, 20), peer = MakeIP(10, 0, 0, 9);
    return {
        Verdict(pc, PacketDirection::kInput, a, kProtocolTcp, peer, a, 80),
        Verdict(pc, PacketDirection::kInput, a, kProtocolTcp, peer, a, 22),
        Verdict(pc, PacketDirection::kInput, a, kProtocolTcp, peer, a, 22, kTcpSyn),
        Verdict(pc, PacketDirection::kInput, a, kProtocolTcp, peer, MakeIP(10, 0, 0, 6), 80),
        Verdict(pc, PacketDirection::kOutput, a, kProtocolUdp, a, MakeIP(192, 168, 7, 7), 9),
        Verdict(pc, PacketDirection::kOutput, a, kProtocolUdp, a, peer, 9),
        Verdict(pc, PacketDirection::kInput, b, kProtocolTcp, peer, b, 80),
        Verdict(pc, PacketDirection::kInput, b, kProtocolUdp, peer, b, 53),
    };
}

std::vector<std::string> Messages(const Computer& pc, const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& m : pc.ServiceLogMessages())
        if (m.rfind(prefix, 0) == 0) found.push_back(m);
    return found;
}

}  // namespace

TEST(ConfigStore, AKilledServiceComesBackWithExactlyItsConfiguration) {
    Computer pc;
    std::vector<std::string> before, verdictsBefore;
    {
        ServiceProcess svc(pc);
        Client c;
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
        ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + kWeb), 1), "0");
        ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + kSsh), 1), "0");
        ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + kDns), 1), "0");
        ASSERT_EQ(c.Command("rif 10.0.0.5 in 2"), "0");
        ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 out " + kDns), 1), "0");
        ASSERT_EQ(c.Command("sig 10.0.0.5 8"), "0 0");
        ASSERT_EQ(c.Command("sig 10.0.0.5 2"), "0 0");
        ASSERT_EQ(c.Command("rig 10.0.0.5 2"), "0 0");
        // The second address: configured, stopped, dropped, then started plain.
        ASSERT_EQ(c.Command("staf 192.168.1.20 0 1"), "0");
        ASSERT_EQ(GetWord(c.Command("sif 192.168.1.20 in " + kWeb), 1), "0");
        ASSERT_EQ(c.Command("sig 192.168.1.20 9"), "0 0");
        ASSERT_EQ(c.Command("stof 192.168.1.20"), "0");
        ASSERT_EQ(c.Command("df 192.168.1.20"), "0");
        ASSERT_EQ(c.Command("staf 192.168.1.20 1 0"), "0");
        ASSERT_EQ(GetWord(c.Command("sif 192.168.1.20 in " + kDns), 1), "0");
        // A third address switched on and off again.
        ASSERT_EQ(c.Command("staf 127.0.0.1 1 1"), "0");
        ASSERT_EQ(c.Command("stof 127.0.0.1"), "0");
        c.Close();
        Client look;
        ASSERT_TRUE(look.connected());
        before = Snapshot(look);
        verdictsBefore = Verdicts(pc);
        svc.Kill();
        svc.Wait();
    }
    ServiceProcess again(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(Snapshot(c), before);
    EXPECT_EQ(Verdicts(pc), verdictsBefore);
    EXPECT_EQ(before[0], "IP 10.0.0.5 255.255.255.0 1 2 2 1 1 0 256");
    EXPECT_EQ(verdictsBefore, (std::vector<std::string>{"forward", "forward", "drop", "drop",
                                                        "forward", "forward", "drop", "drop"}));
}

TEST(ConfigStore, StoredRecordsAreReplayedAsFarAsTheyGo) {
    Computer pc;
    // 10.0.0.5: filtering on, two of three input filters counted, output count missing.
    // 192.168.1.20: the output action is missing, so nothing starts.
    // 127.0.0.1: the input count is missing; the output filters still come back.
    Zreg(pc, Key("10.0.0.5") + Dword("Filtering", 1) + Dword("InDefAction", 1) +
                 Dword("OutDefAction", 0) + Dword("FRAGMENTS", 1) +
                 FilterKeys("10.0.0.5", "InFilters", {kWeb, kSsh, kDns}) +
                 Key("10.0.0.5\\InFilters") + Dword("FiltersCount", 2) + Key("192.168.1.20") +
                 Dword("Filtering", 1) + Dword("InDefAction", 1) + Key("127.0.0.1") +
                 Dword("Filtering", 1) + Dword("InDefAction", 0) + Dword("OutDefAction", 1) +
                 FilterKeys("127.0.0.1", "OutFilters", {kDns}) + Key("127.0.0.1\\OutFilters") +
                 Dword("FiltersCount", 1));
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 2 0 1 0 4");
    EXPECT_EQ(c.greeting()[1], "IP 192.168.1.20 255.255.0.0 0 3 0 0 0 0 0");
    EXPECT_EQ(c.greeting()[2], "IP 127.0.0.1 255.0.0.0 1 1 0 1 0 1 0");
    EXPECT_EQ(c.Command("gif 10.0.0.5 in 1"), "0 " + kSsh);
    EXPECT_EQ(c.Command("gif 127.0.0.1 out 0"), "0 " + kDns);
    EXPECT_EQ(Messages(pc, "Failed to get all data"),
              (std::vector<std::string>{"Failed to get all data for interface 10.0.0.5",
                                        "Failed to get all data for interface 192.168.1.20"}));
}

TEST(ConfigStore, RemovalMovesLaterFiltersDownAndLeavesTheLastKey) {
    Computer pc;
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    for (const auto& f : {kWeb, kSsh, kDns})
        ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + f), 1), "0");
    ASSERT_EQ(c.Command("rif 10.0.0.5 in 1"), "0");
    const std::string in = kStore + "10.0.0.5\\InFilters";
    EXPECT_EQ(StoredDword(in, "FiltersCount"), 2);
    EXPECT_EQ(StoredDword(in + "\\Filter0", "wDstPort"), 80);
    EXPECT_EQ(StoredString(in + "\\Filter1", "SrcAddr"), "192.168.0.0");
    EXPECT_EQ(StoredString(in + "\\Filter2", "SrcAddr"), "192.168.0.0") << "left behind the count";
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5", "Filtering"), 1);
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5", "InDefAction"), 1);
    // "stof" keeps the stored actions and filters; "df" keeps the filter keys but counts none.
    ASSERT_EQ(c.Command("sig 10.0.0.5 9"), "0 0");
    ASSERT_EQ(c.Command("stof 10.0.0.5"), "0");
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5", "Filtering"), 0);
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5", "InDefAction"), 1);
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5", "FRAGCACHE"), 1);
    ASSERT_EQ(c.Command("df 10.0.0.5"), "0");
    EXPECT_EQ(StoredDword(in, "FiltersCount"), 0);
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5", "FRAGCACHE"), 0);
    EXPECT_EQ(StoredDword(in + "\\Filter0", "wDstPort"), 80);
}

TEST(ConfigStore, KeysAreNamedByTheCanonicalAddress) {
    Computer pc;
    {
        ServiceProcess svc(pc);
        Client c;
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(c.Command("staf 010.0.0.05 1 0"), "0");
        EXPECT_EQ(StoredDword(kStore + "10.0.0.5", "Filtering"), 1);
        EXPECT_EQ(StoredDword(kStore + "010.0.0.05", "Filtering"), -999);
    }
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 0 0 1 0 0");
}

// A string value as Windows tools write it, with its terminating NUL, in .reg hex(1) or hex(2)
// form.
std::string HexString(const std::string& name, const std::string& text, int type) {
    std::string line = "\"" + name + "\"=hex(" + std::to_string(type) + "):";
    char byte[4];
    for (char ch : text) {
        std::snprintf(byte, sizeof byte, "%02x,", static_cast<unsigned char>(ch));
        line += byte;
    }
    return line + "00\n";
}

TEST(ConfigStore, StoredAddressStringsEndedByTheirNulAreReplayed) {
    Computer pc;
    std::string filter = Key("10.0.0.5\\InFilters\\Filter0");
    const char* dwords[] = {"wFilterFlags", "dwRule", "pfatType"};
    for (const char* name : dwords) filter += Dword(name, 0);
    filter += HexString("SrcAddr", "0.0.0.0", 1) + HexString("SrcMask", "0.0.0.0", 1) +
              HexString("DstAddr", "10.0.0.5", 2) + HexString("DstMask", "255.255.255.255", 1);
    filter += Dword("dwProtocol", 6) + Dword("fLateBound", 0) + Dword("wSrcPort", 0) +
              Dword("wDstPort", 80) + Dword("wSrcPortHighRange", 0) +
              Dword("wDstPortHighRange", 80);
    Zreg(pc, Key("10.0.0.5") + Dword("Filtering", 1) + Dword("InDefAction", 1) +
                 Dword("OutDefAction", 0) + filter + Key("10.0.0.5\\InFilters") +
                 Dword("FiltersCount", 1) + Key("10.0.0.5\\OutFilters") + Dword("FiltersCount", 0));
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 1 0 1 0 0");
    EXPECT_EQ(c.Command("gif 10.0.0.5 in 0"), "0 " + kWeb);
    EXPECT_TRUE(Messages(pc, "Stored filter").empty());
}

TEST(ConfigStore, AStoredFilterThatCannotBeReadWholeIsSkippedAndNamed) {
    Computer pc;
    // Filter1's DstMask is a number where a dotted text belongs.
    Zreg(pc, Key("10.0.0.5") + Dword("Filtering", 1) + Dword("InDefAction", 1) +
                 Dword("OutDefAction", 0) +
                 FilterKeys("10.0.0.5", "InFilters", {kWeb, kSsh, kDns}) +
                 Key("10.0.0.5\\InFilters") + Dword("FiltersCount", 3) +
                 Key("10.0.0.5\\InFilters\\Filter1") + Dword("DstMask", 1) +
                 Key("10.0.0.5\\OutFilters") + Dword("FiltersCount", 0));
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 2 0 1 0 0");
    EXPECT_EQ(c.Command("gif 10.0.0.5 in 0"), "0 " + kWeb);
    EXPECT_EQ(c.Command("gif 10.0.0.5 in 1"), "0 " + kDns);
    EXPECT_EQ(
        Messages(pc, "Stored filter"),
        std::vector<std::string>{"Stored filter 1 of 10.0.0.5 in cannot be read whole; skipped."});
}

TEST(ConfigStore, AChangeThatCannotBeRecordedIsUndoneAndTheConnectionGoesOn) {
    Computer pc;
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + kWeb), 1), "0");
    ASSERT_EQ(c.Command("sig 10.0.0.5 8"), "0 0");
    {
        // Another writer holds the store longer than the service waits for it.
        platform::RegTransaction hold(platform::HKEY_LOCAL_MACHINE);
        ASSERT_EQ(hold.Begin_result(), 0u);
        EXPECT_EQ(c.Command("sif 10.0.0.5 in " + kSsh), "-5");
        EXPECT_EQ(c.Command("stof 10.0.0.5"), std::to_string(platform::kErrorSharingViolation));
        EXPECT_EQ(c.Command("sig 10.0.0.5 2"), "-5");
        EXPECT_EQ(c.Command("rig 10.0.0.5 8"), "-5");
    }
    EXPECT_EQ(c.Command("gig 10.0.0.5"), "0 256") << "both global filter changes were undone";
    EXPECT_EQ(c.Command("gif 10.0.0.5 in 1"), "-2") << "the filter was taken back";
    EXPECT_EQ(c.Command("gig 10.0.0.5"), "0 256") << "still active";
    EXPECT_EQ(Verdict(pc, platform::PacketDirection::kInput, MakeIP(10, 0, 0, 5), kProtocolTcp,
                      MakeIP(10, 0, 0, 9), MakeIP(10, 0, 0, 5), 22),
              "drop");
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5\\InFilters", "FiltersCount"), 1);
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5", "Filtering"), 1);
    EXPECT_EQ(Messages(pc, "Error [32] while recording").size(), 4u);
    // An undone change is never logged as a success.
    const auto log = pc.ServiceLogMessages();
    for (const char* processing :
         {"Processing SetGlobaFilters(10.0.0.5 2)", "Processing RemGlobaFilters(10.0.0.5 8)"}) {
        auto at = std::find(log.begin(), log.end(), processing);
        ASSERT_NE(at, log.end()) << processing;
        ASSERT_NE(at + 1, log.end());
        EXPECT_EQ(at[1].rfind("Error [32] while recording", 0), 0u) << at[1];
    }
}

TEST(DenyLog, DeniedPacketsAreWrittenInOneBatch) {
    Computer pc;
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + kWeb), 1), "0");
    const IPAddr a = MakeIP(10, 0, 0, 5), peer = MakeIP(10, 0, 0, 9);
    using platform::PacketDirection;
    ASSERT_EQ(Verdict(pc, PacketDirection::kInput, a, kProtocolTcp, peer, a, 80), "forward");
    for (std::uint16_t port : {std::uint16_t{22}, std::uint16_t{23}, std::uint16_t{25}})
        ASSERT_EQ(Verdict(pc, PacketDirection::kInput, a, kProtocolTcp, peer, a, port), "drop");
    // A quiet computer's denials reach the log within about a second.
    ASSERT_TRUE(Eventually([&] { return !Messages(pc, "Writing deny log").empty(); }));
    EXPECT_EQ(
        Messages(pc, "Writing deny log"),
        std::vector<std::string>{"Writing deny log (LoggedEntries: 3, LostEntries: 0, SizeUsed: " +
                                 std::to_string(3 * (32 + 40 + 0)) + " ...)"});
    std::ifstream deny(pc.system32() / "IPDenyLog.Log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(deny, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("  TCP 10.0.0.9:40000 -> 10.0.0.5:22 Data: ,156,64,0,22,"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[2].find(":25 Data: "), std::string::npos) << lines[2];
    EXPECT_EQ(lines[2].back(), '\r');
}

TEST(ConfigStore, ADamagedCountEndsTheListAtTheLastStoredFilter) {
    Computer pc;
    Zreg(pc, Key("10.0.0.5") + Dword("Filtering", 1) + Dword("InDefAction", 1) +
                 Dword("OutDefAction", 0) + FilterKeys("10.0.0.5", "InFilters", {kWeb}) +
                 Key("10.0.0.5\\InFilters") + Dword("FiltersCount", 0x7fffffff) +
                 Key("10.0.0.5\\OutFilters") + Dword("FiltersCount", 0xffffffff));
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 1 0 1 0 0");
    EXPECT_EQ(Messages(pc, "Stored filters"),
              std::vector<std::string>{
                  "Stored filters 1 to 2147483646 of 10.0.0.5 in are missing; skipped."});
    // Adding and removing on top of the damaged counts neither overflows nor runs away.
    EXPECT_EQ(GetWord(c.Command("sif 10.0.0.5 out " + kSsh), 1), "0");
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5\\OutFilters", "FiltersCount"), 1);
    EXPECT_EQ(c.Command("rif 10.0.0.5 in 0"), "0");
    EXPECT_EQ(StoredDword(kStore + "10.0.0.5\\InFilters", "FiltersCount"), 0x7ffffffe);
}

namespace {

namespace fs = std::filesystem;

// A computer whose service stored a configuration and then stopped in order, leaving its
// last-known-good copy.
void ConfigureAndStop(const Computer& pc) {
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + kWeb), 1), "0");
    ASSERT_EQ(c.Command("sig 10.0.0.5 2"), "0 0");
    svc.Signal(platform::CTRL_SHUTDOWN_EVENT);
    ASSERT_EQ(svc.Wait(), 0);
}

void Overwrite(const fs::path& file, std::size_t at, const std::string& bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<fs::path> MovedAside(const Computer& pc) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(pc.root() / "registry"))
        if (entry.path().filename().string().rfind("HKLM-damaged-", 0) == 0 &&
            entry.path().extension() != ".db-shm")
            found.push_back(entry.path());
    // The database and its write-ahead file move together; the first one tells.
    std::sort(found.begin(), found.end());
    if (found.size() > 1) found.resize(1);
    return found;
}

}  // namespace

TEST(ConfigStore, ADamagedStoreIsMovedAsideAndTheLastKnownGoodConfigurationComesBack) {
    struct Damage {
        const char* name;
        void (*apply)(const fs::path& db);
        const char* problem;  // part of what the log says about it
    };
    const Damage damages[] = {
        {"truncated", [](const fs::path& db) { fs::resize_file(db, fs::file_size(db) / 2); },
         "SQLite error"},
        {"random header",
         [](const fs::path& db) {
             std::string noise(100, '\0');
             for (std::size_t i = 0; i < noise.size(); ++i)
                 noise[i] = static_cast<char>(i * 37 + 11);
             Overwrite(db, 0, noise);
         },
         "SQLite error 26 (file is not a database"},
        {"another file",
         [](const fs::path& db) {
             fs::remove(db);
             std::ofstream(db) << "10.0.0.5 255.255.255.0 2\n";
         },
         "SQLite error 26 (file is not a database"},
        {"database deleted, write-ahead file left", [](const fs::path& db) { fs::remove(db); },
         "the database file is missing, and its write-ahead file HKLM.db-"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        Computer pc;
        ConfigureAndStop(pc);
        const fs::path db = pc.root() / "registry" / "HKLM.db";
        ASSERT_TRUE(fs::exists(pc.root() / "registry" / "HKLM.LastKnownGood.db"));
        if (std::string(damage.name).find("write-ahead") != std::string::npos) {
            // An orderly stop leaves the write-ahead files in place, empty.
            ASSERT_TRUE(fs::exists(db.string() + "-wal") || fs::exists(db.string() + "-shm"));
        }
        damage.apply(db);

        ServiceProcess svc(pc);
        Client c;
        ASSERT_TRUE(c.connected());
        EXPECT_EQ(c.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 1 0 1 0 4");
        EXPECT_EQ(c.Command("gif 10.0.0.5 in 0"), "0 " + kWeb);
        const auto said = Messages(pc, "The stored configuration is damaged: ");
        ASSERT_EQ(said.size(), 1u);
        EXPECT_NE(said[0].find(db.string() + ": " + damage.problem), std::string::npos) << said[0];
        const auto moved = MovedAside(pc);
        ASSERT_EQ(moved.size(), 1u);
        EXPECT_EQ(Messages(pc, "The damaged store was moved to "),
                  std::vector<std::string>{"The damaged store was moved to " + moved[0].string() +
                                           ", where it is kept."});
        EXPECT_EQ(Messages(pc,
                           "The last-known-good configuration (HKLM.LastKnownGood.db) is now "
                           "in force")
                      .size(),
                  1u);
        EXPECT_NE(svc.Output().find("The damaged store was moved to "), std::string::npos);
        // Changes are recorded again, and they are what the next start replays.
        EXPECT_EQ(c.Command("staf 192.168.1.20 0 1"), "0");
        EXPECT_EQ(StoredDword(kStore + "192.168.1.20", "Filtering"), 1);
        c.Close();
        svc.Kill();
        svc.Wait();
        ServiceProcess again(pc);
        Client after;
        ASSERT_TRUE(after.connected());
        EXPECT_EQ(after.greeting()[1], "IP 192.168.1.20 255.255.0.0 1 3 0 0 0 1 0");
        EXPECT_TRUE(Messages(pc, "The stored configuration is damaged").empty());
    }
}

TEST(ConfigStore, WithoutALastKnownGoodCopyADamagedStoreStartsEmptyAndSaysSo) {
    Computer pc;
    ConfigureAndStop(pc);
    fs::remove(pc.root() / "registry" / "HKLM.LastKnownGood.db");
    Overwrite(pc.root() / "registry" / "HKLM.db", 0, std::string(64, 'x'));
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.greeting()[0], "IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 0");
    EXPECT_EQ(Messages(pc,
                       "There is no last-known-good configuration: the service starts with "
                       "none, and changes are recorded in a new store.")
                  .size(),
              1u);
    EXPECT_EQ(MovedAside(pc).size(), 1u);
    EXPECT_EQ(c.Command("staf 10.0.0.5 1 1"), "0");
}

// ---- A change that rolls itself back unless confirmed ------------------------------------

namespace {

const std::string kCheckpointCopy =
    "SYSTEM\\CurrentControlSet\\Services\\ZantorSvc\\Checkpoint\\Parameters";

bool StoredKeyExists(const std::string& path) {
    platform::HKEY key = nullptr;
    if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, path, &key) != 0) return false;
    platform::RegCloseKey(key);
    return true;
}

// A configuration to come back to: 10.0.0.5 drops input but the web, with strong host checking.
void Baseline(Client& c) {
    ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + kWeb), 1), "0");
    ASSERT_EQ(c.Command("sig 10.0.0.5 8"), "0 0");
}

// Every kind of change on top of it: new actions, a filter removed and another added, a global
// filter swapped, another address switched on with a filter.
void ChangeEverything(Client& c) {
    ASSERT_EQ(c.Command("stof 10.0.0.5"), "0");
    ASSERT_EQ(c.Command("staf 10.0.0.5 0 1"), "0");
    ASSERT_EQ(c.Command("rif 10.0.0.5 in 0"), "0");
    ASSERT_EQ(GetWord(c.Command("sif 10.0.0.5 in " + kSsh), 1), "0");
    ASSERT_EQ(c.Command("rig 10.0.0.5 8"), "0 0");
    ASSERT_EQ(c.Command("sig 10.0.0.5 2"), "0 0");
    ASSERT_EQ(c.Command("staf 192.168.1.20 1 1"), "0");
    ASSERT_EQ(GetWord(c.Command("sif 192.168.1.20 in " + kDns), 1), "0");
}

std::vector<std::string> SnapshotNow() {
    Client look;
    EXPECT_TRUE(look.connected());
    return Snapshot(look);
}

// The baseline made on a connection of its own; what a console then sees, and how packets fare.
struct Seen {
    std::vector<std::string> snapshot, verdicts;
};
Seen MakeBaseline(const Computer& pc) {
    {
        Client c;
        EXPECT_TRUE(c.connected());
        Baseline(c);
    }
    return {SnapshotNow(), Verdicts(pc)};
}

}  // namespace

TEST(Checkpoint, AChangeNotConfirmedInTimeIsPutBackInTheStoreTheDriverAndMemory) {
    Computer pc;
    ServiceProcess svc(pc);
    const auto [before, verdictsBefore] = MakeBaseline(pc);

    Client c;
    ASSERT_TRUE(c.connected());
    ASSERT_EQ(c.greeting().back(), "IP End 0.9 confirm,lists,stats");
    const std::string kept = c.Command("ckp 2");
    ASSERT_EQ(GetWord(kept, 1), "0") << kept;
    // One change waits at a time: the configuration to come back to is the first one kept.
    EXPECT_EQ(c.Command("ckp 60"), "-1");
    EXPECT_EQ(GetWord(c.Command("ckq"), 2), "pending");
    ChangeEverything(c);
    EXPECT_EQ(GetWord(c.Command("gig 10.0.0.5"), 2), "4");  // the change is in force

    // The connection that made the change is open when the time is up: it is ended, so that
    // nothing it sends later lands on the configuration put back.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(c.Command("sig 10.0.0.5 9"), kEndOfConnection);
    c.Close();

    EXPECT_EQ(SnapshotNow(), before);
    EXPECT_EQ(Verdicts(pc), verdictsBefore);
    EXPECT_FALSE(StoredKeyExists(kCheckpointCopy));
    Client look;
    ASSERT_TRUE(look.connected());
    EXPECT_EQ(GetWord(look.Command("ckq"), 2), "rolledback");
    EXPECT_EQ(look.Command("cfm"), "-1");  // too late
    look.Close();
    const auto log = pc.ServiceLogMessages();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& m) {
        return m.starts_with("No confirmation came by ") &&
               m.find(": rolling back to the configuration kept at ") != std::string::npos;
    }));
    EXPECT_FALSE(Messages(pc, "Rolled back at ").empty());

    // The store holds the configuration put back: a restart brings back the same.
    svc.Kill();
    svc.Wait();
    ServiceProcess again(pc);
    EXPECT_EQ(SnapshotNow(), before);
    EXPECT_EQ(Verdicts(pc), verdictsBefore);
}

TEST(Checkpoint, AConfirmedChangeStaysAndWhatWasKeptIsDropped) {
    Computer pc;
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    Baseline(c);
    // Windows of no time or of more than a week are refused; a window that is no number ends the
    // connection, as any argument that does not convert.
    EXPECT_EQ(c.Command("ckp 0"), "-2");
    EXPECT_EQ(c.Command("ckp 604801"), "-2");
    EXPECT_EQ(c.Command("cfm"), "-1");  // nothing waits
    EXPECT_EQ(c.Command("ckq"), "0 none");
    ASSERT_EQ(GetWord(c.Command("ckp 2"), 1), "0");
    EXPECT_TRUE(StoredKeyExists(kCheckpointCopy));
    ChangeEverything(c);
    EXPECT_EQ(c.Command("cfm"), "0");
    EXPECT_EQ(c.Command("cfm"), "-1");
    EXPECT_FALSE(StoredKeyExists(kCheckpointCopy));
    c.Close();
    const std::vector<std::string> changed = SnapshotNow();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(SnapshotNow(), changed);
    Client look;
    ASSERT_TRUE(look.connected());
    EXPECT_EQ(GetWord(look.Command("ckq"), 2), "confirmed");
    EXPECT_EQ(look.Command("ckp x"), kEndOfConnection);
    EXPECT_TRUE(Messages(pc, "Rolled back").empty());
}

TEST(Checkpoint, AServiceKilledWhileAChangeWaitsPutsItBackBeforeItServes) {
    Computer pc;
    Seen seen;
    {
        ServiceProcess svc(pc);
        seen = MakeBaseline(pc);
        Client c;
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(GetWord(c.Command("ckp 600"), 1), "0");
        ChangeEverything(c);
        svc.Kill();
        svc.Wait();
    }
    ServiceProcess again(pc);
    EXPECT_EQ(SnapshotNow(), seen.snapshot);
    EXPECT_EQ(Verdicts(pc), seen.verdicts);
    const std::vector<std::string> log = pc.ServiceLogMessages();
    const auto waiting = std::find_if(log.begin(), log.end(), [](const std::string& m) {
        return m.starts_with("A change was waiting for its confirmation (due by ");
    });
    const auto replay = std::find(log.begin(), log.end(), "ProcessingRegistry ...");
    const auto pipe = std::find(log.begin(), log.end(), "Creating NamedPipe [qzw2kflt] ...");
    ASSERT_NE(waiting, log.end());
    ASSERT_NE(waiting + 1, log.end());
    EXPECT_TRUE((waiting + 1)->starts_with("Rolled back at ")) << *(waiting + 1);
    EXPECT_LT(waiting, replay);
    EXPECT_LT(replay, pipe);
    Client look;
    ASSERT_TRUE(look.connected());
    EXPECT_EQ(GetWord(look.Command("ckq"), 2), "rolledback");
}
