// The calls' contracts: handles, arguments, binding, and the process-wide functions.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "tests/unit/pf_test_util.h"

using namespace platform;
using namespace zantor;
using namespace zantor::test;

namespace {

const std::uint8_t* Addr(const IPAddr& a) {
    return reinterpret_cast<const std::uint8_t*>(&a);
}

TEST(PfApi, BadHandlesAndArgumentsAreRefused) {
    PacketFilterDriver d(Untimed());
    INTERFACE_HANDLE itf;
    ASSERT_EQ(d.CreateInterface(0, PF_ACTION_FORWARD, PF_ACTION_DROP, true, true, &itf), 0u);
    INTERFACE_HANDLE other;
    ASSERT_EQ(d.CreateInterface(0, PF_ACTION_FORWARD, PF_ACTION_DROP, true, true, &other), 0u);
    Descriptor good({.protocol = 6, .dstLow = 80});
    FILTER_HANDLE h = 0, mine = 0, theirs = 0;
    ASSERT_EQ(d.AddFiltersToInterface(itf, 1, good.get(), 0, nullptr, &mine), 0u);
    ASSERT_EQ(d.AddFiltersToInterface(other, 0, nullptr, 1, good.get(), &theirs), 0u);
    IPAddr ip = MakeIP(10, 0, 0, 5);
    auto bad = [](auto change) {
        auto desc = std::make_unique<Descriptor>(FilterFields{});
        change(desc->edit());
        return desc;
    };
    auto v6 = bad([](auto& f) { f.pfatType = PF_IPV6; });
    auto noCell = bad([](auto& f) { f.DstMask = nullptr; });
    auto flags = bad([](auto& f) { f.dwFilterFlags = 2; });
    auto protocol = bad([](auto& f) { f.dwProtocol = 256; });
    auto lateBound = bad([](auto& f) { f.fLateBound = 1; });
    FILTER_HANDLE pair[] = {mine, theirs};
    PFFORWARD_ACTION action;
    std::uint8_t packet[20] = {};
    struct Case {
        const char* name;
        DWORD result;
        DWORD expected;
    };
    const Case cases[] = {
        {"create, no place", d.CreateInterface(0, PF_ACTION_DROP, PF_ACTION_DROP, 0, 1, nullptr),
         kErrorInvalidParameter},
        {"create, action 2",
         d.CreateInterface(0, static_cast<PFFORWARD_ACTION>(2), PF_ACTION_DROP, 0, 1, &h),
         kErrorInvalidParameter},
        {"delete 0", d.DeleteInterface(0), kPfErrorNoPfInterface},
        {"delete unknown", d.DeleteInterface(itf + 1000), kPfErrorNoPfInterface},
        {"bind unknown", d.BindInterfaceToIPAddress(0, PF_IPV4, Addr(ip)), kPfErrorNoPfInterface},
        {"bind null", d.BindInterfaceToIPAddress(itf, PF_IPV4, nullptr), kErrorInvalidParameter},
        {"bind IPv6", d.BindInterfaceToIPAddress(itf, PF_IPV6, Addr(ip)), kErrorNotSupported},
        {"unbind unbound", d.UnBindInterface(itf), kPfErrorNotBound},
        {"unbind unknown", d.UnBindInterface(77777), kPfErrorNoPfInterface},
        {"add, no filters", d.AddFiltersToInterface(itf, 0, nullptr, 0, nullptr, &h),
         kPfErrorNoFiltersGiven},
        {"add, null list", d.AddFiltersToInterface(itf, 1, nullptr, 0, nullptr, &h),
         kErrorInvalidParameter},
        {"add, no handle place", d.AddFiltersToInterface(itf, 1, good.get(), 0, nullptr, nullptr),
         kErrorInvalidParameter},
        {"add, unknown", d.AddFiltersToInterface(9999, 1, good.get(), 0, nullptr, &h),
         kPfErrorNoPfInterface},
        {"add IPv6", d.AddFiltersToInterface(itf, 1, v6->get(), 0, nullptr, &h),
         kPfErrorInvalidFilter},
        {"add null cell", d.AddFiltersToInterface(itf, 0, nullptr, 1, noCell->get(), &h),
         kPfErrorInvalidFilter},
        {"add flag 2", d.AddFiltersToInterface(itf, 1, flags->get(), 0, nullptr, &h),
         kPfErrorInvalidFilter},
        {"add protocol 256", d.AddFiltersToInterface(itf, 1, protocol->get(), 0, nullptr, &h),
         kPfErrorInvalidFilter},
        {"add late bound", d.AddFiltersToInterface(itf, 1, lateBound->get(), 0, nullptr, &h),
         kPfErrorInvalidFilter},
        {"remove none", d.RemoveFilterHandles(itf, 0, &mine), kPfErrorNoFiltersGiven},
        {"remove null", d.RemoveFilterHandles(itf, 1, nullptr), kErrorInvalidParameter},
        {"remove 0", d.RemoveFilterHandles(itf, 1, &h), kErrorInvalidHandle},
        {"remove another's", d.RemoveFilterHandles(itf, 2, pair), kErrorInvalidHandle},
        {"global 5", d.AddGlobalFilterToInterface(itf, static_cast<GLOBAL_FILTER>(5)),
         kPfErrorGlobalFilterNotSupported},
        {"global 40", d.AddGlobalFilterToInterface(itf, static_cast<GLOBAL_FILTER>(40)),
         kPfErrorGlobalFilterNotSupported},
        {"global, unknown", d.AddGlobalFilterToInterface(0, GF_FRAGMENTS), kPfErrorNoPfInterface},
        {"remove global not on", d.RemoveGlobalFilterFromInterface(itf, GF_FRAGCACHE),
         kErrorNotFound},
        {"test, unknown", d.TestPacket(itf + 1000, 0, 20, packet, &action), kPfErrorNoPfInterface},
        {"test, null packet", d.TestPacket(itf, 0, 20, nullptr, &action), kErrorInvalidParameter},
        {"test, null action", d.TestPacket(0, 0, 20, packet, nullptr), kErrorInvalidParameter},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.name;

    // Nothing changed: the good filter of each interface is still there, one removal each.
    EXPECT_EQ(d.RemoveFilterHandles(itf, 1, &mine), 0u);
    EXPECT_EQ(d.RemoveFilterHandles(other, 1, &theirs), 0u);
    EXPECT_EQ(d.RemoveFilterHandles(itf, 1, &mine), kErrorInvalidHandle);
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_EQ(d.AddGlobalFilterToInterface(itf, GF_FRAGCACHE), 0u);
    EXPECT_EQ(d.AddGlobalFilterToInterface(itf, GF_FRAGCACHE), 0u) << "again: no change";
    EXPECT_EQ(d.RemoveGlobalFilterFromInterface(itf, GF_FRAGCACHE), 0u);
}

TEST(PfApi, OneInterfacePerAddressAndOneAddressPerInterface) {
    PacketFilterDriver d(Untimed());
    INTERFACE_HANDLE a, b;
    ASSERT_EQ(d.CreateInterface(0, PF_ACTION_DROP, PF_ACTION_DROP, false, true, &a), 0u);
    ASSERT_EQ(d.CreateInterface(0, PF_ACTION_FORWARD, PF_ACTION_FORWARD, false, true, &b), 0u);
    IPAddr x = MakeIP(10, 0, 0, 5), y = MakeIP(10, 0, 0, 6);
    ASSERT_EQ(d.BindInterfaceToIPAddress(a, PF_IPV4, Addr(x)), 0u);
    EXPECT_EQ(d.BindInterfaceToIPAddress(a, PF_IPV4, Addr(y)), kPfErrorAlreadyBound);
    EXPECT_EQ(d.BindInterfaceToIPAddress(b, PF_IPV4, Addr(x)), kErrorAlreadyExists);
    ASSERT_EQ(d.DeleteInterface(a), 0u) << "a bound interface may be deleted";
    ASSERT_EQ(d.BindInterfaceToIPAddress(b, PF_IPV4, Addr(x)), 0u) << "its address is free";
    auto p = Tcp("192.168.1.1", 1, "10.0.0.5", 80);
    EXPECT_EQ(d.DecidePacket(PacketDirection::kInput, x, p), PF_ACTION_FORWARD);
    EXPECT_EQ(d.BindInterfaceToIPAddress(a, PF_IPV4, Addr(y)), kPfErrorNoPfInterface);
}

// What a backend beside the engine reads of an interface: the engine's record, as every call
// left it, and nothing of a failed one.
TEST(PfApi, TheEngineKeepsEachInterfacesRecord) {
    PacketFilterDriver d(Untimed());
    INTERFACE_HANDLE named, unnamed;
    ASSERT_EQ(d.CreateInterface(77, PF_ACTION_DROP, PF_ACTION_FORWARD, true, true, &named), 0u);
    ASSERT_EQ(d.CreateInterface(0, PF_ACTION_FORWARD, PF_ACTION_DROP, false, true, &unnamed), 0u);
    pf::InterfaceRecord r;
    ASSERT_TRUE(d.ReadInterface(named, &r));
    EXPECT_EQ(r.handle, named);
    EXPECT_EQ(r.LogName(), 77u);
    EXPECT_EQ(r.actions[0], PF_ACTION_DROP);
    EXPECT_EQ(r.actions[1], PF_ACTION_FORWARD);
    EXPECT_TRUE(r.useLog);
    EXPECT_FALSE(r.bound);
    EXPECT_EQ(r.globals, 0u);
    ASSERT_TRUE(d.ReadInterface(unnamed, &r));
    EXPECT_EQ(r.LogName(), unnamed) << "the log names it by its handle";
    EXPECT_FALSE(r.useLog);

    IPAddr x = MakeIP(10, 0, 0, 5);
    ASSERT_EQ(d.BindInterfaceToIPAddress(named, PF_IPV4, Addr(x)), 0u);
    EXPECT_EQ(d.BindInterfaceToIPAddress(unnamed, PF_IPV4, Addr(x)), kErrorAlreadyExists);
    ASSERT_EQ(d.AddGlobalFilterToInterface(named, GF_STRONGHOST), 0u);
    ASSERT_EQ(d.AddGlobalFilterToInterface(named, GF_FRAGCACHE), 0u);
    EXPECT_EQ(d.AddGlobalFilterToInterface(named, static_cast<GLOBAL_FILTER>(5)),
              kPfErrorGlobalFilterNotSupported);
    ASSERT_EQ(d.RemoveGlobalFilterFromInterface(named, GF_FRAGCACHE), 0u);
    ASSERT_TRUE(d.ReadInterface(named, &r));
    EXPECT_TRUE(r.bound);
    EXPECT_EQ(r.address, x);
    EXPECT_TRUE(r.Has(GF_STRONGHOST));
    EXPECT_FALSE(r.Has(GF_FRAGCACHE));
    EXPECT_FALSE(r.Has(static_cast<GLOBAL_FILTER>(5)));
    EXPECT_FALSE(r.Has(static_cast<GLOBAL_FILTER>(40)));
    ASSERT_TRUE(d.ReadInterface(unnamed, &r));
    EXPECT_FALSE(r.bound) << "its bind failed";

    ASSERT_EQ(d.UnBindInterface(named), 0u);
    ASSERT_TRUE(d.ReadInterface(named, &r));
    EXPECT_FALSE(r.bound);
    EXPECT_EQ(r.address, 0u);
    ASSERT_EQ(d.DeleteInterface(named), 0u);
    EXPECT_FALSE(d.ReadInterface(named, &r));
    EXPECT_FALSE(d.ReadInterface(0, &r));
}

TEST(PfApi, HandlesAreNeverZeroAndNotReusedSoon) {
    PacketFilterDriver d(Untimed());
    std::set<std::uint32_t> interfaces, filters;
    Descriptor f({});
    PF_FILTER_DESCRIPTOR two[2] = {*f.get(), *f.get()};
    for (int i = 0; i < 50; ++i) {
        INTERFACE_HANDLE itf;
        ASSERT_EQ(d.CreateInterface(0, PF_ACTION_DROP, PF_ACTION_DROP, false, true, &itf), 0u);
        FILTER_HANDLE h[3];
        ASSERT_EQ(d.AddFiltersToInterface(itf, 2, two, 1, f.get(), h), 0u) << "two in, one out";
        filters.insert(h, h + 3);
        EXPECT_TRUE(interfaces.insert(itf).second);
        ASSERT_EQ(d.DeleteInterface(itf), 0u);
    }
    EXPECT_EQ(filters.size(), 150u);
    EXPECT_EQ(interfaces.count(0) + filters.count(0), 0u);
}

TEST(PfApi, SeveralDescriptorsInOneCallGoToTheirDirections) {
    PacketFilterDriver d(Untimed());
    INTERFACE_HANDLE itf;
    ASSERT_EQ(d.CreateInterface(0, PF_ACTION_FORWARD, PF_ACTION_FORWARD, false, true, &itf), 0u);
    Descriptor in[2] = {Descriptor({.protocol = 6, .dstLow = 22}),
                        Descriptor({.protocol = 6, .dstLow = 23})};
    PF_FILTER_DESCRIPTOR list[2] = {*in[0].get(), *in[1].get()};
    Descriptor out({.protocol = 17});
    FILTER_HANDLE h[3];
    ASSERT_EQ(d.AddFiltersToInterface(itf, 2, list, 1, out.get(), h), 0u);
    auto verdict = [&](INTERFACE_HANDLE i, INTERFACE_HANDLE o, const std::vector<std::uint8_t>& p) {
        PFFORWARD_ACTION a;
        EXPECT_EQ(d.TestPacket(i, o, static_cast<DWORD>(p.size()), p.data(), &a), 0u);
        return a;
    };
    EXPECT_EQ(verdict(itf, 0, Tcp("1.1.1.1", 1, "2.2.2.2", 23)), PF_ACTION_DROP);
    EXPECT_EQ(verdict(0, itf, Tcp("1.1.1.1", 1, "2.2.2.2", 23)), PF_ACTION_FORWARD);
    EXPECT_EQ(verdict(0, itf, Udp("1.1.1.1", 1, "2.2.2.2", 53)), PF_ACTION_DROP);
    EXPECT_EQ(verdict(itf, itf, Udp("1.1.1.1", 1, "2.2.2.2", 53)), PF_ACTION_DROP);
    EXPECT_EQ(verdict(0, 0, Udp("1.1.1.1", 1, "2.2.2.2", 53)), PF_ACTION_FORWARD);
    EXPECT_EQ(verdict(0, 0, {0x45}), PF_ACTION_DROP) << "unreadable";
}

// The process-wide functions as the service calls them.
TEST(PfApi, ProcessWideFunctions) {
    INTERFACE_HANDLE itf;
    ASSERT_EQ(PfCreateInterface(0, PF_ACTION_DROP, PF_ACTION_FORWARD, true, true, &itf), 0u);
    IPAddr ip = MakeIP(10, 77, 0, 5);
    ASSERT_EQ(PfBindInterfaceToIPAddress(itf, PF_IPV4, Addr(ip)), 0u);
    Descriptor web({.dst = "10.77.0.5", .dstMask = "255.255.255.255", .protocol = 6, .dstLow = 80});
    FILTER_HANDLE h;
    ASSERT_EQ(PfAddFiltersToInterface(itf, 1, web.get(), 0, nullptr, &h), 0u);
    ASSERT_EQ(PfAddGlobalFilterToInterface(itf, GF_STRONGHOST), 0u);
    auto p = Tcp("192.168.1.1", 1, "10.77.0.5", 80);
    PFFORWARD_ACTION a;
    ASSERT_EQ(PfTestPacket(itf, 0, static_cast<DWORD>(p.size()), p.data(), &a), 0u);
    EXPECT_EQ(a, PF_ACTION_FORWARD);
    EXPECT_EQ(ProcessPacketFilterDriver().DecidePacket(PacketDirection::kInput, ip, p),
              PF_ACTION_FORWARD);
    ASSERT_EQ(PfRemoveGlobalFilterFromInterface(itf, GF_STRONGHOST), 0u);
    ASSERT_EQ(PfRemoveFilterHandles(itf, 1, &h), 0u);
    EXPECT_EQ(ProcessPacketFilterDriver().DecidePacket(PacketDirection::kInput, ip, p),
              PF_ACTION_DROP);
    Event e;
    ASSERT_EQ(PfMakeLog(&e), 0u);
    ASSERT_EQ(PfUnBindInterface(itf), 0u);
    ASSERT_EQ(PfDeleteInterface(itf), 0u);
    EXPECT_EQ(PfDeleteInterface(itf), kPfErrorNoPfInterface);
    EXPECT_EQ(GetLastError(), kPfErrorNoPfInterface);
    ASSERT_EQ(PfDeleteLog(), 0u);
}

// Filters come and go while other threads decide; run under the sanitizers this finds races.
TEST(PfApi, ChangesWhileDeciding) {
    PacketFilterDriver d(Untimed());
    INTERFACE_HANDLE itf;
    ASSERT_EQ(d.CreateInterface(0, PF_ACTION_FORWARD, PF_ACTION_FORWARD, false, true, &itf), 0u);
    IPAddr ip = MakeIP(10, 0, 0, 5);
    ASSERT_EQ(d.BindInterfaceToIPAddress(itf, PF_IPV4, Addr(ip)), 0u);
    ASSERT_EQ(d.AddGlobalFilterToInterface(itf, GF_FRAGCACHE), 0u);
    Descriptor always({.protocol = 17});
    FILTER_HANDLE keep;
    ASSERT_EQ(d.AddFiltersToInterface(itf, 1, always.get(), 0, nullptr, &keep), 0u);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    auto decide = [&] {
        auto udp = Udp("192.168.1.1", 1, "10.0.0.5", 53);
        while (!stop)
            if (d.DecidePacket(PacketDirection::kInput, ip, udp) != PF_ACTION_DROP) ++wrong;
    };
    std::thread t1(decide), t2(decide);
    for (std::uint16_t port = 1; port < 400; ++port) {
        Descriptor f({.protocol = 6, .dstLow = port});
        FILTER_HANDLE h;
        ASSERT_EQ(d.AddFiltersToInterface(itf, 1, f.get(), 0, nullptr, &h), 0u);
        if (port % 2) {
            ASSERT_EQ(d.RemoveFilterHandles(itf, 1, &h), 0u);
        }
    }
    stop = true;
    t1.join();
    t2.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
