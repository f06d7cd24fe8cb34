// The systemd backend, manager side: registrations as unit files of ours in the administrator's
// unit directory, and starts, stops and status through the system manager's D-Bus interface
// (sd-bus). The calls go to the manager of the bus they are made on, so the same code serves a
// host reached over another transport; enabling a unit is such a call too, never a change of
// this machine's own files made behind the manager's back.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/linux/scm/embedded_io.h"
#include "platform/linux/scm/scm_backend.h"
#include "platform/linux/scm/scm_rules.h"
#include "platform/linux/scm/systemd_unit.h"
#include "platform/linux/ssh_channels.h"
#include "platform/names.h"
#include "platform/scm.h"

namespace platform::scm::systemd {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";

// systemd's exit status of a process that could not run its program (status=203/EXEC).
constexpr int kExecFailed = 203;

// Bus errors start empty as `sd_bus_error error{};`: SD_BUS_ERROR_NULL is a C compound literal,
// which C++ compilers may refuse.

// A failed bus call in the port's vocabulary.
Win32Error FromBus(int r, const sd_bus_error* error) {
    if (error && sd_bus_error_is_set(error)) {
        if (sd_bus_error_has_names(error, "org.freedesktop.systemd1.NoSuchUnit",
                                   "org.freedesktop.systemd1.LoadFailed"))
            return Fail(kErrorServiceDoesNotExist);
        if (sd_bus_error_has_names(error, SD_BUS_ERROR_ACCESS_DENIED,
                                   SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED))
            return Fail(kErrorAccessDenied);
        if (sd_bus_error_has_names(error, SD_BUS_ERROR_TIMEOUT, SD_BUS_ERROR_NO_REPLY))
            return Fail(kErrorServiceRequestTimeout);
        if (sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NO_SERVER,
                                   SD_BUS_ERROR_DISCONNECTED))
            return Fail(kErrorRpcServerUnavailable);
    }
    switch (-r) {
        case ENOENT:
        case ECONNREFUSED:
        case ENOTCONN:
        case ECONNRESET:
            return Fail(kErrorRpcServerUnavailable);
        case ETIMEDOUT:
            return Fail(kErrorServiceRequestTimeout);
        default:
            return Fail(ErrorFromErrno(-r));
    }
}

// One connection to the system manager, shared by a manager handle and the service handles
// opened through it; sd-bus objects are not for two threads at once.
struct Bus {
    std::mutex mutex;
    sd_bus* bus = nullptr;
    bool subscribed = false;
    // The host reached over SSH whose manager this is; empty for this machine's.
    std::string destination;
    ~Bus() {
        if (bus) sd_bus_flush_close_unref(bus);
    }
};

Win32Error OpenBus(std::shared_ptr<Bus>& out) {
    auto bus = std::make_shared<Bus>();
    const int r = sd_bus_open_system(&bus->bus);
    if (r < 0) return FromBus(r, nullptr);
    out = std::move(bus);
    return kErrorSuccess;
}

// The manager of a host reached over SSH: the bus runs over the shared ssh connection, to
// systemd-stdio-bridge on the far side. When the manager does not answer, the transport says
// whether ssh itself failed (an unknown host, a refused key ...) or the host has no manager.
Win32Error OpenRemoteBus(const std::string& destination, std::shared_ptr<Bus>& out) {
    std::vector<std::string> args;
    if (Win32Error e = ssh::BusCommandLine(destination, args)) return e;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto bus = std::make_shared<Bus>();
    bus->destination = destination;
    int r = sd_bus_new(&bus->bus);
    if (r >= 0) r = sd_bus_set_exec(bus->bus, argv[0], argv.data());
    if (r >= 0) r = sd_bus_set_bus_client(bus->bus, 1);
    if (r >= 0) r = sd_bus_start(bus->bus);
    sd_bus_error error{};
    if (r >= 0)
        r = sd_bus_call_method(bus->bus, kDestination, kManagerPath, "org.freedesktop.DBus.Peer",
                               "Ping", &error, nullptr, "");
    sd_bus_error_free(&error);
    if (r < 0) return ssh::BusFailure(destination);
    out = std::move(bus);
    return kErrorSuccess;
}

// A call of the manager's own interface that returns nothing the caller needs.
Win32Error CallManager(Bus& b, const char* method, const char* types, ...) {
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(b.bus, &call, kDestination, kManagerPath,
                                           kManagerInterface, method);
    if (r >= 0 && types && *types) {
        va_list args;
        va_start(args, types);
        r = sd_bus_message_appendv(call, types, args);
        va_end(args);
    }
    if (r >= 0) r = sd_bus_call(b.bus, call, 0, &error, &reply);
    const Win32Error e = r < 0 ? FromBus(r, &error) : kErrorSuccess;
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return e;
}

// The object path of a unit, loading it when the manager does not hold it yet.
Win32Error UnitPath(Bus& b, const std::string& unit, std::string& path) {
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(b.bus, kDestination, kManagerPath, kManagerInterface, "LoadUnit",
                               &error, &reply, "s", unit.c_str());
    const char* object = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply, "o", &object);
    const Win32Error e = r < 0 ? FromBus(r, &error) : kErrorSuccess;
    if (!e) path = object;
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return e;
}

// What the manager says of a unit, as far as a status needs it.
struct UnitState {
    std::string load, active, sub, result;
    std::uint32_t mainPid = 0;
    int execCode = 0, execStatus = 0;
    std::uint64_t startedAt = 0;  // ExecMainStartTimestamp: 0 while it never ran
};

// Every property of one interface of an object in one call: `each` is told a property's name
// and must read or skip its value (a variant).
int GetAll(Bus& b, const std::string& path, const char* interface, sd_bus_error* error,
           const std::function<int(std::string_view name, sd_bus_message* m)>& each) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(b.bus, kDestination, path.c_str(), "org.freedesktop.DBus.Properties",
                               "GetAll", error, &reply, "s", interface);
    if (r >= 0) r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{sv}");
    while (r >= 0 &&
           (r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char* name = nullptr;
        r = sd_bus_message_read(reply, "s", &name);
        if (r >= 0) r = each(name, reply);
        if (r >= 0) r = sd_bus_message_exit_container(reply);
    }
    sd_bus_message_unref(reply);
    return r;
}

// The state of a unit: two calls, whatever it is asked for, since each one is a round trip to
// the manager.
Win32Error ReadState(Bus& b, const std::string& unit, UnitState& state) {
    std::string path;
    if (Win32Error e = UnitPath(b, unit, path)) return e;
    sd_bus_error error{};
    auto text = [](sd_bus_message* m, std::string& out) {
        const char* value = nullptr;
        const int r = sd_bus_message_read(m, "v", "s", &value);
        if (r >= 0) out = value;
        return r;
    };
    int r = GetAll(b, path, kUnitInterface, &error, [&](std::string_view name, sd_bus_message* m) {
        if (name == "LoadState") return text(m, state.load);
        if (name == "ActiveState") return text(m, state.active);
        if (name == "SubState") return text(m, state.sub);
        return sd_bus_message_skip(m, "v");
    });
    // A unit that is not loaded has no service properties to read.
    if (r >= 0 && state.load == "loaded")
        r = GetAll(b, path, kServiceInterface, &error,
                   [&](std::string_view name, sd_bus_message* m) {
                       if (name == "Result") return text(m, state.result);
                       if (name == "MainPID")
                           return sd_bus_message_read(m, "v", "u", &state.mainPid);
                       if (name == "ExecMainCode")
                           return sd_bus_message_read(m, "v", "i", &state.execCode);
                       if (name == "ExecMainStatus")
                           return sd_bus_message_read(m, "v", "i", &state.execStatus);
                       if (name == "ExecMainStartTimestamp")
                           return sd_bus_message_read(m, "v", "t", &state.startedAt);
                       return sd_bus_message_skip(m, "v");
                   });
    const Win32Error e = r < 0 ? FromBus(r, &error) : kErrorSuccess;
    sd_bus_error_free(&error);
    return e;
}

bool Running(const UnitState& s) {
    return s.active == "active" || s.active == "reloading" || s.active == "activating" ||
           s.active == "deactivating";
}

// The error of a program that could not run, as the embedded manager gives it. On a host
// reached over SSH the program is not looked at: a missing one is by far the likeliest.
Win32Error ProgramError(const Bus& b, const fs::path& program) {
    if (!b.destination.empty()) return kErrorFileNotFound;
    if (::access(program.c_str(), F_OK) != 0) return kErrorFileNotFound;
    if (::access(program.c_str(), X_OK) != 0) return kErrorAccessDenied;
    return kErrorBadExeFormat;
}

// The unit's state as a SERVICE_STATUS. A stopped unit that failed tells why: a program that
// could not run gives its error, any other end during the start or the run gives
// kErrorProcessAborted, as a process of the embedded manager's that ended without reporting
// "stopped" does.
SERVICE_STATUS_PROCESS StatusOf(const Bus& b, const Registration& r, const UnitState& s) {
    SERVICE_STATUS_PROCESS out{r.type, SERVICE_STOPPED, 0, 0, 0, 0, 0, 0, 0};
    // Between a failure and the restart that Restart=on-failure makes, nothing runs.
    const bool failed = s.active == "failed" || s.sub == "auto-restart";
    if (s.active == "active" || s.active == "reloading") {
        out.dwCurrentState = SERVICE_RUNNING;
        out.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    } else if (failed) {
        out.dwWin32ExitCode =
            s.execStatus == kExecFailed ? ProgramError(b, r.program) : kErrorProcessAborted;
    } else if (s.active == "activating") {
        out.dwCurrentState = SERVICE_START_PENDING;
    } else if (s.active == "deactivating") {
        out.dwCurrentState = SERVICE_STOP_PENDING;
    } else if (s.startedAt == 0) {
        out.dwWin32ExitCode = kErrorServiceNeverStarted;
    }
    if (out.dwCurrentState != SERVICE_STOPPED) out.dwProcessId = s.mainPid;
    return out;
}

// Runs a start or stop job of a unit and waits until the manager has finished it: "done",
// "failed", "timeout" ... in `result`. The signal is watched for before the job is asked for,
// so that a job that ends at once is not missed.
struct JobWatch {
    std::string job, result;
    bool done = false;
};

int OnJobRemoved(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* watch = static_cast<JobWatch*>(userdata);
    std::uint32_t id = 0;
    const char *job = nullptr, *unit = nullptr, *result = nullptr;
    if (sd_bus_message_read(m, "uoss", &id, &job, &unit, &result) < 0) return 0;
    if (!watch->job.empty() && watch->job == job) {
        watch->result = result;
        watch->done = true;
    }
    return 0;
}

Win32Error RunJob(Bus& b, const char* method, const std::string& unit, Clock::time_point deadline,
                  std::string& result) {
    JobWatch watch;
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(b.bus, &slot, kDestination, kManagerPath, kManagerInterface,
                                "JobRemoved", OnJobRemoved, &watch);
    if (r < 0) return FromBus(r, nullptr);
    Win32Error e = b.subscribed ? kErrorSuccess : CallManager(b, "Subscribe", "");
    if (!e) b.subscribed = true;
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    if (!e) {
        r = sd_bus_call_method(b.bus, kDestination, kManagerPath, kManagerInterface, method, &error,
                               &reply, "ss", unit.c_str(), "replace");
        const char* job = nullptr;
        if (r >= 0) r = sd_bus_message_read(reply, "o", &job);
        if (r < 0)
            e = FromBus(r, &error);
        else
            watch.job = job;
    }
    while (!e && !watch.done) {
        r = sd_bus_process(b.bus, nullptr);
        if (r < 0) {
            e = FromBus(r, nullptr);
        } else if (r == 0 && !watch.done) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                e = Fail(kErrorServiceRequestTimeout);
                break;
            }
            r = sd_bus_wait(b.bus, static_cast<std::uint64_t>(
                                       std::chrono::ceil<std::chrono::microseconds>(left).count()));
            if (r < 0) e = FromBus(r, nullptr);
        }
    }
    result = watch.result;
    sd_bus_slot_unref(slot);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return e;
}

// The registrations of ours in the unit directory of the bus's host.
Win32Error Registrations(const Bus& b, std::vector<Registration>& found) {
    found.clear();
    if (!b.destination.empty()) {
        // name NUL text NUL, unit after unit.
        std::string listing;
        if (Win32Error e = ssh::ListUnits(b.destination, listing)) return e;
        std::string_view rest = listing;
        for (;;) {
            const std::size_t nameEnd = rest.find('\0');
            if (nameEnd == std::string_view::npos) break;
            const std::size_t textEnd = rest.find('\0', nameEnd + 1);
            if (textEnd == std::string_view::npos) break;
            if (auto r = ParseUnit(rest.substr(0, nameEnd),
                                   rest.substr(nameEnd + 1, textEnd - nameEnd - 1)))
                found.push_back(std::move(*r));
            rest.remove_prefix(textEnd + 1);
        }
        return kErrorSuccess;
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(kUnitDirectory, ec)) {
        const fs::path& p = entry.path();
        if (p.extension() != ".service" || !entry.is_regular_file(ec)) continue;
        std::ifstream in(p, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (auto r = ParseUnit(p.stem().string(), text.str())) found.push_back(std::move(*r));
    }
    return kErrorSuccess;
}

// The registration of `name`: kErrorServiceDoesNotExist when there is none.
Win32Error FindRegistration(const Bus& b, std::string_view name, Registration& out) {
    std::vector<Registration> all;
    if (Win32Error e = Registrations(b, all)) return e;
    for (Registration& r : all)
        if (EqualsNoCase(r.name, name)) {
            out = std::move(r);
            return kErrorSuccess;
        }
    return Fail(kErrorServiceDoesNotExist);
}

// Removes a unit file of ours.
Win32Error RemoveUnit(const Bus& b, const std::string& name) {
    if (!b.destination.empty())
        return ssh::RemoveUnit(b.destination, name);
    std::error_code ec;
    if (!fs::remove(fs::path(kUnitDirectory) / UnitName(name), ec) && ec)
        return Fail(ErrorFromErrno(ec.value()));
    return kErrorSuccess;
}

// Writes the unit file in one step: a reader never sees half of it. The computer's system
// directory is made too: the service's working directory.
Win32Error WriteUnit(const Bus& b, const Registration& r) {
    if (!b.destination.empty())
        return ssh::WriteUnit(b.destination, r.root.string(), r.name, UnitText(r));
    std::error_code dirError;
    fs::create_directories(r.root / "system32", dirError);
    if (dirError) return Fail(ErrorFromErrno(dirError.value()));
    const fs::path unit = fs::path(kUnitDirectory) / UnitName(r.name);
    fs::path temp = unit;
    temp += ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << UnitText(r);
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            return Fail(kErrorCantWrite);
        }
    }
    std::error_code ec;
    fs::permissions(temp,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    ec);
    fs::rename(temp, unit, ec);
    if (ec) {
        fs::remove(temp, ec);
        return Fail(ErrorFromErrno(ec.value()));
    }
    return kErrorSuccess;
}

// What an open handle stands for. Handles are keys into a table, never addresses.
struct HandleEntry {
    bool isService = false;
    std::shared_ptr<Bus> bus;
    fs::path root;
    std::string name;
    DWORD access = 0;
};

HandleTable<HandleEntry>& Handles() {
    static auto* table = new HandleTable<HandleEntry>(0x7D0004);
    return *table;
}

Win32Error ManagerOf(SC_HANDLE handle, DWORD needed, HandleEntry& entry) {
    return Handles().GetWithAccess(handle, false, needed, entry);
}

// The registration behind a service handle, read afresh: one deleted since the handle was
// opened is gone for it.
Win32Error ServiceOf(SC_HANDLE handle, DWORD needed, HandleEntry& entry, Registration& r) {
    if (Win32Error e = Handles().GetWithAccess(handle, true, needed, entry)) return e;
    const Win32Error e = FindRegistration(*entry.bus, entry.name, r);
    return e == kErrorServiceDoesNotExist ? Fail(kErrorServiceMarkedForDelete) : e;
}

// Registrations change one at a time: two creates of one name must not both succeed. On a host
// reached over SSH there is no lock to take from here: its registrations change one call at a
// time of each console, and two consoles registering one name at the same moment is a race that
// the host's manager then shows (the later unit file is the one it loads).
std::optional<posix::FileLock> RegistrationLock(const Bus& b, const fs::path& root) {
    if (!b.destination.empty()) return std::nullopt;
    std::error_code ec;
    fs::create_directories(root / "scm", ec);
    return std::optional<posix::FileLock>(std::in_place, root / "scm" / "systemd.lock",
                                          Clock::now() + ScmTimeout());
}

class Manager final : public ManagerBackend {
  public:
    SC_HANDLE OpenManager(const Computer& computer, DWORD access) override {
        return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
            std::shared_ptr<Bus> bus;
            if (computer.kind == ComputerKind::kRemote ? OpenRemoteBus(computer.destination, bus)
                                                       : OpenBus(bus))
                return nullptr;
            return Handles().Add(
                HandleEntry{false, std::move(bus), computer.root, {}, ManagerAccess(access)});
        });
    }

    SC_HANDLE CreateService(SC_HANDLE manager, const char* name, const char* displayName,
                            DWORD access, DWORD type, DWORD startType, DWORD errorControl,
                            const char* binaryPath, const char* loadOrderGroup, DWORD* tagId,
                            const char* dependencies, const char* startName) override {
        return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
            HandleEntry m;
            if (ManagerOf(manager, SC_MANAGER_CREATE_SERVICE, m)) return nullptr;
            if (CheckRegistration(name, displayName, type, startType, errorControl, binaryPath,
                                  loadOrderGroup, tagId, dependencies, startName))
                return nullptr;
            Registration r;
            r.name = name;
            r.displayName = DisplayNameOf(name, displayName);
            r.root = m.root;
            r.type = type;
            r.startType = startType;
            r.errorControl = errorControl;
            if (ResolveProgram(m.root, binaryPath, r.program)) return nullptr;
            if (r.root.string().find_first_of("\r\n") != std::string::npos)
                return Fail(kErrorInvalidParameter), nullptr;

            auto lock = RegistrationLock(*m.bus, m.root);
            if (lock && lock->error()) return nullptr;
            std::lock_guard busLock(m.bus->mutex);
            std::vector<Registration> others;
            if (Registrations(*m.bus, others)) return nullptr;
            for (const Registration& other : others) {
                if (EqualsNoCase(other.name, r.name)) return Fail(kErrorServiceExists), nullptr;
                if (NamesClash(other.name, other.displayName, r.name, r.displayName))
                    return Fail(kErrorDuplicateServiceName), nullptr;
            }
            // A unit of the host's own by that name is a service that exists too.
            UnitState state;
            if (!ReadState(*m.bus, UnitName(r.name), state) && state.load != "not-found")
                return Fail(kErrorServiceExists), nullptr;
            if (WriteUnit(*m.bus, r)) return nullptr;
            Win32Error e = CallManager(*m.bus, "Reload", "");
            if (!e && startType == SERVICE_AUTO_START)
                e = CallManager(*m.bus, "EnableUnitFiles", "asbb", 1, UnitName(r.name).c_str(), 0,
                                1);
            if (e) {
                // Not half registered: what the manager refused is taken back.
                RemoveUnit(*m.bus, r.name);
                CallManager(*m.bus, "Reload", "");
                return Fail(e), nullptr;
            }
            return Handles().Add(HandleEntry{true, m.bus, m.root, r.name, ServiceAccess(access)});
        });
    }

    SC_HANDLE OpenService(SC_HANDLE manager, const char* name, DWORD access) override {
        return Guarded<SC_HANDLE>(nullptr, [&]() -> SC_HANDLE {
            HandleEntry m;
            if (ManagerOf(manager, SC_MANAGER_CONNECT, m)) return nullptr;
            if (!name || !IsValidServiceName(name)) return Fail(kErrorInvalidName), nullptr;
            Registration r;
            if (FindRegistration(*m.bus, name, r)) return nullptr;
            return Handles().Add(HandleEntry{true, m.bus, m.root, r.name, ServiceAccess(access)});
        });
    }

    bool StartService(SC_HANDLE service, DWORD argc, const char** argv) override {
        return Guarded(false, [&] {
            if (argc > 0 && !argv) return Fail(kErrorInvalidParameter), false;
            HandleEntry s;
            Registration r;
            if (ServiceOf(service, SERVICE_START, s, r)) return false;
            // A unit's command line is in its file; a start takes no arguments of its own.
            if (argc > 0) return Fail(kErrorNotSupported), false;
            if (r.startType == SERVICE_DISABLED) return Fail(kErrorServiceDisabled), false;
            std::lock_guard lock(s.bus->mutex);
            UnitState state;
            if (ReadState(*s.bus, UnitName(r.name), state)) return false;
            if (Running(state)) return Fail(kErrorServiceAlreadyRunning), false;
            std::string result;
            if (RunJob(*s.bus, "StartUnit", UnitName(r.name), Clock::now() + ScmTimeout(), result))
                return false;
            if (result == "done") return true;
            if (result == "timeout") return Fail(kErrorServiceRequestTimeout), false;
            if (ReadState(*s.bus, UnitName(r.name), state)) return false;
            // The program that could not run, or the process that ended during its start.
            return Fail(state.execStatus == kExecFailed ? ProgramError(*s.bus, r.program)
                                                        : kErrorProcessAborted),
                   false;
        });
    }

    bool ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
        return Guarded(false, [&] {
            DWORD needed = 0;
            if (CheckControl(Handles(), service, control, needed)) return false;
            HandleEntry s;
            Registration r;
            if (ServiceOf(service, needed, s, r)) return false;
            std::lock_guard lock(s.bus->mutex);
            auto report = [&](Win32Error e) {
                UnitState state;
                if (!ReadState(*s.bus, UnitName(r.name), state) && status) {
                    const SERVICE_STATUS_PROCESS n = StatusOf(*s.bus, r, state);
                    *status = SERVICE_STATUS{n.dwServiceType,
                                             n.dwCurrentState,
                                             n.dwControlsAccepted,
                                             n.dwWin32ExitCode,
                                             n.dwServiceSpecificExitCode,
                                             n.dwCheckPoint,
                                             n.dwWaitHint};
                }
                return e ? (Fail(e), false) : true;
            };
            UnitState state;
            if (ReadState(*s.bus, UnitName(r.name), state)) return false;
            const SERVICE_STATUS_PROCESS now = StatusOf(*s.bus, r, state);
            if (now.dwCurrentState == SERVICE_STOPPED) return report(kErrorServiceNotActive);
            if (control == SERVICE_CONTROL_INTERROGATE) return report(kErrorSuccess);
            if (now.dwCurrentState != SERVICE_RUNNING) return report(kErrorServiceCannotAcceptCtrl);
            // The manager stops a unit; it has no way to pause one.
            if (control != SERVICE_CONTROL_STOP) return report(kErrorInvalidServiceControl);
            std::string result;
            if (RunJob(*s.bus, "StopUnit", UnitName(r.name), Clock::now() + ScmTimeout(), result))
                return report(GetLastError());
            return report(result == "done" ? kErrorSuccess : kErrorServiceRequestTimeout);
        });
    }

    bool DeleteService(SC_HANDLE service) override {
        return Guarded(false, [&] {
            HandleEntry s;
            Registration r;
            if (ServiceOf(service, kDelete, s, r)) return false;
            auto lock = RegistrationLock(*s.bus, s.root);
            if (lock && lock->error()) return false;
            std::lock_guard busLock(s.bus->mutex);
            const std::string unit = UnitName(r.name);
            if (Win32Error e = CallManager(*s.bus, "DisableUnitFiles", "asb", 1, unit.c_str(), 0))
                return Fail(e), false;
            if (RemoveUnit(*s.bus, r.name)) return false;
            // A running service keeps running until it is stopped; its registration is gone now.
            return CallManager(*s.bus, "Reload", "") == kErrorSuccess;
        });
    }

    bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) override {
        return Guarded(false, [&] {
            HandleEntry s;
            Registration r;
            if (ServiceOf(service, SERVICE_QUERY_STATUS, s, r)) return false;
            std::lock_guard lock(s.bus->mutex);
            UnitState state;
            if (ReadState(*s.bus, UnitName(r.name), state)) return false;
            *status = StatusOf(*s.bus, r, state);
            return true;
        });
    }

    bool CloseHandle(SC_HANDLE handle) override {
        if (!Handles().Remove(handle)) return Fail(kErrorInvalidHandle), false;
        return true;
    }
};

}  // namespace

}  // namespace platform::scm::systemd

namespace platform::scm {

ManagerBackend& SystemdManager() {
    static auto* manager = new systemd::Manager;
    return *manager;
}

}  // namespace platform::scm
