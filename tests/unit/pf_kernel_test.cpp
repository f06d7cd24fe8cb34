// The kernel backend: where filters go in the kernel, the log prefix, frames written for the
// kernel's drops, and, in a network namespace of the test's own, what reaches the kernel when.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>

#include "platform/netlab.h"
#include "platform/pf/pf_kernel.h"
#include "platform/pf/pf_ruleset.h"
#include "tests/unit/pf_test_util.h"

using namespace platform;
using namespace platform::pf;
using namespace zantor;
using namespace zantor::test;

namespace {

Placement Place(const FilterFields& f, PacketDirection direction = PacketDirection::kInput) {
    Descriptor d(f);
    Rule rule;
    EXPECT_EQ(CompileRule(*d.get(), rule), kErrorSuccess);
    return PlaceFilter(rule, direction);
}

TEST(KernelPlacement, KeyableFiltersAreSetElementsAndTheRestRules) {
    // A prefix source and one destination port: one lookup, whatever the number of such filters.
    Placement web = Place({.src = "10.1.2.3",
                           .srcMask = "255.255.255.0",
                           .protocol = 6,
                           .dstLow = 80,
                           .dstHigh = 80});
    EXPECT_EQ(web.kind, Placement::kElement);
    EXPECT_TRUE(web.transport);
    EXPECT_EQ(web.shape, "ip saddr & 255.255.255.0 . ip protocol . th dport");
    EXPECT_EQ(web.setType, "ipv4_addr . inet_proto . inet_service");
    EXPECT_EQ(web.element, "10.1.2.0 . 6 . 80");

    // A high port below the low one is the low port alone; 0..65535 is any port.
    Placement low = Place({.protocol = 17, .srcLow = 0, .srcHigh = 65535, .dstLow = 53});
    EXPECT_EQ(low.kind, Placement::kElement);
    EXPECT_EQ(low.shape, "ip protocol . th dport");
    EXPECT_EQ(low.element, "17 . 53");

    // Addresses and protocol only: it matches later fragments too, so it reads no transport.
    Placement proto = Place({.dst = "10.77.0.2",
                             .dstMask = "255.255.255.255",
                             .protocol = 253,
                             .srcLow = 4,
                             .dstLow = 9});
    EXPECT_EQ(proto.kind, Placement::kElement);
    EXPECT_FALSE(proto.transport);
    EXPECT_EQ(proto.shape, "ip daddr . ip protocol");

    // Non-prefix masks key as well: the mask is part of the lookup.
    Placement odd = Place({.src = "10.9.1.7", .srcMask = "255.0.255.0"});
    EXPECT_EQ(odd.shape, "ip saddr & 255.0.255.0");
    EXPECT_EQ(odd.element, "10.0.1.0");

    // ICMP: the port fields are type and code; a low of 255 is any type.
    Placement echo = Place({.protocol = 1, .srcLow = 8, .srcHigh = 8, .dstLow = 255});
    EXPECT_EQ(echo.shape, "icmp type");
    EXPECT_EQ(echo.element, "8");
    Placement anyIcmp = Place({.protocol = 1, .srcLow = 255, .srcHigh = 3});
    EXPECT_EQ(anyIcmp.shape, "ip protocol");
    EXPECT_FALSE(anyIcmp.transport);

    // No SYN: the test comes first and brings TCP with it.
    Placement nosyn = Place(
        {.src = "1.2.3.4", .srcMask = "255.255.255.255", .protocol = 6, .flags = FD_FLAGS_NOSYN});
    EXPECT_EQ(nosyn.kind, Placement::kElement);
    EXPECT_EQ(nosyn.shape, "tcp flags & syn == 0 ip saddr");

    // Ranges, rule numbers and filters with nothing to key on are rules.
    Placement range = Place({.protocol = 6, .dstLow = 1000, .dstHigh = 1010});
    EXPECT_EQ(range.kind, Placement::kRule);
    EXPECT_EQ(range.match, "ip protocol 6 th dport 1000-1010");
    Placement numbered = Place({.protocol = 17, .dstLow = 53, .rule = 7});
    EXPECT_EQ(numbered.kind, Placement::kRule);
    Placement types = Place({.src = "10.0.1.0",
                             .srcMask = "255.0.255.0",
                             .protocol = 1,
                             .srcLow = 3,
                             .srcHigh = 300,
                             .dstLow = 1,
                             .dstHigh = 1});
    EXPECT_EQ(types.match,
              "ip saddr & 255.0.255.0 == 10.0.1.0 ip protocol 1 icmp type 3-255 "
              "icmp code 1");
    // A rule is grouped under the network (at most /24) of the address it names, the far side's
    // (an input's source, an output's destination) before the near side's.
    EXPECT_EQ(range.group, "");
    EXPECT_EQ(types.group, "ip saddr & 255.0.255.0");
    EXPECT_EQ(types.groupKey, "10.0.1.0");
    const FilterFields between{.src = "10.1.2.3",
                               .srcMask = "255.255.255.255",
                               .dst = "10.77.0.2",
                               .dstMask = "255.255.255.255",
                               .protocol = 6,
                               .dstLow = 1,
                               .dstHigh = 9};
    Placement in = Place(between), out = Place(between, PacketDirection::kOutput);
    EXPECT_EQ(in.group, "ip saddr & 255.255.255.0");
    EXPECT_EQ(in.groupKey, "10.1.2.0");
    EXPECT_EQ(in.match, "ip saddr 10.1.2.3 ip daddr 10.77.0.2 ip protocol 6 th dport 1-9");
    EXPECT_EQ(out.group, "ip daddr & 255.255.255.0");
    EXPECT_EQ(out.groupKey, "10.77.0.0");
    EXPECT_EQ(out.match, in.match);
    EXPECT_EQ(Place({.src = "10.77.0.2", .srcMask = "255.255.255.255", .protocol = 6, .rule = 1},
                    PacketDirection::kOutput)
                  .group,
              "ip saddr & 255.255.255.0");
    Placement to = Place({.dst = "10.77.0.9", .dstMask = "255.255.0.0", .protocol = 6, .rule = 3});
    EXPECT_EQ(to.group, "ip daddr & 255.255.0.0");
    EXPECT_EQ(to.groupKey, "10.77.0.0");
    // A mask with nothing in the network's bytes groups by the other address, or not at all.
    Placement last = Place({.src = "10.1.2.3", .srcMask = "0.0.0.255", .protocol = 6, .rule = 3});
    EXPECT_EQ(last.group, "");
    EXPECT_EQ(last.match, "ip saddr & 0.0.0.255 == 0.0.0.3 ip protocol 6");
    EXPECT_EQ(Place({}).kind, Placement::kRule);  // everything
    EXPECT_EQ(Place({}).match, "");
    EXPECT_EQ(Place({.flags = FD_FLAGS_NOSYN}).match, "tcp flags & syn == 0");

    // Filters no packet can match have no place at all.
    EXPECT_EQ(Place({.protocol = 17, .flags = FD_FLAGS_NOSYN}).kind, Placement::kNowhere);
    EXPECT_EQ(Place({.protocol = 1, .srcLow = 256, .srcHigh = 300}).kind, Placement::kNowhere);
}

TEST(KernelLogPrefix, CarriesInterfaceFrameTypeAndRule) {
    EXPECT_EQ(LogPrefix(7, PFFT_SPOOF, 0), "zantor 7 3 0");
    DWORD name = 0, rule = 0;
    PFFRAMETYPE type = PFFT_FILTER;
    ASSERT_TRUE(ParseLogPrefix(LogPrefix(4294967295u, PFFT_FRAG, 77), name, type, rule));
    EXPECT_EQ(name, 4294967295u);
    EXPECT_EQ(type, PFFT_FRAG);
    EXPECT_EQ(rule, 77u);
    for (const char* bad :
         {"", "zantor", "zantor 1 1", "zantor 1 1 0 ", "zantor 1 4 0", "zantor 1 0 0",
          "other 1 1 0", "zantor x 1 0", "zantor 1  1 0", "zantor 99999999999 1 0"})
        EXPECT_FALSE(ParseLogPrefix(bad, name, type, rule)) << bad;
}

// The frame of a drop the kernel reports is the frame the engine writes for the same drop.
TEST(KernelLogFrames, AreWrittenExactlyAsTheEngineWritesThem) {
    PacketFilterDriver engine(Untimed()), mirror(Untimed());
    Event eventA, eventB;
    INTERFACE_HANDLE itf = 0;
    ASSERT_EQ(engine.CreateInterface(0, PF_ACTION_DROP, PF_ACTION_FORWARD, true, true, &itf), 0u);
    IPAddr ip = StrToIP("10.0.0.5");
    ASSERT_EQ(engine.BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
              0u);
    alignas(8) std::uint8_t a[1280] = {}, b[1280] = {};
    DWORD logged, lost, used;
    for (auto* d : {&engine, &mirror}) ASSERT_EQ(d->MakeLog(d == &engine ? &eventA : &eventB), 0u);
    ASSERT_EQ(engine.SetLogBuffer(a, sizeof a, 0xFFFF1BA0, 300, &logged, &lost, &used), 0u);
    ASSERT_EQ(mirror.SetLogBuffer(b, sizeof b, 0xFFFF1BA0, 300, &logged, &lost, &used), 0u);

    PacketFields big;
    big.src = StrToIP("192.168.1.20");
    big.dst = ip;
    big.dstPort = 22;
    big.payloadSize = 500;  // more than a frame keeps
    std::vector<std::vector<std::uint8_t>> packets = {BuildPacket(big),
                                                      Udp("192.168.1.20", 9, "10.0.0.5", 53),
                                                      Icmp("192.168.1.20", "10.0.0.5", 13, 0)};
    for (const auto& p : packets) {
        ASSERT_EQ(engine.DecidePacket(PacketDirection::kInput, ip, p), PF_ACTION_DROP);
        // nflog hands over the header and 128 bytes: the copy of a long packet is cut short.
        std::size_t copy = std::min<std::size_t>(p.size(), 20 + kPfLogMaxAdditionalData);
        mirror.LogDrop(itf, PFFT_FILTER, 0, {p.data(), copy});
    }
    // Not IPv4, or a header that says more than the copy holds: nothing is written.
    std::vector<std::uint8_t> junk(40, 0x60);
    mirror.LogDrop(itf, PFFT_FILTER, 0, junk);
    mirror.LogDrop(itf, PFFT_FILTER, 0, {packets[1].data(), 12});

    DWORD usedA, usedB;
    alignas(8) std::uint8_t c[1280], d[1280];
    ASSERT_EQ(engine.SetLogBuffer(c, sizeof c, 0xFFFF1BA0, 300, &logged, &lost, &usedA), 0u);
    ASSERT_EQ(logged, 3u);
    ASSERT_EQ(mirror.SetLogBuffer(d, sizeof d, 0xFFFF1BA0, 300, &logged, &lost, &usedB), 0u);
    EXPECT_EQ(logged, 3u);
    ASSERT_EQ(usedA, usedB);
    // Frame by frame, all but the time stamps.
    for (DWORD at = 0; at < usedA;) {
        auto* fa = reinterpret_cast<PFLOGFRAME*>(a + at);
        auto* fb = reinterpret_cast<PFLOGFRAME*>(b + at);
        EXPECT_EQ(std::memcmp(a + at + 8, b + at + 8, fa->dwTotalSizeUsed - 8), 0) << at;
        EXPECT_EQ(fa->dwTotalSizeUsed, fb->dwTotalSizeUsed);
        at += fa->dwTotalSizeUsed;
    }
}

// In-process tests of the kernel backend need a network namespace of their own.
class KernelBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!lab::CanMakeNamespaces(&why)) GTEST_SKIP() << "needs network namespaces: " << why;
        ASSERT_EQ(lab::EnterPrivateNamespace(&why), kErrorSuccess) << why;
        KernelBackend::Options options;
        options.report = [this](const std::string& line) { reports.push_back(line); };
        options.beforeChange = [this](std::string& commands) {
            if (refuseNext) commands += "add rule ip zantor no_such_chain accept\n";
            refuseNext = false;
        };
        ASSERT_EQ(KernelBackend::Create(engine, options, &backend, &why), kErrorSuccess) << why;
    }

    // The text of one block of the listing ("map inmap"), up to its closing brace.
    std::string Block(const std::string& name) {
        std::string table = Table();
        std::size_t at = table.find(name + " {");
        return at == std::string::npos ? "" : table.substr(at, table.find('}', at) - at);
    }

    std::string Table() {
        std::string out;
        if (lab::RunProgram({"/usr/sbin/nft", "list", "table", "ip", "zantor"}, &out)) return "";
        return out;
    }

    PFFORWARD_ACTION Test(const std::vector<std::uint8_t>& packet) {
        PFFORWARD_ACTION action = PF_ACTION_FORWARD;
        EXPECT_EQ(
            engine.TestPacket(itf, 0, static_cast<DWORD>(packet.size()), packet.data(), &action),
            0u);
        return action;
    }

    void Interface(const char* address, PFFORWARD_ACTION in, PFFORWARD_ACTION out) {
        ASSERT_EQ(backend->CreateInterface(0, in, out, true, true, &itf), 0u);
        IPAddr ip = StrToIP(address);
        ASSERT_EQ(
            backend->BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
            0u);
    }

    PacketFilterDriver engine{Untimed()};
    std::unique_ptr<KernelBackend> backend;
    std::vector<std::string> reports;
    bool refuseNext = false;
    INTERFACE_HANDLE itf = 0;
};

TEST_F(KernelBackendTest, ChangesWaitForTheWholeTableThenGoOneByOne) {
    Interface("10.9.0.2", PF_ACTION_DROP, PF_ACTION_FORWARD);
    Descriptor web({.protocol = 6, .dstLow = 80, .dstHigh = 80});
    FILTER_HANDLE h = 0;
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, web.get(), 0, nullptr, &h), 0u);
    // The replay builds the model; the kernel keeps what it had until the whole table comes.
    EXPECT_EQ(Table(), "");
    ASSERT_EQ(backend->WriteTable(nullptr), kErrorSuccess);
    std::string table = Table();
    EXPECT_NE(table.find("elements = { tcp . 80 }"), std::string::npos) << table;
    EXPECT_NE(table.find("10.9.0.2 : jump i1_in"), std::string::npos) << table;

    // From now on each change reaches the kernel at once, and removals take it out again.
    Descriptor range({.protocol = 17, .dstLow = 5000, .dstHigh = 5010});
    FILTER_HANDLE r = 0;
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, range.get(), 0, nullptr, &r), 0u);
    EXPECT_NE(Block("chain i1_in_t").find("5000-5010 accept"), std::string::npos) << Table();
    ASSERT_EQ(backend->RemoveFilterHandles(itf, 1, &r), 0u);
    ASSERT_EQ(backend->RemoveFilterHandles(itf, 1, &h), 0u);
    table = Table();
    EXPECT_EQ(table.find("5000-5010"), std::string::npos) << table;
    EXPECT_EQ(table.find("elements = { tcp . 80 }"), std::string::npos) << table;

    // The fragment cache moves the interface's input to the input hook.
    EXPECT_NE(Block("map premap").find("10.9.0.2"), std::string::npos) << Table();
    ASSERT_EQ(backend->AddGlobalFilterToInterface(itf, GF_FRAGCACHE), 0u);
    EXPECT_EQ(Block("map premap").find("10.9.0.2"), std::string::npos) << Table();
    EXPECT_NE(Block("map inmap").find("10.9.0.2"), std::string::npos) << Table();
    ASSERT_EQ(backend->UnBindInterface(itf), 0u);
    EXPECT_EQ(Table().find("i1_in"), std::string::npos) << Table();
    ASSERT_EQ(backend->DeleteInterface(itf), 0u);

    ASSERT_EQ(backend->RemoveTable(nullptr), kErrorSuccess);
    EXPECT_EQ(Table(), "");
}

TEST_F(KernelBackendTest, AChangeTheKernelRefusesChangesNothingAnywhere) {
    Interface("10.9.0.2", PF_ACTION_DROP, PF_ACTION_FORWARD);
    ASSERT_EQ(backend->WriteTable(nullptr), kErrorSuccess);
    const std::string before = Table();
    const auto ssh = Tcp("10.200.1.5", 40000, "10.9.0.2", 22);
    ASSERT_EQ(Test(ssh), PF_ACTION_DROP);

    Descriptor allow({.protocol = 6, .dstLow = 22, .dstHigh = 22});
    FILTER_HANDLE h = 0;
    refuseNext = true;
    EXPECT_EQ(backend->AddFiltersToInterface(itf, 1, allow.get(), 0, nullptr, &h),
              kPfErrorKernelRefused);
    EXPECT_EQ(Table(), before);
    EXPECT_EQ(Test(ssh), PF_ACTION_DROP);  // the engine took it back
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("The kernel refused a change of its rules (Error:"),
              std::string::npos)
        << reports[0];

    // The same filter once the kernel takes it; a refused removal leaves the handle good.
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, allow.get(), 0, nullptr, &h), 0u);
    EXPECT_EQ(Test(ssh), PF_ACTION_FORWARD);
    const std::string with = Table();
    refuseNext = true;
    EXPECT_EQ(backend->RemoveFilterHandles(itf, 1, &h), kPfErrorKernelRefused);
    EXPECT_EQ(Table(), with);
    EXPECT_EQ(Test(ssh), PF_ACTION_FORWARD);
    refuseNext = true;
    EXPECT_EQ(backend->AddGlobalFilterToInterface(itf, GF_STRONGHOST), kPfErrorKernelRefused);
    EXPECT_EQ(engine.RemoveGlobalFilterFromInterface(itf, GF_STRONGHOST), kErrorNotFound);
    refuseNext = true;
    EXPECT_EQ(backend->UnBindInterface(itf), kPfErrorKernelRefused);
    EXPECT_EQ(Test(ssh), PF_ACTION_FORWARD);
    EXPECT_EQ(backend->RemoveFilterHandles(itf, 1, &h), 0u);
    EXPECT_EQ(Table().find("tcp . 22"), std::string::npos) << Table();

    // The engine's own refusals never reach the kernel.
    EXPECT_EQ(backend->RemoveFilterHandles(itf, 1, &h), kErrorInvalidHandle);
    EXPECT_EQ(backend->UnBindInterface(itf + 1), kPfErrorNoPfInterface);
    EXPECT_EQ(reports.size(), 4u);
}

// Rules that name an address sit in a chain of its network, so other networks' packets pass
// them by.
TEST_F(KernelBackendTest, RulesAreGroupedByTheNetworkTheyName) {
    Interface("10.9.0.2", PF_ACTION_DROP, PF_ACTION_FORWARD);
    ASSERT_EQ(backend->WriteTable(nullptr), kErrorSuccess);
    const char* one = "255.255.255.255";
    Descriptor tcp(
        {.src = "10.1.0.1", .srcMask = one, .protocol = 6, .dstLow = 1000, .dstHigh = 1010});
    Descriptor udp(
        {.src = "10.1.0.1", .srcMask = one, .protocol = 17, .dstLow = 2000, .dstHigh = 2010});
    Descriptor neighbour(
        {.src = "10.1.0.9", .srcMask = one, .protocol = 6, .dstLow = 4000, .dstHigh = 4010});
    Descriptor other(
        {.src = "10.2.0.1", .srcMask = one, .protocol = 6, .dstLow = 1000, .dstHigh = 1010});
    Descriptor anyone({.protocol = 6, .dstLow = 3000, .dstHigh = 3010});
    FILTER_HANDLE h[5] = {};
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, tcp.get(), 0, nullptr, &h[0]), 0u);
    // A refused change leaves no key or chain behind in the model: the same filter, sent again,
    // must create them again, and one of a network that has a chain must not count twice.
    refuseNext = true;
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, udp.get(), 0, nullptr, &h[1]),
              kPfErrorKernelRefused);
    refuseNext = true;
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, other.get(), 0, nullptr, &h[3]),
              kPfErrorKernelRefused);
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, udp.get(), 0, nullptr, &h[1]), 0u);
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, neighbour.get(), 0, nullptr, &h[2]), 0u);
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, other.get(), 0, nullptr, &h[3]), 0u);
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, anyone.get(), 0, nullptr, &h[4]), 0u);

    const std::string parent = Block("chain i1_in_t");
    EXPECT_NE(parent.find("ip saddr & 255.255.255.0 vmap @i1_in_v1"), std::string::npos) << Table();
    EXPECT_NE(parent.find("tcp dport 3000-3010 accept"), std::string::npos) << Table();
    EXPECT_EQ(parent.find("1000-1010"), std::string::npos) << Table();
    const std::string first = Block("chain i1_in_v1_10_1_0_0");
    EXPECT_NE(first.find("ip saddr 10.1.0.1 tcp dport 1000-1010 accept"), std::string::npos)
        << Table();
    EXPECT_NE(first.find("ip saddr 10.1.0.1 udp dport 2000-2010 accept"), std::string::npos)
        << Table();
    EXPECT_NE(first.find("ip saddr 10.1.0.9 tcp dport 4000-4010 accept"), std::string::npos)
        << Table();
    EXPECT_NE(Block("chain i1_in_v1_10_2_0_0").find("1000-1010"), std::string::npos) << Table();
    EXPECT_NE(Block("map i1_in_v1").find("10.2.0.0 : jump i1_in_v1_10_2_0_0"), std::string::npos)
        << Table();

    // The whole table says the same as the changes did.
    auto lines = [](const std::string& listing) {
        std::multiset<std::string> set;
        std::istringstream in(listing);
        for (std::string line; std::getline(in, line);)
            if (line.find("elements") == std::string::npos) set.insert(line);
        return set;
    };
    const auto grown = lines(Table());
    ASSERT_EQ(backend->WriteTable(nullptr), kErrorSuccess);
    EXPECT_EQ(lines(Table()), grown);

    // A removal writes its group again; the last rule of a network takes the group away.
    ASSERT_EQ(backend->RemoveFilterHandles(itf, 1, &h[0]), 0u);
    EXPECT_EQ(Block("chain i1_in_v1_10_1_0_0").find("1000-1010"), std::string::npos) << Table();
    EXPECT_NE(Block("chain i1_in_v1_10_1_0_0").find("2000-2010"), std::string::npos) << Table();
    ASSERT_EQ(backend->RemoveFilterHandles(itf, 2, &h[1]), 0u);
    EXPECT_EQ(Table().find("10_1_0_0"), std::string::npos) << Table();
    EXPECT_NE(Block("chain i1_in_v1_10_2_0_0").find("1000-1010"), std::string::npos) << Table();
    ASSERT_EQ(backend->UnBindInterface(itf), 0u);
    EXPECT_EQ(Table().find("i1_in"), std::string::npos) << Table();
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(KernelBackendTest, OneBackendPerNetworkNamespace) {
    std::unique_ptr<KernelBackend> second;
    std::string why;
    EXPECT_EQ(KernelBackend::Create(engine, {}, &second, &why), kErrorSharingViolation);
    EXPECT_NE(why.find("another process holds the table ip zantor"), std::string::npos) << why;
    EXPECT_EQ(KernelBackend::CheckRight(&why), kErrorSuccess) << why;
}

// A real packet the kernel drops reaches the filter log as the engine would write it.
TEST_F(KernelBackendTest, TheKernelsDropsReachTheFilterLog) {
    std::string why;
    ASSERT_EQ(lab::RunProgram(
                  {lab::IpProgram(), "link", "add", "va", "type", "veth", "peer", "name", "vb"},
                  nullptr, &why),
              kErrorSuccess)
        << why;
    for (std::vector<std::string> step :
         {std::vector<std::string>{"addr", "add", "10.9.0.2/24", "dev", "va"},
          {"link", "set", "va", "up"},
          {"link", "set", "vb", "up"},
          {"neigh", "replace", "10.9.0.7", "lladdr", "02:00:00:00:00:07", "dev", "va"}}) {
        step.insert(step.begin(), lab::IpProgram());
        ASSERT_EQ(lab::RunProgram(step, nullptr, &why), kErrorSuccess) << why;
    }
    Interface("10.9.0.2", PF_ACTION_FORWARD, PF_ACTION_FORWARD);
    Descriptor dns({.protocol = 17, .dstLow = 53, .dstHigh = 53, .rule = 7});
    FILTER_HANDLE h = 0;
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 0, nullptr, 1, dns.get(), &h), 0u);
    ASSERT_EQ(backend->WriteTable(nullptr), kErrorSuccess);
    Event event;
    alignas(8) std::uint8_t buffer[1280];
    DWORD logged, lost, used;
    ASSERT_EQ(engine.MakeLog(&event), 0u);
    ASSERT_EQ(engine.SetLogBuffer(buffer, sizeof buffer, 0xFFFF1BA0, 1, &logged, &lost, &used), 0u);

    std::unique_ptr<lab::PacketSocket> sender;
    ASSERT_EQ(lab::PacketSocket::Sender(nullptr, &sender), kErrorSuccess);
    const auto query = Udp("10.9.0.2", 3333, "10.9.0.7", 53);
    EXPECT_EQ(sender->Send(query), kErrorAccessDenied);  // dropped on the way out
    EXPECT_EQ(sender->Send(Udp("10.9.0.2", 3333, "10.9.0.7", 54)), kErrorSuccess);
    // A packet on the packet socket is decided but not logged: the log holds real traffic.
    EXPECT_EQ(engine.DecidePacket(PacketDirection::kOutput, StrToIP("10.9.0.2"), query),
              PF_ACTION_DROP);

    ASSERT_TRUE(event.Wait(std::chrono::seconds(5)));
    alignas(8) std::uint8_t other[1280];
    ASSERT_EQ(engine.SetLogBuffer(other, sizeof other, 0xFFFF1BA0, 1, &logged, &lost, &used), 0u);
    ASSERT_EQ(logged, 1u);
    const auto* frame = reinterpret_cast<const PFLOGFRAME*>(buffer);
    EXPECT_EQ(frame->pfeTypeOfFrame, PFFT_FILTER);
    EXPECT_EQ(frame->dwFilterRule, 7u);
    EXPECT_EQ(frame->dwInterfaceName, itf);
    EXPECT_EQ(frame->wSizeOfIpHeader, 20u);
    EXPECT_EQ(frame->wSizeOfAdditionalData, query.size() - 20);
    EXPECT_EQ(std::memcmp(frame->bPacketData + 12, query.data() + 12, query.size() - 12), 0);
}

}  // namespace
