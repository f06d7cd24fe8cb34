// The service control manager port as its contract's tests see it, on every system: the local
// manager, the test service (tests/support/scm_test_service.cpp) registered under a name of the
// test's own, and what that service noted. Each system's fixture (scm_fixture_posix.cpp,
// scm_fixture_win32.cpp) says where those are and leaves nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/scm.h"

namespace zantor::test {

class ScmPort : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // The local manager, with every right.
    platform::SC_HANDLE manager() const { return manager_; }
    // A service name of this test's own.
    const std::string& name() const { return name_; }
    // The test service's program, as a registration names it.
    static std::string Program();

    // The test service registered as `name`, for demand start.
    platform::SC_HANDLE Create(const char* name) {
        const std::string program = Program();
        return platform::CreateServiceA(manager_, name, nullptr, platform::SERVICE_ALL_ACCESS,
                                        platform::SERVICE_WIN32_OWN_PROCESS,
                                        platform::SERVICE_DEMAND_START,
                                        platform::SERVICE_ERROR_NORMAL, program.c_str(), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
    }

    static platform::DWORD StateOf(platform::SC_HANDLE service) {
        platform::SERVICE_STATUS s{};
        return platform::QueryServiceStatus(service, &s) ? s.dwCurrentState : 0;
    }

    // Waits (bounded) until the service reports `state`: a start returns once the service's
    // process has reached the dispatcher, which may be before it reports running.
    static bool WaitForState(platform::SC_HANDLE service, platform::DWORD state) {
        for (int i = 0; i < 3000; ++i) {
            if (StateOf(service) == state) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // What the service of name() noted, once it has written its last line (bounded).
    std::string FinalNotes() const;
    // How that service names this process as the sender of a control, as its notes write it
    // after "sender=0 ".
    static std::string OurSender();

  private:
    platform::SC_HANDLE manager_ = nullptr;
    std::string name_;
};

// The test service started by hand, not by a manager: the error its dispatcher gave.
platform::Win32Error RunTestServiceByHand();

}  // namespace zantor::test
