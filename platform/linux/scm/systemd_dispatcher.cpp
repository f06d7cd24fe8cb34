// The systemd backend, service side: a service process that systemd started (Type=notify). The
// dispatcher runs the service's main function and turns its status reports into notifications:
// "running" is READY=1, a stop STOPPING=1, and every report a STATUS= line that `systemctl
// status` shows. systemd stops a service with SIGTERM, which reaches the program's console
// control handler as it does under "-run"; no control arrives any other way, so the handler is
// kept but never called. The service's log lines also go to the journal.
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/scm/scm_backend.h"
#include "platform/linux/scm/scm_rules.h"
#include "platform/scm.h"

namespace platform::scm::systemd {

namespace {

// The one status handle of a service process; any other value is not a handle.
const auto kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{0x5C5C0002});

const char* StateText(DWORD state) {
    switch (state) {
        case SERVICE_START_PENDING:
            return "Starting";
        case SERVICE_RUNNING:
            return "Running";
        case SERVICE_STOP_PENDING:
            return "Stopping";
        case SERVICE_STOPPED:
            return "Stopped";
        case SERVICE_PAUSE_PENDING:
            return "Pausing";
        case SERVICE_PAUSED:
            return "Paused";
        default:
            return "Continuing";
    }
}

// The notification a status report makes: its state as systemd knows states, and the status line.
std::string Notification(const SERVICE_STATUS& s, bool& ready) {
    std::string message;
    if (s.dwCurrentState == SERVICE_RUNNING && !ready) {
        message += "READY=1\n";
        ready = true;
    }
    if (s.dwCurrentState == SERVICE_STOP_PENDING || s.dwCurrentState == SERVICE_STOPPED)
        message += "STOPPING=1\n";
    message += std::string("STATUS=") + StateText(s.dwCurrentState);
    if (s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode != kErrorSuccess) {
        message += ", error " + std::to_string(s.dwWin32ExitCode) + " (" +
                   SystemMessageLine(s.dwWin32ExitCode) + ")";
    }
    return message;
}

class Dispatcher final : public DispatcherBackend {
  public:
    bool StartedHere() const override {
        const char* socket = std::getenv("NOTIFY_SOCKET");
        return socket && *socket && SystemdRuns();
    }

    bool StartDispatcher(const SERVICE_TABLE_ENTRYA* table) override {
        return Guarded(false, [&] {
            if (!table || !table->lpServiceName || !table->lpServiceProc)
                return Fail(kErrorInvalidParameter), false;
            std::unique_lock lock(mutex_);
            if (entered_) return Fail(kErrorServiceAlreadyRunning), false;
            entered_ = true;
            // A process of its own runs one service: the table's first.
            name_ = table->lpServiceName;
            args_ = {name_.data(), nullptr};
            const LPSERVICE_MAIN_FUNCTIONA main = table->lpServiceProc;
            char** argv = args_.data();
            std::thread([main, argv] { main(1, argv); }).detach();
            stoppedReported_.wait(lock, [&] { return stopped_; });
            SetLastError(kErrorSuccess);
            return true;
        });
    }

    SERVICE_STATUS_HANDLE RegisterHandler(const char*, LPHANDLER_FUNCTION handler) override {
        std::lock_guard lock(mutex_);
        if (!entered_) return Fail(kErrorServiceDoesNotExist), nullptr;
        if (!handler) return Fail(kErrorInvalidParameter), nullptr;
        registered_ = true;
        return kStatusHandle;
    }

    bool SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) override {
        std::lock_guard lock(mutex_);
        if (handle != kStatusHandle || !registered_ || stopped_)
            return Fail(kErrorInvalidHandle), false;
        if (!status) return Fail(kErrorInvalidParameter), false;
        if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED)
            return Fail(kErrorInvalidData), false;
        const std::string message = Notification(*status, ready_);
        const int r = sd_notify(0, message.c_str());
        if (status->dwCurrentState == SERVICE_STOPPED) {
            stopped_ = true;
            stoppedReported_.notify_all();
        }
        if (r < 0) return Fail(ErrorFromErrno(-r)), false;
        return true;
    }

    // Controls do not reach a service of systemd's: there is no handler running to ask for.
    bool ControlSender(SenderProcess* sender) override {
        if (!sender) return Fail(kErrorInvalidParameter), false;
        return Fail(kErrorNotFound), false;
    }

    void ReportEvent(std::string_view line) override {
        sd_journal_send("MESSAGE=%.*s", static_cast<int>(line.size()), line.data(), "PRIORITY=6",
                        nullptr);
    }

  private:
    std::mutex mutex_;
    std::condition_variable stoppedReported_;
    bool entered_ = false, registered_ = false, ready_ = false, stopped_ = false;
    std::string name_;
    std::vector<char*> args_;
};

}  // namespace

}  // namespace platform::scm::systemd

namespace platform::scm {

DispatcherBackend& SystemdDispatcher() {
    static auto* dispatcher = new systemd::Dispatcher;
    return *dispatcher;
}

}  // namespace platform::scm
