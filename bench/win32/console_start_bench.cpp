// ZantorManager.exe from its start to its first painted main window, with the address list filled
// from a service of 256 addresses, against `zadmin.exe list` on the same service (from its start
// to its exit, with the list printed), and against a bare window (bare_window.exe: a window of the
// same size with a list of 256 rows and nothing else, the floor under any windowed program's
// start), measured in alternating rounds of one run so that all share the machine's load. Prints
// the figures per start and the median ratios.
//
// The service is a stand-in that greets every connection with 256 address lines, as ZantorSvc.exe
// does on a computer with that many addresses (Wine's computer has two). The console counts as
// painted once its list answers with 256 rows and neither the window nor the list has anything
// left to paint: the first showing fills and paints the list in one go, so the list answers only
// after its rows are painted.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "tests/support/console_support.h"
#include "tests/win32/test_programs.h"
// After the ports' headers: windows.h defines macros of the same names as their constants.
#include "console/win32/main_window.h"
#include "console/win32/resource.h"

#include <commctrl.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRounds = 9;
constexpr int kAddresses = 256;

// The program's main window of class `type`, once the process `pid` shows it; null before.
HWND MainWindowOf(DWORD pid, const wchar_t* type) {
    const HWND main = ::FindWindowW(type, nullptr);
    DWORD owner = 0;
    return main && ::GetWindowThreadProcessId(main, &owner) && owner == pid ? main : nullptr;
}

// True once the main window shows the whole list, painted. Asked as seldom as it can be: the
// program and this one share the wineserver and the two processors.
bool Painted(DWORD pid, const wchar_t* type) {
    const HWND main = MainWindowOf(pid, type);
    if (!main || !::IsWindowVisible(main)) return false;
    const HWND list = ::GetDlgItem(main, IDC_IPListView);
    DWORD_PTR rows = 0;
    if (!::SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, 5000, &rows) ||
        rows != kAddresses)
        return false;
    return !::GetUpdateRect(main, nullptr, FALSE) && !::GetUpdateRect(list, nullptr, FALSE);
}

void WaitForPipe() {
    for (int i = 0; i < 500 && !::WaitNamedPipeA("\\\\.\\pipe\\qzw2kflt", 20); ++i) {
    }
}

// Milliseconds from a windowed program's start to its painted window; it is closed afterwards.
double WindowStart(const char* program, const wchar_t* type, const std::filesystem::path& scratch,
                   bool connects) {
    if (connects) WaitForPipe();
    platform::ChildProcessOptions options;
    options.program = zantor::test::TestProgram(program);
    options.outputFile = scratch / "window.txt";
    std::uint32_t pid = 0;
    const auto start = Clock::now();
    if (platform::CreateChildProcess(options, &pid)) return -1;
    while (!Painted(pid, type)) {
        if (Clock::now() - start > 60s) return -1;
        std::this_thread::sleep_for(2ms);
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ::PostMessageW(MainWindowOf(pid, type), WM_CLOSE, 0, 0);
    int exitCode = 0;
    if (platform::WaitForChildProcess(pid, 20s, &exitCode)) platform::TerminateProcessById(pid, 5s);
    return ms;
}

double ConsoleStart(const std::filesystem::path& scratch) {
    return WindowStart(ZANTOR_MANAGER, zantor::console::win32::kMainWindowClass, scratch, true);
}

double BareWindowStart(const std::filesystem::path& scratch) {
    return WindowStart(ZANTOR_BARE_WINDOW, L"ZantorBareWindow", scratch, false);
}

// Milliseconds from zadmin's start to its exit, the list printed.
double ZadminList(const std::filesystem::path& scratch) {
    WaitForPipe();
    platform::ChildProcessOptions options;
    options.program = zantor::test::TestProgram(ZANTOR_WIN_ZADMIN);
    options.arguments = {"list"};
    options.outputFile = scratch / "zadmin.txt";
    std::uint32_t pid = 0;
    const auto start = Clock::now();
    if (platform::CreateChildProcess(options, &pid)) return -1;
    int exitCode = -1;
    platform::WaitForChildProcess(pid, 60s, &exitCode);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return exitCode == 0 ? ms : -1;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    const std::filesystem::path scratch =
        std::filesystem::temp_directory_path() /
        ("zantor-console-bench-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(scratch);
    std::vector<std::string> greeting;
    for (int i = 0; i < kAddresses; ++i)
        greeting.push_back("IP 10.1." + std::to_string(i / 250) + "." +
                           std::to_string(i % 250 + 1) + " 255.255.0.0 1 " + std::to_string(i + 2) +
                           " 3 1 1 0 772");
    greeting.push_back("IP End 0.9");
    int status = 0;
    {
        zantor::test::FakeService service(
            greeting, [](const std::string&) { return std::string("0"); }, 2 * kRounds + 2);
        // One of each first: the programs' files are read from the disk's cache afterwards.
        ConsoleStart(scratch);
        ZadminList(scratch);
        BareWindowStart(scratch);
        std::vector<double> console, zadmin, bare, ratios, overBare;
        for (int round = 0; round < kRounds; ++round) {
            const double c = ConsoleStart(scratch);
            const double z = ZadminList(scratch);
            const double b = BareWindowStart(scratch);
            if (c < 0 || z < 0 || b < 0) {
                std::printf("round %d failed: console %.0f ms, zadmin %.0f ms, bare %.0f ms\n",
                            round, c, z, b);
                status = 1;
                break;
            }
            console.push_back(c);
            zadmin.push_back(z);
            bare.push_back(b);
            ratios.push_back(c / z);
            overBare.push_back(c / b);
        }
        if (!ratios.empty()) {
            std::printf(
                "ZantorManager.exe, start to the painted window with %d addresses: "
                "%.0f ms (median of %zu rounds)\n",
                kAddresses, Median(console), console.size());
            std::printf(
                "zadmin.exe list, start to exit:                                  "
                "%.0f ms\n",
                Median(zadmin));
            std::printf(
                "bare_window.exe (a list of %d rows, nothing else), start to painted:   "
                "%.0f ms\n",
                kAddresses, Median(bare));
            std::printf("ratio console/zadmin: median %.2f, range %.2f .. %.2f (goal 1.5)\n",
                        Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                        *std::max_element(ratios.begin(), ratios.end()));
            std::printf("ratio bare window/zadmin: median %.2f (the floor under the first)\n",
                        Median(bare) / Median(zadmin));
            std::printf("ratio console/bare window: median %.2f, range %.2f .. %.2f\n",
                        Median(overBare), *std::min_element(overBare.begin(), overBare.end()),
                        *std::max_element(overBare.begin(), overBare.end()));
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    return status;
}
