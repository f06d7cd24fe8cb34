// From StartServiceA to the filter service's first greeting on its pipe, through systemd against
// the same through the embedded manager, side by side in one run; and the stop that follows.
// Both start the real ZantorSvc of this build tree on a root of its own without an address table
// (so both put their rules into the kernel), one after the other.
//
// It needs a host that runs systemd, as root: the fleet's test hosts (tests/support/fleet.h)
// run it there. Elsewhere it says so and measures nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "bench/ratio_reporter.h"
#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/scm.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// This tree's service program: the benchmark sits in bench/, the service in service/.
std::string ServiceProgram() {
    return (fs::path(GetModuleFileNameA()).parent_path().parent_path() / "service" / "ZantorSvc")
        .string();
}

// A root for one manager: `scm/backend` says which.
struct Root {
    fs::path path;
    explicit Root(const char* backend)
        : path(fs::path("/var/lib") / (std::string("zantor-bench-") + backend)) {
        fs::create_directories(path / "scm");
        std::ofstream(path / "scm" / "backend") << backend << "\n";
    }
};

// Reads the greeting to its end; false when the pipe broke first.
bool Greeted() {
    std::unique_ptr<Pipe> pipe;
    for (;;) {
        const Win32Error e = OpenPipe("\\\\.\\Pipe\\qzw2kflt", &pipe, std::chrono::seconds(10));
        if (e == kErrorSuccess) break;
        if (e != kErrorFileNotFound && e != kErrorPipeBusy) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    std::string carry, line;
    for (;;) {
        zantor::ReadLnPipe(*pipe, zantor::kCrLf, carry, line);
        if (line == zantor::kEndOfConnection) return false;
        if (zantor::GetWord(line, 2) == "End") return true;
    }
}

void WaitStopped(SC_HANDLE service) {
    SERVICE_STATUS s{};
    while (QueryServiceStatus(service, &s) && s.dwCurrentState != SERVICE_STOPPED)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void StartToGreeting(benchmark::State& state, const char* backend) {
    Root root(backend);
    setenv("ZANTOR_ROOT", root.path.c_str(), 1);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service =
        CreateServiceA(manager, "ZantorSvc", "Zantor", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       ServiceProgram().c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        state.SkipWithError(
            ("cannot register the service: error " + std::to_string(GetLastError())).c_str());
        CloseServiceHandle(manager);
        return;
    }
    double stopSeconds = 0, startSeconds = 0;
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        const bool started = StartServiceA(service, 0, nullptr);
        startSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (!started || !Greeted()) {
            state.SkipWithError(("no greeting: error " + std::to_string(GetLastError())).c_str());
            break;
        }
        state.PauseTiming();
        const auto from = std::chrono::steady_clock::now();
        SERVICE_STATUS s{};
        ControlService(service, SERVICE_CONTROL_STOP, &s);
        WaitStopped(service);
        stopSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
        state.ResumeTiming();
    }
    if (state.iterations() > 0) {
        const auto n = static_cast<double>(state.iterations());
        state.counters["StartServiceA_ms"] = 1000 * startSeconds / n;
        state.counters["stop_ms"] = 1000 * stopSeconds / n;
    }
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::error_code ec;
    fs::remove_all(root.path, ec);
}

void BM_StartToGreetingEmbedded(benchmark::State& state) {
    StartToGreeting(state, "embedded");
}
void BM_StartToGreetingSystemd(benchmark::State& state) {
    StartToGreeting(state, "systemd");
}
BENCHMARK(BM_StartToGreetingEmbedded)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StartToGreetingSystemd)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (!fs::exists("/run/systemd/system")) {
        std::printf("service_start_bench needs a host that runs systemd (as the fleet's do)\n");
        return 0;
    }
    return zantor::bench::RunWithRatios(argc, argv,
                                        {{"BM_StartToGreetingSystemd/iterations:5/real_time",
                                          "BM_StartToGreetingEmbedded/iterations:5/real_time"}});
}
