// A fixture for tests that run services: a fresh local root, a network with the computer PC1, the
// test service program, and the promise that no process a test started outlives it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/scm.h"
#include "tests/unit/temp_root.h"

namespace zantor::test {

inline constexpr const char* kTestServiceProgram = ZANTOR_TEST_SERVICE;

class ServiceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(pc1Root() / "system32");
        std::filesystem::create_directories(root_.path() / "system32");
        setenv("ZANTOR_NETWORK", network_.path().c_str(), 1);
    }

    void TearDown() override {
        // Every service process a test may have started is ended, whatever the test's outcome.
        // Only processes the manager sees running now: an old id may belong to anybody.
        for (platform::SC_HANDLE service : services_) {
            std::uint32_t pid = ProcessOf(service);
            if (pid && pid != platform::GetCurrentProcessId())
                platform::TerminateProcessById(pid, std::chrono::seconds(10));
            platform::CloseServiceHandle(service);
        }
        for (platform::SC_HANDLE manager : managers_) platform::CloseServiceHandle(manager);
        // What a service process printed (a sanitizer's report, say) fails the test.
        for (const auto& root : {localRoot(), pc1Root()}) {
            std::error_code ec;
            for (const auto& dir :
                 std::filesystem::directory_iterator(root / "scm" / "services", ec)) {
                std::string output = ReadFile(dir.path() / "output");
                EXPECT_EQ(output, "") << dir.path();
            }
        }
        unsetenv("ZANTOR_NETWORK");
        unsetenv("SCM_TEST_SERVICE_MODE");
        unsetenv("ZANTOR_SCM_TIMEOUT_MS");
    }

    const std::filesystem::path& localRoot() const { return root_.path(); }
    std::filesystem::path pc1Root() const { return network_.path() / "PC1"; }

    // Copies the test service into a computer's system directory.
    std::filesystem::path InstallProgram(const std::filesystem::path& root,
                                         const std::string& fileName = "scm_test_service") {
        auto target = root / "system32" / fileName;
        std::filesystem::copy_file(kTestServiceProgram, target,
                                   std::filesystem::copy_options::overwrite_existing);
        return target;
    }

    platform::SC_HANDLE Manager(const char* machine) {
        platform::SC_HANDLE m =
            platform::OpenSCManagerA(machine, nullptr, platform::SC_MANAGER_ALL_ACCESS);
        if (m) managers_.push_back(m);
        return m;
    }

    // A handle that the fixture closes, after ending the service's process.
    platform::SC_HANDLE Track(platform::SC_HANDLE service) {
        if (service) services_.push_back(service);
        return service;
    }

    platform::SC_HANDLE Create(platform::SC_HANDLE manager, const char* name, const char* binary) {
        return Track(platform::CreateServiceA(
            manager, name, name, platform::SERVICE_ALL_ACCESS, platform::SERVICE_WIN32_OWN_PROCESS,
            platform::SERVICE_DEMAND_START, platform::SERVICE_ERROR_NORMAL, binary, nullptr,
            nullptr, nullptr, nullptr, nullptr));
    }

    // The service's process id, 0 when it does not run.
    static std::uint32_t ProcessOf(platform::SC_HANDLE service) {
        platform::SERVICE_STATUS_PROCESS status{};
        platform::DWORD needed = 0;
        if (!platform::QueryServiceStatusEx(service, platform::SC_STATUS_PROCESS_INFO,
                                            reinterpret_cast<unsigned char*>(&status),
                                            sizeof status, &needed))
            return 0;
        return status.dwProcessId;
    }

    // Waits (bounded) until the service reports `state`.
    static bool WaitForState(platform::SC_HANDLE service, platform::DWORD state) {
        for (int i = 0; i < 3000; ++i) {
            platform::SERVICE_STATUS status{};
            if (platform::QueryServiceStatus(service, &status) && status.dwCurrentState == state)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Waits (bounded) until the process has ended.
    static bool WaitForExit(std::uint32_t pid) {
        for (int i = 0; i < 3000 && platform::IsProcessRunning(pid); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !platform::IsProcessRunning(pid);
    }

  private:
    TempRoot root_;
    TempDir network_;
    std::vector<platform::SC_HANDLE> managers_;
    std::vector<platform::SC_HANDLE> services_;
};

}  // namespace zantor::test
