// A save and a restore of a configuration of 16 addresses with 40 filters each (20 in, 20 out,
// and global filters), against the real service, side by side in one run; and how much of the
// restore is spent waiting for the service to take the next connection. The service makes its
// next pipe instance about a second after a connection ends, and a restore reconnects after
// every address it switches on, so that pause is reported apart from the commands' own time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <sstream>

#include "bench/ratio_reporter.h"
#include "console/console.h"
#include "shared/text.h"
#include "tests/support/console_support.h"
#include "tests/support/service_process.h"

namespace {

using namespace zantor;
using namespace zantor::test;

constexpr int kAddresses = 16;
constexpr int kFiltersPerDirection = 20;

std::string Address(int i) {
    return "10.9." + std::to_string(i) + ".1";
}

std::string Table() {
    std::ostringstream table;
    for (int i = 0; i < kAddresses; ++i) table << Address(i) << " 255.255.255.0 " << i + 2 << "\n";
    return table.str();
}

struct Fixture {
    Fixture() {
        Client setup;
        for (int i = 0; i < kAddresses; ++i) {
            const std::string a = Address(i);
            ok = ok && GetWord(setup.Command("staf " + a + " 1 0"), 1) == "0";
            setup.Command("sig " + a + " 2");
            setup.Command("sig " + a + " 8");
            for (int j = 0; j < kFiltersPerDirection; ++j)
                for (const char* direction : {"in", "out"})
                    ok = ok && GetWord(setup.Command("sif " + a + " " + direction +
                                                     " 0 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 "
                                                     "0 0 " +
                                                     std::to_string(1000 + j) + " 0 " +
                                                     std::to_string(1000 + j)),
                                       1) == "0";
        }
        setup.Close();
        console.ReconnectToComputer(".");
        ok = ok && console.MainForm.IPListView.Items.size() == kAddresses;
        ok = ok && console.SaveConfiguration(file);
    }
    Computer pc{Table()};
    ServiceProcess svc{pc};
    ScriptedPerson person;
    console::TConsole console{person};
    std::string file = (pc.root() / "bench.INI").string();
    bool ok = true;
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void BM_Save16x40(benchmark::State& state) {
    Fixture& f = Shared();
    if (!f.ok) return state.SkipWithError("the service did not take the configuration");
    for (auto _ : state)
        if (!f.console.SaveConfiguration(f.file)) return state.SkipWithError("the save failed");
    state.SetItemsProcessed(state.iterations() * kAddresses * kFiltersPerDirection * 2);
}
BENCHMARK(BM_Save16x40)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Restore16x40(benchmark::State& state) {
    Fixture& f = Shared();
    if (!f.ok) return state.SkipWithError("the service did not take the configuration");
    std::chrono::nanoseconds waited{0};
    for (auto _ : state) {
        f.console.ReconnectWaited = {};
        if (!f.console.RestoreConfiguration(f.file))
            return state.SkipWithError("the restore failed");
        waited += f.console.ReconnectWaited;
    }
    const double waitedMs = std::chrono::duration<double, std::milli>(waited).count();
    state.counters["reconnect_wait_ms"] =
        benchmark::Counter(waitedMs, benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations() * kAddresses * kFiltersPerDirection * 2);
}
BENCHMARK(BM_Restore16x40)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Prints, besides the ratio, the restore's time split into its waits for the next connection
// and everything else.
class Reporter : public bench::RatioReporter {
  public:
    using RatioReporter::RatioReporter;
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown = runs;
        for (Run& run : shown) {
            const auto wait = run.counters.find("reconnect_wait_ms");
            if (wait == run.counters.end() || run.iterations == 0) continue;
            const double total = run.GetAdjustedRealTime();  // ms per restore
            const double waitMs = wait->second.value;
            run.counters["commands_ms"] = benchmark::Counter(total - waitMs);
            run.counters["wait_share_%"] = benchmark::Counter(100.0 * waitMs / total);
        }
        RatioReporter::ReportRuns(shown);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Reporter reporter(std::vector<std::pair<std::string, std::string>>{
        {"BM_Restore16x40/iterations:3/real_time", "BM_Save16x40/min_time:2.000/real_time"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
