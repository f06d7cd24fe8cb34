// A small service for the tests of the service control manager port on Windows; it uses our port
// only. Started by the manager with a notes file as its first argument, it reports running,
// accepts stop, pause and continue, and notes in that file what the service side of the port
// told it: the arguments, the sender of each control, the refusals it should meet. Its last line
// is "done", written once the dispatcher has returned. Started by hand it exits with the error
// the dispatcher gave.
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/scm.h"

using namespace platform;

namespace {

SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus{SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_RUNNING,
                       SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE,
                       0,
                       0,
                       0,
                       0};
std::mutex gMutex;
std::condition_variable gStopNoted;
std::string gNotesPath;
bool gStopped = false;

void Note(const std::string& line) {
    std::lock_guard lock(gMutex);
    if (!gNotesPath.empty()) std::ofstream(gNotesPath, std::ios::app) << line << "\n";
}

// The error a call left, or 0 when it succeeded.
std::string Outcome(bool ok) {
    return std::to_string(ok ? 0u : GetLastError());
}

void Report(DWORD state) {
    gStatus.dwCurrentState = state;
    SetServiceStatus(gStatusHandle, &gStatus);
}

void Handler(DWORD control) {
    SenderProcess sender;
    sender.processId = 1;
    sender.program = "unset";
    const bool known = GetServiceControlSender(&sender);
    Note("control=" + std::to_string(control) + " sender=" + Outcome(known) + " " +
         std::to_string(sender.processId) + " '" + sender.program + "'");
    switch (control) {
        case SERVICE_CONTROL_STOP: {
            Report(SERVICE_STOPPED);
            Note("late=" + Outcome(SetServiceStatus(gStatusHandle, &gStatus)));
            std::lock_guard lock(gMutex);
            gStopped = true;
            gStopNoted.notify_all();
            break;
        }
        case SERVICE_CONTROL_PAUSE:
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
    if (argc > 1) {
        std::lock_guard lock(gMutex);
        gNotesPath = argv[1];
    }
    std::string args;
    for (DWORD i = 0; i < argc; ++i) args += (i ? " " : "") + std::string(argv[i]);
    Note("args=" + args);
    gStatusHandle = RegisterServiceCtrlHandlerA(argv[0], Handler);
    Note("register=" + Outcome(gStatusHandle != nullptr));

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
    Report(SERVICE_RUNNING);
}

}  // namespace

int main() {
    const SERVICE_TABLE_ENTRYA table[] = {{"ScmWin32TestService", ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) return static_cast<int>(GetLastError());
    // The handler may still be noting the stop when the dispatcher returns.
    std::unique_lock lock(gMutex);
    gStopNoted.wait_for(lock, std::chrono::seconds(10), [] { return gStopped; });
    lock.unlock();
    Note("done");
    return 0;
}
