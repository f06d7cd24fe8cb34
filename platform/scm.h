// The service control manager of a computer: the manager side (register, start, control, delete
// and query services, locally or on a named computer) and the service side (the control
// dispatcher, the control handler and the status report of a service process).
//
// Names, numbers and semantics are the Windows API's. Everything not listed below is left out on
// purpose, so that every backend can stand behind the same few calls.
//
// Two managers stand behind these calls on Linux (platform/linux/scm/):
//
//   embedded  (embedded_*.cpp) a manager of our own: its database is the computer root's scm/,
//             it starts service processes itself and talks to their dispatcher over a socket.
//             Exact to the Windows semantics and fast; it serves simulated computers (the roots
//             of ZANTOR_NETWORK, and any root with an ipaddrtable), where no real manager runs.
//   systemd   (systemd_*.cpp) the host's own service manager, for the host itself: a service is
//             a unit file of ours in /etc/systemd/system (systemd_unit.h: Type=notify,
//             Restart=on-failure, hardened to what a packet filter service needs), so
//             `systemctl`, the journal and boot know it like any other.
//
// Which one serves a computer (OpenSCManagerA): the file scm/backend in its root, holding
// "embedded" or "systemd", decides; asking for systemd where systemd does not run is a failure
// (kErrorRpcServerUnavailable), never a quiet fall-back to the embedded manager, whose services
// nothing on the host would know. Without the file: systemd for the host itself (a local
// computer name and a root without ipaddrtable) where systemd runs as PID 1 (/run/systemd/system
// exists), the embedded manager otherwise. A service process finds its dispatcher the same way
// round: the embedded manager's start handshake in its environment, else systemd's
// NOTIFY_SOCKET. A host reached over SSH (platform/computer.h) is served by its own systemd,
// through the same backend: the D-Bus connection runs over the shared ssh connection
// (systemd-stdio-bridge on the far side, as root or through sudo -n), and the unit files are
// listed, written and removed by the transport's fixed scripts (platform/linux/ssh/). A host whose
// manager cannot be reached that way (no systemd) fails with kErrorRpcServerUnavailable.
//
// The systemd backend talks to the manager over D-Bus (sd-bus), not through systemctl: the calls
// go to the manager of the bus they are made on (enabling a unit too), states and results come
// as typed properties, not as text to parse, a start or stop is awaited through the manager's
// job signal, and no process is started per call. Where it differs from the embedded manager:
//   - It registers, opens and deletes only units it wrote (they carry its mark); a host's own
//     units are not services of this port, and a name one of them has exists already (1073).
//   - Demand start writes the unit and leaves it disabled (the administrator enables it:
//     `systemctl enable ZantorSvc`); auto start enables it; disabled makes StartServiceA fail
//     with kErrorServiceDisabled.
//   - systemd can stop a service but not pause it: pause and continue fail with
//     kErrorInvalidServiceControl; a start takes no arguments (kErrorNotSupported).
//   - DeleteService disables the unit and removes its file at once; a service that still runs
//     goes on until it is stopped.
//   - Status: active is SERVICE_RUNNING (accepting stop), activating START_PENDING,
//     deactivating STOP_PENDING, inactive SERVICE_STOPPED (kErrorServiceNeverStarted while it
//     never ran), failed SERVICE_STOPPED with the program's error when it could not run, else
//     kErrorProcessAborted, as for a process of the embedded manager that ended during its start.
//   - The service side reports "running" as READY=1, a stop as STOPPING=1 and every status as a
//     STATUS= line; systemd stops a service with SIGTERM, which reaches the program's console
//     control handler (platform/process.h) as under "-run". ReportServiceEvent writes to the
//     journal.
//
// Errors: a failing call returns nullptr or false and sets the calling thread's last error
// (platform/errors.h). Nothing throws.
//
// Threads: every call may be made from any thread. Handles are process-wide values, checked
// against a table on every use: a handle that was closed, or was never one, fails with
// kErrorInvalidHandle and is never dereferenced.
//
// Computers: lpMachineName is "" or nullptr for this computer, otherwise a computer name as
// platform/computer.h resolves it ("\\NAME" and "NAME" alike); an unknown computer fails with
// kErrorBadNetPath. The embedded manager's database lives in that computer's root (scm/) and is
// shared by every process on the machine; it survives a crash of either side.
//
// Timing: StartServiceA waits until the new process has entered its dispatcher (under systemd:
// until it has reported "running") and ControlService until the handler has run (a stop under
// systemd: until the unit has stopped), each at most 30 seconds (the environment variable
// ZANTOR_SCM_TIMEOUT_MS overrides this, for tests and slow machines); past that they fail with
// kErrorServiceRequestTimeout, and a process that did not start in time is ended. The calls
// that change the database (create, start, delete) wait for its lock as long at most, and fail
// with kErrorServiceDatabaseLocked past that; a start holds the lock only while it launches the
// process, not while the process makes its way into the dispatcher.
//
// On Windows (win32/scm_win32.cpp) the system's own service control manager stands behind these
// calls, on this or a named computer; its numbers and time limits are the system's
// (ZANTOR_SCM_TIMEOUT_MS does not apply). A service's main function runs in the system directory,
// and ReportServiceEvent writes to the event log.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/process.h"

namespace platform {

using DWORD = std::uint32_t;

struct ScHandleObject;
using SC_HANDLE = ScHandleObject*;
struct ServiceStatusObject;
using SERVICE_STATUS_HANDLE = ServiceStatusObject*;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};

// SERVICE_STATUS plus the id of the service's process (0 while it does not run).
struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
};

enum SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 };

// Service states.
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

// Controls.
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;

// Controls a service accepts (dwControlsAccepted).
inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;

// Service types, start types, error control.
inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr DWORD SERVICE_WIN32 = 0x30;
inline constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x100;
inline constexpr DWORD SERVICE_AUTO_START = 2;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_DISABLED = 4;
inline constexpr DWORD SERVICE_ERROR_IGNORE = 0;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SERVICE_ERROR_SEVERE = 2;
inline constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

// Access rights. A handle allows what was asked for when it was opened; a call that needs more
// fails with kErrorAccessDenied. DeleteService needs DELETE (0x10000); the generic rights
// (0x10000000 all, 0x20000000 execute, 0x40000000 write, 0x80000000 read) map onto the specific
// ones as on Windows. (Those general names belong to other ports and are not repeated here.)
inline constexpr DWORD SC_MANAGER_CONNECT = 0x1;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x2;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x1;
inline constexpr DWORD SERVICE_CHANGE_CONFIG = 0x2;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x4;
inline constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x8;
inline constexpr DWORD SERVICE_START = 0x10;
inline constexpr DWORD SERVICE_STOP = 0x20;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x40;
inline constexpr DWORD SERVICE_INTERROGATE = 0x80;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// ---- The manager side ----

// Opens the manager of a computer. lpDatabaseName is nullptr or "ServicesActive"; any other
// name fails with kErrorDatabaseDoesNotExist. The handle is closed with CloseServiceHandle.
SC_HANDLE OpenSCManagerA(const char* lpMachineName, const char* lpDatabaseName,
                         DWORD dwDesiredAccess);

// Registers a service and opens it. lpServiceName: 1 to 255 printable characters without "/"
// or "\" (kErrorInvalidName), unique in any letter case (kErrorServiceExists, or
// kErrorServiceMarkedForDelete while a service of that name waits to be removed);
// lpDisplayName (nullptr: the service name) must not be another service's name or display name
// (kErrorDuplicateServiceName). lpBinaryPathName names the program, without arguments:
// "%SystemRoot%\..." is below the root of the manager's computer, other paths are Linux paths
// (backslashes become slashes; a relative path is taken from the system directory).
// Dependencies, load order groups and tags are not supported: a non-empty lpLoadOrderGroup or
// lpDependencies fails with kErrorNotSupported, a non-null lpdwTagId with
// kErrorInvalidParameter. Services run as the local system account: lpServiceStartName is
// nullptr or "LocalSystem" (kErrorInvalidServiceAccount otherwise), and lpPassword is ignored.
SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, const char* lpServiceName, const char* lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, const char* lpBinaryPathName,
                         const char* lpLoadOrderGroup, DWORD* lpdwTagId, const char* lpDependencies,
                         const char* lpServiceStartName, const char* lpPassword);

// Opens a registered service by name, in any letter case. kErrorServiceDoesNotExist when there
// is none, kErrorServiceMarkedForDelete while it waits to be removed.
SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, const char* lpServiceName, DWORD dwDesiredAccess);

// Starts the service's program as a process of its own, detached from the caller (its own
// session, standard input from /dev/null, output into the service's file in the database),
// whose current directory is its computer's system directory and whose environment names its
// computer's root (ZANTOR_ROOT). Returns once the process has entered
// StartServiceCtrlDispatcherA and its main function runs; the service may still be
// SERVICE_START_PENDING then. lpServiceArgVectors (dwNumServiceArgs texts) follow the service
// name in the main function's arguments. Fails with kErrorServiceAlreadyRunning, with the
// program's own error when it cannot run (kErrorFileNotFound, kErrorAccessDenied,
// kErrorBadExeFormat ...), with kErrorProcessAborted when it ended before entering the
// dispatcher, or with kErrorServiceRequestTimeout (the process is ended).
bool StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, const char** lpServiceArgVectors);

// Sends a control to the running service and waits until its handler has run. Stop, pause,
// continue and interrogate; another code fails with kErrorInvalidParameter. Fails with
// kErrorServiceNotActive when the service does not run, kErrorServiceCannotAcceptCtrl while it
// is starting or stopping, kErrorInvalidServiceControl when its dwControlsAccepted rules the
// control out. lpServiceStatus (may be nullptr) receives the status after the handler, also on
// those three failures.
bool ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus);

// Removes a stopped service at once. A running one is marked for deletion and removed when it
// stops, by whoever sees it stopped first. A service already marked fails with
// kErrorServiceMarkedForDelete. Open handles of a removed service fail with the same code.
bool DeleteService(SC_HANDLE hService);

// The status the service last reported. A service that never ran is SERVICE_STOPPED with exit
// code kErrorServiceNeverStarted; one whose process ended without reporting SERVICE_STOPPED is
// SERVICE_STOPPED with kErrorProcessAborted.
bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* lpServiceStatus);

// QueryServiceStatus with the process id: InfoLevel SC_STATUS_PROCESS_INFO fills a
// SERVICE_STATUS_PROCESS into lpBuffer (cbBufSize bytes, any alignment); a smaller buffer fails
// with kErrorInsufficientBuffer and *pcbBytesNeeded says how much is needed.
bool QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, unsigned char* lpBuffer,
                          DWORD cbBufSize, DWORD* pcbBytesNeeded);

// Closes a manager or service handle.
bool CloseServiceHandle(SC_HANDLE hSCObject);

// ---- The service side ----

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD dwNumServicesArgs, char** lpServiceArgVectors);
struct SERVICE_TABLE_ENTRYA {
    const char* lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

// Connects a service process to its manager and becomes its control dispatcher: the main
// function of the service that was started (the table entry of that name, or the first entry)
// runs on a new thread with the service name and the start arguments, and every control is run
// through the registered handler on the calling thread. Returns true when the service has
// reported SERVICE_STOPPED. The table ends with an entry of nullptrs. Fails at once with
// kErrorFailedServiceControllerConnect in a process that StartServiceA did not start, and with
// kErrorServiceAlreadyRunning when called a second time.
bool StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable);

// Registers the service's control handler, called on the dispatcher's thread, one control at a
// time. Returns the status handle for SetServiceStatus; it needs no closing. Fails with
// kErrorServiceDoesNotExist outside a started service process.
using LPHANDLER_FUNCTION = void (*)(DWORD dwControl);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* lpServiceName,
                                                  LPHANDLER_FUNCTION lpHandlerProc);

// Who sent the control that the handler is running for; call it from the handler, on the
// dispatcher's thread. On Linux the embedded manager hands a control over from the process that
// called ControlService, so that process is the sender. On Windows the service control manager
// itself delivers every control and tells the service nothing of who asked: a backend there
// names the manager's own process, or no process (processId 0). Fails with
// kErrorInvalidParameter for a null pointer and with kErrorNotFound outside a handler.
bool GetServiceControlSender(SenderProcess* sender);

// Hands one line of the service's own log to the log its service control manager keeps, where it
// keeps one: the journal under systemd (journalctl -u NAME shows it), the event log on Windows;
// nothing under the embedded manager, whose output file holds what the service prints. Never
// fails.
void ReportServiceEvent(std::string_view line);

// Reports the service's status; it is on record (a crash of the process keeps it) before the
// call returns, and is what QueryServiceStatus and ControlService see. A state outside 1..7
// fails with kErrorInvalidData. SERVICE_STOPPED is the last report: the dispatcher returns, and
// later calls fail with kErrorInvalidHandle.
bool SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, const SERVICE_STATUS* lpServiceStatus);

}  // namespace platform
