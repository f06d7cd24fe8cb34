// The kernel backend's statistics from real traffic: the lab's host and peer are network
// namespaces (tests/support/kernel_lab.h), the backend runs in this process inside the host's,
// and known numbers of packets cross the veth links. Every count is checked exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <map>
#include <thread>

#include "platform/linux/pf/pf_kernel.h"
#include "platform/pf.h"
#include "shared/address.h"
#include "shared/packet_builder.h"
#include "tests/support/kernel_lab.h"

using namespace zantor;
using namespace zantor::test;
using namespace platform;

namespace {

#define REQUIRE_LAB(lab)                                                          \
    do {                                                                          \
        if (!(lab).unprivileged().empty())                                        \
            GTEST_SKIP() << "needs network namespaces: " << (lab).unprivileged(); \
        ASSERT_EQ((lab).error(), "");                                             \
    } while (false)

// What the host's own stack answers (TCP resets, ICMP errors, rate-limited) would make the
// output counts depend on timing: a table of the test's own drops them ahead of ours.
constexpr const char* kQuiet =
    "add table ip labquiet; "
    "add chain ip labquiet out { type filter hook output priority -300; policy accept; }; "
    "add rule ip labquiet out tcp flags & rst != 0 drop; "
    "add rule ip labquiet out icmp type { destination-unreachable, time-exceeded } drop";

struct Stats {
    PF_INTERFACE_STATS head{};
    std::vector<DWORD> hits;  // the input filters, then the output ones, as added
};

class StatisticsLab {
  public:
    explicit StatisticsLab(KernelLab& lab) : lab_(lab) {}

    // Starts the backend in the host's namespace (the calling thread is there).
    void Start() {
        std::string why;
        ASSERT_EQ(lab::RunProgram({"/usr/sbin/nft", kQuiet}, nullptr, &why), kErrorSuccess) << why;
        engine_ = std::make_unique<PacketFilterDriver>(PacketFilterDriver::Options{});
        ASSERT_EQ(pf::KernelBackend::Create(*engine_, {}, &backend_, &why), kErrorSuccess) << why;
    }
    // As a new service would: the old backend gone (its table stays), a new one built, and its
    // whole table written.
    void Restart() {
        backend_.reset();
        engine_.reset();
        std::string why;
        engine_ = std::make_unique<PacketFilterDriver>(PacketFilterDriver::Options{});
        ASSERT_EQ(pf::KernelBackend::Create(*engine_, {}, &backend_, &why), kErrorSuccess) << why;
    }
    void Write() { ASSERT_EQ(backend_->WriteTable(nullptr), kErrorSuccess); }

    INTERFACE_HANDLE Interface(const std::string& address, PFFORWARD_ACTION in,
                               PFFORWARD_ACTION out) {
        INTERFACE_HANDLE itf = 0;
        EXPECT_EQ(backend_->CreateInterface(0, in, out, false, true, &itf), 0u);
        Bind(itf, address);
        return itf;
    }
    void Bind(INTERFACE_HANDLE itf, const std::string& address) {
        IPAddr ip = StrToIP(address);
        EXPECT_EQ(
            backend_->BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
            0u);
    }

    FILTER_HANDLE Add(INTERFACE_HANDLE itf, bool in, const std::string& src,
                      const std::string& srcMask, const std::string& dst,
                      const std::string& dstMask, DWORD protocol, std::uint16_t srcLow,
                      std::uint16_t srcHigh, std::uint16_t dstLow, std::uint16_t dstHigh) {
        IPAddr cells[4] = {StrToIP(src), StrToIP(srcMask), StrToIP(dst), StrToIP(dstMask)};
        auto* c = reinterpret_cast<std::uint8_t*>(cells);
        PF_FILTER_DESCRIPTOR d{0,        0, PF_IPV4, c,      c + 4,   c + 8,  c + 12,
                               protocol, 0, srcLow,  dstLow, srcHigh, dstHigh};
        FILTER_HANDLE h = 0;
        EXPECT_EQ(backend_->AddFiltersToInterface(itf, in ? 1 : 0, in ? &d : nullptr, in ? 0 : 1,
                                                  in ? nullptr : &d, &h),
                  0u);
        return h;
    }

    Stats Read(INTERFACE_HANDLE itf, bool reset = false) {
        std::vector<std::uint64_t> words(1 << 16);
        DWORD size = static_cast<DWORD>(words.size() * 8);
        Stats s;
        EXPECT_EQ(backend_->GetInterfaceStatistics(
                      itf, reinterpret_cast<PF_INTERFACE_STATS*>(words.data()), &size, reset),
                  0u);
        std::memcpy(&s.head, words.data(), offsetof(PF_INTERFACE_STATS, FilterInfo));
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(words.data());
        for (DWORD i = 0; i < s.head.dwNumInFilters + s.head.dwNumOutFilters; ++i) {
            PF_FILTER_STATS f;
            std::memcpy(
                &f, bytes + offsetof(PF_INTERFACE_STATS, FilterInfo) + i * sizeof(PF_FILTER_STATS),
                sizeof f);
            s.hits.push_back(f.dwNumPacketsFiltered);
        }
        return s;
    }

    pf::KernelBackend& backend() { return *backend_; }

  private:
    KernelLab& lab_;
    std::unique_ptr<PacketFilterDriver> engine_;
    std::unique_ptr<pf::KernelBackend> backend_;
};

std::vector<std::uint8_t> Packet(std::uint8_t protocol, const std::string& src,
                                 const std::string& dst, std::uint16_t dstPort,
                                 std::uint8_t flags = kTcpAck, std::uint16_t id = 1) {
    PacketFields f;
    f.protocol = protocol;
    f.src = StrToIP(src);
    f.dst = StrToIP(dst);
    f.srcPort = 40000;
    f.dstPort = dstPort;
    f.tcpFlags = flags;
    f.ipId = id;
    f.icmpType = 8;
    f.payloadSize = 16;
    return BuildPacket(f);
}

// Sends a packet `times` times, into the host on `link` or out of it (-1); the host's own
// packets that the output hook drops fail to be sent.
constexpr int kOut = -1;
void Send(KernelLab& lab, int link, const std::vector<std::uint8_t>& p, int times,
          Win32Error expected = kErrorSuccess) {
    for (int i = 0; i < times; ++i)
        EXPECT_EQ(link == kOut ? lab.SendOut(p) : lab.SendIn(link, p), expected);
}

// Every kind of count, in and out, on two addresses: the filters' (set elements and rules, of
// TCP, UDP and ICMP), the default actions' drops, bad fragments and spoofed destinations.
TEST(KernelStatistics, RealPacketsAreCountedExactlyWhereTheyWereDecided) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    const std::string a = KernelLab::BoundAddress(0), b = KernelLab::BoundAddress(1);
    const std::string any = "0.0.0.0", one = "255.255.255.255", net = "255.255.255.0";
    ASSERT_EQ(lab.host().Enter([&] {
        StatisticsLab s(lab);
        ASSERT_NO_FATAL_FAILURE(s.Start());
        // a: input forwards but for its filters, output drops but for its filters.
        INTERFACE_HANDLE ia = s.Interface(a, PF_ACTION_FORWARD, PF_ACTION_DROP);
        s.Add(ia, true, any, any, a, one, 6, 0, 0, 80, 80);
        s.Add(ia, true, "10.200.1.0", net, any, any, 17, 0, 0, 1000, 1010);  // a rule, grouped
        s.Add(ia, true, any, any, any, any, 1, 8, 8, 0, 0);                  // ICMP echo
        s.Add(ia, false, any, any, any, any, 17, 0, 0, 53, 53);
        s.Add(ia, false, any, any, "10.88.1.5", one, 6, 0, 0, 20, 25);  // a rule, grouped
        ASSERT_EQ(s.backend().AddGlobalFilterToInterface(ia, GF_FRAGMENTS), 0u);
        ASSERT_EQ(s.backend().AddGlobalFilterToInterface(ia, GF_STRONGHOST), 0u);
        // b: input drops but for SSH; output forwards.
        INTERFACE_HANDLE ib = s.Interface(b, PF_ACTION_DROP, PF_ACTION_FORWARD);
        s.Add(ib, true, any, any, any, any, 6, 0, 0, 22, 22);
        ASSERT_NO_FATAL_FAILURE(s.Write());
        // One filter added after the table was written, the way every later change goes.
        s.Add(ia, true, any, any, any, any, 17, 0, 0, 5353, 5353);

        const char* peer = kLabSources[0];  // 10.200.1.5
        Send(lab, 0, Packet(6, peer, a, 80), 7);
        Send(lab, 0, Packet(6, peer, a, 81), 4);  // forwarded by default: counted nowhere
        Send(lab, 0, Packet(17, peer, a, 1005), 5);
        Send(lab, 0, Packet(17, kLabSources[3], a, 1005), 3);  // another network
        Send(lab, 0, Packet(1, peer, a, 0), 6);
        Send(lab, 0, Packet(17, peer, a, 5353), 2);
        Send(lab, 0, Packet(6, peer, KernelLab::OtherAddress(0), 80), 2);  // spoofed
        PacketFields bad;  // not the last fragment, and 13 bytes: not a multiple of 8
        bad.protocol = kProtocolUdp;
        bad.src = StrToIP(peer);
        bad.dst = StrToIP(a);
        bad.ipId = 77;
        bad.fragmentOffset = 3;
        bad.moreFragments = true;
        bad.payloadSize = 13;
        Send(lab, 0, BuildPacket(bad), 3);
        Send(lab, kOut, Packet(17, a, "10.88.1.5", 53), 5);
        Send(lab, kOut, Packet(6, a, "10.88.1.5", 22), 3);
        // Another host, another port: the default drops them.
        Send(lab, kOut, Packet(6, a, "10.88.1.77", 22), 1, kErrorAccessDenied);
        Send(lab, kOut, Packet(17, a, "10.88.1.5", 54), 4, kErrorAccessDenied);
        Send(lab, 1, Packet(6, peer, b, 23), 6);
        Send(lab, 1, Packet(6, peer, b, 22), 2);
        Send(lab, kOut, Packet(17, b, "10.88.1.5", 54), 3);  // forwarded by default
        std::string error;
        const auto arrivals = lab.Flush(&error);
        ASSERT_EQ(error, "");

        Stats sa = s.Read(ia);
        EXPECT_EQ(sa.head.dwNumInFilters, 4u);
        EXPECT_EQ(sa.head.dwNumOutFilters, 2u);
        ASSERT_EQ(sa.hits.size(), 6u);
        EXPECT_EQ(sa.hits[0], 7u) << "TCP to port 80";
        EXPECT_EQ(sa.hits[1], 5u) << "UDP from 10.200.1.0/24 to 1000-1010";
        EXPECT_EQ(sa.hits[2], 6u) << "ICMP echo";
        EXPECT_EQ(sa.hits[3], 2u) << "UDP to 5353, added later";
        EXPECT_EQ(sa.hits[4], 5u) << "UDP out to 53";
        EXPECT_EQ(sa.hits[5], 3u) << "TCP out to 10.88.1.5:20-25";
        EXPECT_EQ(sa.head.dwInDrops, 0u);
        EXPECT_EQ(sa.head.dwOutDrops, 5u);
        EXPECT_EQ(sa.head.dwSpoof, 2u);
        EXPECT_EQ(sa.head.dwFrag, 3u);
        Stats sb = s.Read(ib);
        ASSERT_EQ(sb.hits.size(), 1u);
        EXPECT_EQ(sb.hits[0], 2u);
        EXPECT_EQ(sb.head.dwInDrops, 6u);
        EXPECT_EQ(sb.head.dwOutDrops, 0u);
        EXPECT_EQ(sb.head.dwSpoof, 0u);
        EXPECT_EQ(sb.head.dwFrag, 0u);

        // The counts agree with what crossed: what was let in arrived, what was counted as
        // dropped did not.
        std::map<std::pair<std::string, int>, int> arrived;  // TCP by destination and port
        for (const auto& arrival : arrivals) {
            const auto& p = arrival.packet;
            if (arrival.output || p.size() < 24 || p[9] != kProtocolTcp) continue;
            IPAddr dst;
            std::memcpy(&dst, &p[16], 4);
            ++arrived[{IPToStr(dst), p[22] << 8 | p[23]}];
        }
        EXPECT_EQ((arrived[{a, 80}]), 0);
        EXPECT_EQ((arrived[{a, 81}]), 4);
        EXPECT_EQ((arrived[{b, 22}]), 2);
        EXPECT_EQ((arrived[{b, 23}]), 0);
    }),
              kErrorSuccess);
}

// A count lives as long as its filter: a thousand changes of other filters, addresses and
// global filters while traffic flows leave it exact; unbinding, and a new backend (a restarted
// service), start it again from zero.
TEST(KernelStatistics, CountsOutliveAThousandOtherChangesWhileTrafficFlows) {
    KernelLab lab;
    REQUIRE_LAB(lab);
    const std::string a = KernelLab::BoundAddress(0);
    const std::string any = "0.0.0.0", one = "255.255.255.255", net = "255.255.255.0";
    const char* peer = kLabSources[0];  // 10.200.1.5
    ASSERT_EQ(lab.host().Enter([&] {
        StatisticsLab s(lab);
        ASSERT_NO_FATAL_FAILURE(s.Start());
        // Input drops by default; counted: an element (TCP 80), a rule in the group of
        // 10.200.1.0/24 that other rules join and leave (UDP 1000-1010), and the default drops.
        // Output drops by default too, and counts its drops.
        INTERFACE_HANDLE ia = s.Interface(a, PF_ACTION_DROP, PF_ACTION_DROP);
        s.Add(ia, true, any, any, any, any, 6, 0, 0, 80, 80);
        s.Add(ia, true, "10.200.1.0", net, any, any, 17, 0, 0, 1000, 1010);
        ASSERT_NO_FATAL_FAILURE(s.Write());

        std::atomic<bool> stop{false};
        std::atomic<int> rounds{0};
        std::thread traffic([&] {
            while (!stop) {
                Send(lab, 0, Packet(6, peer, a, 80), 1);
                Send(lab, 0, Packet(17, peer, a, 1001), 1);
                Send(lab, 0, Packet(17, peer, a, 999), 1);  // the default drops it
                Send(lab, kOut, Packet(17, a, "10.88.1.5", 54), 1, kErrorAccessDenied);
                ++rounds;
                // Paced, so that no queue on the way overflows and drops a packet uncounted.
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });

        // Other filters of the same address, in the same sets, chains and groups; other
        // addresses bound and unbound on the same device and another; the global filters.
        std::vector<FILTER_HANDLE> others;
        INTERFACE_HANDLE other = 0;
        int changes = 0;
        for (int i = 0; changes < 1000; ++i) {
            switch (i % 8) {
                case 0:
                    others.push_back(s.Add(ia, true, any, any, any, any, 6, 0, 0,
                                           static_cast<std::uint16_t>(2000 + i), 0));
                    break;
                case 1:
                    others.push_back(s.Add(ia, true, "10.200.1." + std::to_string(i % 200 + 10),
                                           one, any, any, 17, 0, 0, 3000, 3010));
                    break;
                case 2:
                    others.push_back(s.Add(ia, false, any, any, any, any, 17, 0, 0,
                                           static_cast<std::uint16_t>(4000 + i), 4005));
                    break;
                case 3:
                    ASSERT_EQ(s.backend().RemoveFilterHandles(ia, 1, &others.front()), 0u);
                    others.erase(others.begin());
                    break;
                // The fragment cache moves an address's input from one hook to another: a packet
                // on its way between the two while it changes may be decided at both, and counted
                // twice (pf.h), so it changes on the other address, and the checks here.
                case 4:
                    ASSERT_EQ(s.backend().AddGlobalFilterToInterface(
                                  ia, i % 16 == 4 ? GF_FRAGMENTS : GF_STRONGHOST),
                              0u);
                    break;
                case 5:
                    ASSERT_EQ(s.backend().RemoveGlobalFilterFromInterface(
                                  ia, i % 16 == 5 ? GF_FRAGMENTS : GF_STRONGHOST),
                              0u);
                    break;
                case 6:
                    other = s.Interface(
                        i % 16 == 6 ? KernelLab::OtherAddress(0) : KernelLab::BoundAddress(2),
                        PF_ACTION_DROP, PF_ACTION_FORWARD);
                    s.Add(other, true, any, any, any, any, 6, 0, 0, 22, 22);
                    ASSERT_EQ(s.backend().AddGlobalFilterToInterface(other, GF_STRONGHOST), 0u);
                    ASSERT_EQ(s.backend().AddGlobalFilterToInterface(other, GF_FRAGCACHE), 0u);
                    changes += 4;
                    break;
                case 7:
                    ASSERT_EQ(s.backend().UnBindInterface(other), 0u);
                    ASSERT_EQ(s.backend().DeleteInterface(other), 0u);
                    ++changes;
                    break;
            }
            ++changes;
        }
        stop = true;
        traffic.join();
        std::string error;
        lab.Flush(&error);
        ASSERT_EQ(error, "");
        const DWORD sent = static_cast<DWORD>(rounds.load());
        std::cout << changes << " changes while " << sent << " rounds of 4 packets crossed\n";
        ASSERT_GT(sent, 0u);
        Stats st = s.Read(ia);
        ASSERT_GE(st.hits.size(), 2u);
        EXPECT_EQ(st.hits[0], sent) << "TCP 80, an element";
        EXPECT_EQ(st.hits[1], sent) << "UDP 1000-1010, a rule of a group";
        EXPECT_EQ(st.head.dwInDrops, sent);
        EXPECT_EQ(st.head.dwOutDrops, sent);

        // Unbinding starts again from zero, and so does a restarted backend, whose whole table
        // replaces the one left behind.
        Send(lab, 0, Packet(6, peer, a, 80), 3);
        ASSERT_EQ(s.backend().UnBindInterface(ia), 0u);
        s.Bind(ia, a);
        Send(lab, 0, Packet(6, peer, a, 80), 2);
        lab.Flush(&error);
        EXPECT_EQ(s.Read(ia).hits[0], 2u);
        ASSERT_NO_FATAL_FAILURE(s.Restart());
        INTERFACE_HANDLE again = s.Interface(a, PF_ACTION_DROP, PF_ACTION_DROP);
        s.Add(again, true, any, any, any, any, 6, 0, 0, 80, 80);
        EXPECT_EQ(s.Read(again).hits[0], 0u) << "the new table is not written yet";
        ASSERT_NO_FATAL_FAILURE(s.Write());
        Send(lab, 0, Packet(6, peer, a, 80), 1);
        lab.Flush(&error);
        EXPECT_EQ(s.Read(again).hits[0], 1u);
    }),
              kErrorSuccess);
}

}  // namespace
