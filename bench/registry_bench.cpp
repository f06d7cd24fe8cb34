// What a filter addition costs in the registry: one transaction of 14 writes, the way the service
// stores a filter (13 values of a new key, then the count), with commits that wait for the disk
// (synchronous FULL) and with commits that only reach the operating system (NORMAL).
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "platform/linux/reg_hive.h"
#include "platform/registry.h"
#include "tests/unit/temp_root.h"

using namespace platform;

namespace {

constexpr const char* kInFilters =
    "\\SYSTEM\\CurrentControlSet\\Services\\ZantorSvc\\Parameters\\10.0.0.5\\InFilters";
constexpr double kGoalPerSecond = 1000;

std::map<bool, double> gCommitsPerSecond;  // by "commits reach the disk"

bool StoreFilter(HKEY filter, int n) {
    const auto v = static_cast<DWORD>(n);
    bool ok = true;
    for (const char* name : {"wFilterFlags", "dwRule", "pfatType"})
        ok &= RegSetDword(filter, name, v & 1) == 0;
    for (const char* name : {"SrcAddr", "SrcMask", "DstAddr", "DstMask"})
        ok &= RegSetString(filter, name, "10.0." + std::to_string(n % 256) + ".1") == 0;
    for (const char* name : {"dwProtocol", "fLateBound", "wSrcPort", "wDstPort",
                             "wSrcPortHighRange", "wDstPortHighRange"})
        ok &= RegSetDword(filter, name, v % 65536) == 0;
    return ok;
}

// One addition as the service makes it: open the direction key, read the count, write filter N
// and the new count, all in one group.
void AddFilter(benchmark::State& state) {
    const bool full = state.range(0) != 0;
    detail::SetCommitsReachDisk(full);
    zantor::test::TempRoot root;
    int n = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        RegTransaction group(HKEY_LOCAL_MACHINE);
        HKEY dir = nullptr, filter = nullptr;
        std::int32_t count = 0;
        bool ok =
            group.Begin_result() == 0 && RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInFilters, &dir) == 0;
        if (ok && RegQueryDword(dir, "FiltersCount", &count) != 0) count = 0;
        ok = ok && RegCreateKeyExA(dir, "Filter" + std::to_string(count), &filter) == 0 &&
             StoreFilter(filter, n++) &&
             RegSetDword(dir, "FiltersCount", static_cast<DWORD>(count + 1)) == 0 &&
             group.Commit() == 0;
        RegCloseKey(filter);
        RegCloseKey(dir);
        if (!ok) state.SkipWithError("a registry call failed");
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    gCommitsPerSecond[full] = static_cast<double>(state.iterations()) / took.count();
    state.counters["commits_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    detail::SetCommitsReachDisk(true);
}
BENCHMARK(AddFilter)->ArgName("full")->Arg(1)->Arg(0)->UseRealTime()->MinTime(1.0);

// Reading one stored filter back (13 values), as the start-up replay does per filter.
void LoadFilter(benchmark::State& state) {
    zantor::test::TempRoot root;
    HKEY filter = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, std::string(kInFilters) + "\\Filter0", &filter) ||
        !StoreFilter(filter, 1)) {
        state.SkipWithError("cannot set up");
        return;
    }
    for (auto _ : state) {
        std::int32_t v = 0;
        std::string s;
        for (DWORD i = 0; i < 13; ++i) {
            std::string name;
            DWORD type = 0;
            RegEnumValueA(filter, i, &name, &type, nullptr);
            if (type == REG_DWORD)
                RegQueryDword(filter, name, &v);
            else
                RegQueryString(filter, name, &s);
        }
        benchmark::DoNotOptimize(v);
    }
    RegCloseKey(filter);
}
BENCHMARK(LoadFilter);

// Listing the subkeys of a key with many (an export of a large tree): by index, each call walks
// the key's children up to its index; all at once, one walk.
void ListSubkeys(benchmark::State& state) {
    const auto count = static_cast<int>(state.range(0));
    const bool atOnce = state.range(1) != 0;
    zantor::test::TempRoot root;
    HKEY dir = nullptr;
    bool ok = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInFilters, &dir) == 0;
    {
        RegTransaction group(HKEY_LOCAL_MACHINE);
        for (int i = 0; ok && i < count; ++i) {
            HKEY filter = nullptr;
            ok = RegCreateKeyExA(dir, "Filter" + std::to_string(i), &filter) == 0;
            RegCloseKey(filter);
        }
        ok = ok && group.Commit() == 0;
    }
    if (!ok) state.SkipWithError("cannot set up");
    for (auto _ : state) {
        if (!ok) break;
        std::vector<std::string> names;
        if (atOnce) {
            RegListSubkeys(dir, &names);
        } else {
            std::string name;
            for (DWORD i = 0; RegEnumKeyExA(dir, i, &name) == 0; ++i) names.push_back(name);
        }
        if (names.size() != static_cast<std::size_t>(count)) state.SkipWithError("wrong count");
    }
    RegCloseKey(dir);
}
BENCHMARK(ListSubkeys)->ArgNames({"keys", "at_once"})->ArgsProduct({{500, 4000}, {0, 1}});

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    zantor::bench::RatioReporter reporter(std::vector<std::pair<std::string, std::string>>{
        {"AddFilter/full:1/min_time:1.000/real_time", "AddFilter/full:0/min_time:1.000/real_time"},
        {"ListSubkeys/keys:500/at_once:0", "ListSubkeys/keys:500/at_once:1"},
        {"ListSubkeys/keys:4000/at_once:0", "ListSubkeys/keys:4000/at_once:1"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (auto [full, rate] : gCommitsPerSecond)
        std::printf("filter additions per second, synchronous=%s: %.0f (goal %.0f: %s)\n",
                    full ? "FULL" : "NORMAL", rate, kGoalPerSecond,
                    rate >= kGoalPerSecond ? "met" : "missed");
    return 0;
}
