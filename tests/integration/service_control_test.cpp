// ZantorSvc as an administrator uses it: installed, started, stopped and removed on a simulated
// network of two computers, and run by the service control manager.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/process.h"
#include "platform/scm.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"
#include "tests/support/service_process.h"
#include "tests/support/ssh_words.h"

using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

std::string Program() {
    return ZANTORSVC_PATH;
}

// A local computer and PC1 on the network; whatever runs on PC1 is ended when the test ends.
class Network : public ::testing::Test {
  protected:
    Network() {
        fs::create_directories(network.path() / "PC1" / "system32");
        std::ofstream(pc1() / "ipaddrtable") << "172.16.0.10 255.255.0.0 4\n";
        setenv("ZANTOR_NETWORK", network.path().c_str(), 1);
    }
    ~Network() override {
        const platform::SERVICE_STATUS_PROCESS st = Pc1Status();
        if (st.dwCurrentState != platform::SERVICE_STOPPED && st.dwProcessId)
            platform::TerminateProcessById(st.dwProcessId, std::chrono::seconds(5));
        unsetenv("ZANTOR_NETWORK");
    }
    fs::path pc1() const { return network.path() / "PC1"; }
    // The status of ZantorSvc on PC1 with its process id; all 0 when it cannot be read.
    static platform::SERVICE_STATUS_PROCESS Pc1Status() {
        platform::SERVICE_STATUS_PROCESS st{};
        platform::SC_HANDLE m = platform::OpenSCManagerA("PC1", nullptr, 0xF003F);
        platform::SC_HANDLE s = m ? platform::OpenServiceA(m, "ZantorSvc", 0xF01FF) : nullptr;
        platform::DWORD needed = 0;
        if (s && !platform::QueryServiceStatusEx(s, platform::SC_STATUS_PROCESS_INFO,
                                                 reinterpret_cast<unsigned char*>(&st), sizeof st,
                                                 &needed))
            st = {};
        if (s) platform::CloseServiceHandle(s);
        if (m) platform::CloseServiceHandle(m);
        return st;
    }
    ProgramRun Zantor(std::vector<std::string> args) {
        return RunProgram(ZANTORSVC_PATH, args, local.root());
    }

    Computer local;
    TempDir network;
};

const char* kUsage =
    " <param>\nParam:\n -install [ComputerName] to install service\n -remove to remove service\n"
    " -run to run as console application.\n -restart [ComputerName] to restart service\n"
    " -stop [ComputerName] to stop service\n -start [ComputerName] to start service\n"
    " -help to get this help.\n";

}  // namespace

TEST_F(Network, InstallStartServeStopRestartAndRemoveOnARemoteComputer) {
    ProgramRun install = Zantor({"-install", "PC1"});
    EXPECT_EQ(install.exitCode, 0);
    EXPECT_EQ(
        install.output,
        Program() + " copied into PC1.\nService ZantorSvc on PC1 was installed successfull.\n");
    EXPECT_TRUE(fs::exists(pc1() / "system32" / "ZantorSvc"));

    EXPECT_EQ(Zantor({"-start", "PC1"}).output, "Service ZantorSvc started on PC1 successfull.\n");
    {
        Client client("\\\\PC1\\Pipe\\qzw2kflt");
        ASSERT_TRUE(client.connected()) << client.openError();
        EXPECT_EQ(client.greeting(),
                  (std::vector<std::string>{"IP 172.16.0.10 255.255.0.0 0 4 0 0 0 0 0",
                                            "IP End 0.9 confirm,lists,stats"}));
        EXPECT_EQ(client.Command("staf 172.16.0.10 1 0"), "0");
    }
    EXPECT_EQ(Zantor({"-start", "PC1"}).output,
              "Error 1056 (An instance of the service is running already.) in "
              "StartThisService.StartService\n");

    // The running program's file cannot go, so the service stays registered.
    EXPECT_EQ(Zantor({"-remove", "PC1"}).output,
              "Error 32 (The file is in use by another process.) while trying delete "
              "\\\\PC1\\ADMIN$\\system32\\ZantorSvc\n");
    EXPECT_TRUE(fs::exists(pc1() / "system32" / "ZantorSvc"));

    // A stop is real: the pipe goes away and the process ends.
    EXPECT_EQ(Zantor({"-stop", "PC1"}).output, "Service ZantorSvc stopped on PC1 successfull.\n");
    {
        Client gone("\\\\PC1\\Pipe\\qzw2kflt", std::chrono::milliseconds(0));
        EXPECT_EQ(gone.openError(), platform::kErrorFileNotFound);
    }
    // Once the process has ended its file goes, and the service with it.
    ASSERT_TRUE(Eventually([&] {
        return Zantor({"-remove", "PC1"}).output ==
               "Service ZantorSvc on PC1 was removed successfull.\n";
    }));
    EXPECT_FALSE(fs::exists(pc1() / "system32" / "ZantorSvc"));
}

TEST_F(Network, StopThenStartReplaysTheStoredConfiguration) {
    ASSERT_EQ(Zantor({"-install", "PC1"}).exitCode, 0);
    ASSERT_EQ(Zantor({"-start", "PC1"}).output, "Service ZantorSvc started on PC1 successfull.\n");
    {
        Client client("\\\\PC1\\Pipe\\qzw2kflt");
        ASSERT_TRUE(client.connected());
        ASSERT_EQ(client.Command("staf 172.16.0.10 1 0"), "0");
        ASSERT_EQ(client.Command("sig 172.16.0.10 8"), "0 0");
    }
    // Stopped while nothing runs: the stop fails as not active, the start goes through.
    EXPECT_EQ(Zantor({"-stop", "PC1"}).output, "Service ZantorSvc stopped on PC1 successfull.\n");
    EXPECT_EQ(Zantor({"-restart", "PC1"}).output,
              "Error 1062 (The service has not been started.) in StopThisService.ControlService\n"
              "Service ZantorSvc started on PC1 successfull.\n");
    {
        Client client("\\\\PC1\\Pipe\\qzw2kflt");
        ASSERT_TRUE(client.connected());
        EXPECT_EQ(client.greeting()[0], "IP 172.16.0.10 255.255.0.0 1 4 0 0 1 0 256");
    }
    EXPECT_EQ(Zantor({"-stop", "PC1"}).exitCode, 0);
    ASSERT_TRUE(Eventually([&] {
        return Zantor({"-remove", "PC1"}).output ==
               "Service ZantorSvc on PC1 was removed successfull.\n";
    }));
    EXPECT_FALSE(fs::exists(pc1() / "system32" / "ZantorSvc"));
    EXPECT_EQ(Zantor({"-start", "PC1"}).output,
              "Error 1060 (The named service is not installed.) in StartThisService.OpenService\n");
}

TEST_F(Network, PauseAndContinueOnlyChangeTheReportedState) {
    ASSERT_EQ(Zantor({"-install", "PC1"}).exitCode, 0);
    ASSERT_EQ(Zantor({"-start", "PC1"}).exitCode, 0);
    platform::SC_HANDLE m = platform::OpenSCManagerA("PC1", nullptr, 0xF003F);
    platform::SC_HANDLE s = platform::OpenServiceA(m, "ZantorSvc", 0xF01FF);
    ASSERT_TRUE(s);
    platform::SERVICE_STATUS st{};
    // The start returns once the service's main function runs; it reports "running" a moment
    // later, and until then it takes no pause.
    ASSERT_TRUE(Eventually([&] {
        return platform::QueryServiceStatus(s, &st) &&
               st.dwCurrentState == platform::SERVICE_RUNNING;
    }));
    ASSERT_TRUE(platform::ControlService(s, platform::SERVICE_CONTROL_PAUSE, &st))
        << platform::GetLastError();
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_PAUSED);
    {
        Client client("\\\\PC1\\Pipe\\qzw2kflt");
        ASSERT_TRUE(client.connected());
        EXPECT_EQ(client.Command("rl"), "0 ");
    }
    ASSERT_TRUE(platform::ControlService(s, platform::SERVICE_CONTROL_CONTINUE, &st));
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_RUNNING);
    EXPECT_EQ(st.dwControlsAccepted, 3u);
    ASSERT_TRUE(platform::ControlService(s, platform::SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_STOPPED);
    platform::CloseServiceHandle(s);
    platform::CloseServiceHandle(m);
}

TEST_F(Network, SigtermStopsAServiceAsTheStopControlDoes) {
    ASSERT_EQ(Zantor({"-install", "PC1"}).exitCode, 0);
    ASSERT_EQ(Zantor({"-start", "PC1"}).exitCode, 0);
    platform::SERVICE_STATUS_PROCESS st{};
    ASSERT_TRUE(
        Eventually([&] { return (st = Pc1Status()).dwCurrentState == platform::SERVICE_RUNNING; }));
    {
        Client client("\\\\PC1\\Pipe\\qzw2kflt");
        ASSERT_TRUE(client.connected());
        ASSERT_EQ(client.Command("staf 172.16.0.10 1 0"), "0");
    }
    const std::uint32_t pid = st.dwProcessId;
    ASSERT_EQ(platform::GenerateConsoleCtrlEvent(platform::CTRL_SHUTDOWN_EVENT, pid), 0u);
    EXPECT_TRUE(Eventually([&] { return !platform::IsProcessRunning(pid); }));
    st = Pc1Status();
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_STOPPED);
    EXPECT_EQ(st.dwWin32ExitCode, 0u);
    // Stopped in order: the configuration comes back at the next start.
    ASSERT_EQ(Zantor({"-start", "PC1"}).exitCode, 0);
    Client again("\\\\PC1\\Pipe\\qzw2kflt");
    ASSERT_TRUE(again.connected());
    EXPECT_EQ(again.greeting()[0], "IP 172.16.0.10 255.255.0.0 1 4 0 0 1 0 0");
}

// Under the service manager the line that says who stopped the service goes to its log and to
// the output file the manager keeps, whatever started the stop.
TEST_F(Network, TheStopSaysWhoSentItUnderTheServiceManager) {
    ASSERT_EQ(Zantor({"-install", "PC1"}).exitCode, 0);
    platform::SC_HANDLE m = platform::OpenSCManagerA("PC1", nullptr, 0xF003F);
    platform::SC_HANDLE s = platform::OpenServiceA(m, "ZantorSvc", 0xF01FF);
    ASSERT_TRUE(s);
    platform::SERVICE_STATUS_PROCESS st{};
    auto startAndWait = [&] {
        return Zantor({"-start", "PC1"}).exitCode == 0 && Eventually([&] {
                   return (st = Pc1Status()).dwCurrentState == platform::SERVICE_RUNNING;
               });
    };
    // The stop lines of the service log, then those of the service's output.
    auto stopLines = [&] {
        std::vector<std::string> lines;
        for (const fs::path& file : {pc1() / "system32" / "ZantorSvc.Log",
                                     pc1() / "scm" / "services" / "zantorsvc" / "output"}) {
            std::ifstream in(file);
            for (std::string line; std::getline(in, line);)
                if (auto at = line.find("Stopping ZantorSvc"); at != std::string::npos)
                    lines.push_back(line.substr(at, line.find_last_not_of('\r') + 1 - at));
        }
        return lines;
    };
    const std::string self = std::to_string(platform::GetCurrentProcessId());

    ASSERT_TRUE(startAndWait());
    platform::SERVICE_STATUS status{};
    ASSERT_TRUE(platform::ControlService(s, platform::SERVICE_CONTROL_STOP, &status));
    auto lines = stopLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with("Stopping ZantorSvc ... on the stop control from process " +
                                     self + " (service_integration_tests"))
        << lines[0];
    EXPECT_EQ(lines[1], lines[0]);

    // ZantorSvc -stop waits in ControlService while the service stops, so it is named whole.
    ASSERT_TRUE(startAndWait());
    ASSERT_EQ(Zantor({"-stop", "PC1"}).exitCode, 0);
    lines = stopLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with("Stopping ZantorSvc ... on the stop control from process "));
    EXPECT_TRUE(lines[0].ends_with(" (ZantorSvc -stop PC1).")) << lines[0];
    EXPECT_EQ(lines[1], lines[0]);

    ASSERT_TRUE(startAndWait());
    const std::uint32_t pid = st.dwProcessId;
    ASSERT_EQ(platform::GenerateConsoleCtrlEvent(platform::CTRL_SHUTDOWN_EVENT, pid), 0u);
    ASSERT_TRUE(Eventually([&] { return !platform::IsProcessRunning(pid); }));
    lines = stopLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with("Stopping ZantorSvc ... on SIGTERM from process " + self +
                                     " (service_integration_tests"))
        << lines[0];
    EXPECT_EQ(lines[1], lines[0]);
    platform::CloseServiceHandle(s);
    platform::CloseServiceHandle(m);
}

TEST_F(Network, OptionsOnThisComputer) {
    ProgramRun install = Zantor({"-INSTALL"});
    EXPECT_EQ(install.output, "Service ZantorSvc on LocalHost was installed successfull.\n");
    EXPECT_EQ(Zantor({"-install"}).output,
              "Error 1073 (The service exists already.) in OrvCreateService.CreateService\n");
    EXPECT_EQ(Zantor({"-Remove"}).output,
              "Service ZantorSvc on LocalHost was removed successfull.\n");
    EXPECT_EQ(
        Zantor({"-remove"}).output,
        "Error 1060 (The named service is not installed.) in OrvDeleteService.DeleteService\n");
    // No computer of the network is called NOWHERE: it is a host that ssh cannot find.
    EXPECT_EQ(WithoutSshWords(Zantor({"-stop", "NOWHERE"}).output),
              "Error 53 (The network path was not found.) in StopThisService.OpenSCManager\n");
    EXPECT_EQ(WithoutSshWords(Zantor({"-install", "NOWHERE"}).output),
              "Error 53 (The network path was not found.) in while trying copy " + Program() +
                  " into NOWHERE.\n");

    ProgramRun foo = Zantor({"-foo"});
    EXPECT_EQ(foo.exitCode, 0);
    EXPECT_EQ(foo.output, "Wrong param -foo\nZantor\nUsage: " + Program() + kUsage);
    EXPECT_EQ(Zantor({"-help"}).output, "Zantor\nUsage: " + Program() + kUsage);

    ProgramRun secure = Zantor({"-secure"});
    EXPECT_EQ(secure.output, "Updating registry security ...\n");
    auto othersMay = [](const fs::path& p) {
        return fs::status(p).permissions() & (fs::perms::group_all | fs::perms::others_all);
    };
    EXPECT_EQ(othersMay(local.root() / "registry" / "HKLM.db"), fs::perms::none) << "owner only";
    EXPECT_EQ(Zantor({"-secure", "PC1"}).output, "Updating registry security ...\n");
    EXPECT_EQ(othersMay(pc1() / "registry" / "HKLM.db"), fs::perms::none);
    EXPECT_EQ(Zantor({"-secure", "NOWHERE"}).output,
              "Updating registry security ...\n"
              "Error [50] while trying connect to registry.(The request is not supported. The "
              "registry of NOWHERE, a host reached over SSH, cannot be opened from here; run the "
              "tool on the host itself (ssh NOWHERE).)\n");
}

TEST_F(Network, StartedFromAShellWithoutArgumentsItDoesNothingQuietly) {
    ServiceProcess svc(local, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(svc.Wait(std::chrono::milliseconds(0)), -1) << "still running";
    EXPECT_EQ(svc.Output(), "");
    EXPECT_FALSE(fs::exists(local.root() / "pipe" / "qzw2kflt"));
}
