// Ctrl-C and SIGTERM stop the service the way the stop control does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

// The lines that say why the service stops: those of its log, then those of its output.
std::vector<std::string> StopLines(const Computer& pc, const ServiceProcess& svc) {
    std::vector<std::string> lines;
    for (const auto& m : pc.ServiceLogMessages())
        if (m.starts_with("Stopping ZantorSvc")) lines.push_back("log: " + m);
    std::istringstream out(svc.Output());
    for (std::string line; std::getline(out, line);) {
        if (line.ends_with('\r')) line.pop_back();
        // A terminal echoes the Ctrl-C in front of the line.
        if (auto at = line.find("Stopping ZantorSvc"); at != std::string::npos)
            lines.push_back("output: " + line.substr(at));
    }
    return lines;
}

std::vector<std::string> InLogAndOutput(const std::string& line) {
    return {"log: " + line, "output: " + line};
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

// A service that ended in the middle of a long run must say who ended it.
TEST(ServiceSignals, TheStopNamesTheProcessThatSentTheSignal) {
    {
        SCOPED_TRACE("SIGTERM from this process, which still runs");
        Computer pc;
        ServiceProcess svc(pc);
        ASSERT_TRUE(Client().connected());
        svc.Signal(platform::CTRL_SHUTDOWN_EVENT);
        ASSERT_EQ(svc.Wait(), 0);
        const auto lines = StopLines(pc, svc);
        ASSERT_EQ(lines.size(), 2u) << svc.Output();
        const std::string expected = "Stopping ZantorSvc ... on SIGTERM from process " +
                                     std::to_string(platform::GetCurrentProcessId()) +
                                     " (service_integration_tests";
        EXPECT_TRUE(lines[0].starts_with("log: " + expected)) << lines[0];
        EXPECT_TRUE(lines[1].starts_with("output: " + expected)) << lines[1];
    }
    {
        // kill ends as soon as it has sent the signal; not reaped, it keeps its name.
        SCOPED_TRACE("SIGINT from kill, which has ended");
        std::filesystem::path kill = "/usr/bin/kill";
        if (!std::filesystem::exists(kill)) kill = "/bin/kill";
        if (!std::filesystem::exists(kill)) GTEST_SKIP() << "no kill program here";
        Computer pc;
        ServiceProcess svc(pc);
        ASSERT_TRUE(Client().connected());
        const std::string target = std::to_string(svc.pid());
        std::uint32_t killer = 0;
        platform::ChildProcessOptions options;
        options.program = kill;
        options.arguments = {"-INT", target};
        ASSERT_EQ(platform::CreateChildProcess(options, &killer), platform::kErrorSuccess);
        ASSERT_EQ(svc.Wait(), 0);
        int exitCode = -1;
        ASSERT_EQ(platform::WaitForChildProcess(killer, std::chrono::seconds(10), &exitCode),
                  platform::kErrorSuccess);
        EXPECT_EQ(exitCode, 0);
        const auto lines = StopLines(pc, svc);
        // Whether it had ended by the time it was looked up is a race it may win.
        const std::string sender =
            "Stopping ZantorSvc ... on SIGINT from process " + std::to_string(killer) + " (kill";
        const std::string line = lines.empty() ? "" : lines[0].substr(5);
        EXPECT_TRUE(line == sender + " -INT " + target + ")." ||
                    line == sender + "), which has ended since.")
            << line;
        EXPECT_EQ(lines, InLogAndOutput(line));
    }
}

// Ctrl-C typed at a terminal comes from no process. script(1) gives the service a terminal and
// passes on what a feeder types: Ctrl-C once the file "go" appears, then nothing until it has
// gone (script ends when both its input and the service have), each wait bounded.
TEST(ServiceSignals, CtrlCAtTheTerminalIsNamedSo) {
    if (!std::filesystem::exists("/usr/bin/script")) GTEST_SKIP() << "no script program here";
    Computer pc;
    ServiceProcess svc(
        pc, {"-run"},
        {"/bin/sh", "-c",
         "mkfifo keys; (i=0; while [ ! -e go ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done;"
         " printf '\\003'; while [ -e go ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done)"
         " > keys & exec /usr/bin/script -qfec \"exec '$0' $*\" /dev/null < keys"});
    ASSERT_TRUE(Client().connected()) << svc.Output();
    std::ofstream(pc.system32() / "go") << "";
    EXPECT_TRUE(svc.WaitForOutput("Stopping")) << svc.Output();
    std::filesystem::remove(pc.system32() / "go");
    EXPECT_EQ(svc.Wait(), 0);
    EXPECT_EQ(StopLines(pc, svc),
              InLogAndOutput("Stopping ZantorSvc ... on Ctrl-C at the terminal."));
}
