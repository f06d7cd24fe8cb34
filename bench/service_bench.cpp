// The filter service under load: durable filter additions over the pipe, and the start-up replay
// of a large stored configuration.
#include <bitset>
#include <chrono>
#include <fstream>
#include <sstream>

#include "bench/ratio_reporter.h"
#include "service/config_store.h"
#include "shared/address.h"
#include "shared/filter_model.h"
#include "shared/text.h"
#include "tests/support/netlab.h"
#include "tests/support/service_process.h"

namespace {

using namespace zantor;
using namespace zantor::test;

// Each addition is recorded before its reply is written, so every reply stands for a filter
// that survives a crash.
void BM_DurableSifOverPipe(benchmark::State& state) {
    Computer pc;
    ServiceProcess svc(pc);
    Client client;
    if (!client.connected() || client.Command("staf 10.0.0.5 1 0") != "0") {
        state.SkipWithError("service did not answer");
        return;
    }
    int n = 0;
    for (auto _ : state) {
        ++n;
        std::string reply =
            client.Command("sif 10.0.0.5 in 0 0 0 10." + std::to_string(n / 65536 % 256) + "." +
                           std::to_string(n / 256 % 256) + "." + std::to_string(n % 256) +
                           " 255.255.255.255 0.0.0.0 0.0.0.0 6 0 0 " + std::to_string(n % 65536) +
                           " 0 " + std::to_string(n % 65536));
        if (GetWord(reply, 1) != "0") {
            state.SkipWithError(("sif answered " + reply).c_str());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DurableSifOverPipe)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// A computer with 256 addresses, each filtering with 40 stored filters, written by the store's
// own routines in one group.
void SeedLargeConfiguration(const Computer& pc) {
    std::ostringstream table;
    for (int i = 0; i < 256; ++i) table << "10.7." << i << ".1 255.255.255.0 " << i + 2 << "\n";
    std::ofstream(pc.root() / "ipaddrtable") << table.str();
    service::StoreTransaction tx;
    std::bitset<256> fragments;
    fragments.set(2);
    for (int i = 0; i < 256; ++i) {
        const std::string addr = "10.7." + std::to_string(i) + ".1";
        service::ResetStoredInterface(addr);
        service::StoreFilteringOn(addr);
        service::StoreDefaultActions(addr, 1, 0);
        service::StoreGlobalFilters(addr, fragments);
        for (int f = 0; f < 40; ++f) {
            FilterRecord r;
            r.SrcAddr = MakeIP(192, 168, static_cast<std::uint8_t>(f), 0);
            r.SrcMask = MakeIP(255, 255, 255, 0);
            r.dwProtocol = f % 2 ? 6 : 17;
            r.wDstPort = r.wDstPortHighRange = static_cast<std::uint16_t>(1000 + f);
            service::AppendStoredFilter(addr, service::StoredDirection::kIn, r);
        }
    }
    tx.Commit();
}

// From the process's start to the first client's greeting. Argument 1: with the kernel
// backend, in a network namespace of its own, so that the replay also writes the whole table
// (10,240 filters) into the kernel before the pipe opens.
void BM_StartupReplay256x40(benchmark::State& state) {
    Computer pc("");
    SeedLargeConfiguration(pc);
    std::unique_ptr<platform::lab::Namespace> ns;
    std::vector<std::string> wrapper;
    if (state.range(0) == 1) {
        std::string why;
        if (!platform::lab::CanMakeNamespaces(&why)) {
            state.SkipWithError(("needs network namespaces: " + why).c_str());
            return;
        }
        ns = std::make_unique<platform::lab::Namespace>("startup");
        wrapper = ns->Wrap({});
        std::filesystem::create_directories(pc.root() / "driver");
        std::ofstream(pc.root() / "driver" / "backend") << "kernel\n";
    }
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        ServiceProcess svc(pc, {"-run"}, wrapper);
        Client client("\\\\.\\Pipe\\qzw2kflt", std::chrono::seconds(60));
        auto end = std::chrono::steady_clock::now();
        if (client.greeting().size() != 257 ||
            client.greeting()[0] != "IP 10.7.0.1 255.255.255.0 1 2 40 0 1 0 4") {
            state.SkipWithError("the replay did not restore the configuration");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}
BENCHMARK(BM_StartupReplay256x40)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The filter text of input filter number n of the removal benchmarks.
std::string RemovalFilter(int n) {
    return "0 0 0 10." + std::to_string(n / 65536 % 256) + "." + std::to_string(n / 256 % 256) +
           "." + std::to_string(n % 256) + " 255.255.255.255 0.0.0.0 0.0.0.0 6 0 0 80 0 80";
}

// "rif" of position 0 over the pipe on an address with N stored filters: every later filter
// moves down one place in the store. After each removal (not timed) a filter is added at the
// end, so the list keeps its length.
void BM_RifFirstOverPipe(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Computer pc;
    {
        service::StoreTransaction tx;
        service::StoreFilteringOn("10.0.0.5");
        service::StoreDefaultActions("10.0.0.5", 1, 0);
        service::ResetStoredInterface("10.0.0.5");
        for (int i = 0; i < n; ++i) {
            FilterRecord r = ParseFilterWords(RemovalFilter(i), 1);
            service::AppendStoredFilter("10.0.0.5", service::StoredDirection::kIn, r);
        }
        tx.Commit();
    }
    ServiceProcess svc(pc);
    Client client("\\\\.\\Pipe\\qzw2kflt", std::chrono::seconds(120));
    if (!client.connected() ||
        client.greeting()[0] != "IP 10.0.0.5 255.255.255.0 1 2 " + std::to_string(n) + " 0 1 0 0") {
        state.SkipWithError("the stored filters did not come back");
        return;
    }
    int next = n;
    for (auto _ : state) {
        if (std::string reply = client.Command("rif 10.0.0.5 in 0"); reply != "0") {
            state.SkipWithError(("rif answered " + reply).c_str());
            return;
        }
        state.PauseTiming();
        const std::string reply = client.Command("sif 10.0.0.5 in " + RemovalFilter(next++));
        state.ResumeTiming();
        if (GetWord(reply, 1) != "0") {
            state.SkipWithError(("sif answered " + reply).c_str());
            return;
        }
    }
}
BENCHMARK(BM_RifFirstOverPipe)->Arg(100)->Iterations(400)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RifFirstOverPipe)->Arg(20000)->Iterations(40)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return zantor::bench::RunWithRatios(
        argc, argv,
        {{"BM_RifFirstOverPipe/20000/iterations:40", "BM_RifFirstOverPipe/100/iterations:400"},
         {"BM_StartupReplay256x40/1/iterations:3/manual_time",
          "BM_StartupReplay256x40/0/iterations:3/manual_time"}});
}
