// Decisions of the packet filter driver: defaults and their exceptions, matching, fragments,
// global filters and unreadable packets.
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "tests/unit/pf_test_util.h"

using namespace platform;
using namespace zantor;
using namespace zantor::test;

namespace {

constexpr const char* kLocal = "10.0.0.5";
constexpr const char* kRemote = "192.168.1.20";

class PfDecisions : public ::testing::Test {
  protected:
    void Make(PFFORWARD_ACTION in, PFFORWARD_ACTION out) {
        ASSERT_EQ(driver->CreateInterface(0, in, out, false, true, &itf), 0u);
        IPAddr a = StrToIP(kLocal);
        ASSERT_EQ(
            driver->BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&a)),
            0u);
    }
    FILTER_HANDLE Add(PacketDirection dir, const FilterFields& f) {
        Descriptor d(f);
        FILTER_HANDLE h = 0;
        bool in = dir == PacketDirection::kInput;
        EXPECT_EQ(driver->AddFiltersToInterface(itf, in ? 1 : 0, in ? d.get() : nullptr, in ? 0 : 1,
                                                in ? nullptr : d.get(), &h),
                  0u);
        return h;
    }
    void Global(GLOBAL_FILTER g) { ASSERT_EQ(driver->AddGlobalFilterToInterface(itf, g), 0u); }
    PFFORWARD_ACTION In(const std::vector<std::uint8_t>& p, const char* local = kLocal) {
        return driver->DecidePacket(PacketDirection::kInput, StrToIP(local), p);
    }
    PFFORWARD_ACTION Out(const std::vector<std::uint8_t>& p) {
        return driver->DecidePacket(PacketDirection::kOutput, StrToIP(kLocal), p);
    }

    void Reset(PacketFilterDriver::Options o) {
        driver.reset();
        driver.emplace(std::move(o));
    }

    ManualClock clock;
    std::optional<PacketFilterDriver> driver{std::in_place, ManualOptions(clock)};
    INTERFACE_HANDLE itf = 0;
};

struct MatchCase {
    const char* name;
    FilterFields filter;
    std::vector<std::uint8_t> packet;  // from kRemote to kLocal
    bool matches;
};

std::vector<MatchCase> MatchCases() {
    auto tcp = [](std::uint16_t sport, std::uint16_t dport, std::uint8_t flags = kTcpAck) {
        return Tcp(kRemote, sport, kLocal, dport, flags);
    };
    auto udp = [](std::uint16_t sport, std::uint16_t dport) {
        return Udp(kRemote, sport, kLocal, dport);
    };
    auto icmp = [](std::uint8_t type, std::uint8_t code) {
        return Icmp(kRemote, kLocal, type, code);
    };
    PacketFields gre;
    gre.protocol = 47;
    gre.src = StrToIP(kRemote);
    gre.dst = StrToIP(kLocal);
    gre.payloadSize = 8;
    return {
        {"everything", {}, tcp(1234, 80), true},
        {"source host", {.src = kRemote, .srcMask = "255.255.255.255"}, tcp(1234, 80), true},
        {"other source host",
         {.src = "192.168.1.21", .srcMask = "255.255.255.255"},
         tcp(1, 80),
         false},
        {"source network", {.src = "192.168.1.0", .srcMask = "255.255.255.0"}, tcp(1, 80), true},
        {"host bits under the mask",
         {.src = "192.168.1.99", .srcMask = "255.255.255.0"},
         tcp(1, 80),
         true},
        {"other destination network",
         {.dst = "10.0.1.0", .dstMask = "255.255.255.0"},
         tcp(1, 80),
         false},
        {"non-contiguous mask", {.src = "0.0.1.0", .srcMask = "0.0.255.0"}, tcp(1, 80), true},
        {"protocol differs", {.protocol = 6}, udp(1, 80), false},
        {"protocol any", {.protocol = 0}, udp(1, 80), true},
        {"one port", {.protocol = 6, .dstLow = 80}, tcp(1234, 80), true},
        {"one port, other port", {.protocol = 6, .dstLow = 80}, tcp(1234, 81), false},
        {"range inside", {.protocol = 6, .dstLow = 1000, .dstHigh = 2000}, tcp(1, 1500), true},
        {"range above", {.protocol = 6, .dstLow = 1000, .dstHigh = 2000}, tcp(1, 2001), false},
        {"high below low: low alone",
         {.protocol = 6, .dstLow = 80, .dstHigh = 10},
         tcp(1, 80),
         true},
        {"high below low: not between",
         {.protocol = 6, .dstLow = 80, .dstHigh = 10},
         tcp(1, 50),
         false},
        {"source range", {.protocol = 17, .srcLow = 1024, .srcHigh = 65535}, udp(1024, 53), true},
        {"wide range", {.protocol = 6, .dstLow = 1024, .dstHigh = 60000}, tcp(1, 59999), true},
        {"wide range, above",
         {.protocol = 6, .dstLow = 1024, .dstHigh = 60000},
         tcp(1, 60001),
         false},
        {"narrow range over a block edge",
         {.protocol = 6, .dstLow = 250, .dstHigh = 260},
         tcp(1, 257),
         true},
        {"ICMP type alone", {.protocol = 1, .srcLow = 8}, icmp(8, 0), true},
        {"ICMP other type", {.protocol = 1, .srcLow = 8}, icmp(0, 0), false},
        {"ICMP type wildcard 255",
         {.protocol = 1, .srcLow = 255, .dstLow = 255},
         icmp(13, 7),
         true},
        {"ICMP code range",
         {.protocol = 1, .srcLow = 3, .dstLow = 1, .dstHigh = 3},
         icmp(3, 2),
         true},
        {"ICMP code outside",
         {.protocol = 1, .srcLow = 3, .dstLow = 1, .dstHigh = 3},
         icmp(3, 4),
         false},
        {"no SYN, ACK segment",
         {.protocol = 6, .flags = FD_FLAGS_NOSYN},
         tcp(1, 80, kTcpAck),
         true},
        {"no SYN, SYN segment",
         {.protocol = 6, .flags = FD_FLAGS_NOSYN},
         tcp(1, 80, kTcpSyn),
         false},
        {"no SYN, SYN+ACK segment",
         {.protocol = 6, .flags = FD_FLAGS_NOSYN},
         tcp(1, 80, kTcpSyn | kTcpAck),
         false},
        {"no SYN, any protocol, UDP", {.flags = FD_FLAGS_NOSYN}, udp(1, 80), false},
        {"other protocol ignores ports", {.protocol = 47, .dstLow = 9}, BuildPacket(gre), true},
    };
}

TEST_F(PfDecisions, FiltersAreExceptionsToTheDefaultInTheirDirectionOnly) {
    for (const MatchCase& c : MatchCases()) {
        for (PacketDirection dir : {PacketDirection::kInput, PacketDirection::kOutput}) {
            for (PFFORWARD_ACTION def : {PF_ACTION_FORWARD, PF_ACTION_DROP}) {
                SCOPED_TRACE(testing::Message()
                             << c.name << ", direction " << int(dir) << ", default " << def);
                Reset(ManualOptions(clock));
                Make(def, def);
                Add(dir, c.filter);
                PFFORWARD_ACTION flipped =
                    def == PF_ACTION_FORWARD ? PF_ACTION_DROP : PF_ACTION_FORWARD;
                PFFORWARD_ACTION expected = c.matches ? flipped : def;
                if (dir == PacketDirection::kInput) {
                    EXPECT_EQ(In(c.packet), expected);
                    EXPECT_EQ(Out(c.packet), def) << "the other direction has no filters";
                } else {
                    EXPECT_EQ(Out(c.packet), expected);
                    EXPECT_EQ(In(c.packet), def);
                }
            }
        }
    }
}

TEST_F(PfDecisions, DropDefaultWithNoSynLetsEstablishedTrafficThroughOnly) {
    Make(PF_ACTION_DROP, PF_ACTION_FORWARD);
    Add(PacketDirection::kInput, {.protocol = 6, .flags = FD_FLAGS_NOSYN});
    EXPECT_EQ(In(Tcp(kRemote, 80, kLocal, 40000, kTcpAck)), PF_ACTION_FORWARD);
    EXPECT_EQ(In(Tcp(kRemote, 80, kLocal, 40000, kTcpAck | kTcpPsh)), PF_ACTION_FORWARD);
    EXPECT_EQ(In(Tcp(kRemote, 40000, kLocal, 22, kTcpSyn)), PF_ACTION_DROP);
    EXPECT_EQ(In(Udp(kRemote, 53, kLocal, 40000)), PF_ACTION_DROP);
}

TEST_F(PfDecisions, UnboundAddressesAreForwarded) {
    Make(PF_ACTION_DROP, PF_ACTION_DROP);
    auto p = Tcp(kRemote, 1, "10.0.0.9", 80);
    EXPECT_EQ(In(p, "10.0.0.9"), PF_ACTION_FORWARD);
    EXPECT_EQ(In(Tcp(kRemote, 1, kLocal, 80)), PF_ACTION_DROP);
    ASSERT_EQ(driver->UnBindInterface(itf), 0u);
    EXPECT_EQ(In(Tcp(kRemote, 1, kLocal, 80)), PF_ACTION_FORWARD);
    IPAddr a = StrToIP("10.0.0.9");
    ASSERT_EQ(driver->BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&a)),
              0u);
    EXPECT_EQ(In(p, "10.0.0.9"), PF_ACTION_DROP);
    ASSERT_EQ(driver->DeleteInterface(itf), 0u);
    EXPECT_EQ(In(p, "10.0.0.9"), PF_ACTION_FORWARD);
}

TEST_F(PfDecisions, RemovedFiltersNoLongerMatch) {
    Make(PF_ACTION_FORWARD, PF_ACTION_FORWARD);
    FILTER_HANDLE a = Add(PacketDirection::kInput, {.protocol = 6, .dstLow = 22});
    FILTER_HANDLE b = Add(PacketDirection::kInput, {.protocol = 6, .dstLow = 20, .dstHigh = 25});
    auto ssh = Tcp(kRemote, 1, kLocal, 22);
    EXPECT_EQ(In(ssh), PF_ACTION_DROP);
    ASSERT_EQ(driver->RemoveFilterHandles(itf, 1, &a), 0u);
    EXPECT_EQ(In(ssh), PF_ACTION_DROP) << "the range still covers 22";
    ASSERT_EQ(driver->RemoveFilterHandles(itf, 1, &b), 0u);
    EXPECT_EQ(In(ssh), PF_ACTION_FORWARD);
}

TEST_F(PfDecisions, StrongHostDropsInputForOtherDestinations) {
    Make(PF_ACTION_FORWARD, PF_ACTION_FORWARD);
    auto elsewhere = Tcp(kRemote, 1, "10.0.0.6", 80);
    EXPECT_EQ(In(elsewhere), PF_ACTION_FORWARD);
    Global(GF_STRONGHOST);
    EXPECT_EQ(In(elsewhere), PF_ACTION_DROP);
    EXPECT_EQ(In(Tcp(kRemote, 1, kLocal, 80)), PF_ACTION_FORWARD);
    EXPECT_EQ(Out(Tcp("10.0.0.6", 1, kRemote, 80)), PF_ACTION_FORWARD) << "input only";
    ASSERT_EQ(driver->RemoveGlobalFilterFromInterface(itf, GF_STRONGHOST), 0u);
    EXPECT_EQ(In(elsewhere), PF_ACTION_FORWARD);
}

PacketFields Fragment(std::uint16_t id, std::uint16_t offset8, bool more, std::size_t payload,
                      std::uint8_t protocol = kProtocolTcp, std::uint16_t dport = 80) {
    PacketFields s;
    s.protocol = protocol;
    s.src = StrToIP(kRemote);
    s.dst = StrToIP(kLocal);
    s.srcPort = 40000;
    s.dstPort = dport;
    s.tcpFlags = kTcpAck;
    s.ipId = id;
    s.fragmentOffset = offset8;
    s.moreFragments = more;
    s.payloadSize = payload;
    return s;
}

TEST_F(PfDecisions, LaterFragmentsAreDecidedOnAddressesAndProtocolAlone) {
    Make(PF_ACTION_DROP, PF_ACTION_DROP);
    Add(PacketDirection::kInput, {.protocol = 6, .dstLow = 80});
    EXPECT_EQ(In(BuildPacket(Fragment(7, 0, true, 4))), PF_ACTION_FORWARD);
    EXPECT_EQ(In(BuildPacket(Fragment(7, 3, false, 10))), PF_ACTION_DROP)
        << "a port filter does not match a fragment without ports";
    Add(PacketDirection::kInput, {.protocol = 6, .flags = FD_FLAGS_NOSYN});
    EXPECT_EQ(In(BuildPacket(Fragment(7, 3, false, 10))), PF_ACTION_DROP)
        << "nor does a no-SYN filter";
    Add(PacketDirection::kInput, {.src = kRemote, .srcMask = "255.255.255.255", .protocol = 6});
    EXPECT_EQ(In(BuildPacket(Fragment(7, 3, false, 10))), PF_ACTION_FORWARD);
    // A first fragment cut inside the TCP header is decided the same way.
    Add(PacketDirection::kOutput, {.protocol = 6, .dstLow = 80});
    EXPECT_EQ(Out(BuildPacket(Fragment(8, 0, true, 0, kProtocolUdp))), PF_ACTION_DROP);
}

TEST_F(PfDecisions, FragmentCacheMakesLaterFragmentsFollowTheFirst) {
    PacketFilterDriver::Options o = ManualOptions(clock);
    o.fragmentCacheCapacity = 2;
    o.fragmentLifetime = std::chrono::seconds(30);
    Reset(o);
    Make(PF_ACTION_DROP, PF_ACTION_FORWARD);
    Add(PacketDirection::kInput, {.protocol = 6, .dstLow = 80});
    Global(GF_FRAGCACHE);

    auto later = [](std::uint16_t id) { return BuildPacket(Fragment(id, 3, false, 10)); };
    EXPECT_EQ(In(BuildPacket(Fragment(1, 0, true, 4))), PF_ACTION_FORWARD);
    EXPECT_EQ(In(later(1)), PF_ACTION_FORWARD);
    EXPECT_EQ(In(later(1)), PF_ACTION_FORWARD) << "still cached";
    EXPECT_EQ(In(later(2)), PF_ACTION_DROP) << "no first fragment seen";

    // Output forwards by default; its filter drops port 22, so a later fragment decided alone
    // would pass.
    Add(PacketDirection::kOutput, {.protocol = 6, .dstLow = 22});
    EXPECT_EQ(Out(BuildPacket(Fragment(3, 0, true, 4, kProtocolTcp, 22))), PF_ACTION_DROP);
    EXPECT_EQ(Out(later(3)), PF_ACTION_DROP) << "follows the dropped first fragment";
    EXPECT_EQ(Out(later(4)), PF_ACTION_FORWARD);

    // Capacity 2: datagram 4 comes after 1 and 3 and pushes 1 out.
    EXPECT_EQ(In(BuildPacket(Fragment(4, 0, true, 4))), PF_ACTION_FORWARD);
    EXPECT_EQ(In(later(4)), PF_ACTION_FORWARD);
    EXPECT_EQ(In(later(1)), PF_ACTION_DROP) << "evicted";

    clock.Advance(std::chrono::seconds(31));
    EXPECT_EQ(In(later(4)), PF_ACTION_DROP) << "expired";

    ASSERT_EQ(driver->RemoveGlobalFilterFromInterface(itf, GF_FRAGCACHE), 0u);
    EXPECT_EQ(In(BuildPacket(Fragment(5, 0, true, 4))), PF_ACTION_FORWARD);
    EXPECT_EQ(In(later(5)), PF_ACTION_DROP) << "without the cache";
}

TEST_F(PfDecisions, FragmentCheckingDropsBadFragments) {
    struct Case {
        const char* name;
        PacketFields fragment;
        bool bad;
    };
    const Case cases[] = {
        {"first fragment with its TCP header", Fragment(1, 0, true, 4), false},
        {"last fragment", Fragment(1, 3, false, 5), false},
        {"unfragmented", Fragment(1, 0, false, 3), false},
        {"non-last fragment not a multiple of 8", Fragment(2, 3, true, 13), true},
        {"empty non-last fragment", Fragment(3, 3, true, 0, 47), true},
        {"UDP first fragment of its header alone", Fragment(4, 0, true, 0, kProtocolUdp), false},
        {"TCP fragment at offset 8", Fragment(5, 1, false, 16), true},
        {"UDP fragment at offset 8", Fragment(5, 1, false, 16, kProtocolUdp), false},
        {"beyond 65,535 bytes", Fragment(6, 8190, false, 40), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset(ManualOptions(clock));
        Make(PF_ACTION_FORWARD, PF_ACTION_FORWARD);
        auto bytes = BuildPacket(c.fragment);
        EXPECT_EQ(In(bytes), PF_ACTION_FORWARD) << "unchecked";
        Global(GF_FRAGMENTS);
        EXPECT_EQ(In(bytes), c.bad ? PF_ACTION_DROP : PF_ACTION_FORWARD);
    }
    // A TCP first fragment that stops inside the header.
    PacketFields tiny = Fragment(9, 0, true, 0, 47);
    auto bytes = BuildPacket(tiny);
    bytes[9] = kProtocolTcp;  // 8-byte payload: not a whole TCP header
    bytes.resize(28);
    bytes[2] = 0;
    bytes[3] = 28;
    EXPECT_EQ(In(bytes), PF_ACTION_DROP);
}

TEST_F(PfDecisions, FragmentCheckingDropsOverlapsButNotRepeats) {
    Make(PF_ACTION_FORWARD, PF_ACTION_FORWARD);
    Global(GF_FRAGMENTS);
    auto first = BuildPacket(Fragment(1, 0, true, 4));  // bytes 0..24
    EXPECT_EQ(In(first), PF_ACTION_FORWARD);
    EXPECT_EQ(In(first), PF_ACTION_FORWARD) << "a repeat";
    EXPECT_EQ(In(BuildPacket(Fragment(1, 2, true, 16))), PF_ACTION_DROP) << "16..32 overlaps";
    EXPECT_EQ(In(BuildPacket(Fragment(1, 3, false, 8))), PF_ACTION_FORWARD) << "24..32 follows";
    EXPECT_EQ(In(BuildPacket(Fragment(2, 2, true, 16))), PF_ACTION_FORWARD) << "another datagram";
    // PfTestPacket reads the state but does not add to it.
    PFFORWARD_ACTION a;
    EXPECT_EQ(In(BuildPacket(Fragment(3, 0, true, 4))), PF_ACTION_FORWARD);
    auto probe = BuildPacket(Fragment(3, 4, true, 16));
    ASSERT_EQ(driver->TestPacket(itf, 0, static_cast<DWORD>(probe.size()), probe.data(), &a), 0u);
    EXPECT_EQ(a, PF_ACTION_FORWARD);
    EXPECT_EQ(In(BuildPacket(Fragment(3, 5, true, 16))), PF_ACTION_FORWARD)
        << "the tested fragment was not recorded";
}

TEST_F(PfDecisions, UnreadablePacketsAreDroppedAndCountedEverywhere) {
    Make(PF_ACTION_FORWARD, PF_ACTION_FORWARD);
    auto good = Tcp(kRemote, 1, kLocal, 80);
    auto with = [&](auto change) {
        auto p = good;
        change(p);
        return p;
    };
    const std::pair<const char*, std::vector<std::uint8_t>> cases[] = {
        {"empty", {}},
        {"19 bytes", std::vector<std::uint8_t>(good.begin(), good.begin() + 19)},
        {"version 6", with([](auto& p) { p[0] = 0x65; })},
        {"header length 16", with([](auto& p) { p[0] = 0x44; })},
        {"header length beyond the total", with([](auto& p) {
             p[0] = 0x4F;
             p[3] = 40;
         })},
        {"total length beyond the bytes", with([](auto& p) { p[3] = 41; })},
        {"total length below the header", with([](auto& p) { p[3] = 19; })},
        {"TCP header cut", with([](auto& p) {
             p[3] = 30;
             p.resize(30);
         })},
    };
    std::uint64_t counted = driver->GetStatistics().malformed;
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(In(bytes), PF_ACTION_DROP);
        EXPECT_EQ(driver->DecidePacket(PacketDirection::kInput, StrToIP("10.9.9.9"), bytes),
                  PF_ACTION_DROP)
            << "even on an address without interface";
        EXPECT_EQ(driver->GetStatistics().malformed, counted += 2);
    }
    // Link padding after the total length is not part of the packet.
    auto padded = good;
    padded.resize(good.size() + 6, 0xEE);
    EXPECT_EQ(In(padded), PF_ACTION_FORWARD);
}

// The index against a plain reading of the rules, over random filter sets, including removals.
struct Reference {
    IPAddr src, srcMask, dst, dstMask;
    std::uint8_t protocol;
    std::uint16_t sl, sh, dl, dh;
    bool noSyn;
};

bool InRange(std::uint16_t low, std::uint16_t high, std::uint16_t v, bool icmp) {
    if ((low == 0 && high == 0) || (icmp && low == 255)) return true;
    if (high < low) return v == low;
    return low <= v && v <= high;
}

bool ReferenceMatch(const Reference& r, const PacketFields& p) {
    if ((p.src & r.srcMask) != (r.src & r.srcMask) || (p.dst & r.dstMask) != (r.dst & r.dstMask))
        return false;
    if (r.protocol != 0 && r.protocol != p.protocol) return false;
    if (r.noSyn && (p.protocol != kProtocolTcp || (p.tcpFlags & kTcpSyn))) return false;
    if (r.protocol == kProtocolTcp || r.protocol == kProtocolUdp)
        return InRange(r.sl, r.sh, p.srcPort, false) && InRange(r.dl, r.dh, p.dstPort, false);
    if (r.protocol == kProtocolIcmp)
        return InRange(r.sl, r.sh, p.icmpType, true) && InRange(r.dl, r.dh, p.icmpCode, true);
    return true;
}

TEST_F(PfDecisions, IndexAgreesWithAPlainScan) {
    std::mt19937 rng(20240611);
    auto pick = [&](auto... v) {
        std::uint32_t values[] = {static_cast<std::uint32_t>(v)...};
        return values[rng() % sizeof...(v)];
    };
    const IPAddr hosts[] = {MakeIP(10, 0, 0, 5),     MakeIP(10, 0, 0, 7),    MakeIP(10, 1, 0, 7),
                            MakeIP(192, 168, 1, 20), MakeIP(192, 168, 2, 1), MakeIP(172, 16, 5, 5)};
    auto host = [&] { return hosts[rng() % 6]; };
    auto mask = [&] {
        return MakeIP(255, 255, 255, 255) &
               static_cast<IPAddr>(pick(0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFFFFu,
                                        0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu));
    };
    auto port = [&] {
        return static_cast<std::uint16_t>(pick(0, 0, 22, 80, 255, 256, 1023, 1024, 4095, 4096, 8080,
                                               60000, 65535, rng() % 65536));
    };
    Make(PF_ACTION_FORWARD, PF_ACTION_FORWARD);
    std::vector<std::pair<FILTER_HANDLE, Reference>> live;
    // Short lists are scanned and long ones indexed: the rounds go from a few filters to a
    // hundred and more, and back to a few, with the same answers all along.
    const int adds[] = {5, 40, 40, 40, 40, 40, 0, 0};
    for (int round = 0; round < 8; ++round) {
        for (int i = 0; i < adds[round]; ++i) {
            Reference r{host(),
                        mask(),
                        host(),
                        mask(),
                        static_cast<std::uint8_t>(pick(0, 1, 1, 6, 6, 6, 6, 17, 17, 17, 47)),
                        port(),
                        port(),
                        port(),
                        port(),
                        rng() % 8 == 0};
            Descriptor d({IPToStr(r.src), IPToStr(r.srcMask), IPToStr(r.dst), IPToStr(r.dstMask),
                          r.protocol, r.sl, r.sh, r.dl, r.dh, r.noSyn ? FD_FLAGS_NOSYN : 0});
            FILTER_HANDLE h;
            ASSERT_EQ(driver->AddFiltersToInterface(itf, 1, d.get(), 0, nullptr, &h), 0u);
            live.emplace_back(h, r);
        }
        const std::size_t removals = round == 0 ? 2 : round < 6 ? 15 : live.size() * 3 / 4;
        for (std::size_t i = 0; i < removals && !live.empty(); ++i) {  // some, from anywhere
            std::size_t at = rng() % live.size();
            ASSERT_EQ(driver->RemoveFilterHandles(itf, 1, &live[at].first), 0u);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
        }
        for (int i = 0; i < 1500; ++i) {
            PacketFields p;
            p.protocol = static_cast<std::uint8_t>(pick(1, 6, 6, 17, 47));
            p.src = host();
            p.dst = host();
            p.srcPort = port();
            p.dstPort = port();
            p.icmpType = static_cast<std::uint8_t>(pick(0, 3, 8, 11, 255, rng() % 256));
            p.icmpCode = static_cast<std::uint8_t>(pick(0, 1, 3, rng() % 16));
            p.tcpFlags = static_cast<std::uint8_t>(pick(kTcpSyn, kTcpAck, kTcpSyn | kTcpAck));
            bool expected = false;
            for (const auto& [h, r] : live) expected = expected || ReferenceMatch(r, p);
            PFFORWARD_ACTION a;
            auto bytes = BuildPacket(p);
            ASSERT_EQ(
                driver->TestPacket(itf, 0, static_cast<DWORD>(bytes.size()), bytes.data(), &a), 0u);
            ASSERT_EQ(a, expected ? PF_ACTION_DROP : PF_ACTION_FORWARD)
                << "round " << round << " packet " << i << " proto " << int(p.protocol) << " "
                << IPToStr(p.src) << ":" << p.srcPort << " -> " << IPToStr(p.dst) << ":"
                << p.dstPort;
        }
    }
}

}  // namespace
