// What reading the largest input costs in memory: the peak resident size of zadmin and of the
// console's logic, each in a process of its own, for a 256 MB log of bare line ends (printed by
// zadmin, read into the debug window's lines), a greeting that never ends, and INI files of
// 50 MB of line ends (a restore's read and check) and of 60 MB of the shortest keys (a load),
// beside the input's size.
//
// Run as `memory_bench`; it runs itself again with `--case NAME FILE` for the in-process cases.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "console/console.h"
#include "console/ini.h"
#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "shared/pipe_lines.h"
#include "tests/support/console_support.h"
#include "tests/unit/temp_root.h"

namespace {

using namespace zantor;
namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1u << 20;

struct Inputs {
    test::TempDir dir;
    fs::path log = dir.path() / "system32" / "ZantorSvc.Log";
    fs::path ini = dir.path() / "lineends.ini";
    fs::path keys = dir.path() / "keys.ini";
    Inputs() {
        fs::create_directories(log.parent_path());
        Fill(log, std::string(kMiB, '\n'), 256);
        Fill(ini, std::string(kMiB, '\n'), 50);
        std::string shortest;
        while (shortest.size() + 3 <= kMiB) shortest += "a=\n";
        std::ofstream(keys, std::ios::binary) << "[SYSTEM]\nAddrCount=1\n[IP0]\n";
        Fill(keys, shortest, 60, std::ios::app);
    }
    static void Fill(const fs::path& file, const std::string& block, int times,
                     std::ios::openmode mode = std::ios::trunc) {
        std::ofstream out(file, std::ios::binary | std::ios::out | mode);
        for (int i = 0; i < times; ++i) out << block;
    }
};

Inputs& TheInputs() {
    static Inputs inputs;
    return inputs;
}

std::string self;  // this program, for the cases run in a process of their own

// Runs a program to its end with ZANTOR_ROOT at the inputs' directory; its peak memory.
std::uint64_t PeakOf(const fs::path& program, const std::vector<std::string>& args,
                     benchmark::State& state) {
    platform::ChildProcessOptions options;
    options.program = program;
    options.arguments = args;
    options.environment = {{"ZANTOR_ROOT", TheInputs().dir.path().string()}};
    options.workingDirectory = TheInputs().dir.path();
    options.outputFile = "/dev/null";
    std::uint32_t pid = 0;
    int exitCode = -1;
    std::uint64_t peak = 0;
    if (platform::CreateChildProcess(options, &pid) ||
        platform::WaitForChildProcess(pid, std::chrono::minutes(10), &exitCode, &peak))
        state.SkipWithError("the program did not run to its end");
    return peak;
}

void Report(benchmark::State& state, std::uint64_t peak, std::uintmax_t input) {
    state.counters["peak_MB"] = static_cast<double>(peak) / kMiB;
    state.counters["input_MB"] = static_cast<double>(input) / kMiB;
    state.counters["peak/input"] =
        input ? static_cast<double>(peak) / static_cast<double>(input) : 0;
}

void BM_ZadminLogOfLineEnds(benchmark::State& state) {
    for (auto _ : state)
        Report(state, PeakOf(ZADMIN_PATH, {"log", "service"}, state),
               fs::file_size(TheInputs().log));
}
BENCHMARK(BM_ZadminLogOfLineEnds)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ConsoleReadLogOfLineEnds(benchmark::State& state) {
    for (auto _ : state)
        Report(state, PeakOf(self, {"--case", "read-log"}, state), fs::file_size(TheInputs().log));
}
BENCHMARK(BM_ConsoleReadLogOfLineEnds)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The restore reads and checks the whole file before it sends anything (this one it refuses).
void BM_ConsoleRestoreOfLineEnds(benchmark::State& state) {
    for (auto _ : state)
        Report(state, PeakOf(self, {"--case", "restore", TheInputs().ini.string()}, state),
               fs::file_size(TheInputs().ini));
}
BENCHMARK(BM_ConsoleRestoreOfLineEnds)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_IniLoadOfShortestKeys(benchmark::State& state) {
    for (auto _ : state)
        Report(state, PeakOf(self, {"--case", "load-ini", TheInputs().keys.string()}, state),
               fs::file_size(TheInputs().keys));
}
BENCHMARK(BM_IniLoadOfShortestKeys)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// A service that greets with address lines and never ends its greeting.
void BM_ZadminGreetingWithoutEnd(benchmark::State& state) {
    for (auto _ : state) {
        std::unique_ptr<platform::PipeServer> pipe;
        platform::CreateNamedPipeA("\\\\.\\Pipe\\qzw2kflt", &pipe);
        std::uint64_t sent = 0;
        std::thread greeter([&] {
            if (pipe->ConnectNamedPipe()) return;
            while (WriteLnToPipe(*pipe, kCrLf, "IP 10.0.0.5 255.255.255.0 0 2 0 0 0 0 0"))
                sent += 41;
        });
        Report(state, PeakOf(ZADMIN_PATH, {"list"}, state), 0);
        greeter.join();
        state.counters["greeting_MB_sent"] = static_cast<double>(sent) / kMiB;
    }
}
BENCHMARK(BM_ZadminGreetingWithoutEnd)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The cases that run in a process of their own.
int RunCase(const std::string& name, const std::string& file) {
    if (name == "read-log") {
        test::ScriptedPerson person;
        console::TConsole console(person);
        return console.ReadLog(console::TLogFile::kService, ".") ? 0 : 1;
    }
    if (name == "restore") {
        test::ScriptedPerson person;
        console::TConsole console(person);
        return console.RestoreConfiguration(file) ? 1 : 0;
    }
    if (name == "load-ini") {
        IniFile ini;
        return ini.Load(file) == platform::kErrorSuccess && ini.HasSection("IP0") ? 0 : 1;
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    self = platform::GetModuleFileNameA();
    if (argc >= 3 && std::string(argv[1]) == "--case")
        return RunCase(argv[2], argc > 3 ? argv[3] : "");
    // The endless greeting is served on this computer's pipe, which the children find there.
    setenv("ZANTOR_ROOT", TheInputs().dir.path().c_str(), 1);
    return zantor::bench::RunWithRatios(argc, argv, {});
}
