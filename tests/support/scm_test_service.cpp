// A small service for the tests of the service control manager, on every system; it uses our
// port only. Started by the manager it enters the dispatcher and notes in "NAME.notes" in its
// current directory (NAME: the name it was started under) what the service side of the port told
// it: its arguments, the sender of each control, the refusals it should meet; its last line is
// "done", once the dispatcher has returned. It leaves a marker NAME.started in that directory and
// reports running; its handler reports paused, running or stopped, and notes who sent each
// control in scm_test_service.controls and .senders too. With the argument stop-only it accepts
// stop alone; with stop-on-go it stops by itself once the file "go" appears in its current
// directory; and with hang-on-pause its handler hangs in a pause until the file "release"
// appears (or, after a while, gives up and leaves a note of that). Its environment can make it
// misbehave on purpose: SCM_TEST_SERVICE_MODE=exit ends it before the dispatcher, =hold keeps it
// from ever entering it (it writes its process id to scm_test_service.held first). Started by
// hand it exits with the error the dispatcher gave, and writes it into the file its argument
// names.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/errors.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/scm.h"

using namespace platform;

namespace {

#ifdef _WIN32
// The system's manager takes one kind of service from it.
constexpr DWORD kReportedType = SERVICE_WIN32_OWN_PROCESS;
#else
// The embedded manager passes on what the service reports.
constexpr DWORD kReportedType = SERVICE_WIN32;
#endif

SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus{};
platform::Event gMainDone;  // the process ends only after the main function has
std::atomic<bool> gHangOnPause{false};
std::mutex gMutex;
std::condition_variable gStopNoted;
std::string gNotesPath;
bool gStopped = false;

void Note(const std::string& line) {
    std::lock_guard lock(gMutex);
    // Binary: the same bytes on every system, where text mode would end lines with CR LF.
    if (!gNotesPath.empty())
        std::ofstream(gNotesPath, std::ios::app | std::ios::binary) << line << "\n";
}

// The error a call left, or 0 when it succeeded.
std::string Outcome(bool ok) {
    return std::to_string(ok ? 0u : GetLastError());
}

// The stop has been reported and what came after it noted: the process may end.
void Stopped() {
    std::lock_guard lock(gMutex);
    gStopped = true;
    gStopNoted.notify_all();
}

// Waits (bounded) until the file appears in the current directory; false when it did not.
bool WaitForFile(const char* name) {
    for (int i = 0; i < 20000; ++i) {
        if (std::ifstream(name)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void Report(DWORD state) {
    gStatus.dwCurrentState = state;
    SetServiceStatus(gStatusHandle, &gStatus);
}

void Handler(DWORD control) {
    std::ofstream("scm_test_service.controls", std::ios::app) << control << "\n";
    SenderProcess sender;
    sender.processId = 1;
    sender.program = "unset";
    const bool known = GetServiceControlSender(&sender);
    Note("control=" + std::to_string(control) + " sender=" + Outcome(known) + " " +
         std::to_string(sender.processId) + " '" + sender.program + "'");
    std::ofstream senders("scm_test_service.senders", std::ios::app);
    if (known)
        senders << sender.processId << " " << sender.program << "\n";
    else
        senders << "error " << GetLastError() << "\n";
    switch (control) {
        case SERVICE_CONTROL_STOP:
            Report(SERVICE_STOPPED);
            Note("late=" + Outcome(SetServiceStatus(gStatusHandle, &gStatus)));
            Stopped();
            break;
        case SERVICE_CONTROL_PAUSE:
            // Tells when it gave up waiting: a test meant to release it long before.
            if (gHangOnPause && !WaitForFile("release"))
                std::ofstream("scm_test_service.gave_up") << "";
            Report(SERVICE_PAUSED);
            break;
        case SERVICE_CONTROL_CONTINUE:
            Report(SERVICE_RUNNING);
            break;
        default:
            Report(gStatus.dwCurrentState);
            break;
    }
}

void ServiceMain(DWORD argc, char** argv) {
    {
        std::lock_guard lock(gMutex);
        gNotesPath = std::string(argv[0]) + ".notes";
    }
    std::string all;
    for (DWORD i = 0; i < argc; ++i) all += (i ? " " : "") + std::string(argv[i]);
    Note("args=" + all);
    gStatusHandle = RegisterServiceCtrlHandlerA(argv[0], Handler);
    Note("register=" + Outcome(gStatusHandle != nullptr));
    gStatus = SERVICE_STATUS{kReportedType,
                             SERVICE_RUNNING,
                             SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE,
                             0,
                             0,
                             0,
                             0};
    std::string args;
    for (DWORD i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "stop-only")
            gStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        if (std::string_view(argv[i]) == "hang-on-pause") gHangOnPause = true;
        if (i > 1) args += ' ';
        args += argv[i];
    }

    SenderProcess sender;
    Note("sender-outside=" + Outcome(GetServiceControlSender(&sender)));
    const SERVICE_TABLE_ENTRYA again[] = {{"Again", ServiceMain}, {nullptr, nullptr}};
    Note("second-dispatcher=" + Outcome(StartServiceCtrlDispatcherA(again)));
    SERVICE_STATUS bad = gStatus;
    bad.dwCurrentState = 8;
    Note("bad-state=" + Outcome(SetServiceStatus(gStatusHandle, &bad)));
    SetLastError(kErrorInvalidData);
    ReportServiceEvent("the test service runs");
    Note("event-kept-error=" + std::to_string(GetLastError()));
    {
        // Before the running report: a test that has seen "running" finds the marker.
        const char* root = std::getenv("ZANTOR_ROOT");
        std::ofstream marker{std::string(argv[0]) + ".started"};
        marker << "root=" << (root ? root : "") << "\nargs=" << args << "\n";
    }
    SetServiceStatus(gStatusHandle, &gStatus);
    if (argc > 1 && std::string_view(argv[1]) == "stop-on-go") {
        // Stops on its own once the file "go" appears, and notes what a report after the last
        // one gives.
        WaitForFile("go");
        Report(SERVICE_STOPPED);
        bool late = SetServiceStatus(gStatusHandle, &gStatus);
        std::ofstream("scm_test_service.late") << (late ? 0u : GetLastError()) << "\n";
        Stopped();
    }
    gMainDone.Set();
}

// Ends the process once its computer's root has gone: a test that lost track of a process it
// started still leaves none behind when its temporary directories are removed.
void WatchRoot() {
    const char* root = std::getenv("ZANTOR_ROOT");
    if (!root) return;
    std::thread([path = std::filesystem::path(root)] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::error_code ec;
            if (!std::filesystem::exists(path, ec) && !ec) std::_Exit(0);
        }
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    WatchRoot();
    const char* modeText = std::getenv("SCM_TEST_SERVICE_MODE");
    std::string_view mode = modeText ? modeText : "";
    if (mode == "exit") return 3;
    if (mode == "hold") {
        std::ofstream("scm_test_service.held") << GetCurrentProcessId() << "\n";
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    SERVICE_TABLE_ENTRYA table[] = {{"ScmTestService", ServiceMain}, {nullptr, nullptr}};
    const bool ok = StartServiceCtrlDispatcherA(table);
    const Win32Error e = ok ? kErrorSuccess : GetLastError();
    if (ok) {
        gMainDone.Wait(std::chrono::seconds(30));
        // The handler may still be noting the stop when the dispatcher returns.
        std::unique_lock lock(gMutex);
        gStopNoted.wait_for(lock, std::chrono::seconds(10), [] { return gStopped; });
        lock.unlock();
        Note("done");
    }
    if (argc > 1) std::ofstream(argv[1]) << e << "\n";
    return static_cast<int>(e);
}
