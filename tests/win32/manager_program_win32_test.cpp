// ZantorManager.exe as a person starts it on Windows (under Wine here): with a picture to take,
// with what it refuses, and from a folder where ZantorSvc.exe lies beside it, installing,
// starting, stopping and removing the service on this computer through the system's service
// control manager, driven from outside through its windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "platform/computer.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "tests/support/pipe_client.h"
#include "tests/support/service_process.h"
#include "tests/unit/temp_root.h"
#include "tests/win32/test_programs.h"
// After the ports' headers: windows.h defines macros of the same names as their constants.
#include "console/win32/main_window.h"
#include "console/win32/resource.h"
#include "tests/win32/window_driver.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace zantor::test::win;
using zantor::test::Eventually;

fs::path SystemDirectory() {
    return platform::SystemDirectory(platform::LocalComputerRoot());
}

// A picture's width and height, from its PNG header; none when the file is no PNG.
SIZE PictureSize(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char header[24] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (!in || header[1] != 'P' || header[2] != 'N' || header[3] != 'G') return {};
    auto number = [&](int at) {
        return static_cast<LONG>(header[at] << 24 | header[at + 1] << 16 | header[at + 2] << 8 |
                                 header[at + 3]);
    };
    return {number(16), number(20)};
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ManagerProgram : public ::testing::Test {
  protected:
    zantor::test::TempDir scratch;
    zantor::test::ProgramRun Manager(const std::vector<std::string>& args) {
        return zantor::test::RunProgram(zantor::test::TestProgram(ZANTOR_MANAGER), args,
                                        scratch.path());
    }
};

TEST_F(ManagerProgram, APictureOfTheConnectedWindowAndWhatItRefuses) {
    zantor::test::Computer pc{platform::LocalComputerRoot(), zantor::test::HostAddresses{}};
    {
        zantor::test::ServiceProcess svc(pc);
        ASSERT_TRUE(Eventually([] { return ::WaitNamedPipeA("\\\\.\\pipe\\qzw2kflt", 20); }, 20s));
        const fs::path picture = scratch.path() / "console.png";
        auto run = Manager({"--screenshot", picture.string()});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        const SIZE size = PictureSize(picture);
        EXPECT_EQ(size.cx, 727) << "the whole window, frame and caption included";
        EXPECT_EQ(size.cy, 536);
        EXPECT_TRUE(svc.WaitForOutput("Command Thread Destroyed.")) << "it connected and left";

        run = Manager({"--screenshot", (scratch.path() / "no" / "such" / "x.png").string()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(Contains(run.output, "ZantorManager: cannot write the screenshot to "))
            << run.output;
    }
    auto run = Manager({"--bogus"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(Contains(run.output, "usage: ZantorManager [--screenshot FILE")) << run.output;
    run = Manager({"--timeout", "0"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(Contains(run.output, "--timeout takes a number of seconds from 1 to 3600"));
    run = Manager({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(Contains(run.output, "on Windows, or under Wine on a virtual display"))
        << run.output;

    // A service that takes the connection and never greets: the picture is taken without it.
    std::unique_ptr<platform::PipeServer> pipe;
    ASSERT_EQ(platform::CreateNamedPipeA("\\\\.\\Pipe\\qzw2kflt", &pipe), 0u);
    std::thread taker([&] { pipe->ConnectNamedPipe(); });
    const fs::path silent = scratch.path() / "silent.png";
    run = Manager({"--screenshot", silent.string(), "--timeout", "1"});
    taker.join();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Contains(run.output,
                         "ZantorManager: the service on . did not end its greeting within 1 "
                         "second; the connection was closed."))
        << run.output;
    EXPECT_EQ(PictureSize(silent).cx, 727);
}

// The state the system's manager reports for ZantorSvc; 0 when it is not installed.
DWORD ServiceState() {
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    DWORD state = 0;
    if (SC_HANDLE service = ::OpenServiceA(manager, "ZantorSvc", SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS status{};
        if (::QueryServiceStatus(service, &status)) state = status.dwCurrentState;
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
    return state;
}

// The shown window of process `pid` of class `windowClass` (and caption, when given).
struct Wanted {
    DWORD pid;
    const wchar_t* windowClass;
    const wchar_t* caption;
    HWND found = nullptr;
};

BOOL CALLBACK Match(HWND window, LPARAM data) {
    auto* wanted = reinterpret_cast<Wanted*>(data);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    if (pid != wanted->pid || !Showing(window) || std::wstring(name) != wanted->windowClass ||
        (wanted->caption && Text(window) != wanted->caption))
        return TRUE;
    wanted->found = window;
    return FALSE;
}

HWND ProcessWindow(DWORD pid, const wchar_t* windowClass, const wchar_t* caption = nullptr) {
    Wanted wanted{pid, windowClass, caption};
    ::EnumWindows(Match, reinterpret_cast<LPARAM>(&wanted));
    return wanted.found;
}

// The console in its own process, driven through its windows.
class RunningManager {
  public:
    explicit RunningManager(const fs::path& folder) {
        platform::ChildProcessOptions options;
        options.program = folder / "ZantorManager.exe";
        options.workingDirectory = folder;
        options.outputFile = folder / "output.txt";
        EXPECT_EQ(platform::CreateChildProcess(options, &pid_), 0u);
        EXPECT_TRUE(Eventually([&] {
            return (main_ = ProcessWindow(pid_, zantor::console::win32::kMainWindowClass)) !=
                   nullptr;
        }));
    }
    ~RunningManager() {
        if (!pid_) return;
        ::PostMessageW(main_, WM_CLOSE, 0, 0);
        int exitCode = -1;
        if (platform::WaitForChildProcess(pid_, 10s, &exitCode))
            platform::TerminateProcessById(pid_, 5s);
    }

    // Chooses a Computer menu item, answers the Select Computer dialog with `computer` and reads
    // the `expected` message boxes that follow, each closed with Ok (and one more, should it
    // come).
    std::vector<std::string> Deploy(int command, const std::wstring& computer,
                                    std::size_t expected) {
        Choose(main_, command);
        HWND select = nullptr;
        EXPECT_TRUE(Eventually([&] {
            return (select = ProcessWindow(pid_, L"#32770", L"Select Computer")) != nullptr;
        }));
        if (!select) return {};
        const HWND box = ::GetDlgItem(select, IDC_ComputerCB);
        ::SendMessageW(EditOf(box), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(computer.c_str()));
        Press(::GetDlgItem(select, IDOK));
        std::vector<std::string> messages;
        for (;;) {
            HWND message = nullptr;
            // Removing waits up to 20 seconds for the stopped program's file to go.
            const auto patience = messages.size() < expected ? 40s : 1s;
            if (!Eventually(
                    [&] {
                        return (message = ProcessWindow(pid_, L"#32770", L"ZantorManager")) !=
                               nullptr;
                    },
                    patience))
                break;
            messages.push_back(Utf8(MessageText(message)));
            ::PostMessageW(message, WM_COMMAND, IDOK, 0);
            Eventually([&] { return !::IsWindowVisible(message); });
        }
        return messages;
    }

  private:
    std::uint32_t pid_ = 0;
    HWND main_ = nullptr;
};

TEST(ManagerProgramWithTheServiceBesideIt, InstallStartStopAndRemoveOnThisComputer) {
    // No service of an earlier case.
    if (ServiceState() != 0) {
        zantor::test::RunProgram(zantor::test::TestProgram(ZANTORSVC_PATH), {"-stop"},
                                 fs::temp_directory_path());
        Eventually([] { return ServiceState() == SERVICE_STOPPED; }, 20s);
        zantor::test::RunProgram(zantor::test::TestProgram(ZANTORSVC_PATH), {"-remove"},
                                 fs::temp_directory_path());
    }
    zantor::test::TempDir folder;
    fs::copy_file(zantor::test::TestProgram(ZANTOR_MANAGER), folder.path() / "ZantorManager.exe");
    fs::copy_file(zantor::test::TestProgram(ZANTORSVC_PATH), folder.path() / "ZantorSvc.exe");
    RunningManager manager(folder.path());

    EXPECT_EQ(manager.Deploy(ID_Installto1, L".", 2),
              (std::vector<std::string>{"Service ZantorSvc on . installed successful.",
                                        "Service ZantorSvc on . started successful."}));
    EXPECT_TRUE(Eventually([] { return ServiceState() == SERVICE_RUNNING; }, 20s));
    EXPECT_TRUE(fs::exists(SystemDirectory() / "ZantorSvc.Exe"));
    {
        zantor::test::Client client;
        ASSERT_TRUE(client.connected()) << client.openError();
        EXPECT_EQ(client.greeting().back(), "IP End 0.9 confirm,lists,stats");
    }

    EXPECT_EQ(manager.Deploy(ID_Stopat1, L".", 1),
              std::vector<std::string>{"Service ZantorSvc on . stopped successful."});
    EXPECT_TRUE(Eventually([] { return ServiceState() == SERVICE_STOPPED; }, 20s));
    EXPECT_EQ(manager.Deploy(ID_Startat1, L".", 1),
              std::vector<std::string>{"Service ZantorSvc on . started successful."});
    EXPECT_TRUE(Eventually([] { return ServiceState() == SERVICE_RUNNING; }, 20s));

    // Removed while running: stopped, its file deleted (once its process has let go of it), and
    // unregistered.
    EXPECT_EQ(manager.Deploy(ID_Removefrom1, L".", 2),
              (std::vector<std::string>{"Service ZantorSvc on . stopped successful.",
                                        "Service ZantorSvc on . deleted successful."}));
    EXPECT_TRUE(Eventually([] { return ServiceState() == 0; }, 20s));
    EXPECT_FALSE(fs::exists(SystemDirectory() / "ZantorSvc.Exe"));
}

}  // namespace
