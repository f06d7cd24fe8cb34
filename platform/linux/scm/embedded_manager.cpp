// The embedded service control manager, manager side: handles, registrations in the computer
// root's scm/ database, starting service processes and sending them controls.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>
#include <system_error>

#include "platform/computer.h"
#include "platform/linux/scm/embedded_common.h"
#include "platform/linux/scm/embedded_db.h"
#include "platform/linux/scm/embedded_launch.h"
#include "platform/linux/scm/scm_backend.h"
#include "platform/linux/scm/scm_rules.h"
#include "platform/scm.h"

extern char** environ;

namespace platform {

namespace fs = std::filesystem;
using posix::ServiceConfig;
using posix::ServiceDatabase;
using scm::Guarded;

namespace {

// What an open handle stands for. Handles are keys into a table, never addresses.
struct HandleEntry {
    bool isService = false;
    fs::path root;  // the computer's root
    std::string name;
    std::uint64_t instance = 0;
    DWORD access = 0;

    ServiceDatabase Database() const { return ServiceDatabase(root / "scm"); }
};

// Never destroyed: handles may be used until the last thread of the process ends.
scm::HandleTable<HandleEntry>& Handles() {
    static auto* table = new scm::HandleTable<HandleEntry>(0x5C0004);
    return *table;
}

// The environment of a service process: ours, with its computer's root and the way back to its
// manager.
std::vector<std::string> ServiceEnvironment(const fs::path& root, const ServiceConfig& config) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view v(*e);
        if (v.starts_with("ZANTOR_ROOT=") || v.starts_with("ZANTOR_SCM_")) continue;
        if (v.starts_with("ZANTOR_NETWORK=")) {
            std::error_code ec;
            fs::path network = fs::absolute(std::string(v.substr(15)), ec);
            env.push_back("ZANTOR_NETWORK=" + (ec ? std::string(v.substr(15)) : network.string()));
            continue;
        }
        env.emplace_back(v);
    }
    env.push_back("ZANTOR_ROOT=" + root.string());
    env.push_back(std::string(posix::kEnvDatabase) + "=" + (root / "scm").string());
    env.push_back(std::string(posix::kEnvService) + "=" + config.name);
    env.push_back(std::string(posix::kEnvHandshake) + "=" + std::to_string(posix::kHandshakeFd));
    return env;
}

Win32Error ManagerOf(SC_HANDLE handle, DWORD needed, HandleEntry& entry) {
    return Handles().GetWithAccess(handle, false, needed, entry);
}

// The registration behind a service handle, read afresh. A service removed (or removed and
// registered anew) since the handle was opened is gone for the handle.
Win32Error ServiceOf(SC_HANDLE handle, DWORD needed, HandleEntry& entry, ServiceConfig& config) {
    if (Win32Error e = Handles().GetWithAccess(handle, true, needed, entry)) return e;
    Win32Error e = entry.Database().ReadConfig(entry.name, config);
    if (e == kErrorServiceDoesNotExist || (!e && config.instance != entry.instance))
        return Fail(kErrorServiceMarkedForDelete);
    return e;
}

// The end of the waits of a manager call that begins now.
posix::Deadline CallDeadline() {
    return std::chrono::steady_clock::now() + scm::ScmTimeout();
}

// Takes the database lock and reads the registration afresh under it. A service marked for
// deletion fails with kErrorServiceMarkedForDelete, and goes if it no longer runs.
Win32Error LockLiveService(SC_HANDLE handle, DWORD needed, posix::Deadline deadline,
                           std::optional<posix::FileLock>& lock, HandleEntry& entry,
                           ServiceConfig& config) {
    if (Win32Error e = ServiceOf(handle, needed, entry, config)) return e;
    ServiceDatabase db = entry.Database();
    lock.emplace(db.LockPath(), deadline);
    if (Win32Error e = lock->error()) return e;
    if (Win32Error e = ServiceOf(handle, needed, entry, config)) return e;
    if (config.markedForDelete) {
        db.RemoveIfDoomed(config.name);
        return Fail(kErrorServiceMarkedForDelete);
    }
    return kErrorSuccess;
}

void Reap(const ServiceDatabase& db, std::string_view name, posix::Deadline deadline) {
    posix::FileLock lock(db.LockPath(), deadline);
    if (lock.error() == kErrorSuccess) db.RemoveIfDoomed(name);
}

// How long a program that closed its handshake is given to end.
constexpr std::chrono::milliseconds kQuitterEnd{1000};

// Waits for the new process to enter its dispatcher; ends it when it does not in time.
Win32Error StartHandshake(int fd, const posix::ProcessIdentity& process,
                          const std::vector<std::string>& args, posix::Deadline deadline) {
    // A write that fails means the process has gone; the read below says so.
    posix::SendStartArguments(fd, args, deadline);
    char word = 0;
    Win32Error e = posix::ReadAll(fd, &word, 1, deadline);
    if (e == kErrorSuccess && word == posix::kReadyByte) return kErrorSuccess;
    if (e == kErrorTimeout) {
        posix::TerminateProcess(process, posix::kEndWait);
        return Fail(kErrorServiceRequestTimeout);
    }
    return Fail(kErrorProcessAborted);
}

// After a start that failed: the service is on record as stopped with the start's error, unless
// its process outlived the failure or another start has taken over since. The lock is tried
// once more even when the start used up its time: without it the record, which still names the
// ended process, reads as stopped anyway.
void RecordFailedStart(const ServiceDatabase& db, const ServiceConfig& config,
                       const posix::ProcessIdentity& process, Win32Error error,
                       posix::Deadline deadline) {
    // A program that quits closes its end of the handshake a moment before it has ended: that
    // moment is waited for, or it would look as if it outlived its failure.
    if (error == kErrorProcessAborted) posix::WaitForProcessEnd(process, kQuitterEnd);
    posix::FileLock lock(db.LockPath(), deadline);
    posix::StatusRecord record;
    if (lock.error() || db.ReadStatus(config.name, record) || record.process.pid != process.pid ||
        record.process.startTime != process.startTime || posix::IsSameProcessRunning(process))
        return;
    record.status = SERVICE_STATUS{config.type, SERVICE_STOPPED, 0, error, 0, 0, 0};
    db.WriteStatus(config.name, record);
    db.RemoveIfDoomed(config.name);
}

void CopyStatus(const SERVICE_STATUS& from, SERVICE_STATUS* to) {
    if (to) *to = from;
}

// The status of the service behind a handle, as the query calls report it.
Win32Error QueryView(SC_HANDLE handle, SERVICE_STATUS_PROCESS& out) {
    HandleEntry entry;
    ServiceConfig config;
    if (Win32Error e = ServiceOf(handle, SERVICE_QUERY_STATUS, entry, config)) return e;
    ServiceDatabase db = entry.Database();
    posix::ServiceView view = db.View(config);
    if (!view.running && config.markedForDelete) Reap(db, config.name, CallDeadline());
    const SERVICE_STATUS& s = view.status;
    out = SERVICE_STATUS_PROCESS{s.dwServiceType,
                                 s.dwCurrentState,
                                 s.dwControlsAccepted,
                                 s.dwWin32ExitCode,
                                 s.dwServiceSpecificExitCode,
                                 s.dwCheckPoint,
                                 s.dwWaitHint,
                                 view.running ? view.process.pid : 0,
                                 0};
    return kErrorSuccess;
}

}  // namespace

namespace embedded {

SC_HANDLE OpenManager(const fs::path& root, DWORD dwDesiredAccess) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        if (ServiceDatabase(root / "scm").Prepare()) return nullptr;
        return Handles().Add(HandleEntry{false, root, {}, 0, scm::ManagerAccess(dwDesiredAccess)});
    });
}

SC_HANDLE CreateService(SC_HANDLE hSCManager, const char* lpServiceName, const char* lpDisplayName,
                        DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                        DWORD dwErrorControl, const char* lpBinaryPathName,
                        const char* lpLoadOrderGroup, DWORD* lpdwTagId, const char* lpDependencies,
                        const char* lpServiceStartName) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        HandleEntry manager;
        if (ManagerOf(hSCManager, SC_MANAGER_CREATE_SERVICE, manager)) return nullptr;
        if (scm::CheckRegistration(lpServiceName, lpDisplayName, dwServiceType, dwStartType,
                                   dwErrorControl, lpBinaryPathName, lpLoadOrderGroup, lpdwTagId,
                                   lpDependencies, lpServiceStartName))
            return nullptr;
        const std::string name = lpServiceName;
        const std::string display(scm::DisplayNameOf(lpServiceName, lpDisplayName));

        ServiceDatabase db = manager.Database();
        posix::FileLock lock(db.LockPath(), CallDeadline());
        if (lock.error()) return nullptr;
        ServiceConfig existing;
        Win32Error e = db.ReadConfig(name, existing);
        if (e == kErrorSuccess && !db.RemoveIfDoomed(name))
            return Fail(existing.markedForDelete ? kErrorServiceMarkedForDelete
                                                 : kErrorServiceExists),
                   nullptr;
        if (e != kErrorSuccess && e != kErrorServiceDoesNotExist) return nullptr;
        for (const ServiceConfig& other : db.ListConfigs()) {
            if (scm::NamesClash(other.name, other.displayName, name, display))
                return Fail(kErrorDuplicateServiceName), nullptr;
        }
        ServiceConfig config;
        config.name = name;
        config.displayName = display;
        config.binaryPath = lpBinaryPathName;
        config.type = dwServiceType;
        config.startType = dwStartType;
        config.errorControl = dwErrorControl;
        config.instance = (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
        // A status left by an earlier service of this name (a crash while removing it) is not
        // this one's.
        std::error_code ec;
        fs::remove(db.ServiceDir(name) / "status", ec);
        if (db.WriteConfig(config)) return nullptr;
        return Handles().Add(HandleEntry{true, manager.root, name, config.instance,
                                         scm::ServiceAccess(dwDesiredAccess)});
    });
}

SC_HANDLE OpenService(SC_HANDLE hSCManager, const char* lpServiceName, DWORD dwDesiredAccess) {
    return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
        HandleEntry manager;
        if (ManagerOf(hSCManager, SC_MANAGER_CONNECT, manager)) return nullptr;
        if (!lpServiceName || !scm::IsValidServiceName(lpServiceName))
            return Fail(kErrorInvalidName), nullptr;
        ServiceDatabase db = manager.Database();
        ServiceConfig config;
        if (db.ReadConfig(lpServiceName, config)) return nullptr;
        if (config.markedForDelete) {
            Reap(db, config.name, CallDeadline());
            ServiceConfig again;
            return Fail(db.ReadConfig(config.name, again) == kErrorSuccess
                            ? kErrorServiceMarkedForDelete
                            : kErrorServiceDoesNotExist),
                   nullptr;
        }
        return Handles().Add(HandleEntry{true, manager.root, config.name, config.instance,
                                         scm::ServiceAccess(dwDesiredAccess)});
    });
}

bool StartService(SC_HANDLE hService, DWORD dwNumServiceArgs, const char** lpServiceArgVectors) {
    return Guarded(false, [&] {
        if (dwNumServiceArgs > 0 && !lpServiceArgVectors)
            return Fail(kErrorInvalidParameter), false;
        std::vector<std::string> args;
        for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
            if (!lpServiceArgVectors[i]) return Fail(kErrorInvalidParameter), false;
            args.emplace_back(lpServiceArgVectors[i]);
        }
        HandleEntry entry;
        ServiceConfig config;
        auto deadline = CallDeadline();
        // Held while the process is launched and claimed, so that two starts cannot both launch;
        // not through the handshake, which may take long and must not hold up other services.
        std::optional<posix::FileLock> lock;
        if (LockLiveService(hService, SERVICE_START, deadline, lock, entry, config)) return false;
        ServiceDatabase db = entry.Database();
        if (db.View(config).running) return Fail(kErrorServiceAlreadyRunning), false;
        if (config.startType == SERVICE_DISABLED) return Fail(kErrorServiceDisabled), false;

        posix::LaunchRequest request;
        if (scm::ResolveProgram(entry.root, config.binaryPath, request.program)) return false;
        request.workingDirectory = SystemDirectory(entry.root);
        std::error_code ec;
        fs::create_directories(request.workingDirectory, ec);
        request.outputFile = db.ServiceDir(config.name) / "output";
        request.environment = ServiceEnvironment(entry.root, config);
        posix::ProcessIdentity process;
        int handshake = -1;
        if (posix::LaunchDetached(request, deadline, process, handshake)) return false;
        // The claim: until the process reports for itself, the record names it as starting, and
        // a start meanwhile finds the service running.
        posix::StatusRecord claim;
        claim.process = process;
        claim.status = SERVICE_STATUS{config.type, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
        if (Win32Error e = db.WriteStatus(config.name, claim)) {
            close(handshake);
            posix::TerminateProcess(process, posix::kEndWait);
            return Fail(e), false;
        }
        lock.reset();
        Win32Error e = StartHandshake(handshake, process, args, deadline);
        close(handshake);
        if (e == kErrorSuccess) return true;
        RecordFailedStart(db, config, process, e, deadline);
        return Fail(e), false;
    });
}

bool ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus) {
    return Guarded(false, [&] {
        DWORD needed = 0;
        if (scm::CheckControl(Handles(), hService, dwControl, needed)) return false;
        HandleEntry entry;
        ServiceConfig config;
        if (ServiceOf(hService, needed, entry, config)) return false;
        ServiceDatabase db = entry.Database();
        // One deadline for every wait of the call: a service whose process is stopped, or whose
        // handler hangs, fills its queue, and later callers must not wait for it without end.
        auto deadline = CallDeadline();
        auto notRunning = [&] {
            posix::ServiceView now = db.View(config);
            CopyStatus(now.status, lpServiceStatus);
            if (config.markedForDelete) Reap(db, config.name, deadline);
            return Fail(now.running ? kErrorServiceRequestTimeout : kErrorServiceNotActive);
        };
        posix::ServiceView view = db.View(config);
        if (!view.running) return notRunning(), false;
        if (view.controlSocket.empty()) {
            // Launched, but its dispatcher has not reported yet.
            CopyStatus(view.status, lpServiceStatus);
            return Fail(kErrorServiceCannotAcceptCtrl), false;
        }

        int fd = posix::ConnectUnix(view.controlSocket, deadline);
        if (fd < 0 && GetLastError() == kErrorTimeout)
            return Fail(kErrorServiceRequestTimeout), false;
        if (fd < 0) return notRunning(), false;
        std::uint32_t code = dwControl;
        posix::ControlReply reply{};
        Win32Error e = posix::WriteAll(fd, &code, sizeof code, deadline);
        if (!e) e = posix::ReadAll(fd, &reply, sizeof reply, deadline);
        close(fd);
        if (e == kErrorTimeout) return Fail(kErrorServiceRequestTimeout), false;
        if (e) {
            // The service went away without answering: a stop that ended it has done its job.
            if (notRunning() == kErrorServiceNotActive && dwControl == SERVICE_CONTROL_STOP) {
                SetLastError(kErrorSuccess);
                return true;
            }
            return false;
        }
        CopyStatus(reply.status, lpServiceStatus);
        if (reply.status.dwCurrentState == SERVICE_STOPPED && config.markedForDelete)
            Reap(db, config.name, deadline);
        if (reply.error) return Fail(reply.error), false;
        return true;
    });
}

bool DeleteService(SC_HANDLE hService) {
    return Guarded(false, [&] {
        HandleEntry entry;
        ServiceConfig config;
        std::optional<posix::FileLock> lock;
        if (LockLiveService(hService, scm::kDelete, CallDeadline(), lock, entry, config))
            return false;
        ServiceDatabase db = entry.Database();
        if (!db.View(config).running) {
            db.Remove(config.name);
            return true;
        }
        config.markedForDelete = true;
        return db.WriteConfig(config) == kErrorSuccess;
    });
}

bool QueryStatus(SC_HANDLE hService, SERVICE_STATUS_PROCESS* status) {
    return Guarded(false, [&] {
        HandleEntry entry;
        if (!Handles().Get(hService, entry) || !entry.isService)
            return Fail(kErrorInvalidHandle), false;
        return QueryView(hService, *status) == kErrorSuccess;
    });
}

bool CloseHandle(SC_HANDLE hSCObject) {
    if (!Handles().Remove(hSCObject)) return Fail(kErrorInvalidHandle), false;
    return true;
}

class Manager final : public scm::ManagerBackend {
  public:
    SC_HANDLE OpenManager(const Computer& computer, DWORD access) override {
        return embedded::OpenManager(computer.root, access);
    }
    SC_HANDLE CreateService(SC_HANDLE manager, const char* name, const char* displayName,
                            DWORD access, DWORD type, DWORD startType, DWORD errorControl,
                            const char* binaryPath, const char* loadOrderGroup, DWORD* tagId,
                            const char* dependencies, const char* startName) override {
        return embedded::CreateService(manager, name, displayName, access, type, startType,
                                       errorControl, binaryPath, loadOrderGroup, tagId,
                                       dependencies, startName);
    }
    SC_HANDLE OpenService(SC_HANDLE manager, const char* name, DWORD access) override {
        return embedded::OpenService(manager, name, access);
    }
    bool StartService(SC_HANDLE service, DWORD argc, const char** argv) override {
        return embedded::StartService(service, argc, argv);
    }
    bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
        return embedded::ControlService(service, control, status);
    }
    bool DeleteService(SC_HANDLE service) override { return embedded::DeleteService(service); }
    bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) override {
        return embedded::QueryStatus(service, status);
    }
    bool CloseHandle(SC_HANDLE handle) override { return embedded::CloseHandle(handle); }
};

}  // namespace embedded

scm::ManagerBackend& scm::EmbeddedManager() {
    static auto* manager = new embedded::Manager;
    return *manager;
}

}  // namespace platform
