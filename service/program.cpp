#include "service/program.h"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/scm.h"
#include "service/config_store.h"
#include "service/filter_service.h"
#include "service/service_log.h"
#include "service/service_state.h"
#include "service/stop_reason.h"
#include "shared/error_text.h"
#include "shared/service_tools.h"
#include "shared/text.h"

namespace zantor::service {

namespace {

constexpr const char* kServiceName = "ZantorSvc";
constexpr const char* kDisplayName = "Zantor";

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void ShowUsage() {
    PrintLine("Zantor");
    PrintLine("Usage: " + platform::GetModuleFileNameA() + " <param>");
    PrintLine("Param:");
    PrintLine(" -install [ComputerName] to install service");
    PrintLine(" -remove to remove service");
    PrintLine(" -run to run as console application.");
    PrintLine(" -restart [ComputerName] to restart service");
    PrintLine(" -stop [ComputerName] to stop service");
    PrintLine(" -start [ComputerName] to start service");
    PrintLine(" -help to get this help.");
}

// Where a copy of this program lives on `computer`: its system directory.
std::string RemoteProgramPath(const std::string& computer) {
    return "\\\\" + computer + "\\ADMIN$\\system32\\" +
           std::string(NameOfPath(platform::GetModuleFileNameA()));
}

void Install(const std::string& computer) {
    const std::string self = platform::GetModuleFileNameA();
    if (!computer.empty()) {
        if (!platform::CopyFileA(self.c_str(), RemoteProgramPath(computer).c_str(), false)) {
            const auto e = platform::GetLastError();
            PrintLine("Error " + std::to_string(e) + " (" + SysErrorText(e) +
                      ") in while trying copy " + self + " into " + computer + ".");
            return;
        }
        PrintLine(self + " copied into " + computer + ".");
    }
    OrvCreateService(kServiceName, kDisplayName, self, computer, true);
}

void Remove(const std::string& computer) {
    if (!computer.empty()) {
        const std::string target = RemoteProgramPath(computer);
        if (!platform::DeleteFileA(target.c_str())) {
            const auto e = platform::GetLastError();
            PrintLine("Error " + std::to_string(e) + " (" + SysErrorText(e) +
                      ") while trying delete " + target);
            return;
        }
    }
    OrvDeleteService(kServiceName, computer, true);
}

// ---- Service mode -------------------------------------------------------------------------

// Written by the service's main function until its first report and afterwards by the control
// handler; a control may arrive as soon as the handler is registered, so both hold the lock.
std::mutex gStatusMutex;
platform::SERVICE_STATUS ServiceStatus{};
platform::SERVICE_STATUS_HANDLE StatusHandle = nullptr;

// Set when RunFilterService has returned, so that "stopped" is reported only once everything
// has wound down.
std::mutex gBodyMutex;
std::condition_variable gBodyEnded;
bool gBodyDone = false;
// Set by the handler when a stop control came: "stopped" is then its report alone.
bool gStopControlled = false;

// What went wrong while finding out who asked for the stop: the stop goes ahead all the same.
std::string UnknownOrigin(platform::Win32Error e) {
    return "error " + std::to_string(e) + " (" + SysErrorText(e) + ")";
}

// Ctrl-C and SIGTERM stop the service exactly as the stop control does; a second one ends the
// process at once (platform::SetConsoleCtrlHandler).
void OnConsoleCtrl(std::uint32_t ctrlType) {
    platform::ConsoleCtrlOrigin origin;
    if (platform::Win32Error e = platform::GetConsoleCtrlOrigin(&origin))
        StopLine("console control event " + std::to_string(ctrlType) +
                 ", whose origin is unknown: " + UnknownOrigin(e));
    else
        StopLine(ConsoleCtrlText(origin));
    RequestServiceStop();
}

void ServiceCtrlHandler(platform::DWORD control) {
    if (control == platform::SERVICE_CONTROL_STOP) {
        platform::SenderProcess sender;
        if (platform::GetServiceControlSender(&sender))
            StopLine(StopControlText(sender));
        else
            StopLine("the stop control, whose sender is unknown: " +
                     UnknownOrigin(platform::GetLastError()));
        // A stop is real: no new clients, the open connection and the deny log end, and only
        // then does the manager hear "stopped".
        {
            std::lock_guard lock(gBodyMutex);
            gStopControlled = true;
        }
        RequestServiceStop();
        std::unique_lock lock(gBodyMutex);
        gBodyEnded.wait(lock, [] { return gBodyDone; });
    }
    std::lock_guard lock(gStatusMutex);
    switch (control) {
        case platform::SERVICE_CONTROL_STOP: {
            ServiceStatus.dwWin32ExitCode = 0;
            ServiceStatus.dwCurrentState = platform::SERVICE_STOPPED;
            ServiceStatus.dwCheckPoint = 0;
            ServiceStatus.dwWaitHint = 0;
            break;
        }
        case platform::SERVICE_CONTROL_PAUSE:
            // Filtering, the pipe and the deny log go on; only the reported state changes.
            ServiceStatus.dwCurrentState = platform::SERVICE_PAUSED;
            break;
        case platform::SERVICE_CONTROL_CONTINUE:
            ServiceStatus.dwCurrentState = platform::SERVICE_RUNNING;
            break;
        default:
            break;
    }
    platform::SetServiceStatus(StatusHandle, &ServiceStatus);
}

void ServiceMainProc(platform::DWORD, char**) {
    // Before the handler is registered: from then on a stop may come, and its line must stay.
    StartNewServiceLog();
    {
        std::lock_guard lock(gStatusMutex);
        ServiceStatus.dwServiceType = platform::SERVICE_WIN32;
        ServiceStatus.dwCurrentState = platform::SERVICE_START_PENDING;
        ServiceStatus.dwControlsAccepted =
            platform::SERVICE_ACCEPT_STOP | platform::SERVICE_ACCEPT_PAUSE_CONTINUE;
        ServiceStatus.dwWin32ExitCode = 0;
        ServiceStatus.dwServiceSpecificExitCode = 0;
        ServiceStatus.dwCheckPoint = 0;
        ServiceStatus.dwWaitHint = 0;
        StatusHandle = platform::RegisterServiceCtrlHandlerA(kServiceName, ServiceCtrlHandler);
        ServiceStatus.dwCurrentState = platform::SERVICE_RUNNING;
        platform::SetServiceStatus(StatusHandle, &ServiceStatus);
    }
    const platform::Win32Error failed = RunFilterService();
    bool handlerReports = false;
    {
        std::lock_guard lock(gBodyMutex);
        gBodyDone = true;
        handlerReports = gStopControlled;
    }
    gBodyEnded.notify_all();
    // After a stop control the handler reports "stopped", once the body has ended: a report from
    // here could come first, while the handler still runs, and Windows' dispatcher does not
    // return from a handler that runs on past the service's last "stopped". A stop that came as a
    // signal has no control handler to report it, and a body that could not start reports
    // "stopped" with its reason; the process then ends.
    if (!handlerReports) {
        std::lock_guard lock(gStatusMutex);
        ServiceStatus.dwWin32ExitCode = failed;
        ServiceStatus.dwCurrentState = platform::SERVICE_STOPPED;
        ServiceStatus.dwCheckPoint = 0;
        ServiceStatus.dwWaitHint = 0;
        platform::SetServiceStatus(StatusHandle, &ServiceStatus);
    }
    if (failed) StopRequested = true;
}

// The thread that enters the service control dispatcher; it ends when the dispatcher returns
// (the service reported "stopped", or the process was not started by the manager).
class TMainThread {
  public:
    TMainThread() : thread_([] { Execute(); }) {}
    void WaitFor() { thread_.join(); }

  private:
    static void Execute() {
        const platform::SERVICE_TABLE_ENTRYA table[] = {{kServiceName, ServiceMainProc},
                                                        {nullptr, nullptr}};
        platform::StartServiceCtrlDispatcherA(table);
    }
    std::thread thread_;
};

int RunAsService() {
    platform::SetConsoleCtrlHandler(OnConsoleCtrl);
    TMainThread mainThread;
    // Started from a shell the dispatcher refuses at once, StopRequested never rises, and the
    // program waits quietly until it is ended from outside.
    while (!StopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mainThread.WaitFor();
    // A service that could not start ends with a failure, so that a manager that watches the
    // process (systemd) sees one too.
    std::lock_guard lock(gStatusMutex);
    return ServiceStatus.dwWin32ExitCode == platform::kErrorSuccess ? 0 : 1;
}

int RunConsoleMode() {
    PrintLine("Run ZantorSvc as console application ... ");
    ConsoleMode = true;
    StartNewServiceLog();
    platform::SetConsoleCtrlHandler(OnConsoleCtrl);
    return RunFilterService() == platform::kErrorSuccess ? 0 : 1;
}

}  // namespace

int ProgramMain(int argc, char** argv) {
    StopRequested = false;
    if (argc < 2) return RunAsService();
    const std::string option = Lower(argv[1]);
    const std::string computer = argc > 2 ? argv[2] : "";
    if (option == "-install") {
        Install(computer);
    } else if (option == "-remove") {
        Remove(computer);
    } else if (option == "-start") {
        StartThisService(kServiceName, computer, true);
    } else if (option == "-restart") {
        StopThisService(kServiceName, computer, true);
        StartThisService(kServiceName, computer, true);
    } else if (option == "-stop") {
        StopThisService(kServiceName, computer, true);
    } else if (option == "-help") {
        ShowUsage();
    } else if (option == "-run") {
        return RunConsoleMode();
    } else if (option == "-bridge") {
        // The far side of the control pipe for a console that reached this host over SSH.
        return platform::RunPipeBridge(computer);
    } else if (option == "-secure") {
        SecureParametersKey(computer);
    } else {
        PrintLine("Wrong param " + std::string(argv[1]));
        ShowUsage();
    }
    return 0;
}

}  // namespace zantor::service
