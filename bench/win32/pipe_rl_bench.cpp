// The round trip of "rl" through ZantorSvc.exe over the system's named pipe, against a bare Win32
// pipe echo of the same line (synchronous ReadFile/WriteFile on both ends, nothing else), measured
// in alternating rounds of one run so that both share the machine's load. Prints the figures per
// round trip and the median ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "tests/support/pipe_client.h"

// After the ports' headers: windows.h defines macros of the same names as their constants.
#include <windows.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRounds = 15;
constexpr int kTripsPerRound = 400;

class BareEcho {
  public:
    BareEcho() {
        const std::string name =
            "\\\\.\\pipe\\zantor-bench-echo-" + std::to_string(::GetCurrentProcessId());
        server_ = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                     0, nullptr);
        echo_ = std::thread([this] {
            ::ConnectNamedPipe(server_, nullptr);
            char buffer[4096];
            DWORD n = 0;
            while (::ReadFile(server_, buffer, sizeof buffer, &n, nullptr) && n > 0) {
                DWORD written = 0;
                if (!::WriteFile(server_, buffer, n, &written, nullptr)) break;
            }
        });
        client_ = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    }
    ~BareEcho() {
        ::CloseHandle(client_);
        echo_.join();
        ::CloseHandle(server_);
    }
    bool ok() const { return server_ != INVALID_HANDLE_VALUE && client_ != INVALID_HANDLE_VALUE; }

    void RoundTrip() {
        static const char line[] = "rl\r\n";
        DWORD n = 0;
        ::WriteFile(client_, line, sizeof line - 1, &n, nullptr);
        char buffer[16];
        DWORD got = 0;
        while (got < sizeof line - 1 &&
               ::ReadFile(client_, buffer + got, sizeof buffer - got, &n, nullptr) && n > 0)
            got += n;
    }

  private:
    HANDLE server_ = INVALID_HANDLE_VALUE;
    HANDLE client_ = INVALID_HANDLE_VALUE;
    std::thread echo_;
};

template <class F>
double MicrosecondsPerTrip(F trip) {
    const auto start = Clock::now();
    for (int i = 0; i < kTripsPerRound; ++i) trip();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kTripsPerRound;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    // The service as a console program, its log in a directory of its own.
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("zantor-bench-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(dir);
    platform::ChildProcessOptions options;
    options.program = ZANTOR_WIN_SERVICE;
    options.arguments = {"-run"};
    options.workingDirectory = dir;
    options.outputFile = dir / "output.txt";
    std::uint32_t pid = 0;
    if (platform::CreateChildProcess(options, &pid)) {
        std::printf("ZantorSvc.exe did not start: error %u\n", platform::GetLastError());
        return 1;
    }
    int status = 0;
    {
        zantor::test::Client service;
        BareEcho echo;
        if (!service.connected() || !echo.ok()) {
            std::printf("no connection: service error %u, echo %s\n", service.openError(),
                        echo.ok() ? "up" : "down");
            status = 1;
        } else {
            std::vector<double> serviceTimes, echoTimes, ratios;
            for (int round = 0; round < kRounds; ++round) {
                const double s = MicrosecondsPerTrip([&] { service.Command("rl"); });
                const double e = MicrosecondsPerTrip([&] { echo.RoundTrip(); });
                serviceTimes.push_back(s);
                echoTimes.push_back(e);
                ratios.push_back(s / e);
            }
            std::printf("rl round trip through ZantorSvc.exe: %.1f us (median of %d rounds)\n",
                        Median(serviceTimes), kRounds);
            std::printf("bare Win32 pipe echo round trip:     %.1f us\n", Median(echoTimes));
            std::printf("ratio service/echo: median %.2f, range %.2f .. %.2f (goal 1.3)\n",
                        Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                        *std::max_element(ratios.begin(), ratios.end()));
        }
    }
    platform::TerminateProcessById(pid, 5s);
    int exitCode = 0;
    platform::WaitForChildProcess(pid, 5s, &exitCode);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
