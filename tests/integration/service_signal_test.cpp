// Ctrl-C and SIGTERM stop the service the way the stop control does.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/pf.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "shared/packet_builder.h"
#include "shared/text.h"
#include "tests/support/service_process.h"

using namespace zantor;
using namespace zantor::test;

namespace {

const IPAddr kAddr = MakeIP(10, 0, 0, 5);

// Sends a TCP packet to port `port` of 10.0.0.5; true when it was dropped.
bool Dropped(const Computer& pc, std::uint16_t port) {
    PacketFields fields;
    fields.protocol = kProtocolTcp;
    fields.src = MakeIP(10, 0, 0, 9);
    fields.dst = kAddr;
    fields.srcPort = 40000;
    fields.dstPort = port;
    platform::PFFORWARD_ACTION verdict{};
    return platform::SendTestPacket(pc.root(), platform::PacketDirection::kInput, kAddr,
                                    BuildPacket(fields), verdict) == platform::kErrorSuccess &&
           verdict == platform::PF_ACTION_DROP;
}

std::size_t DenyLogLines(const Computer& pc) {
    std::ifstream in(pc.system32() / "IPDenyLog.Log");
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

}  // namespace

TEST(ServiceSignals, CtrlCAndSigtermStopTheServiceWithItsDenyLogWritten) {
    for (std::uint32_t event : {platform::CTRL_C_EVENT, platform::CTRL_SHUTDOWN_EVENT}) {
        SCOPED_TRACE(event == platform::CTRL_C_EVENT ? "SIGINT" : "SIGTERM");
        Computer pc;
        ServiceProcess svc(pc);
        Client c;
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
        for (std::uint16_t port : {std::uint16_t{22}, std::uint16_t{23}, std::uint16_t{25}})
            ASSERT_TRUE(Dropped(pc, port));
        // Well within the log's one-second flush: only the stop writes these out.
        svc.Signal(event);
        EXPECT_EQ(svc.Wait(), 0);
        EXPECT_EQ(DenyLogLines(pc), 3u);
        EXPECT_EQ(c.ReadLine(), "514tw8#K#&!") << "the connection was ended";
        // The stopped service replays what it had when it starts again.
        ServiceProcess again(pc);
        Client after;
        ASSERT_TRUE(after.connected());
        EXPECT_EQ(after.greeting()[0], "IP 10.0.0.5 255.255.255.0 1 2 0 0 1 0 0");
    }
}

TEST(ServiceSignals, ASecondSignalEndsAStuckStopAtOnce) {
    Computer pc;
    ServiceProcess svc(pc);
    Client c;
    ASSERT_TRUE(c.connected());
    ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    // While another writer holds the store, the service's next change waits for it (about two
    // seconds), and the stop waits for that change.
    platform::RegTransaction hold(platform::HKEY_LOCAL_MACHINE);
    ASSERT_EQ(hold.Begin_result(), 0u);
    c.Send("sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80\r\n");
    ASSERT_TRUE(Eventually([&] {
        for (const auto& m : pc.ServiceLogMessages())
            if (m.rfind("Processing AddFilter(", 0) == 0) return true;
        return false;
    }));
    svc.Signal(platform::CTRL_C_EVENT);
    ASSERT_TRUE(svc.WaitForOutput("Stopping ZantorSvc ...")) << svc.Output();
    svc.Signal(platform::CTRL_C_EVENT);
    EXPECT_EQ(svc.Wait(std::chrono::milliseconds(1500)), 128 + 2);
}
