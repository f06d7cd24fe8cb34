// A console reporter that also prints the ratio of two benchmarks measured in the same run, so the
// comparison holds on a shared, noisy machine.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zantor::bench {

// Ratios that a benchmark measured itself, one a round (two figures taken side by side, for
// comparisons that must share a moment of the machine's load more closely than two benchmarks
// do); the reporter prints their median and range after the table.
inline std::map<std::string, std::vector<double>>& Rounds() {
    static std::map<std::string, std::vector<double>> rounds;
    return rounds;
}
inline void RecordRounds(const std::string& what, std::vector<double> ratios) {
    Rounds()[what] = std::move(ratios);
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Each pair: (numerator, denominator) benchmark names; the ratio is of real time per iteration.
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> ratios)
        : ratios_(std::move(ratios)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            if (!run.error_occurred && run.iterations > 0)
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [num, den] : ratios_) {
            auto n = times_.find(num), d = times_.find(den);
            if (n == times_.end() || d == times_.end() || d->second <= 0) continue;
            std::printf("ratio %s / %s = %.2f\n", num.c_str(), den.c_str(), n->second / d->second);
        }
        for (auto& [what, r] : Rounds()) {
            if (r.empty()) continue;
            std::sort(r.begin(), r.end());
            const std::size_t m = r.size() / 2;
            const double median = r.size() % 2 ? r[m] : (r[m - 1] + r[m]) / 2;
            std::printf("ratio %s = %.3f (median of %zu rounds; lowest %.3f, highest %.3f)\n",
                        what.c_str(), median, r.size(), r.front(), r.back());
        }
    }

  private:
    std::vector<std::pair<std::string, std::string>> ratios_;
    std::map<std::string, double> times_;
};

// main() body: runs every registered benchmark and prints the ratios.
inline int RunWithRatios(int argc, char** argv,
                         std::vector<std::pair<std::string, std::string>> ratios) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(std::move(ratios));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace zantor::bench
