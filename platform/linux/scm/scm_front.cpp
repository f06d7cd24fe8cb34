// The service control manager port as the programs call it: which manager serves a computer or
// this process, and the handles of both, so that a caller never learns which one answered.
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/computer.h"
#include "platform/linux/scm/scm_backend.h"
#include "platform/linux/scm/scm_rules.h"
#include "platform/names.h"
#include "platform/scm.h"

namespace platform {

namespace fs = std::filesystem;
using scm::Guarded;
using scm::ManagerBackend;

namespace {

// A handle of ours: the backend that gave out the handle behind it.
struct Owned {
    ManagerBackend* backend;
    SC_HANDLE inner;
    bool isService;
};

// Never destroyed: handles may be used until the last thread of the process ends.
scm::HandleTable<Owned>& Handles() {
    static auto* table = new scm::HandleTable<Owned>(0x5C0004);
    return *table;
}

// The backend that serves the computer of `root`; see platform/scm.h for the rule.
Win32Error ChooseManager(std::string_view machine, const fs::path& root, ManagerBackend** backend) {
    std::ifstream chosen(root / "scm" / "backend");
    std::string word;
    if (chosen >> word) {
        if (EqualsNoCase(word, "embedded")) {
            *backend = &scm::EmbeddedManager();
            return kErrorSuccess;
        }
        if (!EqualsNoCase(word, "systemd")) return Fail(kErrorInvalidData);
        if (!scm::SystemdRuns()) return Fail(kErrorRpcServerUnavailable);
        *backend = &scm::SystemdManager();
        return kErrorSuccess;
    }
    std::error_code ec;
    const bool host = IsLocalComputerName(machine) && !fs::exists(root / "ipaddrtable", ec);
    *backend = host && scm::SystemdRuns() ? &scm::SystemdManager() : &scm::EmbeddedManager();
    return kErrorSuccess;
}

// The service side: the dispatcher of the manager that started this process, once it is known.
std::atomic<scm::DispatcherBackend*> gDispatcher{nullptr};

scm::DispatcherBackend& Dispatcher() {
    scm::DispatcherBackend* d = gDispatcher;
    return d ? *d : scm::EmbeddedDispatcher();
}

}  // namespace

bool scm::SystemdRuns() {
    struct stat st {};
    return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

SC_HANDLE OpenSCManagerA(const char* lpMachineName, const char* lpDatabaseName,
                         DWORD dwDesiredAccess) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        if (lpDatabaseName && *lpDatabaseName && !EqualsNoCase(lpDatabaseName, "ServicesActive"))
            return Fail(kErrorDatabaseDoesNotExist), nullptr;
        const std::string_view machine = lpMachineName ? lpMachineName : "";
        Computer computer;
        if (FindComputer(machine, computer)) return nullptr;
        ManagerBackend* backend = nullptr;
        if (computer.kind == ComputerKind::kRemote) {
            // A host reached over SSH: its own systemd, over the shared connection.
            backend = &scm::SystemdManager();
        } else {
            std::error_code ec;
            fs::path absolute = fs::absolute(computer.root, ec);
            if (!ec) computer.root = absolute;
            if (ChooseManager(machine, computer.root, &backend)) return nullptr;
        }
        SC_HANDLE inner = backend->OpenManager(computer, dwDesiredAccess);
        if (!inner) return nullptr;
        return Handles().Add(Owned{backend, inner, false});
    });
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, const char* lpServiceName, const char* lpDisplayName,
                         DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, const char* lpBinaryPathName,
                         const char* lpLoadOrderGroup, DWORD* lpdwTagId, const char* lpDependencies,
                         const char* lpServiceStartName, const char* /*lpPassword*/) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        Owned m;
        if (!Handles().Get(hSCManager, m) || m.isService) return Fail(kErrorInvalidHandle), nullptr;
        SC_HANDLE inner = m.backend->CreateService(
            m.inner, lpServiceName, lpDisplayName, dwDesiredAccess, dwServiceType, dwStartType,
            dwErrorControl, lpBinaryPathName, lpLoadOrderGroup, lpdwTagId, lpDependencies,
            lpServiceStartName);
        if (!inner) return nullptr;
        return Handles().Add(Owned{m.backend, inner, true});
    });
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, const char* lpServiceName, DWORD dwDesiredAccess) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        Owned m;
        if (!Handles().Get(hSCManager, m) || m.isService) return Fail(kErrorInvalidHandle), nullptr;
        SC_HANDLE inner = m.backend->OpenService(m.inner, lpServiceName, dwDesiredAccess);
        if (!inner) return nullptr;
        return Handles().Add(Owned{m.backend, inner, true});
    });
}

bool StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, const char** lpServiceArgVectors) {
    Owned s;
    if (!Handles().Get(hService, s) || !s.isService) return Fail(kErrorInvalidHandle), false;
    return s.backend->StartService(s.inner, dwNumServiceArgs, lpServiceArgVectors);
}

bool ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus) {
    Owned s;
    if (!Handles().Get(hService, s) || !s.isService) return Fail(kErrorInvalidHandle), false;
    return s.backend->ControlService(s.inner, dwControl, lpServiceStatus);
}

bool DeleteService(SC_HANDLE hService) {
    Owned s;
    if (!Handles().Get(hService, s) || !s.isService) return Fail(kErrorInvalidHandle), false;
    return s.backend->DeleteService(s.inner);
}

bool QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, unsigned char* lpBuffer,
                          DWORD cbBufSize, DWORD* pcbBytesNeeded) {
    return Guarded(false, [&] {
        Owned s;
        if (!Handles().Get(hService, s) || !s.isService) return Fail(kErrorInvalidHandle), false;
        if (InfoLevel != SC_STATUS_PROCESS_INFO || !pcbBytesNeeded)
            return Fail(kErrorInvalidParameter), false;
        *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS))
            return Fail(kErrorInsufficientBuffer), false;
        SERVICE_STATUS_PROCESS out{};
        if (!s.backend->QueryStatus(s.inner, &out)) return false;
        std::memcpy(lpBuffer, &out, sizeof out);
        return true;
    });
}

bool QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* lpServiceStatus) {
    SERVICE_STATUS_PROCESS full{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO,
                              lpServiceStatus ? reinterpret_cast<unsigned char*>(&full) : nullptr,
                              sizeof full, &needed))
        return GetLastError() == kErrorInsufficientBuffer ? Fail(kErrorInvalidParameter),
               false                                      : false;
    *lpServiceStatus = SERVICE_STATUS{full.dwServiceType,
                                      full.dwCurrentState,
                                      full.dwControlsAccepted,
                                      full.dwWin32ExitCode,
                                      full.dwServiceSpecificExitCode,
                                      full.dwCheckPoint,
                                      full.dwWaitHint};
    return true;
}

bool CloseServiceHandle(SC_HANDLE hSCObject) {
    Owned owned;
    if (!Handles().Take(hSCObject, owned)) return Fail(kErrorInvalidHandle), false;
    return owned.backend->CloseHandle(owned.inner);
}

bool StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
    // The manager that started the process left its mark in the environment; with none, the
    // embedded dispatcher refuses as it always has.
    scm::DispatcherBackend* chosen = &scm::EmbeddedDispatcher();
    if (!chosen->StartedHere() && scm::SystemdDispatcher().StartedHere())
        chosen = &scm::SystemdDispatcher();
    gDispatcher = chosen;
    return chosen->StartDispatcher(lpServiceStartTable);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* lpServiceName,
                                                  LPHANDLER_FUNCTION lpHandlerProc) {
    return Dispatcher().RegisterHandler(lpServiceName, lpHandlerProc);
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, const SERVICE_STATUS* lpServiceStatus) {
    return Dispatcher().SetStatus(hServiceStatus, lpServiceStatus);
}

bool GetServiceControlSender(SenderProcess* sender) {
    return Dispatcher().ControlSender(sender);
}

void ReportServiceEvent(std::string_view line) {
    Dispatcher().ReportEvent(line);
}

}  // namespace platform
