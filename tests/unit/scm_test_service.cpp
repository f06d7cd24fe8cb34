// A small service for the tests of the service control manager. Started by the manager it enters
// the dispatcher, leaves a marker in its current directory and reports running; its handler
// reports paused, running or stopped, and notes who sent each control; with the argument stop-on-go
// it stops by itself once the file "go" appears in its current directory, and with hang-on-pause
// its handler hangs in a pause until the file "release" appears (or, after a while, gives up and
// leaves a note of that). Its environment can make it misbehave on purpose:
// SCM_TEST_SERVICE_MODE=exit ends it before the dispatcher, =hold keeps it from ever entering it
// (it writes its process id to scm_test_service.held first). Started by hand with a file name, it
// writes the dispatcher's result there.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "platform/errors.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/scm.h"

using namespace platform;

namespace {

SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus{};
platform::Event gMainDone;  // the process ends only after the main function has
std::atomic<bool> gHangOnPause{false};

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
    std::ofstream senders("scm_test_service.senders", std::ios::app);
    if (GetServiceControlSender(&sender))
        senders << sender.processId << " " << sender.program << "\n";
    else
        senders << "error " << GetLastError() << "\n";
    switch (control) {
        case SERVICE_CONTROL_STOP:
            Report(SERVICE_STOPPED);
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
    gStatusHandle = RegisterServiceCtrlHandlerA(argv[0], Handler);
    gStatus = SERVICE_STATUS{SERVICE_WIN32,
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
    bool ok = StartServiceCtrlDispatcherA(table);
    if (ok) gMainDone.Wait(std::chrono::seconds(30));
    if (argc > 1) std::ofstream(argv[1]) << (ok ? 0u : GetLastError()) << "\n";
    return ok ? 0 : 1;
}
