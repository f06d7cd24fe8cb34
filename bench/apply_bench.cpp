// zadmin apply against zadmin restore of the same configuration file, side by side: an address
// with 1,000 filters of which one changes from one apply to the next (apply reads the filters and
// sends two lines), against a restore of that file (which clears the address and sends every
// filter again, each recorded durably). Both run the real zadmin against the real service of a
// simulated computer; the pause the service takes between two connections (about a second) is
// left out of both, the restore's own reconnect after the address it switched on is not.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/zadmin_child.h"
#include "platform/process.h"
#include "tests/support/pipe_client.h"
#include "tests/support/service_process.h"

namespace {

using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

constexpr int kFilters = 1000;

// The file: 10.0.0.5 drops input but for 1,000 TCP ports; filter `changed` has port 9000 + its
// number instead.
std::string File(int changed) {
    std::string text =
        "[SYSTEM]\r\nAddrCount=1\r\n[IP0]\r\nAddress=10.0.0.5\r\nFiltering=On\r\nInFiltersCount=" +
        std::to_string(kFilters) +
        "\r\nOutFiltersCount=0\r\nDefInAction=Drop\r\nDefOutAction=Forward\r\nGlobalFilter=2\r\n";
    for (int i = 0; i < kFilters; ++i) {
        const int port = i == changed ? 9000 + i : 1000 + i;
        text += "InFilter" + std::to_string(i) +
                "=0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 " + std::to_string(port) +
                " 0 " + std::to_string(port) + "\r\n";
    }
    return text;
}

struct Bench {
    Computer pc{"10.0.0.5 255.255.255.0 2\n"};
    ServiceProcess svc{pc};
    std::vector<fs::path> files;
    Bench() {
        for (int changed : {100, 900}) {
            files.push_back(pc.root() / ("office-" + std::to_string(changed) + ".INI"));
            std::ofstream(files.back(), std::ios::binary) << File(changed);
        }
    }
    int Zadmin(const std::vector<std::string>& args) { return bench::RunZadmin(pc.root(), args); }
    static void NextConnection() { bench::NextConnection(); }
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

// Each apply turns one filter back into what the other file holds: one sif and one rif.
void BM_ApplyOneFilterChangedOf1000(benchmark::State& state) {
    Bench& b = Shared();
    if (b.Zadmin({"restore", b.files[0].string()}) != 0) {
        state.SkipWithError("the first restore failed");
        return;
    }
    std::size_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Bench::NextConnection();
        state.ResumeTiming();
        if (b.Zadmin({"apply", b.files[++n % 2].string()}) != 0) {
            state.SkipWithError("apply failed");
            return;
        }
    }
}
BENCHMARK(BM_ApplyOneFilterChangedOf1000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

void BM_RestoreOf1000Filters(benchmark::State& state) {
    Bench& b = Shared();
    std::size_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Bench::NextConnection();
        state.ResumeTiming();
        if (b.Zadmin({"restore", b.files[++n % 2].string()}) != 0) {
            state.SkipWithError("restore failed");
            return;
        }
    }
}
BENCHMARK(BM_RestoreOf1000Filters)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    zantor::bench::RatioReporter reporter(std::vector<std::pair<std::string, std::string>>{
        {"BM_ApplyOneFilterChangedOf1000/iterations:10/real_time",
         "BM_RestoreOf1000Filters/iterations:5/real_time"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
