// The service control manager's database on disk, shared by the manager calls of any process
// and by the service processes themselves.
//
//   scm/lock                      flock'ed around every read-modify-write of the registrations
//   scm/services/NAME/config      the registration (NAME in lower case: names ignore case)
//   scm/services/NAME/status      the last status the service reported, with its process
//   scm/services/NAME/control.PID the control socket of the running service process
//   scm/services/NAME/output      the service process's standard output and error
//
// Registrations change only under the lock. The status is written by the service process, and
// under the lock by a starter: it claims the service for the process it launched (starting, no
// control socket yet) and, when that start fails, records it stopped. Both are replaced whole
// (ReplaceFile), so a reader never needs the lock to see a consistent record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/process_posix.h"
#include "platform/names.h"
#include "platform/scm.h"

namespace platform::posix {

struct ServiceConfig {
    std::string name;  // as registered
    std::string displayName;
    std::string binaryPath;  // as registered, in its Windows form
    DWORD type = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    // Tells a registration apart from a later one of the same name: handles of a removed
    // service must not reach its successor.
    std::uint64_t instance = 0;
    bool markedForDelete = false;
};

struct StatusRecord {
    SERVICE_STATUS status{};
    ProcessIdentity process;
    std::string controlSocket;
};

// A service as a manager sees it now.
struct ServiceView {
    SERVICE_STATUS status{};
    bool running = false;  // its process lives and has not reported SERVICE_STOPPED
    ProcessIdentity process;
    std::string controlSocket;
};

using platform::EqualsNoCase;

class ServiceDatabase {
  public:
    explicit ServiceDatabase(std::filesystem::path scmDir) : dir_(std::move(scmDir)) {}

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path LockPath() const { return dir_ / "lock"; }
    std::filesystem::path ServiceDir(std::string_view name) const;

    // Creates the database's folders.
    Win32Error Prepare() const;

    // kErrorServiceDoesNotExist when not registered, kErrorBadDb when unreadable.
    Win32Error ReadConfig(std::string_view name, ServiceConfig& config) const;
    Win32Error WriteConfig(const ServiceConfig& config) const;
    std::vector<ServiceConfig> ListConfigs() const;

    // kErrorFileNotFound when the service never reported.
    Win32Error ReadStatus(std::string_view name, StatusRecord& record) const;
    Win32Error WriteStatus(std::string_view name, const StatusRecord& record) const;

    ServiceView View(const ServiceConfig& config) const;

    // With the lock held: removes the service when it is marked for deletion and no longer
    // runs. True when it was removed.
    bool RemoveIfDoomed(std::string_view name) const;
    void Remove(std::string_view name) const;

  private:
    std::filesystem::path dir_;
};

}  // namespace platform::posix
