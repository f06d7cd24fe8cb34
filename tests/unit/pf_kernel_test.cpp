// The kernel backend: where filters go in the kernel, the log prefix, frames written for the
// kernel's drops, and, in a network namespace of the test's own, what reaches the kernel when.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>

#include "platform/linux/pf/pf_kernel.h"
#include "platform/linux/pf/pf_ruleset.h"
#include "tests/support/netlab.h"
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
            sent.push_back(commands);
            if (refuseNext || (refuseSent && sent.size() == refuseSent))
                commands += "add rule ip zantor no_such_chain accept\n";
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
    std::vector<std::string> sent;  // each change's commands, as they went to the kernel
    std::size_t refuseSent = 0;     // with it, the change that makes `sent` this long is refused
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
    EXPECT_NE(table.find("elements = { tcp . 80 counter packets 0 bytes 0 }"), std::string::npos)
        << table;
    EXPECT_NE(table.find("10.9.0.2 : jump i1_in"), std::string::npos) << table;

    // From now on each change reaches the kernel at once, and removals take it out again.
    Descriptor range({.protocol = 17, .dstLow = 5000, .dstHigh = 5010});
    FILTER_HANDLE r = 0;
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, range.get(), 0, nullptr, &r), 0u);
    EXPECT_NE(
        Block("chain i1_in_t").find("5000-5010 counter packets 0 bytes 0 accept comment \"i1_f2\""),
        std::string::npos)
        << Table();
    ASSERT_EQ(backend->RemoveFilterHandles(itf, 1, &r), 0u);
    ASSERT_EQ(backend->RemoveFilterHandles(itf, 1, &h), 0u);
    table = Table();
    EXPECT_EQ(table.find("5000-5010"), std::string::npos) << table;
    EXPECT_EQ(table.find("elements = { tcp . 80 counter packets 0 bytes 0 }"), std::string::npos)
        << table;

    // The fragment cache moves the interface's input to the input hook.
    EXPECT_NE(Block("map premap").find("10.9.0.2"), std::string::npos) << Table();
    ASSERT_EQ(backend->AddGlobalFilterToInterface(itf, GF_FRAGCACHE), 0u);
    EXPECT_EQ(Block("map premap").find("10.9.0.2"), std::string::npos) << Table();
    EXPECT_NE(Block("map inmap").find("10.9.0.2"), std::string::npos) << Table();
    // And back, in two steps: at prerouting too, then no more at input, so that a packet between
    // the two hooks meets the interface at one of them at least.
    sent.clear();
    ASSERT_EQ(backend->RemoveGlobalFilterFromInterface(itf, GF_FRAGCACHE), 0u);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], "add element ip zantor premap { 10.9.0.2 : jump i1_in }\n");
    EXPECT_NE(sent[1].find("delete element ip zantor inmap { 10.9.0.2 }"), std::string::npos)
        << sent[1];
    EXPECT_NE(Block("map premap").find("10.9.0.2"), std::string::npos) << Table();
    EXPECT_EQ(Block("map inmap").find("10.9.0.2"), std::string::npos) << Table();
    // Refused: the first step is taken back, and the cache stays on.
    ASSERT_EQ(backend->AddGlobalFilterToInterface(itf, GF_FRAGCACHE), 0u);
    const std::string cached = Table();
    sent.clear();
    refuseSent = 2;
    EXPECT_EQ(backend->RemoveGlobalFilterFromInterface(itf, GF_FRAGCACHE), kPfErrorKernelRefused);
    refuseSent = 0;
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(Table(), cached);
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

    // Each rule counts its filter's packets, and its comment names the filter.
    auto Counted = [](FILTER_HANDLE f) {
        return "counter packets 0 bytes 0 accept comment \"i1_f" + std::to_string(f) + "\"";
    };
    const std::string parent = Block("chain i1_in_t");
    EXPECT_NE(parent.find("ip saddr & 255.255.255.0 vmap @i1_in_v1"), std::string::npos) << Table();
    EXPECT_NE(parent.find("tcp dport 3000-3010 " + Counted(h[4])), std::string::npos) << Table();
    EXPECT_EQ(parent.find("1000-1010"), std::string::npos) << Table();
    const std::string first = Block("chain i1_in_v1_10_1_0_0");
    EXPECT_NE(first.find("ip saddr 10.1.0.1 tcp dport 1000-1010 " + Counted(h[0])),
              std::string::npos)
        << Table();
    EXPECT_NE(first.find("ip saddr 10.1.0.1 udp dport 2000-2010 " + Counted(h[1])),
              std::string::npos)
        << Table();
    EXPECT_NE(first.find("ip saddr 10.1.0.9 tcp dport 4000-4010 " + Counted(h[2])),
              std::string::npos)
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

// The backend answers the whole call set: the engine's refusals as the engine gives them, the
// filter log and test packets as the engine's, and the kernel names an interface as the engine's
// record does.
TEST_F(KernelBackendTest, AnswersTheCallSetAsTheEngineBesideIt) {
    PacketFilterBackend& b = *backend;
    IPAddr ip = StrToIP("10.9.0.2");
    const auto* address = reinterpret_cast<const std::uint8_t*>(&ip);
    Descriptor web({.protocol = 6, .dstLow = 80, .dstHigh = 80});
    FILTER_HANDLE h = 0;
    const INTERFACE_HANDLE none = 4242;
    EXPECT_EQ(b.DeleteInterface(none), kPfErrorNoPfInterface);
    EXPECT_EQ(b.BindInterfaceToIPAddress(none, PF_IPV4, address), kPfErrorNoPfInterface);
    EXPECT_EQ(b.UnBindInterface(none), kPfErrorNoPfInterface);
    EXPECT_EQ(b.AddFiltersToInterface(none, 1, web.get(), 0, nullptr, &h), kPfErrorNoPfInterface);
    EXPECT_EQ(b.RemoveFilterHandles(none, 1, &h), kPfErrorNoPfInterface);
    EXPECT_EQ(b.AddGlobalFilterToInterface(none, GF_FRAGMENTS), kPfErrorNoPfInterface);
    EXPECT_EQ(b.RemoveGlobalFilterFromInterface(none, GF_FRAGMENTS), kPfErrorNoPfInterface);
    EXPECT_EQ(b.CreateInterface(0, static_cast<PFFORWARD_ACTION>(2), PF_ACTION_DROP, 0, 1, &itf),
              kErrorInvalidParameter);

    ASSERT_EQ(b.CreateInterface(42, PF_ACTION_DROP, PF_ACTION_FORWARD, true, true, &itf), 0u);
    ASSERT_EQ(b.BindInterfaceToIPAddress(itf, PF_IPV4, address), 0u);
    EXPECT_EQ(b.AddGlobalFilterToInterface(itf, static_cast<GLOBAL_FILTER>(5)),
              kPfErrorGlobalFilterNotSupported);
    EXPECT_EQ(b.RemoveGlobalFilterFromInterface(itf, GF_FRAGCACHE), kErrorNotFound);
    ASSERT_EQ(b.AddGlobalFilterToInterface(itf, GF_FRAGMENTS), 0u);
    ASSERT_EQ(b.AddGlobalFilterToInterface(itf, GF_FRAGMENTS), 0u) << "again: no change";
    const std::string table = backend->TableText();
    EXPECT_NE(table.find("prefix \"zantor 42 1 0\" drop"), std::string::npos) << table;
    EXPECT_NE(table.find("prefix \"zantor 42 2 0\" drop"), std::string::npos) << table;
    EXPECT_NE(table.find("10.9.0.2 : jump i" + std::to_string(itf) + "_frag"), std::string::npos)
        << table;
    ASSERT_EQ(b.RemoveGlobalFilterFromInterface(itf, GF_FRAGMENTS), 0u);
    EXPECT_EQ(backend->TableText().find("_frag }"), std::string::npos) << backend->TableText();

    // The log made through the backend is the engine's; test packets are answered by it.
    Event event;
    alignas(8) std::uint8_t buffer[256];
    DWORD logged = 1, lost = 1, used = 1;
    EXPECT_EQ(engine.SetLogBuffer(buffer, sizeof buffer, 1, 1, &logged, &lost, &used),
              kPfErrorLogNotSetUp);
    ASSERT_EQ(b.MakeLog(&event), 0u);
    EXPECT_EQ(engine.SetLogBuffer(buffer, sizeof buffer, 1, 1, &logged, &lost, &used), 0u);
    EXPECT_EQ(b.SetLogBuffer(buffer, 8, 1, 1, &logged, &lost, &used), kPfErrorBufferTooSmall);
    const auto ssh = Tcp("10.200.1.5", 40000, "10.9.0.2", 22);
    PFFORWARD_ACTION action = PF_ACTION_FORWARD;
    EXPECT_EQ(b.TestPacket(itf, 0, static_cast<DWORD>(ssh.size()), ssh.data(), &action), 0u);
    EXPECT_EQ(action, PF_ACTION_DROP);
    EXPECT_EQ(b.TestPacket(none, 0, static_cast<DWORD>(ssh.size()), ssh.data(), &action),
              kPfErrorNoPfInterface);
    ASSERT_EQ(b.DeleteLog(), 0u);
    EXPECT_EQ(engine.DeleteLog(), kPfErrorLogNotSetUp);
    ASSERT_EQ(b.DeleteInterface(itf), 0u);
    EXPECT_EQ(backend->TableText().find("zantor 42"), std::string::npos);
}

TEST_F(KernelBackendTest, OneBackendPerNetworkNamespace) {
    std::unique_ptr<KernelBackend> second;
    std::string why;
    EXPECT_EQ(KernelBackend::Create(engine, {}, &second, &why), kErrorSharingViolation);
    EXPECT_NE(why.find("another process holds the table ip zantor"), std::string::npos) << why;
    EXPECT_EQ(KernelBackend::CheckRight(&why), kErrorSuccess) << why;
}

// A pair of devices with 10.9.0.2 on one end, and a neighbour 10.9.0.7 behind it that output
// packets are sent to.
void MakeLink() {
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
}

// A real packet the kernel drops reaches the filter log as the engine would write it.
TEST_F(KernelBackendTest, TheKernelsDropsReachTheFilterLog) {
    ASSERT_NO_FATAL_FAILURE(MakeLink());
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

// The kernel's counters answer the statistics: each filter's packets, the default action's
// drops, a reset that keeps the kernel's counters as they are, and filters that share a key
// sharing its count.
TEST_F(KernelBackendTest, StatisticsAreTheKernelsCounts) {
    ASSERT_NO_FATAL_FAILURE(MakeLink());
    Interface("10.9.0.2", PF_ACTION_FORWARD, PF_ACTION_DROP);
    // Output drops by default; these let out UDP to port 53 (one key: a high below the low is
    // the low port alone), and TCP to ports 1000-1010 (a rule).
    Descriptor dns({.protocol = 17, .dstLow = 53, .dstHigh = 53});
    Descriptor same({.protocol = 17, .dstLow = 53, .dstHigh = 0});
    Descriptor range({.protocol = 6, .dstLow = 1000, .dstHigh = 1010});
    FILTER_HANDLE h[3];
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 0, nullptr, 1, dns.get(), &h[0]), 0u);
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 0, nullptr, 1, same.get(), &h[1]), 0u);
    ASSERT_EQ(backend->WriteTable(nullptr), kErrorSuccess);
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 0, nullptr, 1, range.get(), &h[2]), 0u);

    std::unique_ptr<lab::PacketSocket> sender;
    ASSERT_EQ(lab::PacketSocket::Sender(nullptr, &sender), kErrorSuccess);
    auto send = [&](const std::vector<std::uint8_t>& p, int times, Win32Error expected) {
        for (int i = 0; i < times; ++i) EXPECT_EQ(sender->Send(p), expected);
    };
    send(Udp("10.9.0.2", 3333, "10.9.0.7", 53), 5, kErrorSuccess);
    send(Tcp("10.9.0.2", 3333, "10.9.0.7", 1005), 3, kErrorSuccess);
    send(Udp("10.9.0.2", 3333, "10.9.0.7", 54), 4, kErrorAccessDenied);

    std::vector<std::uint64_t> words(1024);
    auto read = [&](bool reset) {
        DWORD size = static_cast<DWORD>(words.size() * 8);
        EXPECT_EQ(backend->GetInterfaceStatistics(
                      itf, reinterpret_cast<PF_INTERFACE_STATS*>(words.data()), &size, reset),
                  0u);
        return reinterpret_cast<const PF_INTERFACE_STATS*>(words.data());
    };
    auto hits = [&](std::size_t i) {
        PF_FILTER_STATS f;
        std::memcpy(&f,
                    reinterpret_cast<const std::uint8_t*>(words.data()) +
                        offsetof(PF_INTERFACE_STATS, FilterInfo) + i * sizeof(PF_FILTER_STATS),
                    sizeof f);
        return f.dwNumPacketsFiltered;
    };
    const PF_INTERFACE_STATS* s = read(false);
    EXPECT_EQ(s->dwNumOutFilters, 3u);
    EXPECT_EQ(s->dwOutDrops, 4u);
    EXPECT_EQ(s->dwInDrops, 0u);
    EXPECT_EQ(hits(0), 5u);
    EXPECT_EQ(hits(1), 5u) << "the same key, the same count";
    EXPECT_EQ(hits(2), 3u);
    EXPECT_EQ(s->liTotalLogged, 0) << "no filter log was lent";

    // A reset read hands the counts back; the kernel's counters go on, the next read starts
    // from zero, and a removal of one filter leaves the others' counts alone.
    s = read(true);
    EXPECT_EQ(hits(2), 3u);
    send(Tcp("10.9.0.2", 3333, "10.9.0.7", 1001), 2, kErrorSuccess);
    ASSERT_EQ(backend->RemoveFilterHandles(itf, 1, &h[0]), 0u);
    send(Udp("10.9.0.2", 3333, "10.9.0.7", 53), 1, kErrorSuccess);
    s = read(false);
    EXPECT_EQ(s->dwNumOutFilters, 2u);
    EXPECT_EQ(s->dwOutDrops, 0u);
    EXPECT_EQ(hits(0), 1u);
    EXPECT_EQ(hits(1), 2u);
    EXPECT_NE(Table().find("counter i1_out_drops {\n\t\tpackets 4 "), std::string::npos) << Table();

    // A whole table written again starts from zero, and no baseline of a reset before it
    // holds the new counts down.
    send(Tcp("10.9.0.2", 3333, "10.9.0.7", 1001), 2, kErrorSuccess);
    EXPECT_EQ((read(true), hits(1)), 4u);
    ASSERT_EQ(backend->WriteTable(nullptr), kErrorSuccess);
    send(Tcp("10.9.0.2", 3333, "10.9.0.7", 1001), 3, kErrorSuccess);
    s = read(false);
    EXPECT_EQ(hits(1), 3u);

    // Unbinding starts the counts again from zero.
    ASSERT_EQ(backend->UnBindInterface(itf), 0u);
    EXPECT_EQ(Table().find("counter i1_"), std::string::npos) << Table();
    s = read(false);
    EXPECT_EQ(hits(1), 0u);
    IPAddr ip = StrToIP("10.9.0.2");
    ASSERT_EQ(backend->BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
              0u);
    s = read(false);
    EXPECT_EQ(s->dwOutDrops, 0u);
    EXPECT_EQ(hits(0), 0u);
}

}  // namespace
