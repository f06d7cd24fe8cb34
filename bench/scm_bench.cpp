// Figures of the service control manager and the file operations: a status query, a control
// round trip through the service's handler, a whole start and stop of a service process, and a
// file copy with and without the check for a running program at the target. Ratios at the end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/scm.h"
#include "tests/unit/temp_root.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

std::uint32_t ProcessOf(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<unsigned char*>(&s),
                         sizeof s, &needed);
    return s.dwProcessId;
}

void WaitRunning(SC_HANDLE service) {
    SERVICE_STATUS s{};
    while (QueryServiceStatus(service, &s) && s.dwCurrentState != SERVICE_RUNNING)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void WaitGone(std::uint32_t pid) {
    while (IsProcessRunning(pid)) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// A computer root with one registered test service.
struct Computer {
    zantor::test::TempRoot root;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service =
        CreateServiceA(manager, "BenchSvc", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, ZANTOR_TEST_SERVICE, nullptr,
                       nullptr, nullptr, nullptr, nullptr);

    ~Computer() {
        if (std::uint32_t pid = ProcessOf(service))
            TerminateProcessById(pid, std::chrono::seconds(10));
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
};

void BM_QueryServiceStatus(benchmark::State& state) {
    Computer c;
    StartServiceA(c.service, 0, nullptr);
    WaitRunning(c.service);
    SERVICE_STATUS s{};
    for (auto _ : state) benchmark::DoNotOptimize(QueryServiceStatus(c.service, &s));
}
BENCHMARK(BM_QueryServiceStatus)->Unit(benchmark::kMicrosecond);

void BM_ControlInterrogate(benchmark::State& state) {
    Computer c;
    StartServiceA(c.service, 0, nullptr);
    WaitRunning(c.service);
    SERVICE_STATUS s{};
    for (auto _ : state)
        if (!ControlService(c.service, SERVICE_CONTROL_INTERROGATE, &s))
            state.SkipWithError("control failed");
}
BENCHMARK(BM_ControlInterrogate)->Unit(benchmark::kMicrosecond);

void BM_StartAndStop(benchmark::State& state) {
    Computer c;
    SERVICE_STATUS s{};
    for (auto _ : state) {
        if (!StartServiceA(c.service, 0, nullptr)) {
            state.SkipWithError("start failed");
            break;
        }
        WaitRunning(c.service);
        std::uint32_t pid = ProcessOf(c.service);
        ControlService(c.service, SERVICE_CONTROL_STOP, &s);
        WaitGone(pid);
    }
}
BENCHMARK(BM_StartAndStop)->Unit(benchmark::kMillisecond);

// Copies 1 MiB; over an existing target the copy first looks for a process running it.
void BM_CopyFile(benchmark::State& state) {
    zantor::test::TempDir dir;
    fs::path source = dir.path() / "source", target = dir.path() / "target";
    std::ofstream(source, std::ios::binary) << std::string(1 << 20, 'x');
    bool overExisting = state.range(0) != 0;
    for (auto _ : state) {
        if (!overExisting) {
            state.PauseTiming();
            fs::remove(target);
            state.ResumeTiming();
        }
        if (!CopyFileA(source.c_str(), target.c_str(), false)) state.SkipWithError("copy failed");
    }
    state.SetBytesProcessed(state.iterations() * (std::int64_t{1} << 20));
}
BENCHMARK(BM_CopyFile)->ArgName("over_existing")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Keeps each run's time per iteration, to print ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.iterations > 0)
                perIteration_[run.benchmark_name()] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatio(const char* what, const std::string& a, const std::string& b) const {
        auto x = perIteration_.find(a), y = perIteration_.find(b);
        if (x != perIteration_.end() && y != perIteration_.end() && y->second > 0)
            std::printf("%-52s %8.1f\n", what, x->second / y->second);
    }

  private:
    std::map<std::string, double> perIteration_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nratios\n");
    reporter.PrintRatio("control round trip / status query", "BM_ControlInterrogate",
                        "BM_QueryServiceStatus");
    reporter.PrintRatio("start and stop of a process / control round trip", "BM_StartAndStop",
                        "BM_ControlInterrogate");
    reporter.PrintRatio("copy over an existing file / copy to a new file",
                        "BM_CopyFile/over_existing:1", "BM_CopyFile/over_existing:0");
    benchmark::Shutdown();
    return 0;
}
