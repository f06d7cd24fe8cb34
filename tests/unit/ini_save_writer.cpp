// Saves INI files under conditions a test process cannot impose on itself.
//
//   ini_save_writer limit FILE BYTES   loads FILE, adds a value larger than BYTES and saves it
//                                      while files may grow to BYTES only (a disk that fills up);
//                                      prints the save's error number, exits 0 when it failed
//   ini_save_writer crash FILE SEED    saves versions 0, 1, 2 ... of FILE, each with 1 MiB of the
//                                      letter of its version, and kills itself with SIGKILL after a
//                                      random short while, so the kill lands anywhere in a save
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "console/ini.h"

using zantor::IniFile;

namespace {

int SaveOverLimit(const std::string& file, rlim_t bytes) {
    IniFile ini;
    if (ini.Load(file)) return 2;
    ini.WriteString("SYSTEM", "Filler", std::string(bytes * 16, 'x'));
    // Past the limit a write fails with EFBIG instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{bytes, bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    platform::Win32Error e = ini.Save(file);
    std::printf("%u\n", e);
    return e ? 0 : 1;
}

[[noreturn]] void SaveUntilKilled(const std::string& file, unsigned seed) {
    std::mt19937 random(seed);
    std::thread writer([file] {
        for (std::int32_t version = 0;; ++version) {
            IniFile ini;
            ini.WriteInt("SYSTEM", "Version", version);
            ini.WriteString("SYSTEM", "Filler",
                            std::string(1u << 20, static_cast<char>('a' + version % 26)));
            ini.WriteInt("SYSTEM", "Check", version);
            if (ini.Save(file)) std::_Exit(1);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
    std::raise(SIGKILL);
    writer.join();  // never reached
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "limit")
        return SaveOverLimit(argv[2], static_cast<rlim_t>(std::atol(argv[3])));
    if (argc == 4 && std::string(argv[1]) == "crash")
        SaveUntilKilled(argv[2], static_cast<unsigned>(std::atoi(argv[3])));
    std::fprintf(stderr, "usage: ini_save_writer limit FILE BYTES | crash FILE SEED\n");
    return 2;
}
