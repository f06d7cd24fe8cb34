// Writes grouped changes to HKEY_LOCAL_MACHINE\Crash in a loop and kills itself with SIGKILL after
// a random short while, so the kill lands anywhere, inside a commit too. Each group adds key
// Filter<n> with thirteen values n and sets Count = n + 1, the way the service stores a filter.
// After every commit it prints n, so the test knows what must have survived; a failed call prints
// "failed" and ends the writer.
//
// Usage: registry_crash_writer SEED (the store is the one ZANTOR_ROOT names)
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "platform/registry.h"

using namespace platform;

namespace {

[[noreturn]] void Failed(const char* what) {
    std::printf("failed %s %u\n", what, GetLastError());
    std::fflush(stdout);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    std::mt19937 random(argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1u);
    std::thread writer([] {
        HKEY crash = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Crash", &crash)) Failed("create");
        std::int32_t count = 0;
        RegQueryDword(crash, "Count", &count);
        for (std::int32_t n = count;; ++n) {
            RegTransaction group(crash);
            HKEY filter = nullptr;
            if (group.Begin_result() ||
                RegCreateKeyExA(crash, "Filter" + std::to_string(n), &filter))
                Failed("begin");
            for (int v = 0; v < 13; ++v)
                if (RegSetDword(filter, std::string("V").append(std::to_string(v)),
                                static_cast<DWORD>(n)))
                    Failed("set");
            RegCloseKey(filter);
            if (RegSetDword(crash, "Count", static_cast<DWORD>(n + 1)) || group.Commit())
                Failed("commit");
            std::printf("%d\n", n);
            std::fflush(stdout);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
    std::raise(SIGKILL);
    writer.join();  // never reached
}
