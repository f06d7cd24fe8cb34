// The service control manager port on Windows, against the system's own manager: a real service
// (ZANTOR_WIN_TEST_SERVICE, tests/win32/scm_win32_test_service.cpp) is registered, run through
// its life and removed, under a name of this run's own.
#include <gtest/gtest.h>
#include <process.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/scm.h"
#include "tests/win32/test_programs.h"

#ifndef ZANTOR_WIN_TEST_SERVICE
#error "ZANTOR_WIN_TEST_SERVICE names the test service program"
#endif

using namespace platform;
namespace fs = std::filesystem;

namespace {

// The manager needs a Windows path. A cross build names its outputs by Linux paths, which Wine
// reaches through drive Z:.
std::string ServiceProgram() {
    std::string path = zantor::test::TestProgram(ZANTOR_WIN_TEST_SERVICE);
    if (!path.empty() && path.front() == '/') path = "Z:" + path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ScmWin32 : public ::testing::Test {
  protected:
    // The services run a copy of the program in a folder whose name holds a space, next to a
    // "with.exe" that is no program: given the path unquoted, the manager would try that first.
    static void SetUpTestSuite() {
        folder_ = fs::temp_directory_path() / ("zantor-scm-test-" + std::to_string(_getpid()));
        fs::create_directories(folder_ / "with space");
        std::ofstream(folder_ / "with.exe") << "not a program";
        program_ = folder_ / "with space" / "scm_win32_test_service.exe";
        fs::copy_file(ServiceProgram(), program_, fs::copy_options::overwrite_existing);
    }

    // The last service process may take a moment to end and let go of its program.
    static void TearDownTestSuite() {
        std::error_code ec;
        for (int i = 0; i < 100 && (fs::remove_all(folder_, ec), fs::exists(folder_)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    void SetUp() override {
        static int serial = 0;
        name_ = "ZantorScmTest" + std::to_string(_getpid()) + "-" + std::to_string(++serial);
        notes_ = fs::temp_directory_path() / (name_ + ".notes");
        fs::remove(notes_);
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, nullptr) << GetLastError();
    }

    // Whatever a test left registered goes, stopped first.
    void TearDown() override {
        if (SC_HANDLE s = OpenServiceA(manager_, name_.c_str(), SERVICE_ALL_ACCESS)) {
            SERVICE_STATUS status{};
            ControlService(s, SERVICE_CONTROL_STOP, &status);
            DeleteService(s);
            CloseServiceHandle(s);
        }
        if (manager_) CloseServiceHandle(manager_);
        std::error_code ec;
        fs::remove(notes_, ec);
    }

    SC_HANDLE Create(const char* name) {
        const std::string program = program_.string();
        return CreateServiceA(manager_, name, nullptr, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              program.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    }

    bool Start(SC_HANDLE service) {
        const std::string notes = notes_.string();
        const char* args[] = {notes.c_str(), "extra"};
        return StartServiceA(service, 2, args);
    }

    static DWORD StateOf(SC_HANDLE service) {
        SERVICE_STATUS s{};
        return QueryServiceStatus(service, &s) ? s.dwCurrentState : 0;
    }

    // The service's notes, once its process has written its last line.
    std::string FinalNotes() {
        for (int i = 0; i < 500; ++i) {
            std::string text = ReadAll(notes_);
            if (text.find("done\n") != std::string::npos) return text;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return ReadAll(notes_);
    }

    static inline fs::path folder_;
    static inline fs::path program_;
    std::string name_;
    fs::path notes_;
    SC_HANDLE manager_ = nullptr;
};

TEST_F(ScmWin32, ServiceRunsThroughItsLifeAndIsRemoved) {
    SC_HANDLE service = Create(name_.c_str());
    ASSERT_NE(service, nullptr) << GetLastError();
    ASSERT_TRUE(Start(service)) << GetLastError();

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
    const std::string args = "args=" + name_ + " " + notes_.string() + " extra\n";
    for (const char* line :
         {args.c_str(), "register=0\n", "sender-outside=1168\n", "second-dispatcher=1056\n",
          "bad-state=13\n", "event-kept-error=13\n", "control=2 sender=0 0 ''\n",
          "control=1 sender=0 0 ''\n", "late=6\n", "done\n"})
        EXPECT_NE(notes.find(line), std::string::npos) << line << " in:\n" << notes;

    ASSERT_TRUE(DeleteService(service)) << GetLastError();
    ASSERT_TRUE(CloseServiceHandle(service));
    // It goes once its process has ended; until then it is marked for deletion.
    Win32Error opened = kErrorSuccess;
    for (int i = 0; i < 250; ++i) {
        SC_HANDLE again = OpenServiceA(manager_, name_.c_str(), SERVICE_QUERY_STATUS);
        opened = again ? kErrorSuccess : GetLastError();
        if (again) CloseServiceHandle(again);
        if (opened == kErrorServiceDoesNotExist) break;
        EXPECT_TRUE(opened == kErrorSuccess || opened == kErrorServiceMarkedForDelete) << opened;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(opened, kErrorServiceDoesNotExist);
}

TEST_F(ScmWin32, RefusalsCarryTheManagersNumbers) {
    EXPECT_EQ(OpenServiceA(manager_, name_.c_str(), SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);

    SC_HANDLE service = Create(name_.c_str());
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_EQ(Create(name_.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceExists);

    // A service that does not run: its status comes back with the refusal.
    SERVICE_STATUS s{};
    s.dwCurrentState = 0;
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);

    ASSERT_TRUE(Start(service)) << GetLastError();
    EXPECT_FALSE(Start(service));
    EXPECT_EQ(GetLastError(), kErrorServiceAlreadyRunning);
    EXPECT_FALSE(ControlService(service, 5, &s));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, nullptr)) << GetLastError();
    FinalNotes();
    CloseServiceHandle(service);
}

TEST_F(ScmWin32, WhatThePortLeavesOutIsRefusedBeforeTheManagerIsAsked) {
    const std::string program = program_.string();
    auto create = [&](const char* group, DWORD* tag, const char* dependencies,
                      const char* account) {
        return CreateServiceA(manager_, name_.c_str(), nullptr, SERVICE_ALL_ACCESS,
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
    EXPECT_EQ(OpenServiceA(manager_, name_.c_str(), SERVICE_ALL_ACCESS), nullptr);

    EXPECT_EQ(OpenSCManagerA(nullptr, "Elsewhere", SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorDatabaseDoesNotExist);
    EXPECT_EQ(OpenSCManagerA("\\\\..", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInvalidName);
}

TEST_F(ScmWin32, HandlesAreLookedUpNeverTrusted) {
    SC_HANDLE service = Create(name_.c_str());
    ASSERT_NE(service, nullptr) << GetLastError();
    SC_HANDLE closed = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_TRUE(CloseServiceHandle(closed));
    EXPECT_FALSE(CloseServiceHandle(closed));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);

    SERVICE_STATUS s{};
    // A manager's handle is no service's, nor the other way round.
    for (SC_HANDLE h : {closed, static_cast<SC_HANDLE>(nullptr),
                        reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x1234}), manager_}) {
        EXPECT_FALSE(QueryServiceStatus(h, &s));
        EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
        EXPECT_FALSE(StartServiceA(h, 0, nullptr));
        EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    }
    EXPECT_EQ(OpenServiceA(service, name_.c_str(), SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_TRUE(CloseServiceHandle(service));
}

TEST_F(ScmWin32, StatusExFillsAnyBufferLargeEnough) {
    SC_HANDLE service = Create(name_.c_str());
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

TEST(ScmWin32ServiceSide, RefusesOutsideAStartedService) {
    EXPECT_EQ(RegisterServiceCtrlHandlerA("Svc", [](DWORD) {}), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    EXPECT_FALSE(SetServiceStatus(nullptr, &s));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    SenderProcess sender;
    EXPECT_FALSE(GetServiceControlSender(nullptr));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_FALSE(GetServiceControlSender(&sender));
    EXPECT_EQ(GetLastError(), kErrorNotFound);
    const SERVICE_TABLE_ENTRYA empty[] = {{nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(empty));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    // A process the manager did not start is refused as often as it asks.
    const SERVICE_TABLE_ENTRYA table[] = {{"Svc", [](DWORD, char**) {}}, {nullptr, nullptr}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
        EXPECT_EQ(GetLastError(), kErrorFailedServiceControllerConnect);
    }

    // Run by hand, the service program finds no manager to connect to and says so.
    const std::string command = "\"" + ServiceProgram() + "\"";
    EXPECT_EQ(std::system(command.c_str()), static_cast<int>(kErrorFailedServiceControllerConnect));
}

}  // namespace
