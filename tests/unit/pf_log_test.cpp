// The filter log: frames, the event, lent buffers and their exchange.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <thread>

#include "tests/unit/pf_test_util.h"

using namespace platform;
using namespace zantor;
using namespace zantor::test;

namespace {

// The system's layout, with pointers of the target's size (the 32-bit system's is 44 bytes).
constexpr std::size_t kAddressCells = sizeof(void*) == 8 ? 16 : 12;
static_assert(sizeof(PF_FILTER_DESCRIPTOR) == (sizeof(void*) == 8 ? 64 : 44));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, SrcAddr) == kAddressCells);
static_assert(offsetof(PF_FILTER_DESCRIPTOR, dwProtocol) == kAddressCells + 4 * sizeof(void*));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, wSrcPort) == kAddressCells + 4 * sizeof(void*) + 8);
static_assert(offsetof(PF_FILTER_DESCRIPTOR, wDstPortHighRange) ==
              kAddressCells + 4 * sizeof(void*) + 14);
static_assert(offsetof(PFLOGFRAME, pfeTypeOfFrame) == 8);
static_assert(offsetof(PFLOGFRAME, dwTotalSizeUsed) == 12);
static_assert(offsetof(PFLOGFRAME, dwFilterRule) == 16);
static_assert(offsetof(PFLOGFRAME, wSizeOfAdditionalData) == 20);
static_assert(offsetof(PFLOGFRAME, wSizeOfIpHeader) == 22);
static_assert(offsetof(PFLOGFRAME, dwInterfaceName) == 24);
static_assert(offsetof(PFLOGFRAME, dwIPIndex) == 28);
static_assert(offsetof(PFLOGFRAME, bPacketData) == 32);

constexpr const char* kLocal = "10.0.0.5";
constexpr const char* kRemote = "192.168.1.20";

class PfLog : public ::testing::Test {
  protected:
    PfLog() { Setup(driver); }
    // An interface on kLocal that forwards input (but drops port 22 by a filter with rule 77)
    // and drops output.
    void Setup(PacketFilterDriver& d, DWORD name = 0, bool log = true) {
        ASSERT_EQ(d.CreateInterface(name, PF_ACTION_FORWARD, PF_ACTION_DROP, log, true, &itf), 0u);
        IPAddr ip = StrToIP(kLocal);
        ASSERT_EQ(d.BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
                  0u);
        Descriptor ssh({.protocol = 6, .dstLow = 22, .rule = 77});
        FILTER_HANDLE h;
        ASSERT_EQ(d.AddFiltersToInterface(itf, 1, ssh.get(), 0, nullptr, &h), 0u);
        ASSERT_EQ(d.MakeLog(&event), 0u);
    }
    DWORD Lend(std::uint8_t* buffer, DWORD size, DWORD entries = 300, DWORD bytes = 0xFFFF1BA0) {
        EXPECT_EQ(driver.SetLogBuffer(buffer, size, bytes, entries, &logged, &lost, &used), 0u);
        return logged;
    }
    void DropIn(std::size_t payload = 0) {
        PacketFields s;
        s.src = StrToIP(kRemote);
        s.dst = StrToIP(kLocal);
        s.dstPort = 22;
        s.payloadSize = payload;
        ASSERT_EQ(driver.DecidePacket(PacketDirection::kInput, s.dst, BuildPacket(s)),
                  PF_ACTION_DROP);
    }

    ManualClock clock;
    PacketFilterDriver driver{ManualOptions(clock)};
    Event event;
    INTERFACE_HANDLE itf = 0;
    DWORD logged = 0, lost = 0, used = 0;
    alignas(8) std::uint8_t a[1280] = {}, b[1280] = {};
};

PFLOGFRAME Head(const std::uint8_t* at) {
    PFLOGFRAME f;
    std::memcpy(&f, at, kPfLogFrameHeaderSize);
    return f;
}

TEST_F(PfLog, FramesCarryTheDropAndWalkByTheirSize) {
    Lend(a, sizeof a);
    DropIn(200);
    auto out = Tcp(kLocal, 1, kRemote, 80);
    out.push_back(9);  // 41 bytes, so the frame needs padding
    out[3] = 41;
    EXPECT_EQ(driver.DecidePacket(PacketDirection::kOutput, StrToIP(kLocal), out), PF_ACTION_DROP);
    EXPECT_EQ(
        driver.DecidePacket(PacketDirection::kInput, StrToIP(kLocal), Tcp(kRemote, 1, kLocal, 80)),
        PF_ACTION_FORWARD);
    ASSERT_EQ(driver.AddGlobalFilterToInterface(itf, GF_STRONGHOST), 0u);
    EXPECT_EQ(driver.DecidePacket(PacketDirection::kInput, StrToIP(kLocal),
                                  Tcp(kRemote, 1, "10.0.0.6", 80)),
              PF_ACTION_DROP);
    ASSERT_EQ(driver.AddGlobalFilterToInterface(itf, GF_FRAGMENTS), 0u);
    PacketFields bad;
    bad.src = StrToIP(kRemote);
    bad.dst = StrToIP(kLocal);
    bad.fragmentOffset = 1;
    bad.payloadSize = 8;
    EXPECT_EQ(driver.DecidePacket(PacketDirection::kInput, bad.dst, BuildPacket(bad)),
              PF_ACTION_DROP);

    ASSERT_EQ(Lend(b, sizeof b), 4u);
    EXPECT_EQ(lost, 0u);
    struct Expect {
        PFFRAMETYPE type;
        DWORD rule, total, ipHeader, additional;
    };
    const Expect frames[] = {
        {PFFT_FILTER, 77, 184, 20, 128},  // 32 + 20 + 128 bytes of the 240
        {PFFT_FILTER, 0, 80, 20, 21},     // 32 + 41, padded to 8
        {PFFT_SPOOF, 0, 72, 20, 20},
        {PFFT_FRAG, 0, 64, 20, 8},
    };
    DWORD at = 0;
    for (const Expect& e : frames) {
        SCOPED_TRACE(at);
        PFLOGFRAME f = Head(a + at);
        EXPECT_EQ(f.pfeTypeOfFrame, e.type);
        EXPECT_EQ(f.dwFilterRule, e.rule);
        EXPECT_EQ(f.dwTotalSizeUsed, e.total);
        EXPECT_EQ(f.wSizeOfIpHeader, e.ipHeader);
        EXPECT_EQ(f.wSizeOfAdditionalData, e.additional);
        EXPECT_EQ(f.dwInterfaceName, itf) << "created with name 0";
        EXPECT_GT(f.Timestamp, 0);
        EXPECT_EQ(a[at + 32], 0x45) << "the IP header follows the fixed part";
        at += f.dwTotalSizeUsed;
    }
    EXPECT_EQ(used, at);
    PacketFields s;
    s.src = StrToIP(kRemote);
    s.dst = StrToIP(kLocal);
    s.dstPort = 22;
    s.payloadSize = 200;
    auto first = BuildPacket(s);
    EXPECT_EQ(0, std::memcmp(a + 32, first.data(), 148));
    EXPECT_EQ(0, std::memcmp(a + 184 + 32, out.data(), out.size()));
}

TEST_F(PfLog, InterfacesWithoutLoggingWriteNothing) {
    PacketFilterDriver quiet(ManualOptions(clock));
    Setup(quiet, 0, false);
    DWORD n[3];
    ASSERT_EQ(quiet.SetLogBuffer(b, sizeof b, 0xFFFF1BA0, 1, n, n + 1, n + 2), 0u);
    quiet.DecidePacket(PacketDirection::kInput, StrToIP(kLocal), Tcp(kRemote, 1, kLocal, 22));
    ASSERT_EQ(quiet.SetLogBuffer(a, sizeof a, 0xFFFF1BA0, 1, n, n + 1, n + 2), 0u);
    EXPECT_EQ(n[0] + n[1], 0u);
    EXPECT_FALSE(event.IsSet());
}

TEST_F(PfLog, EventAtEntryAndByteThresholdsAndWhenFull) {
    Lend(a, sizeof a, 3);  // minimal TCP drops make 72-byte frames
    DropIn();
    DropIn();
    EXPECT_FALSE(event.IsSet());
    DropIn();
    EXPECT_TRUE(event.IsSet()) << "third entry";

    event.Reset();
    Lend(b, sizeof b, 300, 144);
    DropIn();
    EXPECT_FALSE(event.IsSet());
    DropIn();
    EXPECT_TRUE(event.IsSet()) << "144 bytes";

    event.Reset();
    Lend(a, 200);
    DropIn();
    DropIn();
    EXPECT_FALSE(event.IsSet()) << "56 bytes left: room for a minimal frame";
    DropIn();
    EXPECT_TRUE(event.IsSet()) << "a frame did not fit";
    DropIn();
    Lend(b, sizeof b);
    EXPECT_EQ(logged, 2u);
    EXPECT_EQ(lost, 2u);
    EXPECT_EQ(used, 144u);

    // After a frame that did not fit, a smaller one that would fit is lost as well: the log
    // keeps the order of the drops.
    event.Reset();
    Lend(a, 200);
    DropIn();
    DropIn(200);
    DropIn();
    Lend(b, sizeof b);
    EXPECT_EQ(logged, 1u);
    EXPECT_EQ(lost, 2u);
    EXPECT_EQ(used, 72u);

    // The smallest buffer holds one frame of a bare IP header; its padding is cut.
    event.Reset();
    Lend(a, kPfLogMinBufferSize);
    PacketFields bare;
    bare.protocol = 47;
    bare.dst = StrToIP(kLocal);
    driver.DecidePacket(PacketDirection::kOutput, bare.dst, BuildPacket(bare));
    EXPECT_TRUE(event.IsSet()) << "full";
    Lend(b, sizeof b);
    EXPECT_EQ(logged, 1u);
    EXPECT_EQ(used, kPfLogMinBufferSize);
}

TEST_F(PfLog, WaitingFramesAreSignalledAfterASecond) {
    Lend(a, sizeof a);
    driver.CheckLogTimer();
    EXPECT_FALSE(event.IsSet()) << "nothing waits";
    DropIn();
    clock.Advance(std::chrono::milliseconds(999));
    driver.CheckLogTimer();
    EXPECT_FALSE(event.IsSet());
    clock.Advance(std::chrono::milliseconds(1));
    driver.CheckLogTimer();
    EXPECT_TRUE(event.IsSet());

    // The driver's own timer does the same without being asked.
    PacketFilterDriver timed;
    Setup(timed);
    Event e;
    ASSERT_EQ(timed.MakeLog(&e), 0u) << "a second call replaces the event";
    DWORD n[3];
    ASSERT_EQ(timed.SetLogBuffer(b, sizeof b, 0xFFFF1BA0, 300, n, n + 1, n + 2), 0u);
    timed.DecidePacket(PacketDirection::kInput, StrToIP(kLocal), Tcp(kRemote, 1, kLocal, 22));
    EXPECT_TRUE(e.Wait(std::chrono::seconds(30)));
}

TEST_F(PfLog, ExchangeHandsBackTheOldBufferOnly) {
    EXPECT_EQ(Lend(a, sizeof a), 0u) << "the first call hands back zeros";
    EXPECT_EQ(lost + used, 0u);
    DropIn();
    Lend(b, sizeof b);
    EXPECT_EQ(logged, 1u);
    EXPECT_EQ(used, 72u);
    std::memset(a, 0xAA, sizeof a);
    DropIn();
    DropIn();
    EXPECT_EQ(a[0], 0xAA) << "the returned buffer is the caller's again";
    Lend(a, sizeof a);
    EXPECT_EQ(logged, 2u);
    EXPECT_EQ(Head(b + 72).dwTotalSizeUsed, 72u);

    ASSERT_EQ(driver.DeleteLog(), 0u);
    EXPECT_EQ(driver.SetLogBuffer(a, sizeof a, 1, 1, &logged, &lost, &used), kPfErrorLogNotSetUp);
}

TEST(PfLogSetup, RefusesWhatItCannotUse) {
    PacketFilterDriver d(Untimed());
    std::uint8_t buf[64];
    DWORD n[3];
    EXPECT_EQ(d.SetLogBuffer(buf, 64, 1, 1, n, n + 1, n + 2), kPfErrorLogNotSetUp);
    EXPECT_EQ(GetLastError(), kPfErrorLogNotSetUp);
    EXPECT_EQ(d.DeleteLog(), kPfErrorLogNotSetUp);
    EXPECT_EQ(d.MakeLog(nullptr), kErrorInvalidParameter);
    Event e;
    ASSERT_EQ(d.MakeLog(&e), 0u);
    EXPECT_EQ(d.SetLogBuffer(buf, kPfLogMinBufferSize - 1, 1, 1, n, n + 1, n + 2),
              kPfErrorBufferTooSmall);
    EXPECT_EQ(d.SetLogBuffer(nullptr, 64, 1, 1, n, n + 1, n + 2), kErrorInvalidParameter);
    EXPECT_EQ(d.SetLogBuffer(buf, 64, 1, 1, nullptr, n + 1, n + 2), kErrorInvalidParameter);
}

// Drops from two threads while a third swaps buffers as the service does: every drop is logged
// or lost exactly once, and every returned buffer walks cleanly.
TEST_F(PfLog, ConcurrentDropsAreLoggedOrLostOnce) {
    constexpr int kPerThread = 3000;
    std::atomic<bool> done{false};
    std::uint64_t seen = 0, lostTotal = 0;
    Lend(a, sizeof a, 5);  // before any drop, or it would go unrecorded
    std::thread logger([&] {
        std::uint8_t* lent = a;
        while (!done.load()) {
            if (!event.Wait(std::chrono::milliseconds(10))) continue;
            event.Reset();
            std::uint8_t* back = lent;
            lent = lent == a ? b : a;
            Lend(lent, sizeof a, 5);
            DWORD at = 0;
            for (DWORD i = 0; i < logged; ++i) at += Head(back + at).dwTotalSizeUsed;
            EXPECT_EQ(at, used);
            seen += logged;
            lostTotal += lost;
        }
        Lend(lent == a ? b : a, sizeof a);
        seen += logged;
        lostTotal += lost;
    });
    auto drop = [&] {
        for (int i = 0; i < kPerThread; ++i) DropIn();
    };
    std::thread t1(drop), t2(drop);
    t1.join();
    t2.join();
    done = true;
    logger.join();
    EXPECT_EQ(seen + lostTotal, 2u * kPerThread);
}

}  // namespace
