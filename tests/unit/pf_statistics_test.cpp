// Interface statistics: the records' layout, the caller's buffer, and the engine's counts of its
// own decisions and how long they live.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "tests/unit/pf_test_util.h"

using namespace platform;
using namespace zantor;
using namespace zantor::test;

namespace {

// The system's layout on both of its targets: 4-byte pointers on i686, and the 64-bit counts
// 8-aligned on both.
constexpr bool k64 = sizeof(void*) == 8;
static_assert(offsetof(PF_FILTER_STATS, info) == (k64 ? 8 : 4));
static_assert(sizeof(PF_FILTER_STATS) == (k64 ? 72 : 48));
static_assert(offsetof(PF_INTERFACE_STATS, dwFlags) == sizeof(void*));
static_assert(offsetof(PF_INTERFACE_STATS, dwLostLogEntries) == (k64 ? 72 : 64));
static_assert(offsetof(PF_INTERFACE_STATS, liSYN) == (k64 ? 56 : 48));
static_assert(offsetof(PF_INTERFACE_STATS, liTotalLogged) == (k64 ? 64 : 56));
static_assert(offsetof(PF_INTERFACE_STATS, FilterInfo) == (k64 ? 80 : 68));
static_assert(sizeof(PF_INTERFACE_STATS) == (k64 ? 152 : 120));

constexpr const char* kLocal = "10.0.0.5";
constexpr const char* kOther = "10.0.0.6";
constexpr const char* kRemote = "192.168.1.20";

// The caller's buffer, 8-aligned as an allocation is.
struct StatsBuffer {
    explicit StatsBuffer(std::size_t bytes)
        : words((bytes + 7) / 8, 0xA5A5A5A5A5A5A5A5ULL), size(static_cast<DWORD>(bytes)) {}
    std::vector<std::uint64_t> words;
    DWORD size;
    PF_INTERFACE_STATS* get() { return reinterpret_cast<PF_INTERFACE_STATS*>(words.data()); }
    // FilterInfo runs on past its declared element: the records are reached by their offset.
    const PF_FILTER_STATS& Filter(std::size_t i) {
        const auto* at = reinterpret_cast<const std::uint8_t*>(words.data()) +
                         offsetof(PF_INTERFACE_STATS, FilterInfo) + i * sizeof(PF_FILTER_STATS);
        return *reinterpret_cast<const PF_FILTER_STATS*>(at);
    }
};

class PfStatistics : public ::testing::Test {
  protected:
    PfStatistics() : driver(Untimed()) {}

    // An interface on `address` that forwards input (but drops TCP to port 22 and UDP from
    // 192.168.1.0/24 by its filters) and drops output (but lets ICMP echo out).
    INTERFACE_HANDLE Setup(const char* address, PFFORWARD_ACTION in = PF_ACTION_FORWARD,
                           PFFORWARD_ACTION out = PF_ACTION_DROP) {
        INTERFACE_HANDLE itf = 0;
        EXPECT_EQ(driver.CreateInterface(0, in, out, true, true, &itf), 0u);
        IPAddr ip = StrToIP(address);
        EXPECT_EQ(
            driver.BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
            0u);
        return itf;
    }
    FILTER_HANDLE Add(INTERFACE_HANDLE itf, PacketDirection direction, const FilterFields& f) {
        Descriptor d(f);
        FILTER_HANDLE h = 0;
        const bool in = direction == PacketDirection::kInput;
        EXPECT_EQ(driver.AddFiltersToInterface(itf, in ? 1 : 0, in ? d.get() : nullptr, in ? 0 : 1,
                                               in ? nullptr : d.get(), &h),
                  0u);
        return h;
    }
    PFFORWARD_ACTION In(const std::vector<std::uint8_t>& p, const char* local = kLocal) {
        return driver.DecidePacket(PacketDirection::kInput, StrToIP(local), p);
    }
    PFFORWARD_ACTION Out(const std::vector<std::uint8_t>& p, const char* local = kLocal) {
        return driver.DecidePacket(PacketDirection::kOutput, StrToIP(local), p);
    }
    // The whole record (asserting the call's success) in a buffer of the size it asks for.
    StatsBuffer Read(INTERFACE_HANDLE itf, bool reset = false) {
        DWORD size = 0;
        EXPECT_EQ(driver.GetInterfaceStatistics(itf, nullptr, &size, false),
                  kPfErrorBufferTooSmall);
        StatsBuffer b(4096 * 8);
        EXPECT_EQ(driver.GetInterfaceStatistics(itf, b.get(), &b.size, reset), 0u);
        return b;
    }
    DWORD Hits(INTERFACE_HANDLE itf, std::size_t filter) {
        StatsBuffer b = Read(itf);
        return b.Filter(filter).dwNumPacketsFiltered;
    }

    PacketFilterDriver driver;
};

TEST_F(PfStatistics, BufferSizesFollowTheSystem) {
    INTERFACE_HANDLE itf = Setup(kLocal);
    Add(itf, PacketDirection::kOutput, {.protocol = 1, .srcLow = 8, .srcHigh = 8, .rule = 5});
    Add(itf, PacketDirection::kInput,
        {.dst = kLocal, .dstMask = "255.255.255.255", .protocol = 6, .dstLow = 22, .dstHigh = 22});
    Add(itf, PacketDirection::kInput,
        {.src = "192.168.1.0", .srcMask = "255.255.255.0", .protocol = 17});
    const std::size_t need =
        offsetof(PF_INTERFACE_STATS, FilterInfo) + 3 * (sizeof(PF_FILTER_STATS) + 16);
    ASSERT_EQ(pf::InterfaceStatisticsSize(3), need);

    // Below the fixed record: its size, and nothing written.
    StatsBuffer small(sizeof(PF_INTERFACE_STATS) - 1);
    EXPECT_EQ(driver.GetInterfaceStatistics(itf, small.get(), &small.size, false),
              kPfErrorBufferTooSmall);
    EXPECT_EQ(small.size, sizeof(PF_INTERFACE_STATS));
    EXPECT_EQ(small.words[0], 0xA5A5A5A5A5A5A5A5ULL);
    DWORD zero = 0;
    EXPECT_EQ(driver.GetInterfaceStatistics(itf, nullptr, &zero, false), kPfErrorBufferTooSmall);
    EXPECT_EQ(zero, sizeof(PF_INTERFACE_STATS));

    // Exactly the fixed record: the interface alone, FilterInfo left as it was.
    StatsBuffer head(sizeof(PF_INTERFACE_STATS));
    ASSERT_EQ(driver.GetInterfaceStatistics(itf, head.get(), &head.size, false), 0u);
    EXPECT_EQ(head.get()->dwNumInFilters, 2u);
    EXPECT_EQ(head.get()->dwNumOutFilters, 1u);
    EXPECT_EQ(head.get()->eaInAction, PF_ACTION_FORWARD);
    EXPECT_EQ(head.get()->eaOutAction, PF_ACTION_DROP);
    EXPECT_EQ(head.Filter(0).dwNumPacketsFiltered, 0xA5A5A5A5u);

    // Between the two: the size needed, and nothing written.
    StatsBuffer shortOf(need - 1);
    EXPECT_EQ(driver.GetInterfaceStatistics(itf, shortOf.get(), &shortOf.size, false),
              kErrorInsufficientBuffer);
    EXPECT_EQ(shortOf.size, need);
    EXPECT_EQ(shortOf.words[0], 0xA5A5A5A5A5A5A5A5ULL);

    // Enough: the input filters first, then the output one, each as added, with its address
    // cells in the same buffer after the records.
    StatsBuffer all(need + 40);
    ASSERT_EQ(driver.GetInterfaceStatistics(itf, all.get(), &all.size, false), 0u);
    EXPECT_EQ(all.size, need);
    const PF_INTERFACE_STATS& s = *all.get();
    EXPECT_EQ(s.pvDriverContext, nullptr);
    EXPECT_EQ(s.dwFlags, 0u);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(all.words.data());
    auto address = [&](const std::uint8_t* cell) {
        EXPECT_GE(cell,
                  begin + offsetof(PF_INTERFACE_STATS, FilterInfo) + 3 * sizeof(PF_FILTER_STATS));
        EXPECT_LE(cell + 4, begin + need);
        IPAddr a;
        std::memcpy(&a, cell, 4);
        return IPToStr(a);
    };
    EXPECT_EQ(all.Filter(0).info.dwProtocol, 6u);
    EXPECT_EQ(all.Filter(0).info.wDstPort, 22);
    EXPECT_EQ(address(all.Filter(0).info.DstAddr), kLocal);
    EXPECT_EQ(address(all.Filter(0).info.DstMask), "255.255.255.255");
    EXPECT_EQ(address(all.Filter(0).info.SrcMask), "0.0.0.0");
    EXPECT_EQ(all.Filter(1).info.dwProtocol, 17u);
    EXPECT_EQ(address(all.Filter(1).info.SrcAddr), "192.168.1.0");
    EXPECT_EQ(address(all.Filter(1).info.SrcMask), "255.255.255.0");
    EXPECT_EQ(all.Filter(2).info.dwProtocol, 1u);
    EXPECT_EQ(all.Filter(2).info.dwRule, 5u);
    EXPECT_EQ(all.Filter(2).info.wSrcPort, 8);
    EXPECT_EQ(all.Filter(2).info.pfatType, PF_IPV4);
}

TEST_F(PfStatistics, BadArgumentsAreRefused) {
    INTERFACE_HANDLE itf = Setup(kLocal);
    StatsBuffer b(1024);
    EXPECT_EQ(driver.GetInterfaceStatistics(itf, b.get(), nullptr, false), kErrorInvalidParameter);
    EXPECT_EQ(driver.GetInterfaceStatistics(itf, nullptr, &b.size, false), kErrorInvalidParameter);
    EXPECT_EQ(driver.GetInterfaceStatistics(itf + 1, b.get(), &b.size, false),
              kPfErrorNoPfInterface);
    ASSERT_EQ(driver.DeleteInterface(itf), 0u);
    EXPECT_EQ(driver.GetInterfaceStatistics(itf, b.get(), &b.size, false), kPfErrorNoPfInterface);
}

TEST_F(PfStatistics, EveryDecisionCountsOnceWhereItWasMade) {
    INTERFACE_HANDLE itf = Setup(kLocal);
    Add(itf, PacketDirection::kInput, {.protocol = 6, .dstLow = 22});
    Add(itf, PacketDirection::kInput,
        {.src = "192.168.1.0", .srcMask = "255.255.255.0", .protocol = 17});
    Add(itf, PacketDirection::kOutput, {.protocol = 1, .srcLow = 8, .srcHigh = 8});
    ASSERT_EQ(driver.AddGlobalFilterToInterface(itf, GF_FRAGMENTS), 0u);
    ASSERT_EQ(driver.AddGlobalFilterToInterface(itf, GF_STRONGHOST), 0u);
    INTERFACE_HANDLE other = Setup(kOther, PF_ACTION_DROP, PF_ACTION_DROP);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(In(Tcp(kRemote, 4000, kLocal, 22)), PF_ACTION_DROP);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(In(Udp(kRemote, 53, kLocal, 9)), PF_ACTION_DROP);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(In(Tcp(kRemote, 4000, kLocal, 80)), PF_ACTION_FORWARD);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Out(Icmp(kLocal, kRemote, 8, 0)), PF_ACTION_FORWARD);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Out(Udp(kLocal, 53, kRemote, 9)), PF_ACTION_DROP);
    // Spoofed: received on kLocal, addressed elsewhere.
    for (int i = 0; i < 7; ++i) EXPECT_EQ(In(Tcp(kRemote, 4000, "10.9.9.9", 80)), PF_ACTION_DROP);
    // A bad fragment: not the last, and its data not a multiple of 8 bytes.
    PacketFields f;
    f.protocol = kProtocolUdp;
    f.src = StrToIP(kRemote);
    f.dst = StrToIP(kLocal);
    f.ipId = 9;
    f.fragmentOffset = 3;
    f.moreFragments = true;
    f.payloadSize = 13;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(In(BuildPacket(f)), PF_ACTION_DROP);
    // The other interface's drops are its own.
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(In(Tcp(kRemote, 4000, kOther, 22), kOther), PF_ACTION_DROP);
    // Asked about, not traffic: PfTestPacket counts nothing.
    PFFORWARD_ACTION action;
    auto probe = Tcp(kRemote, 4000, kLocal, 22);
    ASSERT_EQ(driver.TestPacket(itf, 0, static_cast<DWORD>(probe.size()), probe.data(), &action),
              0u);

    StatsBuffer b = Read(itf);
    EXPECT_EQ(b.Filter(0).dwNumPacketsFiltered, 3u) << "TCP to port 22";
    EXPECT_EQ(b.Filter(1).dwNumPacketsFiltered, 5u) << "UDP from 192.168.1.0/24";
    EXPECT_EQ(b.Filter(2).dwNumPacketsFiltered, 4u) << "ICMP echo out";
    EXPECT_EQ(b.get()->dwInDrops, 0u) << "input forwards by default";
    EXPECT_EQ(b.get()->dwOutDrops, 6u);
    EXPECT_EQ(b.get()->dwSpoof, 7u);
    EXPECT_EQ(b.get()->dwFrag, 2u);
    EXPECT_EQ(b.get()->liSYN, 0);
    StatsBuffer o = Read(other);
    EXPECT_EQ(o.get()->dwInDrops, 9u);
    EXPECT_EQ(o.get()->dwOutDrops, 0u);
}

TEST_F(PfStatistics, LogCountsAreTheInterfacesOwnFrames) {
    INTERFACE_HANDLE itf = Setup(kLocal);
    INTERFACE_HANDLE other = Setup(kOther);
    Event event;
    ASSERT_EQ(driver.MakeLog(&event), 0u);
    // Room for two small frames: the rest are lost.
    std::vector<std::uint8_t> buffer(2 * 64 + 40);
    DWORD logged, lost, used;
    ASSERT_EQ(driver.SetLogBuffer(buffer.data(), static_cast<DWORD>(buffer.size()), 0xFFFF0000, 300,
                                  &logged, &lost, &used),
              0u);
    for (int i = 0; i < 5; ++i) Out(Udp(kLocal, 53, kRemote, 9));
    Out(Udp(kOther, 53, kRemote, 9), kOther);
    StatsBuffer b = Read(itf);
    EXPECT_EQ(b.get()->liTotalLogged, 2);
    EXPECT_EQ(b.get()->dwLostLogEntries, 3u);
    StatsBuffer o = Read(other);
    EXPECT_EQ(o.get()->liTotalLogged, 0);
    EXPECT_EQ(o.get()->dwLostLogEntries, 1u) << "it came after the buffer was full";
    ASSERT_EQ(driver.DeleteLog(), 0u);
}

TEST_F(PfStatistics, CountsLiveAsLongAsTheirFilter) {
    INTERFACE_HANDLE itf = Setup(kLocal);
    INTERFACE_HANDLE other = Setup(kOther);
    Add(itf, PacketDirection::kInput, {.protocol = 6, .dstLow = 22});
    for (int i = 0; i < 4; ++i) In(Tcp(kRemote, 4000, kLocal, 22));
    for (int i = 0; i < 3; ++i) Out(Udp(kLocal, 53, kRemote, 9));

    // Other filters come and go, the global filters change, the other address stops filtering:
    // the counts stay, and the filter keeps its place.
    FILTER_HANDLE extra = Add(itf, PacketDirection::kInput, {.protocol = 17, .dstLow = 53});
    Add(itf, PacketDirection::kOutput, {.protocol = 17, .dstLow = 99});
    ASSERT_EQ(driver.RemoveFilterHandles(itf, 1, &extra), 0u);
    ASSERT_EQ(driver.AddGlobalFilterToInterface(itf, GF_FRAGCACHE), 0u);
    ASSERT_EQ(driver.RemoveGlobalFilterFromInterface(itf, GF_FRAGCACHE), 0u);
    ASSERT_EQ(driver.UnBindInterface(other), 0u);
    ASSERT_EQ(driver.DeleteInterface(other), 0u);
    StatsBuffer b = Read(itf);
    EXPECT_EQ(b.get()->dwNumInFilters, 1u);
    EXPECT_EQ(b.Filter(0).dwNumPacketsFiltered, 4u);
    EXPECT_EQ(b.get()->dwOutDrops, 3u);

    // A reset read hands back the counts, then they start again from zero and go on counting.
    StatsBuffer r = Read(itf, true);
    EXPECT_EQ(r.Filter(0).dwNumPacketsFiltered, 4u);
    EXPECT_EQ(Hits(itf, 0), 0u);
    In(Tcp(kRemote, 4000, kLocal, 22));
    EXPECT_EQ(Hits(itf, 0), 1u);
    EXPECT_EQ(Read(itf).get()->dwOutDrops, 0u);

    // A reset that fails (a short buffer) resets nothing.
    StatsBuffer shortOf(sizeof(PF_INTERFACE_STATS) + 1);
    EXPECT_EQ(driver.GetInterfaceStatistics(itf, shortOf.get(), &shortOf.size, true),
              kErrorInsufficientBuffer);
    EXPECT_EQ(Hits(itf, 0), 1u);

    // Unbinding ends filtering on the address: its counts start again from zero.
    Out(Udp(kLocal, 53, kRemote, 9));
    ASSERT_EQ(driver.UnBindInterface(itf), 0u);
    IPAddr ip = StrToIP(kLocal);
    ASSERT_EQ(driver.BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
              0u);
    StatsBuffer after = Read(itf);
    EXPECT_EQ(after.Filter(0).dwNumPacketsFiltered, 0u);
    EXPECT_EQ(after.get()->dwOutDrops, 0u);
}

TEST_F(PfStatistics, FollowedFragmentsAndSocketQuestionsUnderTheKernelAreNotCounted) {
    INTERFACE_HANDLE itf = Setup(kLocal);
    Add(itf, PacketDirection::kInput, {.protocol = 17});
    ASSERT_EQ(driver.AddGlobalFilterToInterface(itf, GF_FRAGCACHE), 0u);
    PacketFields f;
    f.protocol = kProtocolUdp;
    f.src = StrToIP(kRemote);
    f.dst = StrToIP(kLocal);
    f.ipId = 4;
    const auto whole = [&] {
        PacketFields w = f;
        w.payloadSize = 40;
        return BuildPacket(w);
    }();
    // One datagram in three fragments: its first decides, the others follow: one packet.
    for (const auto& piece : FragmentPacket(whole, {16, 32})) EXPECT_EQ(In(piece), PF_ACTION_DROP);
    EXPECT_EQ(Hits(itf, 0), 1u);

    // With the kernel deciding, the packet socket's questions are not traffic.
    driver.SetDecisionLogging(false);
    In(Udp(kRemote, 53, kLocal, 9));
    EXPECT_EQ(Hits(itf, 0), 1u);
    driver.SetDecisionLogging(true);
    In(Udp(kRemote, 53, kLocal, 9));
    EXPECT_EQ(Hits(itf, 0), 2u);
}

TEST_F(PfStatistics, TheFreeFunctionAsksTheBackendInUse) {
    INTERFACE_HANDLE itf = 0;
    ASSERT_EQ(PfCreateInterface(0, PF_ACTION_DROP, PF_ACTION_FORWARD, false, true, &itf), 0u);
    StatsBuffer b(sizeof(PF_INTERFACE_STATS));
    ASSERT_EQ(PfGetInterfaceStatistics(itf, b.get(), &b.size, false), 0u);
    EXPECT_EQ(b.get()->eaInAction, PF_ACTION_DROP);
    EXPECT_EQ(b.get()->dwNumInFilters, 0u);
    ASSERT_EQ(PfDeleteInterface(itf), 0u);
    EXPECT_EQ(PfGetInterfaceStatistics(itf, b.get(), &b.size, false), kPfErrorNoPfInterface);
}

}  // namespace
