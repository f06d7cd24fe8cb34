// Durability: a writer process killed at random moments leaves every group whole.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "platform/registry.h"
#include "tests/unit/temp_root.h"

using namespace platform;

namespace {

// The last number the writer printed, i.e. its last group whose Commit returned; -1 for none.
// A line that is no number is the writer's report of a failed call.
int LastPrinted(const std::filesystem::path& out) {
    std::ifstream in(out);
    std::string line;
    int last = -1;
    while (std::getline(in, line)) {
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0])))
            ADD_FAILURE() << "writer: " << line;
        else
            last = std::stoi(line);
    }
    return last;
}

}  // namespace

TEST(RegistryDurability, KilledWriterLeavesEveryGroupWhole) {
    zantor::test::TempRoot root;
    std::random_device seeds;
    const auto out = root.path() / "writer.out";
    int survivedGroups = 0;
    for (int run = 0; run < 6; ++run) {
        std::string command = std::string(ZANTOR_CRASH_WRITER) + " " +
                              std::to_string(seeds() % 100000) + " > " + out.string() +
                              " 2>/dev/null";
        (void)std::system(command.c_str());  // ends by SIGKILL
        const int printed = LastPrinted(out);

        HKEY crash = nullptr;
        const Win32Error opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Crash", &crash);
        // A writer killed before its first write leaves no key at all, and nothing to check.
        if (opened == kErrorFileNotFound && printed < 0) continue;
        ASSERT_EQ(opened, 0u) << "run " << run;
        std::int32_t count = 0;
        if (RegQueryDword(crash, "Count", &count) != kErrorSuccess) count = 0;
        EXPECT_GE(count, printed + 1) << "a group whose commit returned was lost, run " << run;
        for (std::int32_t n = 0; n <= count; ++n) {
            HKEY filter = nullptr;
            Win32Error e = RegOpenKeyExA(crash, "Filter" + std::to_string(n), &filter);
            if (n == count) {
                // The group that was cut off must have left nothing behind.
                EXPECT_EQ(e, kErrorFileNotFound) << "half a group stored, run " << run;
                if (e == kErrorSuccess) RegCloseKey(filter);
                break;
            }
            ASSERT_EQ(e, kErrorSuccess) << "Filter" << n << " is missing, run " << run;
            for (int v = 0; v < 13; ++v) {
                std::int32_t value = -1;
                EXPECT_EQ(RegQueryDword(filter, std::string("V").append(std::to_string(v)), &value),
                          0u);
                EXPECT_EQ(value, n) << "Filter" << n << " V" << v << ", run " << run;
            }
            RegCloseKey(filter);
        }
        RegCloseKey(crash);
        survivedGroups = count;
    }
    // The writer got some groups through at all, so the kills did land between and in commits.
    EXPECT_GT(survivedGroups, 0);
}
