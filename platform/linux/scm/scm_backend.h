// The service control managers behind platform/scm.h, as scm_front.cpp sees them. Each backend
// implements the calls of the port for the handles it gave out; the front picks one for a
// computer (the manager side) or for this process (the service side), hands out handles of its
// own, and passes every later call to the backend that owns the handle. Internal to the
// platform layer.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/computer.h"
#include "platform/scm.h"

namespace platform::scm {

class ManagerBackend {
  public:
    virtual ~ManagerBackend() = default;
    // The manager of `computer` (its root absolute when it is on this machine); the name of the
    // database has been checked.
    virtual SC_HANDLE OpenManager(const Computer& computer, DWORD access) = 0;
    virtual SC_HANDLE CreateService(SC_HANDLE manager, const char* name, const char* displayName,
                                    DWORD access, DWORD type, DWORD startType, DWORD errorControl,
                                    const char* binaryPath, const char* loadOrderGroup,
                                    DWORD* tagId, const char* dependencies,
                                    const char* startName) = 0;
    virtual SC_HANDLE OpenService(SC_HANDLE manager, const char* name, DWORD access) = 0;
    virtual bool StartService(SC_HANDLE service, DWORD argc, const char** argv) = 0;
    virtual bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
    virtual bool DeleteService(SC_HANDLE service) = 0;
    virtual bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) = 0;
    virtual bool CloseHandle(SC_HANDLE handle) = 0;
};

class DispatcherBackend {
  public:
    virtual ~DispatcherBackend() = default;
    // Whether this process was started as a service by this manager.
    virtual bool StartedHere() const = 0;
    virtual bool StartDispatcher(const SERVICE_TABLE_ENTRYA* table) = 0;
    virtual SERVICE_STATUS_HANDLE RegisterHandler(const char* name, LPHANDLER_FUNCTION handler) = 0;
    virtual bool SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) = 0;
    virtual bool ControlSender(SenderProcess* sender) = 0;
    virtual void ReportEvent(std::string_view line) = 0;
};

ManagerBackend& EmbeddedManager();
DispatcherBackend& EmbeddedDispatcher();
ManagerBackend& SystemdManager();
DispatcherBackend& SystemdDispatcher();

// Whether systemd runs this machine (it is PID 1), as systemd itself tells its clients.
bool SystemdRuns();

}  // namespace platform::scm
