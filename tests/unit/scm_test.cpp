#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/process_posix.h"
#include "platform/linux/scm/embedded_io.h"
#include "platform/linux/scm/scm_rules.h"
#include "platform/process.h"
#include "platform/scm.h"
#include "tests/unit/scm_test_support.h"

using namespace platform;
namespace fs = std::filesystem;
using zantor::test::ReadFile;

namespace {

class Scm : public zantor::test::ServiceFixture {
  protected:
    // A local service running the test program where it was built.
    SC_HANDLE CreateLocal(const char* name) {
        SC_HANDLE m = Manager(nullptr);
        return m ? Create(m, name, zantor::test::kTestServiceProgram) : nullptr;
    }

    static DWORD StateOf(SC_HANDLE service) {
        SERVICE_STATUS s{};
        return QueryServiceStatus(service, &s) ? s.dwCurrentState : 0;
    }

    static bool Start(SC_HANDLE service, std::vector<const char*> args = {}) {
        return StartServiceA(service, static_cast<DWORD>(args.size()), args.data());
    }

    // Stops a running service and waits until its process has gone.
    void StopAndWait(SC_HANDLE service) {
        std::uint32_t pid = ProcessOf(service);
        SERVICE_STATUS s{};
        ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &s)) << GetLastError();
        EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
        EXPECT_TRUE(WaitForExit(pid));
    }
};

TEST_F(Scm, ManagerOfKnownComputersOnly) {
    struct Case {
        const char* machine;
        Win32Error error;
    };
    for (Case c : {Case{nullptr, kErrorSuccess}, Case{"", kErrorSuccess}, Case{".", kErrorSuccess},
                   Case{"\\\\PC1", kErrorSuccess}, Case{"pc1", kErrorSuccess},
                   Case{"PC2", kErrorBadNetPath}, Case{"\\\\..", kErrorInvalidName}}) {
        SetLastError(kErrorSuccess);
        SC_HANDLE m = Manager(c.machine);
        EXPECT_EQ(m != nullptr, c.error == kErrorSuccess) << (c.machine ? c.machine : "null");
        EXPECT_EQ(GetLastError(), c.error) << (c.machine ? c.machine : "null");
    }
    EXPECT_EQ(OpenSCManagerA(nullptr, "Elsewhere", SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorDatabaseDoesNotExist);
}

TEST_F(Scm, RegistrationChecksNamesAndParameters) {
    SC_HANDLE m = Manager(nullptr);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(Create(m, "Alpha", "/bin/alpha"), nullptr) << GetLastError();

    struct Case {
        std::string name;
        const char* display;
        DWORD type;
        DWORD* tag;
        const char* dependencies;
        const char* account;
        Win32Error error;
    };
    DWORD tag = 0;
    const std::vector<Case> cases{
        {"ALPHA", "Other", SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr, nullptr,
         kErrorServiceExists},
        {"Beta", "alpha", SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr, nullptr,
         kErrorDuplicateServiceName},
        {"", nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr, nullptr, kErrorInvalidName},
        {"a/b", nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr, nullptr, kErrorInvalidName},
        {"a\\b", nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr, nullptr, kErrorInvalidName},
        {"..", nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr, nullptr, kErrorInvalidName},
        {std::string(256, 'x'), nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr, nullptr,
         kErrorInvalidName},
        {"Driver", nullptr, 0x1, nullptr, nullptr, nullptr, kErrorInvalidParameter},
        {"Both", nullptr, SERVICE_WIN32, nullptr, nullptr, nullptr, kErrorInvalidParameter},
        {"Tagged", nullptr, SERVICE_WIN32_OWN_PROCESS, &tag, nullptr, nullptr,
         kErrorInvalidParameter},
        {"Dependent", nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, "Alpha\0", nullptr,
         kErrorNotSupported},
        {"Account", nullptr, SERVICE_WIN32_OWN_PROCESS, nullptr, nullptr, "bob",
         kErrorInvalidServiceAccount},
    };
    for (const Case& c : cases) {
        SC_HANDLE h = Track(CreateServiceA(m, c.name.c_str(), c.display, SERVICE_ALL_ACCESS, c.type,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/x",
                                           nullptr, c.tag, c.dependencies, c.account, nullptr));
        EXPECT_EQ(h, nullptr) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    ASSERT_NE(
        Track(CreateServiceA(m, "System", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_SHARE_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/x", nullptr, nullptr,
                             "", "LocalSystem", nullptr)),
        nullptr);

    EXPECT_EQ(OpenServiceA(m, "Missing", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
    SC_HANDLE alpha = Track(OpenServiceA(m, "aLPHA", SERVICE_ALL_ACCESS));
    ASSERT_NE(alpha, nullptr);
    SERVICE_STATUS s{};
    ASSERT_TRUE(QueryServiceStatus(alpha, &s));
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s.dwWin32ExitCode, kErrorServiceNeverStarted);
    EXPECT_FALSE(QueryServiceStatus(alpha, nullptr));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST_F(Scm, HandlesAllowOnlyWhatWasAskedFor) {
    ASSERT_NE(CreateLocal("Narrow"), nullptr);
    SC_HANDLE connectOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(connectOnly, nullptr);
    EXPECT_EQ(CreateServiceA(connectOnly, "Other", nullptr, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             "/bin/x", nullptr, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);

    SC_HANDLE query = Track(OpenServiceA(connectOnly, "Narrow", SERVICE_QUERY_STATUS));
    ASSERT_NE(query, nullptr);
    EXPECT_FALSE(StartServiceA(query, 0, nullptr));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_FALSE(DeleteService(query));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    // What the service tools ask for: start, stop and delete, but no pause.
    SC_HANDLE tools = Track(OpenServiceA(connectOnly, "Narrow", SC_MANAGER_ALL_ACCESS));
    ASSERT_NE(tools, nullptr);
    SERVICE_STATUS s{};
    EXPECT_FALSE(ControlService(tools, SERVICE_CONTROL_PAUSE, &s));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_FALSE(ControlService(tools, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
    CloseServiceHandle(connectOnly);
}

TEST_F(Scm, LocalServiceRunsPausesContinuesAndStops) {
    SC_HANDLE service = CreateLocal("LocalSvc");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(Start(service, {"alpha", "beta"})) << GetLastError();
    EXPECT_FALSE(Start(service));
    EXPECT_EQ(GetLastError(), kErrorServiceAlreadyRunning);
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));

    // The process runs in its computer's system directory and knows its computer's root.
    EXPECT_EQ(ReadFile(localRoot() / "system32" / "LocalSvc.started"),
              "root=" + localRoot().string() + "\nargs=alpha beta\n");

    struct Step {
        DWORD control;
        DWORD state;
    };
    for (Step step : {Step{SERVICE_CONTROL_PAUSE, SERVICE_PAUSED},
                      Step{SERVICE_CONTROL_INTERROGATE, SERVICE_PAUSED},
                      Step{SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING},
                      Step{SERVICE_CONTROL_INTERROGATE, SERVICE_RUNNING}}) {
        SERVICE_STATUS s{};
        ASSERT_TRUE(ControlService(service, step.control, &s)) << step.control;
        // The handler has run when the call returns: the status is the one it reported.
        EXPECT_EQ(s.dwCurrentState, step.state) << step.control;
        EXPECT_EQ(s.dwServiceType, SERVICE_WIN32);
        EXPECT_EQ(StateOf(service), step.state) << step.control;
    }
    EXPECT_EQ(ReadFile(localRoot() / "system32" / "scm_test_service.controls"), "2\n4\n3\n4\n");
    // Each handler call could name the process that called ControlService: this one.
    std::istringstream senders(ReadFile(localRoot() / "system32" / "scm_test_service.senders"));
    int calls = 0;
    for (std::string line; std::getline(senders, line); ++calls)
        EXPECT_TRUE(line.starts_with(std::to_string(GetCurrentProcessId()) + " scm_tests")) << line;
    EXPECT_EQ(calls, 4);

    StopAndWait(service);
    SERVICE_STATUS s{};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s.dwWin32ExitCode, 0u);

    // And once more: a stopped service starts again.
    ASSERT_TRUE(Start(service)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    StopAndWait(service);
}

TEST_F(Scm, RemoteServiceRunsOnItsOwnComputer) {
    InstallProgram(pc1Root());
    SC_HANDLE m = Manager("PC1");
    ASSERT_NE(m, nullptr);
    SC_HANDLE service = Create(m, "RemoteSvc", "%SystemRoot%\\system32\\scm_test_service");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(Start(service)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    EXPECT_EQ(ReadFile(pc1Root() / "system32" / "RemoteSvc.started"),
              "root=" + pc1Root().string() + "\nargs=\n");
    EXPECT_FALSE(fs::exists(localRoot() / "system32" / "RemoteSvc.started"));

    // The same service through another spelling of the computer; not on this computer.
    SC_HANDLE again = Track(OpenServiceA(Manager("\\\\pc1"), "remotesvc", SERVICE_ALL_ACCESS));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(StateOf(again), SERVICE_RUNNING);
    EXPECT_EQ(OpenServiceA(Manager(nullptr), "RemoteSvc", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
    StopAndWait(again);
    EXPECT_EQ(StateOf(service), SERVICE_STOPPED);
}

TEST_F(Scm, ControlsOutsideWhatTheServiceAccepts) {
    SC_HANDLE service = CreateLocal("Strict");
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS s{};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &s));
    EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
    ASSERT_TRUE(Start(service, {"stop-only"}));
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE}) {
        s = SERVICE_STATUS{};
        EXPECT_FALSE(ControlService(service, control, &s)) << control;
        EXPECT_EQ(GetLastError(), kErrorInvalidServiceControl) << control;
        EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING) << control;
    }
    for (DWORD control : {0u, 5u, 7u, 128u}) {
        EXPECT_FALSE(ControlService(service, control, &s)) << control;
        EXPECT_EQ(GetLastError(), kErrorInvalidParameter) << control;
    }
    // None of those reached the handler.
    EXPECT_FALSE(fs::exists(localRoot() / "system32" / "scm_test_service.controls"));
    StopAndWait(service);
}

TEST_F(Scm, DeleteRemovesStoppedAndMarksRunningServices) {
    SC_HANDLE m = Manager(nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(OpenServiceA(m, "Nobody", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);

    SC_HANDLE stopped = CreateLocal("Stopped");
    ASSERT_NE(stopped, nullptr);
    ASSERT_TRUE(DeleteService(stopped));
    EXPECT_EQ(OpenServiceA(m, "Stopped", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
    EXPECT_FALSE(DeleteService(stopped));
    EXPECT_EQ(GetLastError(), kErrorServiceMarkedForDelete);

    SC_HANDLE running = CreateLocal("Running");
    ASSERT_NE(running, nullptr);
    ASSERT_TRUE(Start(running));
    ASSERT_TRUE(WaitForState(running, SERVICE_RUNNING));
    ASSERT_TRUE(DeleteService(running));
    EXPECT_FALSE(DeleteService(running));
    EXPECT_EQ(GetLastError(), kErrorServiceMarkedForDelete);
    EXPECT_EQ(OpenServiceA(m, "running", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceMarkedForDelete);
    EXPECT_EQ(Create(m, "Running", zantor::test::kTestServiceProgram), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceMarkedForDelete);
    EXPECT_EQ(StateOf(running), SERVICE_RUNNING);

    StopAndWait(running);
    EXPECT_EQ(OpenServiceA(m, "Running", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
    // A new service of the old name is not reachable through the old handle.
    SC_HANDLE successor = Create(m, "Running", zantor::test::kTestServiceProgram);
    ASSERT_NE(successor, nullptr) << GetLastError();
    EXPECT_FALSE(StartServiceA(running, 0, nullptr));
    EXPECT_EQ(GetLastError(), kErrorServiceMarkedForDelete);
    EXPECT_EQ(StateOf(successor), SERVICE_STOPPED);
}

TEST_F(Scm, ServiceThatStopsByItselfTakesItsDeletionAlong) {
    SC_HANDLE service = CreateLocal("SelfStop");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(Start(service, {"stop-on-go"}));
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    std::uint32_t pid = ProcessOf(service);
    ASSERT_TRUE(DeleteService(service));
    std::ofstream(localRoot() / "system32" / "go") << "";
    ASSERT_TRUE(WaitForExit(pid));
    // No manager call has looked since: the dispatcher removed it on its way out.
    EXPECT_FALSE(fs::exists(localRoot() / "scm" / "services" / "selfstop"));
    EXPECT_EQ(ReadFile(localRoot() / "system32" / "scm_test_service.late"),
              std::to_string(kErrorInvalidHandle) + "\n");
}

TEST_F(Scm, KilledServiceIsSeenStopped) {
    SC_HANDLE m = Manager(nullptr);
    SC_HANDLE service = CreateLocal("Victim");
    ASSERT_NE(service, nullptr);
    for (bool deleteFirst : {false, true}) {
        ASSERT_TRUE(Start(service)) << GetLastError();
        ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
        std::uint32_t pid = ProcessOf(service);
        ASSERT_NE(pid, 0u);
        if (deleteFirst) {
            ASSERT_TRUE(DeleteService(service));
        }
        ASSERT_EQ(TerminateProcessById(pid, std::chrono::seconds(10)), kErrorSuccess);

        SERVICE_STATUS s{};
        if (deleteFirst) {
            // Whoever notices the dead process first removes the service it was marked for.
            EXPECT_EQ(OpenServiceA(m, "Victim", SERVICE_ALL_ACCESS), nullptr);
            EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
            break;
        }
        ASSERT_TRUE(QueryServiceStatus(service, &s));
        EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(s.dwWin32ExitCode, kErrorProcessAborted);
        EXPECT_EQ(ProcessOf(service), 0u);
        EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &s));
        EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
    }
}

TEST_F(Scm, ReusedProcessIdDoesNotLookRunning) {
    SC_HANDLE service = CreateLocal("Reused");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(Start(service));
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    std::uint32_t pid = ProcessOf(service);
    ASSERT_EQ(TerminateProcessById(pid, std::chrono::seconds(10)), kErrorSuccess);

    // Make the record name a live process (this one): its start time still tells it apart.
    fs::path statusFile = localRoot() / "scm" / "services" / "reused" / "status";
    std::string status = ReadFile(statusFile);
    auto line = status.find("pid=" + std::to_string(pid) + "\n");
    ASSERT_NE(line, std::string::npos) << status;
    status.replace(line, 4 + std::to_string(pid).size(),
                   "pid=" + std::to_string(GetCurrentProcessId()));
    // Start times count clock ticks, and this process may have started in the same tick as the
    // service; a time right after boot is surely not this process's.
    auto started = status.find("started=");
    ASSERT_NE(started, std::string::npos) << status;
    status.replace(started, status.find('\n', started) - started, "started=1");
    std::ofstream(statusFile, std::ios::trunc) << status;

    EXPECT_EQ(StateOf(service), SERVICE_STOPPED);
    ASSERT_TRUE(Start(service)) << GetLastError();
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    StopAndWait(service);
}

TEST_F(Scm, ProgramsThatCannotServeFailTheStart) {
    fs::path dir = localRoot() / "system32";
    InstallProgram(localRoot(), "not_executable");
    fs::permissions(dir / "not_executable", fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(dir / "garbage") << "\x01\x02 not a program\n";
    fs::permissions(dir / "garbage", fs::perms::owner_all);
    InstallProgram(localRoot(), "quitter");

    struct Case {
        const char* name;
        const char* binary;
        const char* mode;
        Win32Error error;
    };
    SC_HANDLE m = Manager(nullptr);
    for (Case c : {Case{"Missing", "%SystemRoot%\\system32\\missing", nullptr, kErrorFileNotFound},
                   Case{"NotExecutable", "not_executable", nullptr, kErrorAccessDenied},
                   Case{"Garbage", "%SystemRoot%\\system32\\garbage", nullptr, kErrorBadExeFormat},
                   Case{"Quitter", "quitter", "exit", kErrorProcessAborted}}) {
        SC_HANDLE service = Create(m, c.name, c.binary);
        ASSERT_NE(service, nullptr) << c.name;
        if (c.mode) setenv("SCM_TEST_SERVICE_MODE", c.mode, 1);
        // Twice: a failed start leaves nothing that looks running.
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_FALSE(StartServiceA(service, 0, nullptr)) << c.name;
            EXPECT_EQ(GetLastError(), c.error) << c.name;
            EXPECT_EQ(StateOf(service), SERVICE_STOPPED) << c.name;
        }
        unsetenv("SCM_TEST_SERVICE_MODE");
    }
}

TEST_F(Scm, ProgramThatNeverConnectsIsEndedAfterTheTimeout) {
    SC_HANDLE service = CreateLocal("Holder");
    ASSERT_NE(service, nullptr);
    setenv("SCM_TEST_SERVICE_MODE", "hold", 1);
    const fs::path heldFile = localRoot() / "system32" / "scm_test_service.held";
    // Time enough to get into the program, and so little that it mostly runs out before the
    // program runs at all: either way the start fails the same, and leaves no process behind.
    for (const char* timeout : {"1500", "1", "1", "1"}) {
        fs::remove(heldFile);
        setenv("ZANTOR_SCM_TIMEOUT_MS", timeout, 1);
        EXPECT_FALSE(StartServiceA(service, 0, nullptr)) << timeout;
        EXPECT_EQ(GetLastError(), kErrorServiceRequestTimeout) << timeout;
        std::string held = ReadFile(heldFile);
        if (std::string_view(timeout) != "1") {
            ASSERT_FALSE(held.empty());
        }
        if (!held.empty()) {
            EXPECT_FALSE(IsProcessRunning(static_cast<std::uint32_t>(std::stoul(held))));
        }
        EXPECT_EQ(StateOf(service), SERVICE_STOPPED) << timeout;
    }
}

TEST_F(Scm, ConcurrentStartsLaunchOneProcess) {
    SC_HANDLE service = CreateLocal("Racer");
    ASSERT_NE(service, nullptr);
    std::atomic<int> started{0}, running{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            if (StartServiceA(service, 0, nullptr))
                ++started;
            else if (GetLastError() == kErrorServiceAlreadyRunning)
                ++running;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(started, 1);
    EXPECT_EQ(running, 3);
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    StopAndWait(service);
}

TEST_F(Scm, HungHandlerTimesOutEveryCallerEvenPastTheQueue) {
    SC_HANDLE service = CreateLocal("Hung");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(Start(service, {"hang-on-pause"}));
    ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
    setenv("ZANTOR_SCM_TIMEOUT_MS", "1000", 1);
    const fs::path dir = localRoot() / "system32";
    auto timedOut = [service](DWORD control) {
        SERVICE_STATUS s{};
        return !ControlService(service, control, &s) &&
               GetLastError() == kErrorServiceRequestTimeout;
    };
    std::atomic<int> timeouts{0};
    std::thread pause([&] { timeouts += timedOut(SERVICE_CONTROL_PAUSE); });
    // Once the handler hangs, more callers than the control socket queues pile up behind it.
    for (int i = 0; i < 3000 && ReadFile(dir / "scm_test_service.controls").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(ReadFile(dir / "scm_test_service.controls"), "2\n");
    std::vector<std::thread> callers;
    for (int i = 0; i < 24; ++i)
        callers.emplace_back([&] { timeouts += timedOut(SERVICE_CONTROL_INTERROGATE); });
    for (auto& t : callers) t.join();
    pause.join();
    EXPECT_EQ(timeouts, 25);
    unsetenv("ZANTOR_SCM_TIMEOUT_MS");
    std::ofstream(dir / "release") << "";
    StopAndWait(service);
    // Nobody waited for the handler: all had their answer before it was let go.
    EXPECT_FALSE(fs::exists(dir / "scm_test_service.gave_up"));
}

TEST_F(Scm, DatabaseLockIsWaitedForOnlyUntilTheDeadline) {
    SC_HANDLE m = Manager(nullptr);
    SC_HANDLE service = CreateLocal("Locked");
    ASSERT_NE(service, nullptr);
    setenv("ZANTOR_SCM_TIMEOUT_MS", "300", 1);
    {
        // A manager that holds the lock and does not let go (stopped, say).
        posix::FileLock holder(localRoot() / "scm" / "lock", std::chrono::steady_clock::now());
        ASSERT_EQ(holder.error(), kErrorSuccess);
        EXPECT_EQ(Create(m, "Other", zantor::test::kTestServiceProgram), nullptr);
        EXPECT_EQ(GetLastError(), kErrorServiceDatabaseLocked);
        EXPECT_FALSE(Start(service));
        EXPECT_EQ(GetLastError(), kErrorServiceDatabaseLocked);
        EXPECT_FALSE(DeleteService(service));
        EXPECT_EQ(GetLastError(), kErrorServiceDatabaseLocked);
        EXPECT_EQ(StateOf(service), SERVICE_STOPPED);
    }
    EXPECT_NE(Create(m, "Other", zantor::test::kTestServiceProgram), nullptr) << GetLastError();
}

// A start holds the database lock only to launch its process; while that process takes its time
// to enter the dispatcher, the computer's other services are managed as usual.
TEST_F(Scm, StartInItsHandshakeHoldsNobodyUp) {
    SC_HANDLE m = Manager(nullptr);
    SC_HANDLE service = CreateLocal("Slow");
    ASSERT_NE(service, nullptr);
    setenv("SCM_TEST_SERVICE_MODE", "hold", 1);
    setenv("ZANTOR_SCM_TIMEOUT_MS", "20000", 1);
    Win32Error started = kErrorSuccess;
    std::thread starter([&] {
        if (!StartServiceA(service, 0, nullptr)) started = GetLastError();
    });
    const fs::path heldFile = localRoot() / "system32" / "scm_test_service.held";
    for (int i = 0; i < 3000 && ReadFile(heldFile).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string held = ReadFile(heldFile);
    unsetenv("SCM_TEST_SERVICE_MODE");
    // Short enough that a lock held through the handshake would fail these.
    setenv("ZANTOR_SCM_TIMEOUT_MS", "300", 1);
    SC_HANDLE other = Create(m, "Other", zantor::test::kTestServiceProgram);
    EXPECT_NE(other, nullptr) << GetLastError();
    EXPECT_TRUE(DeleteService(other)) << GetLastError();
    // The service itself is claimed: starting, and not yet taking controls.
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), kErrorServiceAlreadyRunning);
    SERVICE_STATUS s{};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &s));
    EXPECT_EQ(GetLastError(), kErrorServiceCannotAcceptCtrl);
    EXPECT_EQ(s.dwCurrentState, SERVICE_START_PENDING);

    ASSERT_FALSE(held.empty());
    auto pid = static_cast<std::uint32_t>(std::stoul(held));
    EXPECT_EQ(ProcessOf(service), pid);
    ASSERT_EQ(TerminateProcessById(pid, std::chrono::seconds(10)), kErrorSuccess);
    starter.join();
    EXPECT_EQ(started, kErrorProcessAborted);
    ASSERT_TRUE(QueryServiceStatus(service, &s));
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s.dwWin32ExitCode, kErrorProcessAborted);
}

TEST_F(Scm, DamagedRecordsAreErrorsNotCrashes) {
    SC_HANDLE m = Manager(nullptr);
    ASSERT_NE(CreateLocal("Damaged"), nullptr);
    fs::path dir = localRoot() / "scm" / "services" / "damaged";
    std::ofstream(dir / "status") << "state=4\npid=garbage\n";
    SC_HANDLE service = Track(OpenServiceA(m, "Damaged", SERVICE_ALL_ACCESS));
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(StateOf(service), SERVICE_STOPPED);
    std::ofstream(dir / "config") << "name=Damaged\ntype=";
    EXPECT_EQ(OpenServiceA(m, "Damaged", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), kErrorBadDb);
}

// What both managers of Linux check of a control before they look at the service.
TEST(ScmRules, AControlIsCheckedBeforeItsService) {
    struct Entry {
        bool isService = true;
        DWORD access = 0;
    };
    scm::HandleTable<Entry> handles(0x100);
    const SC_HANDLE known = handles.Add(Entry{});
    const auto unknown = reinterpret_cast<SC_HANDLE>(std::uintptr_t{0x104});
    struct Case {
        DWORD control;
        DWORD needed;
    };
    for (Case c : {Case{SERVICE_CONTROL_STOP, SERVICE_STOP},
                   Case{SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_CONTINUE},
                   Case{SERVICE_CONTROL_CONTINUE, SERVICE_PAUSE_CONTINUE},
                   Case{SERVICE_CONTROL_INTERROGATE, SERVICE_INTERROGATE}}) {
        DWORD needed = 0;
        EXPECT_EQ(scm::CheckControl(handles, unknown, c.control, needed), kErrorSuccess)
            << "the handle is the service's to check, with the right";
        EXPECT_EQ(needed, c.needed) << c.control;
    }
    for (DWORD control : {0u, 5u, 0x80000000u}) {
        DWORD needed = 77;
        EXPECT_EQ(scm::CheckControl(handles, known, control, needed), kErrorInvalidParameter);
        EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
        EXPECT_EQ(scm::CheckControl(handles, unknown, control, needed), kErrorInvalidHandle);
        EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
        EXPECT_EQ(needed, 77u) << control;
    }
}

// A sender is named as long as /proc still knows it: whole while it runs, by its command name
// once it has ended unreaped, by its id alone once it is gone; and never by a process that took
// its id later.
TEST(Process, SendersAreNamedWhileTheSystemKnowsThem) {
    zantor::test::TempDir dir;
    ChildProcessOptions options;
    options.program = zantor::test::kTestServiceProgram;
    options.arguments = {"two\nlines", std::string(300, 'x')};
    options.workingDirectory = dir.path();
    options.environment = {{"SCM_TEST_SERVICE_MODE", "hold"}};
    std::uint32_t pid = 0;
    ASSERT_EQ(CreateChildProcess(options, &pid), kErrorSuccess);
    // Until it has started its program, the child is a copy of this process.
    for (int i = 0; i < 2000 && !fs::exists(dir.path() / "scm_test_service.held"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    SenderProcess running = posix::LookUpSender(pid, posix::BootClock());
    EXPECT_EQ(running.processId, pid);
    EXPECT_FALSE(running.ended);
    // One line of a log, however its arguments look, and not too long a one.
    const std::string start = "scm_test_service two?lines xxx";
    EXPECT_EQ(running.program.substr(0, start.size()), start);
    EXPECT_EQ(running.program.size(), 160u);
    EXPECT_TRUE(running.program.ends_with("x..."));

    // Asked about a moment before this process started, the id belonged to another.
    SenderProcess earlier = posix::LookUpSender(pid, std::chrono::nanoseconds(0));
    EXPECT_EQ(earlier.program, "");
    EXPECT_TRUE(earlier.ended);

    ASSERT_EQ(TerminateProcessById(pid, std::chrono::seconds(10)), kErrorSuccess);
    SenderProcess unreaped = posix::LookUpSender(pid, posix::BootClock());
    EXPECT_EQ(unreaped.program, "scm_test_servic");  // the system keeps 15 characters of it
    EXPECT_TRUE(unreaped.ended);

    int code = 0;
    ASSERT_EQ(WaitForChildProcess(pid, std::chrono::seconds(10), &code), kErrorSuccess);
    SenderProcess gone = posix::LookUpSender(pid, posix::BootClock());
    EXPECT_EQ(gone.processId, pid);
    EXPECT_EQ(gone.program, "");
    EXPECT_TRUE(gone.ended);
}

TEST(Process, IdsAndTermination) {
    EXPECT_TRUE(IsProcessRunning(GetCurrentProcessId()));
    EXPECT_FALSE(IsProcessRunning(0));
    EXPECT_EQ(TerminateProcessById(0, std::chrono::seconds(1)), kErrorInvalidParameter);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);

    // A process that has ended and been reaped: its id names nothing now. Ending it by id is a
    // mistake of the caller; ending it by identity is done already.
    zantor::test::TempDir dir;
    std::uint32_t pid = 0;
    ChildProcessOptions options;
    options.program = zantor::test::kTestServiceProgram;
    options.arguments = {(dir.path() / "r").string()};
    ASSERT_EQ(CreateChildProcess(options, &pid), kErrorSuccess);
    int code = 0;
    ASSERT_EQ(WaitForChildProcess(pid, std::chrono::seconds(30), &code), kErrorSuccess);
    EXPECT_EQ(TerminateProcessById(pid, std::chrono::seconds(1)), kErrorInvalidParameter);
    EXPECT_EQ(posix::TerminateProcess(posix::ProcessIdentity{pid, 1}, std::chrono::seconds(1)),
              kErrorSuccess);
}

}  // namespace
