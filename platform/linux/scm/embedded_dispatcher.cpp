// The embedded service control manager, service side: the control dispatcher in a service process
// that the embedded manager started, its control handler and its status reports.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/linux/process_posix.h"
#include "platform/linux/scm/embedded_common.h"
#include "platform/linux/scm/embedded_db.h"
#include "platform/linux/scm/scm_backend.h"
#include "platform/linux/scm/scm_rules.h"
#include "platform/scm.h"

namespace platform {

using scm::Guarded;

namespace {

// The one status handle of a service process; any other value is not a handle.
const auto kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{0x5C5C0001});

// How long the dispatcher waits for a connected manager to say what it wants.
constexpr auto kRequestTimeout = std::chrono::seconds(5);

// The process's side of its service. One per process; never destroyed, because the service's
// threads may report until the process ends.
struct Dispatcher {
    std::mutex mutex;
    bool entered = false;    // StartServiceCtrlDispatcherA was called
    bool connected = false;  // ... and reached the manager: the service exists here
    bool registered = false;
    bool stopped = false;  // SERVICE_STOPPED was reported: the last report
    std::unique_ptr<posix::ServiceDatabase> db;
    std::string name;
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    LPHANDLER_FUNCTION handler = nullptr;
    posix::StatusRecord record;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::vector<std::string> args;
    std::vector<char*> argv;
};

Dispatcher& State() {
    static auto* state = new Dispatcher;
    return *state;
}

// The descriptor named by the environment, if it is a socket that we have.
int HandshakeDescriptor(const char* text) {
    int fd = -1;
    auto [end, ec] = std::from_chars(text, text + std::strlen(text), fd);
    struct stat st {};
    if (ec != std::errc() || *end != '\0' || fd < 0 || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
        return -1;
    fcntl(fd, F_SETFD, FD_CLOEXEC);  // not for the service's own children
    return fd;
}

bool Accepts(const SERVICE_STATUS& status, DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return status.dwControlsAccepted & SERVICE_ACCEPT_STOP;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return status.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
        default:
            return true;
    }
}

// The connection of the control that the handler runs for on this thread (the dispatcher's).
// Its sender is looked up only when the handler asks: most controls are interrogations.
struct ControlConnection {
    int fd = -1;
    std::chrono::nanoseconds acceptedAt{};
};
thread_local const ControlConnection* tHandling = nullptr;

// One control from one manager: checked, run through the handler on this thread, answered with
// the status the handler left.
void ServeControl(Dispatcher& d, int fd) {
    const ControlConnection connection{fd, posix::BootClock()};
    auto deadline = std::chrono::steady_clock::now() + kRequestTimeout;
    std::uint32_t control = 0;
    if (posix::ReadAll(fd, &control, sizeof control, deadline)) return;
    posix::ControlReply reply{};
    LPHANDLER_FUNCTION handler;
    {
        std::lock_guard lock(d.mutex);
        reply.status = d.record.status;
        handler = d.handler;
    }
    DWORD state = reply.status.dwCurrentState;
    if (control < SERVICE_CONTROL_STOP || control > SERVICE_CONTROL_INTERROGATE)
        reply.error = kErrorInvalidParameter;
    else if (control != SERVICE_CONTROL_INTERROGATE &&
             (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING))
        reply.error = kErrorServiceCannotAcceptCtrl;
    else if (!Accepts(reply.status, control))
        reply.error = kErrorInvalidServiceControl;
    else if (!handler)
        reply.error = kErrorServiceCannotAcceptCtrl;
    if (reply.error == kErrorSuccess) {
        tHandling = &connection;
        try {
            handler(control);
        } catch (...) {
            // A handler's exception must not end the dispatcher; the status says what it did.
        }
        tHandling = nullptr;
        std::lock_guard lock(d.mutex);
        reply.status = d.record.status;
    }
    posix::WriteAll(fd, &reply, sizeof reply, deadline);
}

void RunControls(Dispatcher& d, int listenFd) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {d.wakeRead, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) {
            char drain[16];
            while (read(d.wakeRead, drain, sizeof drain) > 0) {
            }
        }
        {
            std::lock_guard lock(d.mutex);
            if (d.stopped) return;
        }
        if (fds[0].revents & POLLIN) {
            int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ServeControl(d, client);
            close(client);
        }
    }
}

// Everything up to the moment the service's main function runs; on failure the process is not a
// service and the dispatcher call fails.
Win32Error Connect(Dispatcher& d, const SERVICE_TABLE_ENTRYA* table, int handshake,
                   const char* databaseDir, const char* serviceName, int& listenFd,
                   std::filesystem::path& socketPath) {
    auto deadline = std::chrono::steady_clock::now() + scm::ScmTimeout();
    std::vector<std::string> args;
    if (posix::ReceiveStartArguments(handshake, args, deadline))
        return Fail(kErrorFailedServiceControllerConnect);
    auto db = std::make_unique<posix::ServiceDatabase>(databaseDir);
    posix::ServiceConfig config;
    if (db->ReadConfig(serviceName, config)) return Fail(kErrorFailedServiceControllerConnect);
    const SERVICE_TABLE_ENTRYA* entry = table;
    for (const SERVICE_TABLE_ENTRYA* e = table; e->lpServiceName && e->lpServiceProc; ++e) {
        if (posix::EqualsNoCase(e->lpServiceName, config.name)) {
            entry = e;
            break;
        }
    }
    posix::ProcessIdentity self;
    if (!posix::ReadProcessIdentity(static_cast<std::uint32_t>(getpid()), self))
        return Fail(kErrorFailedServiceControllerConnect);
    socketPath = db->ServiceDir(config.name) / ("control." + std::to_string(self.pid));
    listenFd = posix::ListenUnix(socketPath);
    int wake[2];
    if (listenFd < 0 || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return Fail(kErrorFailedServiceControllerConnect);

    std::lock_guard lock(d.mutex);
    d.wakeRead = wake[0];
    d.wakeWrite = wake[1];
    d.name = config.name;
    d.type = config.type;
    d.record.process = self;
    d.record.controlSocket = socketPath.string();
    d.record.status = SERVICE_STATUS{config.type, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
    if (db->WriteStatus(config.name, d.record)) return Fail(kErrorFailedServiceControllerConnect);
    d.db = std::move(db);
    // The main function gets the service name first, then the start arguments.
    d.args.push_back(config.name);
    for (std::string& a : args) d.args.push_back(std::move(a));
    for (std::string& a : d.args) d.argv.push_back(a.data());
    d.argv.push_back(nullptr);
    d.connected = true;
    try {
        LPSERVICE_MAIN_FUNCTIONA main = entry->lpServiceProc;
        auto argc = static_cast<DWORD>(d.args.size());
        char** argv = d.argv.data();
        std::thread([main, argc, argv] { main(argc, argv); }).detach();
    } catch (const std::system_error&) {
        d.record.status =
            SERVICE_STATUS{config.type, SERVICE_STOPPED, 0, kErrorServiceNoThread, 0, 0, 0};
        d.db->WriteStatus(d.name, d.record);
        d.connected = false;
        return Fail(kErrorServiceNoThread);
    }
    return kErrorSuccess;
}

}  // namespace

namespace embedded {

bool StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
    return Guarded(false, [&] {
        const SERVICE_TABLE_ENTRYA* table = lpServiceStartTable;
        if (!table || !table->lpServiceName || !table->lpServiceProc)
            return Fail(kErrorInvalidParameter), false;
        const char* serviceName = std::getenv(posix::kEnvService);
        const char* databaseDir = std::getenv(posix::kEnvDatabase);
        const char* handshakeText = std::getenv(posix::kEnvHandshake);
        if (!serviceName || !databaseDir || !handshakeText)
            return Fail(kErrorFailedServiceControllerConnect), false;
        Dispatcher& d = State();
        {
            std::lock_guard lock(d.mutex);
            if (d.entered) return Fail(kErrorServiceAlreadyRunning), false;
            d.entered = true;
        }
        int handshake = HandshakeDescriptor(handshakeText);
        if (handshake < 0) return Fail(kErrorFailedServiceControllerConnect), false;
        int listenFd = -1;
        std::filesystem::path socketPath;
        Win32Error e = Connect(d, table, handshake, databaseDir, serviceName, listenFd, socketPath);
        if (e == kErrorSuccess) {
            // The starter returns from StartServiceA on this word.
            posix::WriteAll(handshake, &posix::kReadyByte, 1,
                            std::chrono::steady_clock::now() + kRequestTimeout);
        }
        close(handshake);
        if (e == kErrorSuccess) RunControls(d, listenFd);
        if (listenFd >= 0) {
            close(listenFd);
            unlink(socketPath.c_str());
        }
        if (e != kErrorSuccess) return Fail(e), false;

        {
            std::lock_guard lock(d.mutex);
            close(d.wakeRead);
            close(d.wakeWrite);
            d.wakeRead = d.wakeWrite = -1;
        }
        // On its way out the dispatcher removes a service that was deleted while it ran. The
        // database and the name stay as they are once connected.
        posix::FileLock dbLock(d.db->LockPath(),
                               std::chrono::steady_clock::now() + scm::ScmTimeout());
        if (dbLock.error() == kErrorSuccess) d.db->RemoveIfDoomed(d.name);
        SetLastError(kErrorSuccess);
        return true;
    });
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* lpServiceName,
                                                  LPHANDLER_FUNCTION lpHandlerProc) {
    Dispatcher& d = State();
    std::lock_guard lock(d.mutex);
    // A process of its own runs one service, so its name is not checked there, as on Windows.
    if (!d.connected || ((d.type & SERVICE_WIN32_SHARE_PROCESS) &&
                         (!lpServiceName || !posix::EqualsNoCase(lpServiceName, d.name))))
        return Fail(kErrorServiceDoesNotExist), nullptr;
    if (!lpHandlerProc) return Fail(kErrorInvalidParameter), nullptr;
    d.handler = lpHandlerProc;
    d.registered = true;
    return kStatusHandle;
}

bool GetServiceControlSender(SenderProcess* sender) {
    return Guarded(false, [&] {
        if (!sender) return Fail(kErrorInvalidParameter), false;
        if (!tHandling) return Fail(kErrorNotFound), false;
        // The credentials the caller of ControlService connected with; the caller waits for the
        // answer, so it is still there unless it was ended meanwhile.
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(tHandling->fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
            return FailFromErrno(), false;
        // A caller in a process namespace that this one cannot see has no id here (0).
        *sender = peer.pid > 0 ? posix::LookUpSender(static_cast<std::uint32_t>(peer.pid),
                                                     tHandling->acceptedAt)
                               : SenderProcess{};
        return true;
    });
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, const SERVICE_STATUS* lpServiceStatus) {
    Dispatcher& d = State();
    std::lock_guard lock(d.mutex);
    if (hServiceStatus != kStatusHandle || !d.registered || d.stopped)
        return Fail(kErrorInvalidHandle), false;
    if (!lpServiceStatus) return Fail(kErrorInvalidParameter), false;
    if (lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
        lpServiceStatus->dwCurrentState > SERVICE_PAUSED)
        return Fail(kErrorInvalidData), false;
    d.record.status = *lpServiceStatus;
    // Written under the lock, so that reports from several threads land in the order made.
    Win32Error e = d.db->WriteStatus(d.name, d.record);
    if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED) {
        d.stopped = true;
        char wake = 1;
        if (write(d.wakeWrite, &wake, 1) < 0) {
            // The pipe is full only when a wake-up is pending already.
        }
    }
    return e == kErrorSuccess;
}

class DispatcherBackend final : public scm::DispatcherBackend {
  public:
    bool StartedHere() const override {
        return std::getenv(posix::kEnvService) && std::getenv(posix::kEnvDatabase) &&
               std::getenv(posix::kEnvHandshake);
    }
    bool StartDispatcher(const SERVICE_TABLE_ENTRYA* table) override {
        return embedded::StartServiceCtrlDispatcherA(table);
    }
    SERVICE_STATUS_HANDLE RegisterHandler(const char* name, LPHANDLER_FUNCTION handler) override {
        return embedded::RegisterServiceCtrlHandlerA(name, handler);
    }
    bool SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) override {
        return embedded::SetServiceStatus(handle, status);
    }
    bool ControlSender(SenderProcess* sender) override {
        return embedded::GetServiceControlSender(sender);
    }
    // The embedded manager keeps no log of its own beyond the output file.
    void ReportEvent(std::string_view) override {}
};

}  // namespace embedded

scm::DispatcherBackend& scm::EmbeddedDispatcher() {
    static auto* dispatcher = new embedded::DispatcherBackend;
    return *dispatcher;
}

}  // namespace platform
