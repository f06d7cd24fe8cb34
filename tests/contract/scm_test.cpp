// The service control manager port's contract, on every system: a service run through its life
// and removed, the numbers of the manager's refusals, what the port leaves out, handles that are
// looked up and never trusted, the status in any buffer large enough, and the service side
// outside a started service. Built into the Linux tests (the embedded manager) and the Windows
// tests (the system's manager, under Wine); each system's fixture is scm_fixture_*.cpp, and what
// only one manager does is tested beside it (tests/unit/scm_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/scm.h"
#include "tests/contract/scm_fixture.h"

using namespace platform;
using zantor::test::ScmPort;

namespace {

TEST_F(ScmPort, ServiceRunsThroughItsLifeAndIsRemoved) {
    SC_HANDLE service = Create(name().c_str());
    ASSERT_NE(service, nullptr) << GetLastError();
    const char* args[] = {"first", "extra"};
    ASSERT_TRUE(StartServiceA(service, 2, args)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));

    unsigned char raw[sizeof(SERVICE_STATUS_PROCESS)]{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, raw, sizeof raw, &needed));
    SERVICE_STATUS_PROCESS running{};
    std::memcpy(&running, raw, sizeof running);
    EXPECT_NE(running.dwProcessId, 0u);
    EXPECT_EQ(running.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);

    struct Step {
        DWORD control;
        DWORD state;
    };
    for (Step step : {Step{SERVICE_CONTROL_PAUSE, SERVICE_PAUSED},
                      Step{SERVICE_CONTROL_INTERROGATE, SERVICE_PAUSED},
                      Step{SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING},
                      Step{SERVICE_CONTROL_STOP, SERVICE_STOPPED}}) {
        SERVICE_STATUS s{};
        ASSERT_TRUE(ControlService(service, step.control, &s))
            << step.control << " " << GetLastError();
        EXPECT_EQ(s.dwCurrentState, step.state) << step.control;
        EXPECT_EQ(StateOf(service), step.state) << step.control;
    }

    // What the service side of the port told the service.
    const std::string notes = FinalNotes();
    const std::string argsLine = "args=" + name() + " first extra\n";
    const std::string pause = "control=2 sender=0 " + OurSender();
    const std::string stop = "control=1 sender=0 " + OurSender();
    for (const std::string& line :
         {argsLine, std::string("register=0\n"), std::string("sender-outside=1168\n"),
          std::string("second-dispatcher=1056\n"), std::string("bad-state=13\n"),
          std::string("event-kept-error=13\n"), pause, stop, std::string("late=6\n"),
          std::string("done\n")})
        EXPECT_NE(notes.find(line), std::string::npos) << line << " in:\n" << notes;

    ASSERT_TRUE(DeleteService(service)) << GetLastError();
    ASSERT_TRUE(CloseServiceHandle(service));
    // It goes once its process has ended; until then it is marked for deletion.
    Win32Error opened = kErrorSuccess;
    for (int i = 0; i < 250; ++i) {
        SC_HANDLE again = OpenServiceA(manager(), name().c_str(), SERVICE_QUERY_STATUS);
        opened = again ? kErrorSuccess : GetLastError();
        if (again) CloseServiceHandle(again);
        if (opened == kErrorServiceDoesNotExist) break;
        EXPECT_TRUE(opened == kErrorSuccess || opened == kErrorServiceMarkedForDelete) << opened;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(opened, kErrorServiceDoesNotExist);
}

TEST_F(ScmPort, RefusalsCarryTheManagersNumbers) {
    EXPECT_EQ(OpenServiceA(manager(), name().c_str(), SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);

    SC_HANDLE service = Create(name().c_str());
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_EQ(Create(name().c_str()), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceExists);

    // A service that does not run: its status comes back with the refusal.
    SERVICE_STATUS s{};
    s.dwCurrentState = 0;
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);

    const char* args[] = {"first", "extra"};
    ASSERT_TRUE(StartServiceA(service, 2, args)) << GetLastError();
    EXPECT_FALSE(StartServiceA(service, 2, args));
    EXPECT_EQ(GetLastError(), kErrorServiceAlreadyRunning);
    EXPECT_FALSE(ControlService(service, 5, &s));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, nullptr)) << GetLastError();
    FinalNotes();
    CloseServiceHandle(service);
}

TEST_F(ScmPort, WhatThePortLeavesOutIsRefusedBeforeTheManagerIsAsked) {
    const std::string program = Program();
    auto create = [&](const char* group, DWORD* tag, const char* dependencies,
                      const char* account) {
        return CreateServiceA(manager(), name().c_str(), nullptr, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              program.c_str(), group, tag, dependencies, account, nullptr);
    };
    DWORD tag = 0;
    EXPECT_EQ(create("Group", nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), kErrorNotSupported);
    EXPECT_EQ(create(nullptr, nullptr, "Other\0", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), kErrorNotSupported);
    EXPECT_EQ(create(nullptr, &tag, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_EQ(create(nullptr, nullptr, nullptr, ".\\Someone"), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInvalidServiceAccount);
    EXPECT_EQ(OpenServiceA(manager(), name().c_str(), SERVICE_ALL_ACCESS), nullptr);

    EXPECT_EQ(OpenSCManagerA(nullptr, "Elsewhere", SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorDatabaseDoesNotExist);
    EXPECT_EQ(OpenSCManagerA("\\\\..", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInvalidName);
}

TEST_F(ScmPort, HandlesAreLookedUpNeverTrusted) {
    SC_HANDLE service = Create(name().c_str());
    ASSERT_NE(service, nullptr) << GetLastError();
    SC_HANDLE closed = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_TRUE(CloseServiceHandle(closed));
    EXPECT_FALSE(CloseServiceHandle(closed));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);

    SERVICE_STATUS s{};
    // A manager's handle is no service's, nor the other way round.
    for (SC_HANDLE h : {closed, static_cast<SC_HANDLE>(nullptr),
                        reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x1234}), manager()}) {
        EXPECT_FALSE(StartServiceA(h, 0, nullptr));
        EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
        EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
        EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
        EXPECT_FALSE(DeleteService(h));
        EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
        EXPECT_FALSE(QueryServiceStatus(h, &s));
        EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    }
    EXPECT_EQ(OpenServiceA(service, name().c_str(), SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_TRUE(CloseServiceHandle(service));
}

TEST_F(ScmPort, StatusExFillsAnyBufferLargeEnough) {
    SC_HANDLE service = Create(name().c_str());
    ASSERT_NE(service, nullptr) << GetLastError();
    unsigned char raw[sizeof(SERVICE_STATUS_PROCESS) + 1]{};
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, raw, 8, &needed));
    EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
    EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
    EXPECT_FALSE(
        QueryServiceStatusEx(service, static_cast<SC_STATUS_TYPE>(1), raw, sizeof raw, &needed));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);

    // One byte off any alignment.
    ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, raw + 1,
                                     sizeof(SERVICE_STATUS_PROCESS), &needed))
        << GetLastError();
    SERVICE_STATUS_PROCESS status{};
    std::memcpy(&status, raw + 1, sizeof status);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwProcessId, 0u);
    EXPECT_FALSE(QueryServiceStatus(service, nullptr));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    CloseServiceHandle(service);
}

// A process the manager did not start never becomes one of its services, and the service side
// refuses to be used without a dispatcher.
TEST(ScmServiceSide, RefusesOutsideAStartedService) {
    EXPECT_EQ(zantor::test::RunTestServiceByHand(), kErrorFailedServiceControllerConnect);

    EXPECT_EQ(RegisterServiceCtrlHandlerA("Svc", [](DWORD) {}), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    for (auto handle : {static_cast<SERVICE_STATUS_HANDLE>(nullptr),
                        reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{1})}) {
        EXPECT_FALSE(SetServiceStatus(handle, &s));
        EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    }
    // Outside a control handler there is no sender to name, and no console event before one came.
    SenderProcess sender;
    EXPECT_FALSE(GetServiceControlSender(nullptr));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_FALSE(GetServiceControlSender(&sender));
    EXPECT_EQ(GetLastError(), kErrorNotFound);
    ConsoleCtrlOrigin origin;
    EXPECT_EQ(GetConsoleCtrlOrigin(&origin), kErrorNotFound);
    EXPECT_EQ(GetConsoleCtrlOrigin(nullptr), kErrorInvalidParameter);

    const SERVICE_TABLE_ENTRYA empty[] = {{nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(empty));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    // Refused as often as it asks, and a table that is none is refused as ever.
    const SERVICE_TABLE_ENTRYA table[] = {{"Svc", [](DWORD, char**) {}}, {nullptr, nullptr}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
        EXPECT_EQ(GetLastError(), kErrorFailedServiceControllerConnect);
    }
    EXPECT_FALSE(StartServiceCtrlDispatcherA(nullptr));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

}  // namespace
