// ZantorSvc with the kernel backend on a "real" host: the host and a peer are network namespaces
// the test makes (see tests/support/kernel_lab.h), so the machine's own rules are never touched.
// Real packets cross the veth links, and what arrives is held against the engine's answer for
// the same packets on the service's own packet socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/linux/pf/pf_settings.h"
#include "platform/pf.h"
#include "platform/process.h"
#include "shared/address.h"
#include "shared/packet_builder.h"
#include "shared/text.h"
#include "tests/support/kernel_lab.h"
#include "tests/support/service_process.h"

using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;
namespace netlab = platform::lab;

namespace {

constexpr std::uint8_t kOtherProtocol = 253;

#define REQUIRE_LAB(lab)                                                          \
    do {                                                                          \
        if (!(lab).unprivileged().empty())                                        \
            GTEST_SKIP() << "needs network namespaces: " << (lab).unprivileged(); \
        ASSERT_EQ((lab).error(), "");                                             \
    } while (false)

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
    for (const auto& l : lines)
        if (l.find(part) != std::string::npos) return true;
    return false;
}

// The service of the lab's host, with the host's own addresses.
struct HostService {
    explicit HostService(KernelLab& lab) : rig(lab) {}
    void Start() {
        svc = std::make_unique<ServiceProcess>(pc, std::vector<std::string>{"-run"},
                                               rig.host().Wrap({}));
    }
    KernelLab& rig;
    Computer pc{HostAddresses{}};
    std::unique_ptr<ServiceProcess> svc;
};

std::string Expect(Client& client, const std::string& command, const std::string& reply = "0") {
    std::string got = client.Command(command);
    EXPECT_EQ(got.substr(0, reply.size()), reply) << command;
    return got;
}

// ---- The differential test ---------------------------------------------------------------

const std::uint16_t kPorts[] = {22, 53, 80, 443, 1000, 1005, 8080, 40000};
const std::uint8_t kIcmpTypes[] = {0, 3, 8, 11, 13};
const std::uint8_t kIcmpCodes[] = {0, 1, 3};
const std::uint8_t kTcpFlags[] = {kTcpSyn,           kTcpSyn | kTcpAck, kTcpAck,
                                  kTcpAck | kTcpPsh, kTcpFin | kTcpAck, kTcpRst};

struct Settings {
    bool active = false;
    int in = 0, out = 0;
    bool fragments = false, strongHost = false, cache = false;
};

class Generator {
  public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    template <class T, std::size_t N>
    T Pick(const T (&items)[N]) {
        return items[static_cast<std::size_t>(Int(0, static_cast<int>(N) - 1))];
    }

    std::uint8_t Protocol() {
        static const std::uint8_t protocols[] = {1, 6, 6, 17, 17, kOtherProtocol};
        return Pick(protocols);
    }

    // A port field pair as the console might send it: any, one port, a high below the low, a
    // range, or the whole range.
    std::pair<std::uint16_t, std::uint16_t> Ports() {
        std::uint16_t p = Pick(kPorts);
        switch (Int(0, 5)) {
            case 0:
            case 1:
                return {0, 0};
            case 2:
                return {p, p};
            case 3:
                return {p, 0};
            case 4:
                return {static_cast<std::uint16_t>(p - 5), static_cast<std::uint16_t>(p + 5)};
            default:
                return {0, 65535};
        }
    }

    std::pair<std::uint16_t, std::uint16_t> IcmpField(bool type) {
        std::uint16_t v = type ? Pick(kIcmpTypes) : Pick(kIcmpCodes);
        switch (Int(0, 4)) {
            case 0:
                return {0, 0};
            case 1:
                return {v, v};
            case 2:
                return {255, v};
            case 3:
                return {v, static_cast<std::uint16_t>(v + 3)};
            default:
                return {v, 0};
        }
    }

    std::pair<std::string, std::string> Address(const std::vector<std::string>& pool,
                                                double anyChance) {
        static const char* const masks[] = {"255.255.255.255", "255.255.255.0", "255.255.0.0",
                                            "255.0.0.0", "255.0.255.0"};
        if (Chance(anyChance)) return {"0.0.0.0", "0.0.0.0"};
        return {pool[static_cast<std::size_t>(Int(0, static_cast<int>(pool.size()) - 1))],
                Pick(masks)};
    }

    struct Filter {
        std::string text;  // the 13 words
        std::uint8_t protocol = 0;
        std::string remote;  // the far side's address, when the filter names one
        std::pair<std::uint16_t, std::uint16_t> sp{0, 0}, dp{0, 0};
        bool noSyn = false;
    };

    Filter MakeFilter(const std::string& bound, bool out) {
        std::vector<std::string> near{bound, bound, "10.77.0.0"};
        std::vector<std::string> far(std::begin(kLabSources), std::end(kLabSources));
        if (out) far.assign(std::begin(kLabDestinations), std::end(kLabDestinations));
        auto remote = Address(far, 0.3);
        auto local = Address(near, 0.5);
        auto src = out ? local : remote, dst = out ? remote : local;
        Filter g;
        g.protocol = Chance(0.15) ? 0 : Protocol();
        if (remote.second != "0.0.0.0") g.remote = remote.first;
        if (g.protocol == kProtocolTcp || g.protocol == kProtocolUdp) {
            g.sp = Ports();
            g.dp = Ports();
        } else if (g.protocol == kProtocolIcmp) {
            g.sp = IcmpField(true);
            g.dp = IcmpField(false);
        } else if (Chance(0.3)) {
            g.sp = {Pick(kPorts), 0};  // looked at by nothing
        }
        g.noSyn = Chance(0.2);
        const int rule = Chance(0.1) ? 7 : 0;
        std::ostringstream f;
        f << (g.noSyn ? 1 : 0) << ' ' << rule << " 0 " << src.first << ' ' << src.second << ' '
          << dst.first << ' ' << dst.second << ' ' << int{g.protocol} << " 0 " << g.sp.first << ' '
          << g.dp.first << ' ' << g.sp.second << ' ' << g.dp.second;
        g.text = f.str();
        return g;
    }

    // Makes the packet one that the filter is meant for: most such packets match it.
    static void Aim(PacketFields& f, const Filter& g, bool out) {
        if (g.protocol != 0) f.protocol = g.protocol;
        if (!g.remote.empty()) (out ? f.dst : f.src) = StrToIP(g.remote);
        if (f.protocol == kProtocolTcp || f.protocol == kProtocolUdp) {
            if (g.sp.first != 0) f.srcPort = g.sp.first;
            if (g.dp.first != 0) f.dstPort = g.dp.first;
        } else if (f.protocol == kProtocolIcmp) {
            if (g.sp.first != 0 && g.sp.first != 255)
                f.icmpType = static_cast<std::uint8_t>(g.sp.first);
            if (g.dp.first != 0 && g.dp.first != 255)
                f.icmpCode = static_cast<std::uint8_t>(g.dp.first);
        }
        if (g.noSyn) f.tcpFlags = kTcpAck;
    }

    PacketFields Packet(IPAddr src, IPAddr dst, std::uint16_t id) {
        PacketFields f;
        f.protocol = Protocol();
        f.src = src;
        f.dst = dst;
        f.ipId = id;
        f.srcPort = Chance(0.1) ? static_cast<std::uint16_t>(Int(1, 65535)) : Pick(kPorts);
        f.dstPort = Pick(kPorts);
        f.tcpFlags = Pick(kTcpFlags);
        f.icmpType = Pick(kIcmpTypes);
        f.icmpCode = Pick(kIcmpCodes);
        f.payloadSize = static_cast<std::size_t>(Int(0, 40));
        return f;
    }

  private:
    std::mt19937 rng_;
};

struct Case {
    bool output = false;
    int link = 0;      // where an input packet arrives
    IPAddr local = 0;  // the address the engine is asked about
    std::vector<std::vector<std::uint8_t>> pieces;
    std::vector<bool> extra;  // a bad fragment that the datagram does not need
    std::string what;
    bool expected = false;
};

std::string Key(bool output, const std::vector<std::uint8_t>& p) {
    std::ostringstream k;
    k << output << ' ' << int{p[9]} << ' ';
    for (int i = 12; i < 20; ++i) k << int{p[i]} << '.';
    k << ' ' << (p[4] << 8 | p[5]);
    return k.str();
}

std::string Describe(const PacketFields& f) {
    std::ostringstream d;
    d << "proto " << int{f.protocol} << ' ' << IPToStr(f.src) << ':' << f.srcPort << " -> "
      << IPToStr(f.dst) << ':' << f.dstPort;
    if (f.protocol == kProtocolTcp) d << " flags 0x" << std::hex << int{f.tcpFlags} << std::dec;
    if (f.protocol == kProtocolIcmp)
        d << " type " << int{f.icmpType} << " code " << int{f.icmpCode};
    d << " id " << f.ipId;
    return d.str();
}

TEST(KernelDifferential, RealPacketsArriveExactlyWhenTheEngineForwardsThem) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    HostService host(lab);
    host.Start();
    Client client;
    ASSERT_TRUE(client.connected()) << client.openError() << host.svc->Output();
    ASSERT_TRUE(Contains(host.pc.ServiceLogMessages(), "the kernel enforces the rules"))
        << host.svc->Output();
    // The anti-lockout rule is on. Connection tracking could call a later round's packet
    // established once the host's TCP has answered an earlier one of the same addresses and
    // ports (a reset is a reply), and the rule would rightly pass it whatever the filters say,
    // where the engine, which knows no connections, drops it. Here the host tracks nothing, so
    // every packet to sshd's port takes the rule's other way (on past connection tracking, and
    // the same checks there), which must answer as the engine does.
    ASSERT_TRUE(Contains(host.pc.ServiceLogMessages(), "anti-lockout on"));
    std::string why;
    ASSERT_EQ(lab.host().Exec({"/usr/sbin/nft",
                               "add table ip lab_untracked; "
                               "add chain ip lab_untracked pre { type filter hook prerouting "
                               "priority raw; }; add rule ip lab_untracked pre notrack; "
                               "add chain ip lab_untracked out { type filter hook output "
                               "priority raw; }; add rule ip lab_untracked out notrack"},
                              nullptr, &why),
              platform::kErrorSuccess)
        << why;
    const std::vector<std::uint16_t> sshd = platform::pf::FindSshdPorts().ports;
    auto isSshd = [&](const PacketFields& f) {
        return f.protocol == kProtocolTcp &&
               std::find(sshd.begin(), sshd.end(), f.dstPort) != sshd.end();
    };

    unsigned seed = 20251208;
    if (const char* s = std::getenv("ZANTOR_DIFF_SEED"))
        seed = static_cast<unsigned>(std::stoul(s));
    Generator gen(seed);
    constexpr int kRounds = 8, kCasesPerRound = 50;
    int cases = 0, fragmented = 0, arrived = 0, differences = 0;
    std::uint16_t nextId = 1;

    for (int round = 0; round < kRounds; ++round) {
        // A configuration: each link's address filtering with its own defaults, filters and
        // global filters, or not at all.
        Settings settings[KernelLab::kLinks];
        std::vector<Generator::Filter> filters[KernelLab::kLinks][2];
        std::string config;
        for (int link = 0; link < KernelLab::kLinks; ++link) {
            Settings& s = settings[link];
            const std::string a = KernelLab::BoundAddress(link);
            s.active = gen.Chance(0.85);
            if (!s.active) continue;
            s.in = gen.Int(0, 1);
            s.out = gen.Int(0, 1);
            config += "staf " + a + " " + std::to_string(s.in) + " " + std::to_string(s.out) + "\n";
            Expect(client, "staf " + a + " " + std::to_string(s.in) + " " + std::to_string(s.out));
            for (bool out : {false, true})
                for (int n = gen.Int(0, out ? 3 : 6); n > 0; --n) {
                    Generator::Filter g = gen.MakeFilter(a, out);
                    const std::string line = "sif " + a + (out ? " out " : " in ") + g.text;
                    config += line + "\n";
                    client.Command(line);  // an equal filter twice is refused: no matter
                    filters[link][out].push_back(std::move(g));
                }
            for (auto [gf, flag] : {std::pair{2, &s.fragments}, std::pair{8, &s.strongHost},
                                    std::pair{9, &s.cache}}) {
                *flag = gen.Chance(0.4);
                if (!*flag) continue;
                config += "sig " + a + " " + std::to_string(gf) + "\n";
                Expect(client, "sig " + a + " " + std::to_string(gf), "0 0");
            }
        }

        std::vector<Case> round_cases;
        for (int n = 0; n < kCasesPerRound; ++n) {
            Case c;
            const std::uint16_t id = nextId++;
            c.output = gen.Chance(0.3);
            if (c.output) {
                const int link = gen.Int(0, KernelLab::kLinks - 1);
                const std::string src =
                    gen.Chance(0.8) ? KernelLab::BoundAddress(link) : KernelLab::OtherAddress(link);
                PacketFields f = gen.Packet(StrToIP(src), StrToIP(gen.Pick(kLabDestinations)), id);
                if (!filters[link][1].empty() && gen.Chance(0.5))
                    Generator::Aim(f,
                                   filters[link][1][static_cast<std::size_t>(
                                       gen.Int(0, static_cast<int>(filters[link][1].size()) - 1))],
                                   true);
                c.local = f.src;
                c.pieces.push_back(BuildPacket(f));
                c.extra.push_back(false);
                c.what = "out " + Describe(f);
            } else {
                c.link = gen.Int(0, KernelLab::kLinks - 1);
                const int other = (c.link + gen.Int(1, KernelLab::kLinks - 1)) % KernelLab::kLinks;
                const int pick = gen.Int(0, 19);
                std::string dst = pick < 15   ? KernelLab::BoundAddress(c.link)
                                  : pick < 17 ? KernelLab::BoundAddress(other)
                                  : pick < 19 ? KernelLab::OtherAddress(c.link)
                                              : KernelLab::OtherAddress(other);
                PacketFields f = gen.Packet(StrToIP(gen.Pick(kLabSources)), StrToIP(dst), id);
                // The arrival device stands for its bound address where that one checks strong
                // host; otherwise the destination's own interface, if any, decides.
                const Settings& arrival = settings[c.link];
                const bool spoof =
                    arrival.active && arrival.strongHost && dst != KernelLab::BoundAddress(c.link);
                c.local = spoof ? StrToIP(KernelLab::BoundAddress(c.link)) : f.dst;
                const Settings* decider = nullptr;
                for (int l = 0; l < KernelLab::kLinks; ++l) {
                    if (!settings[l].active || StrToIP(KernelLab::BoundAddress(l)) != c.local)
                        continue;
                    decider = &settings[l];
                    const auto& mine = filters[l][0];
                    if (!mine.empty() && gen.Chance(0.5))
                        Generator::Aim(f,
                                       mine[static_cast<std::size_t>(
                                           gen.Int(0, static_cast<int>(mine.size()) - 1))],
                                       false);
                }
                c.what = "in on link " + std::to_string(c.link) + (spoof ? " (spoof) " : " ") +
                         Describe(f);
                if (gen.Chance(0.3)) {
                    // Fragments, cut on 8-byte boundaries; a first fragment too short for the
                    // TCP header where the kernel is meant to answer as the engine does (see
                    // platform/pf.h on the fragment cache and the anti-lockout rule).
                    f.payloadSize = static_cast<std::size_t>(gen.Int(40, 120));
                    const auto whole = BuildPacket(f);
                    const std::size_t data = whole.size() - 20;
                    const bool tinyFirst =
                        f.protocol == kProtocolTcp && gen.Chance(0.5) &&
                        (!decider || decider->fragments || (!decider->cache && !isSshd(f)));
                    const std::size_t first = tinyFirst
                                                  ? 8 + 8 * static_cast<std::size_t>(gen.Int(0, 1))
                                                  : (f.protocol == kProtocolTcp ? 24 : 8) +
                                                        8 * static_cast<std::size_t>(gen.Int(0, 2));
                    std::vector<std::size_t> cuts{first};
                    if (gen.Chance(0.5))
                        cuts.push_back(first + 8 * static_cast<std::size_t>(gen.Int(1, 4)));
                    if (cuts.back() >= data) cuts.pop_back();
                    c.pieces = FragmentPacket(whole, cuts);
                    c.extra.assign(c.pieces.size(), false);
                    c.what += " in " + std::to_string(c.pieces.size()) + " fragments (first " +
                              std::to_string(cuts[0]) + " bytes)";
                    if (decider && decider->fragments && !spoof && gen.Chance(0.5)) {
                        // A bad fragment the datagram can do without, right after the first.
                        std::vector<std::uint8_t> bad;
                        switch (gen.Int(0, f.protocol == kProtocolTcp ? 2 : 1)) {
                            case 0:
                                bad = MakeFragment(whole, 8, 13, true);
                                c.what += " + a 13-byte piece";
                                break;
                            case 1:
                                bad = MakeFragment(whole, 16, 0, true);
                                c.what += " + an empty piece";
                                break;
                            default:
                                bad = MakeFragment(whole, 8, 8, true);
                                c.what += " + a TCP piece at offset 8";
                                break;
                        }
                        c.pieces.insert(c.pieces.begin() + 1, bad);
                        c.extra.insert(c.extra.begin() + 1, true);
                    }
                    ++fragmented;
                } else {
                    c.pieces.push_back(BuildPacket(f));
                    c.extra.push_back(false);
                }
            }
            round_cases.push_back(std::move(c));
        }

        // The engine's answers, piece by piece in sending order, as real packets of its own.
        // Asked from inside the host namespace: the answer comes back to an abstract socket
        // address, and those belong to a network namespace.
        platform::Win32Error asked = platform::kErrorSuccess;
        lab.host().Enter([&] {
            for (Case& c : round_cases) {
                c.expected = true;
                for (std::size_t i = 0; i < c.pieces.size() && !asked; ++i) {
                    platform::PFFORWARD_ACTION verdict = platform::PF_ACTION_DROP;
                    asked = platform::SendTestPacket(host.pc.root(),
                                                     c.output ? platform::PacketDirection::kOutput
                                                              : platform::PacketDirection::kInput,
                                                     c.local, c.pieces[i], verdict);
                    if (!c.extra[i] && verdict != platform::PF_ACTION_FORWARD) c.expected = false;
                }
            }
        });
        ASSERT_EQ(asked, platform::kErrorSuccess);
        {
            netlab::PinnedThread pinned;
            for (const Case& c : round_cases)
                for (const auto& piece : c.pieces)
                    c.output ? lab.SendOut(piece) : lab.SendIn(c.link, piece);
        }
        std::string error;
        std::set<std::string> seen;
        for (const auto& a : lab.Flush(&error)) seen.insert(Key(a.output, a.packet));
        ASSERT_EQ(error, "");

        std::string report;
        for (const Case& c : round_cases) {
            ++cases;
            const bool got = seen.count(Key(c.output, c.pieces[0])) != 0;
            arrived += got;
            if (got == c.expected) continue;
            ++differences;
            report += "  " + c.what + ": the engine " + (c.expected ? "forwards it" : "drops it") +
                      ", the kernel " + (got ? "let it through" : "did not") + "\n";
        }
        if (!report.empty())
            ADD_FAILURE() << "round " << round << " (seed " << seed << "), configuration:\n"
                          << config << "differences:\n"
                          << report << "table:\n"
                          << lab.ListTable();

        for (int link = 0; link < KernelLab::kLinks; ++link) {
            if (!settings[link].active) continue;
            Expect(client, "stof " + KernelLab::BoundAddress(link));
            Expect(client, "df " + KernelLab::BoundAddress(link));
        }
    }
    std::cout << cases << " cases (" << fragmented << " fragmented), " << arrived << " arrived, "
              << differences << " differences\n";
    // Every change reached the kernel: none was refused and quietly taken back.
    for (const auto& line : host.pc.ServiceLogMessages())
        EXPECT_EQ(line.find("The kernel refused"), std::string::npos) << line;
    EXPECT_GT(arrived, cases / 5);
    EXPECT_LT(arrived, cases * 4 / 5);
}

// ---- The deny log --------------------------------------------------------------------------

// A packet from one of the peer's sources to the host.
PacketFields Inbound(std::uint8_t protocol, const char* src, const std::string& dst,
                     std::uint16_t dstPort, std::uint16_t id) {
    PacketFields f;
    f.protocol = protocol;
    f.src = StrToIP(src);
    f.dst = StrToIP(dst);
    f.srcPort = 40000;
    f.dstPort = dstPort;
    f.tcpFlags = kTcpSyn;
    f.icmpType = 13;
    f.ipId = id;
    f.payloadSize = 30;
    return f;
}

TEST(KernelDenyLog, HoldsTheEntriesTheEngineWritesForTheSamePackets) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    HostService host(lab);
    host.Start();
    // The engine on a simulated computer with the same address.
    Computer engine("10.77.0.2 255.255.255.0 2\n10.77.0.9 255.255.255.0 2\n");
    ServiceProcess engineSvc(engine);

    const std::string a = KernelLab::BoundAddress(0);
    // The same commands to both; "." is whichever computer ZANTOR_ROOT names.
    auto configure = [&](const Computer& pc) {
        setenv("ZANTOR_ROOT", pc.root().c_str(), 1);
        Client client;
        ASSERT_TRUE(client.connected()) << client.openError();
        Expect(client, "staf " + a + " 1 0");
        Expect(client, "sif " + a + " in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80",
               "0 ");
        Expect(client, "sig " + a + " 2", "0 0");
        Expect(client, "sig " + a + " 8", "0 0");
    };
    configure(host.pc);
    configure(engine);

    struct Sent {
        std::vector<std::uint8_t> packet;
        IPAddr local;
    };
    std::uint16_t id = 100;
    auto fields = [&](std::uint8_t protocol, const std::string& dst, std::uint16_t port) {
        return Inbound(protocol, kLabSources[0], dst, port, id++);
    };
    const IPAddr local = StrToIP(a);
    std::vector<Sent> sent = {
        {BuildPacket(fields(kProtocolTcp, a, 22)), local},   // no filter: dropped
        {BuildPacket(fields(kProtocolUdp, a, 53)), local},   // the same, with ports
        {BuildPacket(fields(kProtocolIcmp, a, 0)), local},   // ICMP
        {BuildPacket(fields(kOtherProtocol, a, 0)), local},  // no transport header known
        {BuildPacket(fields(kProtocolTcp, KernelLab::OtherAddress(0), 80)), local},    // spoof
        {MakeFragment(BuildPacket(fields(kProtocolUdp, a, 53)), 8, 13, true), local},  // bad
        {BuildPacket(fields(kProtocolTcp, a, 80)), local},  // let through: no entry
    };
    {
        netlab::PinnedThread pinned;
        for (const Sent& s : sent) ASSERT_EQ(lab.SendIn(0, s.packet), platform::kErrorSuccess);
    }
    for (const Sent& s : sent) {
        platform::PFFORWARD_ACTION verdict;
        ASSERT_EQ(platform::SendTestPacket(engine.root(), platform::PacketDirection::kInput,
                                           s.local, s.packet, verdict),
                  platform::kErrorSuccess);
    }
    // Both logs are written within about a second of the drops.
    const std::size_t entries = sent.size() - 1;
    EXPECT_TRUE(Eventually([&] { return host.pc.DenyLogMessages().size() >= entries; }))
        << host.pc.DenyLogMessages().size();
    EXPECT_TRUE(Eventually([&] { return engine.DenyLogMessages().size() >= entries; }));
    EXPECT_EQ(host.pc.DenyLogMessages(), engine.DenyLogMessages());
    EXPECT_TRUE(
        Contains(host.pc.DenyLogMessages(), " TCP 10.200.1.5:40000 -> 10.77.0.9:80 Data: ,"));
}

// ---- Crash and restart -----------------------------------------------------------------------

// The sets, maps, chains and counters of a listing, each whole, in name order: a table written
// whole lists them in another order than one that grew change by change. A counter's values are
// left out: they are the traffic's, not the configuration's.
std::vector<std::string> Blocks(const std::string& listing) {
    std::vector<std::string> blocks;
    std::istringstream in(listing);
    std::string line, block;
    while (std::getline(in, line)) {
        if (line.rfind("\t\tpackets ", 0) == 0) line = "\t\tpackets";
        line = std::regex_replace(line, std::regex("packets [0-9]+ bytes [0-9]+"), "packets");
        if (line.rfind("\t", 0) != 0 || line.rfind("\t\t", 0) == 0 || line == "\t}") {
            if (!block.empty()) block += line + "\n";
            if (line == "\t}") {
                blocks.push_back(block);
                block.clear();
            }
            continue;
        }
        block = line + "\n";
    }
    std::sort(blocks.begin(), blocks.end());
    return blocks;
}

// Whether a UDP datagram from the peer to `address` on link 0, port `port`, reaches the host.
bool UdpPasses(KernelLab& lab, const std::string& address, std::uint16_t port) {
    static std::uint16_t id = 500;
    const auto p = BuildPacket(Inbound(kProtocolUdp, kLabSources[1], address, port, id++));
    EXPECT_EQ(lab.SendIn(0, p), platform::kErrorSuccess);
    for (const auto& arrival : lab.Flush())
        if (Key(arrival.output, arrival.packet) == Key(false, p)) return true;
    return false;
}

TEST(KernelCrash, TheTableOutlivesAKillAndTheNextStartPutsTheStoredOneBack) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    HostService host(lab);
    host.Start();
    const std::string a = KernelLab::BoundAddress(0);
    {
        Client client;
        ASSERT_TRUE(client.connected()) << host.svc->Output();
        Expect(client, "staf " + a + " 1 0");
        Expect(client, "sif " + a + " in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 17 0 0 53 0 53",
               "0 ");
    }
    const std::string stored = lab.ListTable();
    ASSERT_NE(stored.find("udp . 53"), std::string::npos) << stored;

    auto passes = [&](std::uint16_t port) { return UdpPasses(lab, a, port); };
    EXPECT_TRUE(passes(53));
    EXPECT_FALSE(passes(54));

    host.svc->Kill();
    host.svc->Wait();
    // Killed, the service leaves the host filtered as it was told.
    EXPECT_EQ(Blocks(lab.ListTable()), Blocks(stored));
    EXPECT_TRUE(passes(53));
    EXPECT_FALSE(passes(54));

    // Whatever the table holds by the next start, the stored configuration replaces it.
    std::string why;
    ASSERT_EQ(lab.host().Exec(
                  {"/usr/sbin/nft", "flush chain ip zantor i1_in_t; add chain ip zantor stray"},
                  nullptr, &why),
              platform::kErrorSuccess)
        << why;
    EXPECT_FALSE(passes(53));
    host.Start();
    Client again;
    ASSERT_TRUE(again.connected()) << host.svc->Output();
    EXPECT_EQ(Blocks(lab.ListTable()), Blocks(stored));
    EXPECT_EQ(Blocks(stored).size(), 27u);  // sets, maps, chains and counters all compared
    EXPECT_TRUE(passes(53));
    EXPECT_FALSE(passes(54));
}

// ---- A change that is not confirmed ---------------------------------------------------------

TEST(KernelRollBack, AChangeNotConfirmedInTimeLeavesTheKernelAsBefore) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    HostService host(lab);
    host.Start();
    const std::string a = KernelLab::BoundAddress(0);
    const std::string udp = " in 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 17 0 0 ";
    auto passes = [&](std::uint16_t port) { return UdpPasses(lab, a, port); };
    {
        Client client;
        ASSERT_TRUE(client.connected()) << host.svc->Output();
        Expect(client, "staf " + a + " 1 0");
        Expect(client, "sif " + a + udp + "53 0 53", "0 ");
        Expect(client, "ckp 2", "0 ");
        // The change lets 54 in instead of 53, and opens the second address.
        Expect(client, "sif " + a + udp + "54 0 54", "0 ");
        Expect(client, "rif " + a + " in 0");
        Expect(client, "staf " + KernelLab::BoundAddress(1) + " 1 1");
    }
    EXPECT_FALSE(passes(53));
    EXPECT_TRUE(passes(54));
    ASSERT_NE(lab.ListTable().find(KernelLab::BoundAddress(1)), std::string::npos);
    // Within a second or so of the deadline the kernel is as before the change.
    EXPECT_TRUE(Eventually([&] { return passes(53) && !passes(54); }, std::chrono::seconds(6)))
        << lab.ListTable();
    EXPECT_EQ(lab.ListTable().find(KernelLab::BoundAddress(1)), std::string::npos)
        << lab.ListTable();
}

// ---- Orderly stop --------------------------------------------------------------------------

TEST(KernelStop, TheStopControlTakesTheTableAway) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    Computer pc{HostAddresses{}};
    const fs::path scratch = pc.root();
    // Started by the service manager from inside the host namespace, the service runs there.
    ProgramRun install = RunProgram(ZANTORSVC_PATH, {"-install"}, scratch);
    ASSERT_EQ(install.exitCode, 0) << install.output;
    std::vector<std::string> start = lab.host().Wrap({ZANTORSVC_PATH, "-start"});
    ProgramRun started = RunProgram(start[0], {start.begin() + 1, start.end()}, scratch);
    ASSERT_NE(started.output.find("started"), std::string::npos) << started.output;
    {
        Client client;
        ASSERT_TRUE(client.connected());
        Expect(client, "staf " + KernelLab::BoundAddress(1) + " 0 1");
    }
    EXPECT_NE(lab.ListTable().find("10.77.1.2 : jump i1_out"), std::string::npos)
        << lab.ListTable();
    ProgramRun stopped = RunProgram(ZANTORSVC_PATH, {"-stop"}, scratch);
    EXPECT_NE(stopped.output.find("stopped"), std::string::npos) << stopped.output;
    EXPECT_TRUE(Eventually([&] { return lab.ListTable().empty(); })) << lab.ListTable();
    EXPECT_TRUE(Contains(pc.ServiceLogMessages(), "The kernel's rules are removed."));
    RunProgram(ZANTORSVC_PATH, {"-remove"}, scratch);
}

TEST(KernelStop, SigtermTakesTheStopsPathAndTheTableAway) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    HostService host(lab);
    host.Start();
    {
        Client client;
        ASSERT_TRUE(client.connected()) << host.svc->Output();
        Expect(client, "staf " + KernelLab::BoundAddress(0) + " 1 0");
    }
    ASSERT_FALSE(lab.ListTable().empty());
    host.svc->Signal(platform::CTRL_SHUTDOWN_EVENT);
    EXPECT_EQ(host.svc->Wait(), 0) << host.svc->Output();
    EXPECT_TRUE(lab.ListTable().empty()) << lab.ListTable();
    EXPECT_TRUE(Contains(host.pc.ServiceLogMessages(), "The kernel's rules are removed."));
}

// ---- The anti-lockout rule -------------------------------------------------------------------

// A TCP connection, both ends held: what a session looks like to the kernel's rules. Every wait
// is bounded by two seconds, so a connection the rules cut fails an exchange instead of hanging.
struct Session {
    // From the peer to the host.
    Session(KernelLab& lab, const std::string& address, std::uint16_t port)
        : Session(lab.peer(), address, port, lab.host(), address) {}
    // From namespace `c` to `address`:`port`, taken by namespace `s` listening on `listenAt`
    // (where a NAT sends it) and the same port; the client's end is bound to `from`:`fromPort`
    // when given.
    Session(const netlab::Namespace& c, const std::string& address, std::uint16_t port,
            const netlab::Namespace& s, const std::string& listenAt, const std::string& from = {},
            std::uint16_t fromPort = 0) {
        const auto wait = std::chrono::seconds(2);
        std::unique_ptr<netlab::StreamSocket> listener;
        if ((error = netlab::StreamSocket::Listen(&s, listenAt, port, &listener))) return;
        if ((error =
                 netlab::StreamSocket::Connect(&c, address, port, wait, &client, from, fromPort)))
            return;
        error = listener->Accept(wait, &server);
    }
    // One byte each way: from the client to the server, then back; or the server first.
    bool Exchange(bool serverFirst = false) {
        if (error) return false;
        netlab::StreamSocket* from = serverFirst ? server.get() : client.get();
        netlab::StreamSocket* to = serverFirst ? client.get() : server.get();
        std::uint8_t byte = ++counter;
        std::size_t done = 0;
        if (from->Send({&byte, 1}, &done) || done != 1) return false;
        if (to->Receive({&byte, 1}, &done) || done != 1 || byte != counter) return false;
        if (to->Send({&byte, 1}, &done) || done != 1) return false;
        return !from->Receive({&byte, 1}, &done) && done == 1 && byte == counter;
    }
    platform::Win32Error error = platform::kErrorSuccess;
    std::unique_ptr<netlab::StreamSocket> client, server;
    std::uint8_t counter = 0;
};

// The deny log's entries of TCP to one port of an address: their source ports.
std::set<std::string> DeniedSources(const Computer& pc, const std::string& to) {
    std::set<std::string> sources;
    for (const auto& line : pc.DenyLogMessages()) {
        const std::size_t at = line.find(" -> " + to + " ");
        const std::size_t tcp = line.find(" TCP ");
        if (at != std::string::npos && tcp != std::string::npos && tcp < at)
            sources.insert(line.substr(tcp + 5, at - tcp - 5));
    }
    return sources;
}

// Established connections to sshd's port pass ahead of the filters, both ways, and are not
// logged; a new one, and an established one to another port, meet the filters. A restart keeps
// the sessions it knew; turned off, the rule is gone and the session with it.
TEST(KernelAntiLockout, EstablishedSessionsToSshdPassAndNewOnesMeetTheFilters) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    const std::uint16_t sshd = platform::pf::FindSshdPorts().ports.front();
    const std::uint16_t other = sshd == 8022 ? 8023 : 8022;
    const std::string a = KernelLab::BoundAddress(0);
    HostService host(lab);
    host.Start();
    {
        Client client;
        ASSERT_TRUE(client.connected()) << host.svc->Output();
    }
    EXPECT_TRUE(Contains(host.pc.ServiceLogMessages(),
                         "Packet filter: anti-lockout on: established SSH connections to this "
                         "host (TCP port"))
        << host.svc->Output();

    Session ssh(lab, a, sshd), web(lab, a, other);
    ASSERT_EQ(ssh.error, platform::kErrorSuccess);
    ASSERT_EQ(web.error, platform::kErrorSuccess);
    ASSERT_TRUE(ssh.Exchange());
    ASSERT_TRUE(web.Exchange());

    // Both directions dropped by default, with logging.
    {
        Client client;
        Expect(client, "staf " + a + " 1 1");
    }
    EXPECT_TRUE(ssh.Exchange());
    EXPECT_TRUE(ssh.Exchange());
    EXPECT_FALSE(web.Exchange());
    std::unique_ptr<netlab::StreamSocket> fresh;
    EXPECT_EQ(netlab::StreamSocket::Connect(&lab.peer(), a, sshd, std::chrono::seconds(2), &fresh),
              platform::kErrorTimeout);
    // The new connection's tries are logged, all from one source port; nothing of the
    // established session, whose exchanges went through.
    const std::string toSshd = a + ":" + std::to_string(sshd);
    EXPECT_TRUE(Eventually([&] { return !DeniedSources(host.pc, toSshd).empty(); }));
    EXPECT_TRUE(Eventually(
        [&] { return !DeniedSources(host.pc, a + ":" + std::to_string(other)).empty(); }));
    EXPECT_EQ(DeniedSources(host.pc, toSshd).size(), 1u);
    EXPECT_TRUE(ssh.Exchange());

    // An orderly stop takes the table away; the next start puts it back, and connection
    // tracking still knows the session.
    host.svc->Signal(platform::CTRL_SHUTDOWN_EVENT);
    ASSERT_EQ(host.svc->Wait(), 0) << host.svc->Output();
    host.Start();
    {
        Client client;
        ASSERT_TRUE(client.connected()) << host.svc->Output();
    }
    EXPECT_TRUE(ssh.Exchange());
    EXPECT_EQ(DeniedSources(host.pc, toSshd).size(), 1u);

    // Sessions opened while the service was stopped, when nothing tracked connections: one is
    // taken up once the host has sent on it; on the other the peer speaks first, into the
    // filters.
    host.svc->Signal(platform::CTRL_SHUTDOWN_EVENT);
    ASSERT_EQ(host.svc->Wait(), 0) << host.svc->Output();
    Session late(lab, a, sshd), unanswered(lab, a, sshd);
    ASSERT_TRUE(late.Exchange());
    ASSERT_TRUE(unanswered.Exchange());
    host.Start();
    {
        Client client;
        ASSERT_TRUE(client.connected()) << host.svc->Output();
    }
    EXPECT_TRUE(late.Exchange(true));
    EXPECT_TRUE(late.Exchange());
    EXPECT_FALSE(unanswered.Exchange());
    EXPECT_TRUE(ssh.Exchange());

    // Off, the session meets the filters like everything else.
    host.svc->Signal(platform::CTRL_SHUTDOWN_EVENT);
    ASSERT_EQ(host.svc->Wait(), 0) << host.svc->Output();
    std::ofstream(host.pc.root() / "driver" / "antilockout") << "Off\n";
    host.Start();
    {
        Client client;
        ASSERT_TRUE(client.connected()) << host.svc->Output();
    }
    EXPECT_TRUE(Contains(host.pc.ServiceLogMessages(),
                         "Packet filter: anti-lockout off (driver/antilockout): SSH connections "
                         "to this host meet the filters like all other traffic."));
    EXPECT_EQ(lab.ListTable().find("antilockout"), std::string::npos) << lab.ListTable();
    EXPECT_FALSE(ssh.Exchange());
    EXPECT_FALSE(late.Exchange(true));
    // The session's own packets in are in the deny log now, beside the new connection's tries
    // and those of the session that spoke first into the filters.
    EXPECT_TRUE(Eventually([&] { return DeniedSources(host.pc, toSshd).size() == 3; }))
        << DeniedSources(host.pc, toSshd).size();
}

// A session the host is busy sending on while the table goes in. Tracking comes on a moment
// before the table's rules take effect, and may pick the session up from the host's side then,
// unseen by them; it is a session all the same once everything is dropped both ways. A few
// rounds, as that moment is short; from the second on the address drops from the start.
TEST(KernelAntiLockout, ASessionTheHostSendsOnWhileTheTableGoesInStaysASession) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    const std::uint16_t sshd = platform::pf::FindSshdPorts().ports.front();
    const std::string a = KernelLab::BoundAddress(0);
    HostService host(lab);
    for (int round = 0; round < 4; ++round) {
        Session ssh(lab, a, sshd);
        ASSERT_TRUE(ssh.Exchange()) << round;
        std::atomic<bool> stop{false}, finished{false}, lost{false};
        std::atomic<std::size_t> sent{0};
        std::thread sender([&] {
            const std::vector<std::uint8_t> chunk(1024, 'x');
            std::size_t done = 0;
            while (!stop && !ssh.server->Send(chunk, &done)) sent += done;
        });
        std::thread reader([&] {
            std::vector<std::uint8_t> buffer(1 << 16);
            std::size_t received = 0, done = 0;
            while (!(finished && received == sent)) {
                if (ssh.client->Receive(buffer, &done) || done == 0) {
                    lost = !(finished && received == sent);
                    return;
                }
                received += done;
            }
        });
        host.Start();
        {
            Client client;
            EXPECT_TRUE(client.connected()) << host.svc->Output();
            if (round == 0) Expect(client, "staf " + a + " 1 1");
        }
        stop = true;
        sender.join();
        // A last byte, counted first, wakes a reader that has read all the rest.
        ++sent;
        finished = true;
        std::size_t done = 0;
        const std::uint8_t last = 'x';
        EXPECT_EQ(ssh.server->Send({&last, 1}, &done), platform::kErrorSuccess);
        reader.join();
        EXPECT_FALSE(lost) << "round " << round;
        EXPECT_TRUE(ssh.Exchange(true)) << "round " << round;
        EXPECT_TRUE(ssh.Exchange()) << "round " << round;
        host.svc->Signal(platform::CTRL_SHUTDOWN_EVENT);
        ASSERT_EQ(host.svc->Wait(), 0) << host.svc->Output();
    }
}

// The lab's host as a router: an inner host behind it on a link of its own (the inner host
// 10.79.0.1, the host 10.79.0.2 on r0), forwarding on, the peer routing the inner network
// through the host's first link, and a NAT on the host that sends new TCP connections to
// `natAddress`:`natPort` on to the inner host.
struct Router {
    static constexpr const char* kInner = "10.79.0.1";

    Router(KernelLab& lab, const std::string& natAddress, std::uint16_t natPort) : inner("inner") {
        if (!inner.ok()) {
            error = inner.error();
            return;
        }
        const std::string nat =
            "add table ip lab_nat; add chain ip lab_nat pre { type nat hook "
            "prerouting priority dstnat; }; add rule ip lab_nat pre ip daddr " +
            natAddress + " tcp dport " + std::to_string(natPort) + " dnat to " + kInner;
        std::string why;
        if (netlab::Link(lab.host(), "r0", inner, "i0", &why) ||
            lab.host().Ip({"addr", "add", "10.79.0.2/24", "dev", "r0"}, &why) ||
            inner.Ip({"addr", "add", std::string(kInner) + "/24", "dev", "i0"}, &why) ||
            inner.Ip({"route", "add", "default", "via", "10.79.0.2"}, &why) ||
            lab.peer().Ip({"route", "add", "10.79.0.0/24", "via", KernelLab::BoundAddress(0)},
                          &why) ||
            lab.host().Exec({"/usr/sbin/nft", nat}, nullptr, &why))
            error = why.empty() ? "router set-up failed" : why;
        else if (lab.host().SetSysctl("net.ipv4.ip_forward", "1"))
            error = "forwarding could not be turned on";
    }
    netlab::Namespace inner;
    std::string error;
};

// The rule covers established sessions into the host itself and nothing else: TCP forwarded
// to sshd's port of a host behind it, and connections a NAT sends there from the host's own
// address, are decided by the filters like any other port (dropped and logged where they
// drop), while the administrator's session into the host outlives dropping both ways.
TEST(KernelAntiLockout, ForwardedAndNatedConnectionsToSshdMeetTheFilters) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    const std::uint16_t sshd = platform::pf::FindSshdPorts().ports.front();
    const std::uint16_t other = sshd == 8022 ? 8023 : 8022;
    const std::string a = KernelLab::BoundAddress(0), b = KernelLab::BoundAddress(1);
    const std::string inner = Router::kInner;
    Router router(lab, a, sshd);
    ASSERT_EQ(router.error, "");
    HostService host(lab);
    host.Start();
    ASSERT_TRUE(Client().connected()) << host.svc->Output();
    auto forwarded = [&](std::uint16_t port) {
        return std::make_unique<Session>(lab.peer(), inner, port, router.inner, inner);
    };
    auto nated = [&] {
        return std::make_unique<Session>(lab.peer(), a, sshd, router.inner, inner);
    };

    // Before any filtering: all of it gets through, the way the tests below use.
    for (std::uint16_t port : {sshd, other}) EXPECT_TRUE(forwarded(port)->Exchange()) << port;
    auto natSession = nated();
    ASSERT_TRUE(natSession->Exchange());
    Session admin(lab, b, sshd);
    ASSERT_TRUE(admin.Exchange());

    // Strong host on the device of a: forwarded packets arrive there for an address that is
    // not a's, so they are spoofs, to sshd's port as to any other.
    {
        Client client;
        Expect(client, "staf " + a + " 0 0");
        Expect(client, "sig " + a + " 8", "0 0");
    }
    for (std::uint16_t port : {sshd, other}) {
        EXPECT_EQ(forwarded(port)->error, platform::kErrorTimeout) << port;
        EXPECT_TRUE(Eventually([&] {
            return !DeniedSources(host.pc, inner + ":" + std::to_string(port)).empty();
        })) << port;
    }
    // What comes to a itself passes the check: the NAT's session goes on.
    EXPECT_TRUE(natSession->Exchange());

    // Input dropped on a: a new connection to a's sshd port, which the NAT would send on to
    // the inner host, is dropped and logged; the one it sent before is cut. Forwarded traffic
    // is on no address of the host and passes, to sshd's port as to any other.
    {
        Client client;
        Expect(client, "rig " + a + " 8");
        Expect(client, "stof " + a);
        Expect(client, "staf " + a + " 1 0");
    }
    EXPECT_EQ(nated()->error, platform::kErrorTimeout);
    EXPECT_TRUE(Eventually(
        [&] { return !DeniedSources(host.pc, a + ":" + std::to_string(sshd)).empty(); }));
    EXPECT_FALSE(natSession->Exchange());
    for (std::uint16_t port : {sshd, other}) EXPECT_TRUE(forwarded(port)->Exchange()) << port;

    // The administrator's session into the host outlives dropping both ways, unlogged.
    {
        Client client;
        Expect(client, "staf " + b + " 1 1");
    }
    EXPECT_TRUE(admin.Exchange());
    EXPECT_TRUE(admin.Exchange(true));
    EXPECT_TRUE(DeniedSources(host.pc, b + ":" + std::to_string(sshd)).empty());
}

// Only sessions into sshd: a process of the host bound to sshd's port opens no connection past
// "output drop", and, where output lets its SYN out, the answers meet the input filters.
TEST(KernelAntiLockout, AProcessOnSshdsPortOpensNoConnectionPastTheFilters) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    const std::uint16_t sshd = platform::pf::FindSshdPorts().ports.front();
    const std::string a = KernelLab::BoundAddress(0), far = KernelLab::PeerAddress(0);
    HostService host(lab);
    host.Start();
    ASSERT_TRUE(Client().connected()) << host.svc->Output();
    Session admin(lab, a, sshd);
    ASSERT_TRUE(admin.Exchange());
    // Each try to a port of its own: no two connections share their addresses and ports.
    std::uint16_t farPort = 9100;
    auto out = [&] {
        return std::make_unique<Session>(lab.host(), far, ++farPort, lab.peer(), far, a, sshd);
    };
    auto denied = [&](const std::string& to, const std::string& from) {
        return Eventually([&] { return DeniedSources(host.pc, to).count(from) != 0; });
    };
    EXPECT_TRUE(out()->Exchange());  // nothing filtered yet: the way out is open

    // Output dropped: the SYN is dropped and logged; input dropped: the answer is; both ways:
    // the SYN. The administrator's session goes on throughout.
    const std::string mine = a + ":" + std::to_string(sshd);
    for (const std::string actions : {"0 1", "1 0", "1 1"}) {
        {
            Client client;
            client.Command("stof " + a);  // not yet filtering the first time: no matter
            Expect(client, "staf " + a + " " + actions);
        }
        EXPECT_EQ(out()->error, platform::kErrorTimeout) << actions;
        const std::string theirs = far + ":" + std::to_string(farPort);
        EXPECT_TRUE(actions[2] == '1' ? denied(theirs, mine) : denied(mine, theirs)) << actions;
        EXPECT_TRUE(admin.Exchange(true)) << actions;
        EXPECT_TRUE(admin.Exchange()) << actions;
    }
}

// ---- Choosing the backend --------------------------------------------------------------------

class KernelChoice : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!netlab::CanMakeNamespaces(&why)) GTEST_SKIP() << "needs network namespaces: " << why;
        ns = std::make_unique<netlab::Namespace>("choice");
        ASSERT_TRUE(ns->ok()) << ns->error();
    }
    void Backend(const std::string& text) {
        fs::create_directories(pc.root() / "driver");
        std::ofstream(pc.root() / "driver" / "backend") << text;
    }
    // The service in the namespace, without the right to change the kernel's rules.
    std::vector<std::string> Unprivileged() {
        return ns->Wrap({"/usr/bin/setpriv", "--bounding-set=-net_admin", "--inh-caps=-net_admin"});
    }
    bool HasTable() {
        std::string out;
        ns->Exec({"/usr/sbin/nft", "list", "tables"}, &out);
        return out.find("zantor") != std::string::npos;
    }

    std::unique_ptr<netlab::Namespace> ns;
    Computer pc{HostAddresses{}};
};

TEST_F(KernelChoice, AKernelAskedForWithoutTheRightIsAStartUpFailure) {
    Backend("kernel\n");
    ServiceProcess svc(pc, {"-run"}, Unprivileged());
    EXPECT_EQ(svc.Wait(std::chrono::seconds(20)), 1) << svc.Output();
    auto log = pc.ServiceLogMessages();
    EXPECT_TRUE(Contains(log,
                         "Error [5] (Access was denied.) The packet filter cannot run in the "
                         "kernel as driver/backend asks: this process may not change the "
                         "kernel's rules ("))
        << svc.Output();
    EXPECT_FALSE(Contains(log, "Creating NamedPipe"));
    EXPECT_NE(svc.Output().find("It needs root or CAP_NET_ADMIN."), std::string::npos);
    EXPECT_FALSE(fs::exists(pc.root() / "pipe" / "qzw2kflt"));
}

TEST_F(KernelChoice, WithoutTheRightTheEngineRunsAndTheLogSaysTheHostIsNotFiltered) {
    ServiceProcess svc(pc, {"-run"}, Unprivileged());
    Client client;
    ASSERT_TRUE(client.connected()) << svc.Output();
    EXPECT_EQ(client.greeting().front(), "IP 127.0.0.1 255.0.0.0 0 1 0 0 0 0 0");
    Expect(client, "staf 127.0.0.1 1 1");
    EXPECT_TRUE(Contains(pc.ServiceLogMessages(),
                         "The host's traffic is not being filtered: this process may not change "
                         "the kernel's rules ("));
    EXPECT_FALSE(HasTable());
}

TEST_F(KernelChoice, TheBackendFileDecides) {
    Backend("  Engine \n");
    {
        ServiceProcess svc(pc, {"-run"}, ns->Wrap({}));
        Client client;
        ASSERT_TRUE(client.connected()) << svc.Output();
        Expect(client, "staf 127.0.0.1 1 1");
        EXPECT_FALSE(HasTable());
        EXPECT_TRUE(Contains(pc.ServiceLogMessages(),
                             "The host's traffic is not being filtered: driver/backend asks for "
                             "the engine, which decides only the packets sent to driver/packets."));
    }
    Backend("kernels");
    ServiceProcess bad(pc, {"-run"}, ns->Wrap({}));
    EXPECT_EQ(bad.Wait(std::chrono::seconds(20)), 1);
    EXPECT_TRUE(Contains(pc.ServiceLogMessages(), "says 'kernels'; it must say engine or kernel."))
        << bad.Output();

    // A simulated computer that asks for the kernel gets it, and a second service of the same
    // namespace cannot have it too.
    Backend("kernel");
    ServiceProcess first(pc, {"-run"}, ns->Wrap({}));
    ASSERT_TRUE(Client().connected()) << first.Output();
    EXPECT_TRUE(HasTable());
    Computer other("10.1.1.1 255.0.0.0 1\n");
    fs::create_directories(other.root() / "driver");
    std::ofstream(other.root() / "driver" / "backend") << "kernel";
    ServiceProcess second(other, {"-run"}, ns->Wrap({}));
    EXPECT_EQ(second.Wait(std::chrono::seconds(20)), 1);
    EXPECT_TRUE(Contains(other.ServiceLogMessages(),
                         "another process holds the table ip zantor of this network namespace"))
        << second.Output();
}

TEST_F(KernelChoice, TheAntiLockoutFileSaysOnOrOff) {
    auto write = [&](const std::string& text) {
        fs::create_directories(pc.root() / "driver");
        std::ofstream(pc.root() / "driver" / "antilockout") << text;
    };
    auto table = [&] {
        std::string out;
        ns->Exec({"/usr/sbin/nft", "list", "table", "ip", "zantor"}, &out);
        return out;
    };
    {
        ServiceProcess svc(pc, {"-run"}, ns->Wrap({}));
        ASSERT_TRUE(Client().connected()) << svc.Output();
        EXPECT_NE(table().find("fib daddr type local jump antilockout_in"), std::string::npos)
            << table();
        EXPECT_NE(svc.Output().find("Packet filter: anti-lockout on: established SSH "
                                    "connections to this host (TCP port"),
                  std::string::npos)
            << svc.Output();
    }
    write("maybe\n");
    ServiceProcess bad(pc, {"-run"}, ns->Wrap({}));
    EXPECT_EQ(bad.Wait(std::chrono::seconds(20)), 1);
    EXPECT_TRUE(
        Contains(pc.ServiceLogMessages(), "Error [13] (The data is not valid.) Packet filter: " +
                                              (pc.root() / "driver" / "antilockout").string() +
                                              " says 'maybe'; it must say on or off."))
        << bad.Output();
    // With the engine as well: a bad file is a bad file.
    Backend("engine");
    ServiceProcess engine(pc, {"-run"}, ns->Wrap({}));
    EXPECT_EQ(engine.Wait(std::chrono::seconds(20)), 1);

    Backend("kernel");
    write(" OFF ");
    ServiceProcess off(pc, {"-run"}, ns->Wrap({}));
    ASSERT_TRUE(Client().connected()) << off.Output();
    EXPECT_TRUE(HasTable());
    EXPECT_EQ(table().find("antilockout"), std::string::npos) << table();
    EXPECT_EQ(table().find(" ct "), std::string::npos) << table();
}

}  // namespace
