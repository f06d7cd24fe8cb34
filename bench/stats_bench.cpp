// The cost of reading packet counts, side by side in one run:
//   - zadmin stats of an address with 10,000 filters (the real zadmin against the real service;
//     it reads every filter's text and then the counts, 1,000 a line) against zadmin filters of
//     the same list, which reads the texts alone;
//   - the service's processor time for the statistics window's refresh (gis and the shown
//     filter's gfs, every 200 ms) on an address with 1,000 filters, against the same number of
//     "gig" exchanges, the cheapest command there is; its share of one core at five refreshes a
//     second is the counter core_percent.
// The pause the service takes between two connections (about a second) is left out.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/zadmin_child.h"
#include "platform/process.h"
#include "service/config_store.h"
#include "shared/filter_model.h"
#include "shared/text.h"
#include "tests/support/pipe_client.h"
#include "tests/support/service_process.h"

namespace {

using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

// 10.0.0.5 drops input but for `filters` filters, each one source network and port, stored
// before the service starts (its replay adds them in one go).
void Seed(int filters) {
    service::StoreTransaction tx;
    const std::string addr = "10.0.0.5";
    service::ResetStoredInterface(addr);
    service::StoreFilteringOn(addr);
    service::StoreDefaultActions(addr, 1, 0);
    for (int f = 0; f < filters; ++f) {
        FilterRecord r;
        r.SrcAddr =
            MakeIP(172, 16, static_cast<std::uint8_t>(f / 256), static_cast<std::uint8_t>(f % 256));
        r.SrcMask = MakeIP(255, 255, 255, 255);
        r.dwProtocol = 6;
        r.wDstPort = r.wDstPortHighRange = static_cast<std::uint16_t>(1000 + f % 50000);
        service::AppendStoredFilter(addr, service::StoredDirection::kIn, r);
    }
    tx.Commit();
}

struct Service {
    Computer pc{"10.0.0.5 255.255.255.0 2\n"};
    std::unique_ptr<ServiceProcess> svc;
    explicit Service(int filters) {
        Seed(filters);
        svc = std::make_unique<ServiceProcess>(pc);
    }
    int Zadmin(const std::vector<std::string>& args) { return bench::RunZadmin(pc.root(), args); }
    // The service's processor time so far, every thread's, to the nanosecond (/proc's
    // schedstat: the clock ticks of stat are too coarse for a few hundred exchanges).
    std::chrono::nanoseconds CpuTime() const {
        std::chrono::nanoseconds total{0};
        std::error_code error;
        for (const auto& task :
             fs::directory_iterator("/proc/" + std::to_string(svc->pid()) + "/task", error)) {
            std::ifstream stat(task.path() / "schedstat");
            long long ns = 0;
            if (stat >> ns) total += std::chrono::nanoseconds(ns);
        }
        return total;
    }
};

Service& TenThousand() {
    static Service service(10000);
    return service;
}

void ZadminOf10000(benchmark::State& state, const std::vector<std::string>& args) {
    Service& s = TenThousand();
    for (auto _ : state) {
        state.PauseTiming();
        bench::NextConnection();
        state.ResumeTiming();
        if (s.Zadmin(args) != 0) {
            state.SkipWithError("zadmin failed");
            return;
        }
    }
}

void BM_ZadminStatsOf10000Filters(benchmark::State& state) {
    ZadminOf10000(state, {"stats", "10.0.0.5", "--tsv"});
}
BENCHMARK(BM_ZadminStatsOf10000Filters)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

void BM_ZadminFiltersOf10000Filters(benchmark::State& state) {
    ZadminOf10000(state, {"filters", "10.0.0.5", "in", "--tsv"});
}
BENCHMARK(BM_ZadminFiltersOf10000Filters)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

Service& OneThousand() {
    static Service service(1000);
    return service;
}

// Exchanges of `lines` back to back over one connection: the service's processor time per
// round, and its share of one core at five rounds a second.
void ServiceCpu(benchmark::State& state, const std::vector<std::string>& lines) {
    Service& s = OneThousand();
    Client client;
    if (!client.connected()) {
        state.SkipWithError("no connection");
        return;
    }
    constexpr int kRounds = 500;
    double total = 0;  // nanoseconds
    for (auto _ : state) {
        const auto before = s.CpuTime();
        for (int i = 0; i < kRounds; ++i)
            for (const std::string& line : lines)
                if (GetWord(client.Command(line), 1) != "0") {
                    state.SkipWithError(("no answer to " + line).c_str());
                    return;
                }
        const double used = static_cast<double>((s.CpuTime() - before).count()) / kRounds;
        total += used;
        state.SetIterationTime(used / 1e9);
    }
    const double perRound = total / static_cast<double>(state.iterations());
    state.counters["cpu_us_per_refresh"] = perRound / 1e3;
    // Of the 200 ms between two refreshes, in percent of one core.
    state.counters["core_percent"] = perRound / 200e6 * 100;
}

void BM_WindowRefreshOf1000Filters(benchmark::State& state) {
    ServiceCpu(state, {"gis 10.0.0.5", "gfs 10.0.0.5 in 500 1"});
}
BENCHMARK(BM_WindowRefreshOf1000Filters)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(10);

void BM_TwoGigExchanges(benchmark::State& state) {
    ServiceCpu(state, {"gig 10.0.0.5", "gig 10.0.0.5"});
}
BENCHMARK(BM_TwoGigExchanges)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    zantor::bench::RatioReporter reporter(std::vector<std::pair<std::string, std::string>>{
        {"BM_ZadminStatsOf10000Filters/iterations:5/real_time",
         "BM_ZadminFiltersOf10000Filters/iterations:5/real_time"},
        {"BM_WindowRefreshOf1000Filters/iterations:10/manual_time",
         "BM_TwoGigExchanges/iterations:10/manual_time"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
