// The service control manager port on Windows: advapi32 does the work. What is ours is the
// handle table (so a closed or made-up handle fails instead of reaching the system), the few
// limits the port sets on every platform, and the trampolines that give the system the WINAPI
// functions it calls (on i686 those are __stdcall, which our plain function pointers are not).
#include "platform/scm.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/computer.h"
#include "platform/errors.h"
#include "platform/names.h"
#include "platform/scm_handles.h"

namespace platform {

// The status handle of the one service this process runs.
struct ServiceStatusObject {
    ::SERVICE_STATUS_HANDLE native = nullptr;
};

namespace {

using scm::Guarded;

static_assert(sizeof(SERVICE_STATUS) == sizeof(::SERVICE_STATUS));
static_assert(sizeof(SERVICE_STATUS_PROCESS) == sizeof(::SERVICE_STATUS_PROCESS));

// ---- The manager side ----

struct Native {
    ::SC_HANDLE handle = nullptr;
    bool isService = false;
};

// Never destroyed: handles may be used until the last thread of the process ends.
scm::HandleTable<Native>& Handles() {
    static auto* table = new scm::HandleTable<Native>(0x5C0004);
    return *table;
}

// The system handle behind one of ours of the kind asked for; kErrorInvalidHandle otherwise.
bool Lookup(SC_HANDLE handle, bool isService, ::SC_HANDLE& native) {
    Native entry;
    if (!Handles().Get(handle, entry) || entry.isService != isService)
        return Fail(kErrorInvalidHandle), false;
    native = entry.handle;
    return true;
}

// A new handle of ours for `native`; when the table cannot take it, the system handle is closed
// again so that nothing leaks.
SC_HANDLE Keep(::SC_HANDLE native, bool isService) {
    if (!native) return nullptr;
    SC_HANDLE ours = Guarded<SC_HANDLE>(nullptr, [&] {
        return Handles().Add(Native{native, isService});
    });
    if (!ours) {
        const Win32Error e = GetLastError();
        ::CloseServiceHandle(native);
        Fail(e);
    }
    return ours;
}

// Ours and the system's status hold the same fields in the same order.
template <class To, class From>
To StatusAs(const From& s) {
    return To{s.dwServiceType,
              s.dwCurrentState,
              s.dwControlsAccepted,
              s.dwWin32ExitCode,
              s.dwServiceSpecificExitCode,
              s.dwCheckPoint,
              s.dwWaitHint};
}

// ---- The service side ----

// One service per process: the dispatcher's table, the service the manager started and its
// handler. Never destroyed, as the handles above.
struct ServiceSide {
    std::mutex mutex;
    bool entered = false;     // StartServiceCtrlDispatcherA was called
    bool notService = false;  // the manager refused it: this process was not started by it
    // The caller's table, kept while the dispatcher runs: the system holds the names.
    std::vector<std::pair<std::string, LPSERVICE_MAIN_FUNCTIONA>> table;
    bool started = false;     // the manager started a service main function here
    std::string startedName;  // the name it was started under
    std::string eventSource;  // the name given with the handler
    bool stopped = false;     // SERVICE_STOPPED was reported
    ServiceStatusObject status;
    std::atomic<LPHANDLER_FUNCTION> handler{nullptr};
    ::HANDLE eventLog = nullptr;
};

ServiceSide& Side() {
    static auto* side = new ServiceSide;
    return *side;
}

// Set while the handler runs on this thread, for GetServiceControlSender.
thread_local bool tInHandler = false;

// The manager calls this with the service's name first; our table entry of that name runs, or the
// first (a process of its own runs whichever service it was registered as).
void WINAPI MainTrampoline(::DWORD argc, ::LPSTR* argv) {
    ServiceSide& side = Side();
    LPSERVICE_MAIN_FUNCTIONA main = nullptr;
    {
        std::lock_guard lock(side.mutex);
        if (side.table.empty()) return;
        main = side.table.front().second;
        const std::string_view name = argc > 0 && argv && argv[0] ? argv[0] : "";
        for (const auto& [entryName, proc] : side.table)
            if (EqualsNoCase(entryName, name)) main = proc;
        side.started = true;
        // Short of memory the name stays empty, which a process of its own can do without.
        Guarded(false, [&] { return side.startedName.assign(name), true; });
    }
    // A service runs in the system directory, where it keeps its files by their plain names.
    // Windows starts it there; Wine starts it in the Windows directory.
    char system[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryA(system, sizeof system);
    if (length > 0 && length <= MAX_PATH) ::SetCurrentDirectoryA(system);
    main(argc, argv);
}

void WINAPI HandlerTrampoline(::DWORD control) {
    const LPHANDLER_FUNCTION handler = Side().handler;
    if (!handler) return;
    tInHandler = true;
    handler(control);
    tInHandler = false;
}

}  // namespace

SC_HANDLE OpenSCManagerA(const char* lpMachineName, const char* lpDatabaseName,
                         DWORD dwDesiredAccess) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        if (lpDatabaseName && *lpDatabaseName && !EqualsNoCase(lpDatabaseName, "ServicesActive"))
            return Fail(kErrorDatabaseDoesNotExist), nullptr;
        std::string_view machine = lpMachineName ? lpMachineName : "";
        std::string unc;
        if (!IsLocalComputerName(machine)) {
            if (CheckComputerName(machine)) return nullptr;
            if (machine.substr(0, 2) == "\\\\") machine.remove_prefix(2);
            // Wine opens the local manager for any name; Windows asks that computer's.
            unc = "\\\\" + std::string(machine);
        }
        return Keep(::OpenSCManagerA(unc.empty() ? nullptr : unc.c_str(), nullptr, dwDesiredAccess),
                    false);
    });
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, const char* lpServiceName, const char* lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, const char* lpBinaryPathName,
                         const char* lpLoadOrderGroup, DWORD* lpdwTagId, const char* lpDependencies,
                         const char* lpServiceStartName, const char* /*lpPassword*/) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        ::SC_HANDLE manager = nullptr;
        if (!Lookup(hSCManager, false, manager)) return nullptr;
        // What the port leaves out everywhere is refused here too, though Windows could do it:
        // a caller that works here then works on every manager.
        if (!lpServiceName) return Fail(kErrorInvalidName), nullptr;
        if (!lpBinaryPathName || !*lpBinaryPathName || lpdwTagId)
            return Fail(kErrorInvalidParameter), nullptr;
        if ((lpLoadOrderGroup && *lpLoadOrderGroup) || (lpDependencies && *lpDependencies))
            return Fail(kErrorNotSupported), nullptr;
        if (lpServiceStartName && *lpServiceStartName &&
            !EqualsNoCase(lpServiceStartName, "LocalSystem") &&
            !EqualsNoCase(lpServiceStartName, ".\\LocalSystem"))
            return Fail(kErrorInvalidServiceAccount), nullptr;
        // The path names the program alone, so a space in it is part of the name: unquoted, the
        // manager would try "C:\Program" first.
        std::string binary = lpBinaryPathName;
        if (binary.find(' ') != std::string::npos && binary.front() != '"')
            binary = '"' + binary + '"';
        return Keep(::CreateServiceA(manager, lpServiceName, lpDisplayName, dwDesiredAccess,
                                     dwServiceType, dwStartType, dwErrorControl, binary.c_str(),
                                     nullptr, nullptr, nullptr, nullptr, nullptr),
                    true);
    });
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, const char* lpServiceName, DWORD dwDesiredAccess) {
    ::SC_HANDLE manager = nullptr;
    if (!Lookup(hSCManager, false, manager)) return nullptr;
    if (!lpServiceName) return Fail(kErrorInvalidName), nullptr;
    return Keep(::OpenServiceA(manager, lpServiceName, dwDesiredAccess), true);
}

bool StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, const char** lpServiceArgVectors) {
    ::SC_HANDLE service = nullptr;
    if (!Lookup(hService, true, service)) return false;
    if (dwNumServiceArgs > 0 && !lpServiceArgVectors) return Fail(kErrorInvalidParameter), false;
    for (DWORD i = 0; i < dwNumServiceArgs; ++i)
        if (!lpServiceArgVectors[i]) return Fail(kErrorInvalidParameter), false;
    // The manager puts the service's name in front of these itself.
    return ::StartServiceA(service, dwNumServiceArgs,
                           dwNumServiceArgs ? lpServiceArgVectors : nullptr);
}

bool ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus) {
    ::SC_HANDLE service = nullptr;
    if (!Lookup(hService, true, service)) return false;
    if (dwControl < SERVICE_CONTROL_STOP || dwControl > SERVICE_CONTROL_INTERROGATE)
        return Fail(kErrorInvalidParameter), false;
    ::SERVICE_STATUS status{};
    const bool ok = ::ControlService(service, dwControl, &status);
    const Win32Error e = ok ? kErrorSuccess : GetLastError();
    // The manager reports the status on these refusals too.
    if (lpServiceStatus && (ok || e == kErrorServiceNotActive ||
                            e == kErrorServiceCannotAcceptCtrl || e == kErrorInvalidServiceControl))
        *lpServiceStatus = StatusAs<SERVICE_STATUS>(status);
    if (!ok) Fail(e);
    return ok;
}

bool DeleteService(SC_HANDLE hService) {
    ::SC_HANDLE service = nullptr;
    if (!Lookup(hService, true, service)) return false;
    return ::DeleteService(service);
}

bool QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, unsigned char* lpBuffer,
                          DWORD cbBufSize, DWORD* pcbBytesNeeded) {
    ::SC_HANDLE service = nullptr;
    if (!Lookup(hService, true, service)) return false;
    if (InfoLevel != SC_STATUS_PROCESS_INFO || !pcbBytesNeeded)
        return Fail(kErrorInvalidParameter), false;
    *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS))
        return Fail(kErrorInsufficientBuffer), false;
    // The system wants an aligned buffer; ours may sit anywhere.
    ::SERVICE_STATUS_PROCESS status{};
    ::DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, ::SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<::LPBYTE>(&status), sizeof status, &needed))
        return false;
    std::memcpy(lpBuffer, &status, sizeof status);
    return true;
}

bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* lpServiceStatus) {
    ::SC_HANDLE service = nullptr;
    if (!Lookup(hService, true, service)) return false;
    if (!lpServiceStatus) return Fail(kErrorInvalidParameter), false;
    ::SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service, &status)) return false;
    *lpServiceStatus = StatusAs<SERVICE_STATUS>(status);
    return true;
}

bool CloseServiceHandle(SC_HANDLE hSCObject) {
    Native entry;
    if (!Handles().Take(hSCObject, entry)) return Fail(kErrorInvalidHandle), false;
    return ::CloseServiceHandle(entry.handle);
}

bool StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
    return Guarded(false, [&] {
        const SERVICE_TABLE_ENTRYA* table = lpServiceStartTable;
        if (!table || !table->lpServiceName || !table->lpServiceProc)
            return Fail(kErrorInvalidParameter), false;
        ServiceSide& side = Side();
        std::vector<::SERVICE_TABLE_ENTRYA> native;
        {
            std::lock_guard lock(side.mutex);
            if (side.notService) return Fail(kErrorFailedServiceControllerConnect), false;
            if (side.entered) return Fail(kErrorServiceAlreadyRunning), false;
            side.table.clear();
            for (; table->lpServiceName && table->lpServiceProc; ++table)
                side.table.emplace_back(table->lpServiceName, table->lpServiceProc);
            for (auto& entry : side.table)
                native.push_back(::SERVICE_TABLE_ENTRYA{entry.first.data(), MainTrampoline});
            native.push_back(::SERVICE_TABLE_ENTRYA{nullptr, nullptr});
            side.entered = true;
        }
        if (::StartServiceCtrlDispatcherA(native.data())) {
            SetLastError(kErrorSuccess);
            return true;
        }
        // A process the manager did not start never becomes one of its services: every later
        // call gets the same answer. (Wine's own second call says 1056 instead.)
        const Win32Error e = GetLastError();
        if (e == kErrorFailedServiceControllerConnect) {
            std::lock_guard lock(side.mutex);
            side.notService = true;
        }
        return Fail(e), false;
    });
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* lpServiceName,
                                                  LPHANDLER_FUNCTION lpHandlerProc) {
    return Guarded<SERVICE_STATUS_HANDLE>(nullptr, [&]() -> SERVICE_STATUS_HANDLE {
        ServiceSide& side = Side();
        std::lock_guard lock(side.mutex);
        if (!side.started) return Fail(kErrorServiceDoesNotExist), nullptr;
        if (!lpHandlerProc) return Fail(kErrorInvalidParameter), nullptr;
        side.handler = lpHandlerProc;
        if (!side.status.native) {
            // A process of its own runs one service, whatever name its table gave it: the
            // manager is told the name it started.
            side.status.native =
                ::RegisterServiceCtrlHandlerA(side.startedName.c_str(), HandlerTrampoline);
            if (!side.status.native) {
                side.handler = nullptr;
                return nullptr;
            }
        }
        if (lpServiceName && *lpServiceName) side.eventSource = lpServiceName;
        return &side.status;
    });
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, const SERVICE_STATUS* lpServiceStatus) {
    ServiceSide& side = Side();
    // Under the lock, so that reports from several threads reach the manager in the order made.
    std::lock_guard lock(side.mutex);
    if (hServiceStatus != &side.status || !side.status.native || side.stopped)
        return Fail(kErrorInvalidHandle), false;
    if (!lpServiceStatus) return Fail(kErrorInvalidParameter), false;
    const SERVICE_STATUS& s = *lpServiceStatus;
    if (s.dwCurrentState < SERVICE_STOPPED || s.dwCurrentState > SERVICE_PAUSED)
        return Fail(kErrorInvalidData), false;
    ::SERVICE_STATUS status = StatusAs<::SERVICE_STATUS>(s);
    if (!::SetServiceStatus(side.status.native, &status)) return false;
    // After "stopped" the dispatcher returns and the system's handle is no longer good.
    if (s.dwCurrentState == SERVICE_STOPPED) side.stopped = true;
    return true;
}

bool GetServiceControlSender(SenderProcess* sender) {
    if (!sender) return Fail(kErrorInvalidParameter), false;
    if (!tInHandler) return Fail(kErrorNotFound), false;
    // The manager delivers every control itself and does not say who asked for it.
    return Guarded(false, [&] {
        *sender = SenderProcess{};
        return true;
    });
}

void ReportServiceEvent(std::string_view line) {
    const Win32Error last = GetLastError();
    Guarded(false, [&] {
        ServiceSide& side = Side();
        const std::string text(line);
        ::HANDLE log = nullptr;
        {
            std::lock_guard lock(side.mutex);
            if (!side.eventLog) {
                const char* source =
                    side.eventSource.empty() ? "ZantorSvc" : side.eventSource.c_str();
                side.eventLog = ::RegisterEventSourceA(nullptr, source);
            }
            log = side.eventLog;
        }
        if (!log) return false;
        const char* strings[] = {text.c_str()};
        return ::ReportEventA(log, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings,
                              nullptr) != FALSE;
    });
    // It never fails, so it leaves the caller's last error as it was.
    SetLastError(last);
}

}  // namespace platform
