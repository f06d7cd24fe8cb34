// ZantorSvc.exe on Windows (under Wine here): installed, started, stopped and removed through the
// system's service control manager by its own -install/-start/-stop/-remove, spoken to over its
// pipe, its store replayed across a restart, and driven by zadmin.exe.
//
// There are no made-up computers on Windows: the service lists the host's own addresses, of which
// 127.0.0.1 is the one every host has, and keeps its log in the system directory. Each case
// starts from no service and no stored configuration, and the cases run one at a time (the
// service's pipe and registry are the computer's).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/computer.h"
#include "platform/pf.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "shared/address.h"
#include "shared/packet_builder.h"
#include "shared/text.h"
#include "tests/support/pipe_client.h"
#include "tests/win32/test_programs.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zantor::test::Client;
using zantor::test::Eventually;

// The address every computer has, and a filter for it: TCP to its port 80 from anywhere.
const std::string kLoopback = "127.0.0.1";
const std::string kWebIn = "0 0 0 0.0.0.0 0.0.0.0 127.0.0.1 255.255.255.255 6 0 0 80 0 80";

fs::path SystemDirectory() {
    return platform::SystemDirectory(platform::LocalComputerRoot());
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ProgramRun {
    int exitCode = -1;
    std::string output;
};

// Runs one of the build's programs to its end.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
    static int count = 0;
    const fs::path output = fs::temp_directory_path() /
                            ("zantor-win-run-" + std::to_string(platform::GetCurrentProcessId()) +
                             "-" + std::to_string(++count) + ".txt");
    platform::ChildProcessOptions options;
    options.program = program;
    options.arguments = args;
    options.outputFile = output;
    ProgramRun run;
    std::uint32_t pid = 0;
    if (platform::CreateChildProcess(options, &pid)) return run;
    if (platform::WaitForChildProcess(pid, 60s, &run.exitCode)) {
        platform::TerminateProcessById(pid, 5s);
        run.exitCode = -1;
    }
    run.output = ReadText(output);
    std::error_code ec;
    fs::remove(output, ec);
    return run;
}

ProgramRun Service(const std::string& option) {
    return RunProgram(zantor::test::TestProgram(ZANTOR_WIN_SERVICE), {option});
}

ProgramRun Zadmin(const std::vector<std::string>& args) {
    return RunProgram(zantor::test::TestProgram(ZANTOR_WIN_ZADMIN), args);
}

// The state the system's manager reports for ZantorSvc; 0 when it is not installed.
platform::DWORD ServiceState() {
    platform::SC_HANDLE manager = platform::OpenSCManagerA(nullptr, nullptr, 0x1);
    if (!manager) return 0;
    platform::DWORD state = 0;
    if (platform::SC_HANDLE service = platform::OpenServiceA(manager, "ZantorSvc", 0x4)) {
        platform::SERVICE_STATUS status{};
        if (platform::QueryServiceStatus(service, &status)) state = status.dwCurrentState;
        platform::CloseServiceHandle(service);
    }
    platform::CloseServiceHandle(manager);
    return state;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class WindowsService : public ::testing::Test {
  protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }

    // No service, no stored configuration, no logs of an earlier case.
    static void Clean() {
        if (ServiceState() != 0) {
            Service("-stop");
            Eventually([] { return ServiceState() == 1; }, 20s);
            Service("-remove");
        }
        platform::RegDeleteTreeA(platform::HKEY_LOCAL_MACHINE,
                                 "SYSTEM\\CurrentControlSet\\Services\\ZantorSvc");
        std::error_code ec;
        fs::remove(SystemDirectory() / "ZantorSvc.Log", ec);
    }

    static void InstallAndStart() {
        const ProgramRun install = Service("-install");
        ASSERT_EQ(install.exitCode, 0) << install.output;
        const ProgramRun start = Service("-start");
        ASSERT_EQ(start.exitCode, 0) << start.output;
        ASSERT_TRUE(Eventually([] { return ServiceState() == 4; }, 20s)) << start.output;
    }

    static std::string ServiceLog() { return ReadText(SystemDirectory() / "ZantorSvc.Log"); }
};

TEST_F(WindowsService, InstallStartGreetStopRemove) {
    InstallAndStart();
    Client client;
    ASSERT_TRUE(client.connected()) << client.openError();
    const auto& greeting = client.greeting();
    ASSERT_FALSE(greeting.empty());
    EXPECT_EQ(greeting.back(), "IP End 0.9 confirm,lists,stats");
    EXPECT_TRUE(std::any_of(greeting.begin(), greeting.end(), [](const std::string& line) {
        return line.starts_with("IP 127.0.0.1 255.0.0.0 0 ");
    })) << "the loopback address is every computer's";
    client.Close();

    const std::string log = ServiceLog();
    EXPECT_TRUE(Contains(log, "IP Addresses enumerated.")) << log;
    EXPECT_TRUE(Contains(log, "Creating NamedPipe [qzw2kflt] ...")) << log;
    // The service says which filter decides: under Wine the engine stands in for the system's.
    EXPECT_TRUE(Contains(log, "Packet filter") || Contains(log, "not being filtered")) << log;

    const ProgramRun stop = Service("-stop");
    EXPECT_EQ(stop.exitCode, 0) << stop.output;
    EXPECT_TRUE(Eventually([] { return ServiceState() == 1; }, 20s));
    std::unique_ptr<platform::Pipe> gone;
    EXPECT_EQ(platform::OpenPipe("\\\\.\\Pipe\\qzw2kflt", &gone), platform::kErrorFileNotFound);
    const ProgramRun remove = Service("-remove");
    EXPECT_EQ(remove.exitCode, 0) << remove.output;
    // Gone once its process has ended.
    EXPECT_TRUE(Eventually([] { return ServiceState() == 0; }, 20s));
}

TEST_F(WindowsService, CommandsAndTheStoreAcrossARestart) {
    InstallAndStart();
    {
        Client client;
        ASSERT_TRUE(client.connected()) << client.openError();
        EXPECT_EQ(client.Command("staf 10.9.9.9 1 0"), "-1");
        EXPECT_EQ(client.Command("staf " + kLoopback + " 0 0"), "0");
        const std::string added = client.Command("sif " + kLoopback + " in " + kWebIn);
        EXPECT_EQ(zantor::GetWord(added, 1), "0") << added;
        EXPECT_EQ(client.Command("sif " + kLoopback + " in " + kWebIn), "-3");
        EXPECT_EQ(client.Command("sig " + kLoopback + " 2"), "0 0");
        EXPECT_EQ(client.Command("gig " + kLoopback), "0 4");
        EXPECT_EQ(client.Command("gif " + kLoopback + " in 0"), "0 " + kWebIn);
        EXPECT_EQ(client.Command("gif " + kLoopback + " in 1"), "-2");
    }
    ASSERT_EQ(Service("-stop").exitCode, 0);
    ASSERT_TRUE(Eventually([] { return ServiceState() == 1; }, 20s));
    ASSERT_EQ(Service("-start").exitCode, 0);
    ASSERT_TRUE(Eventually([] { return ServiceState() == 4; }, 20s));

    // The stored configuration is in force again before the pipe takes its first client.
    Client client;
    ASSERT_TRUE(client.connected()) << client.openError();
    const auto& greeting = client.greeting();
    EXPECT_TRUE(std::any_of(greeting.begin(), greeting.end(), [](const std::string& line) {
        return line.starts_with("IP 127.0.0.1 255.0.0.0 1 ");
    })) << "filtering is on again";
    EXPECT_EQ(client.Command("gif " + kLoopback + " in 0"), "0 " + kWebIn);
    EXPECT_EQ(client.Command("gig " + kLoopback), "0 4");
    EXPECT_EQ(client.Command("stof " + kLoopback), "0");
    EXPECT_EQ(client.Command("df " + kLoopback), "0");
}

// A TCP packet from 10.0.0.9 to the loopback address's port, as the engine's packet socket
// takes it; its verdict.
std::string VerdictOnLoopback(std::uint16_t port) {
    zantor::PacketFields fields;
    fields.src = zantor::MakeIP(10, 0, 0, 9);
    fields.dst = zantor::MakeIP(127, 0, 0, 1);
    fields.srcPort = 40000;
    fields.dstPort = port;
    fields.tcpFlags = zantor::kTcpAck;
    platform::PFFORWARD_ACTION verdict{};
    if (platform::Win32Error e = platform::SendTestPacket(
            platform::LocalComputerRoot(), platform::PacketDirection::kInput, fields.dst,
            zantor::BuildPacket(fields), verdict))
        return "error " + std::to_string(e);
    return verdict == platform::PF_ACTION_FORWARD ? "forward" : "drop";
}

// Under Wine the engine stands in for the system's filtering: the packets it is sent are decided
// by the filters set over the pipe, and its drops reach the deny log and the "rl" reply's count.
TEST_F(WindowsService, TheEngineDecidesAndTheDenyLogRecords) {
    std::error_code ec;
    fs::remove(SystemDirectory() / "IPDenyLog.Log", ec);
    InstallAndStart();
    Client client;
    ASSERT_TRUE(client.connected()) << client.openError();
    ASSERT_EQ(client.Command("staf " + kLoopback + " 1 0"), "0");
    ASSERT_EQ(zantor::GetWord(client.Command("sif " + kLoopback + " in " + kWebIn), 1), "0");
    EXPECT_EQ(VerdictOnLoopback(80), "forward");
    EXPECT_EQ(VerdictOnLoopback(22), "drop");
    EXPECT_EQ(VerdictOnLoopback(23), "drop");
    // "ca" is known but changes nothing and gets no reply: the next reply is the next command's.
    client.Send("ca " + kLoopback + " 0 0\r\n");
    EXPECT_EQ(client.Command("gig " + kLoopback), "0 0");
    EXPECT_EQ(VerdictOnLoopback(22), "drop");
    EXPECT_EQ(client.Command("sig " + kLoopback + " 8"), "0 0");
    EXPECT_EQ(client.Command("rig " + kLoopback + " 8"), "0 0");
    EXPECT_EQ(client.Command("rif " + kLoopback + " in 0"), "0");
    EXPECT_EQ(client.Command("rl"), "0 ");

    ASSERT_TRUE(Eventually(
        [] { return Contains(ReadText(SystemDirectory() / "IPDenyLog.Log"), ":23 Data: "); }));
    const std::string deny = ReadText(SystemDirectory() / "IPDenyLog.Log");
    EXPECT_TRUE(Contains(deny, "TCP 10.0.0.9:40000 -> 127.0.0.1:22 Data: ")) << deny;
    EXPECT_TRUE(Contains(ServiceLog(), "Writing deny log (LoggedEntries: ")) << ServiceLog();
}

TEST_F(WindowsService, ZadminDrivesTheRunningService) {
    InstallAndStart();
    ProgramRun list = Zadmin({"list"});
    ASSERT_EQ(list.exitCode, 0) << list.output;
    EXPECT_TRUE(Contains(list.output, kLoopback)) << list.output;

    const ProgramRun enable = Zadmin({"enable", kLoopback, "forward", "forward"});
    EXPECT_EQ(enable.exitCode, 0) << enable.output;
    const ProgramRun add =
        Zadmin({"add-filter", kLoopback, "in", "--proto", "tcp", "--dport", "80"});
    EXPECT_EQ(add.exitCode, 0) << add.output;
    const ProgramRun filters = Zadmin({"filters", kLoopback, "in", "--tsv"});
    EXPECT_EQ(filters.exitCode, 0) << filters.output;
    EXPECT_TRUE(Contains(filters.output, "80")) << filters.output;
    EXPECT_EQ(Zadmin({"disable", kLoopback}).exitCode, 0);

    // A service that is not there: a clear error, not a hang.
    ASSERT_EQ(Service("-stop").exitCode, 0);
    ASSERT_TRUE(Eventually([] { return ServiceState() == 1; }, 20s));
    const ProgramRun down = Zadmin({"list"});
    EXPECT_NE(down.exitCode, 0);
    EXPECT_TRUE(Contains(down.output, "2")) << down.output;
}

}  // namespace
