// What every service control manager behind platform/scm.h holds to alike: the access rights a
// handle grants, what a registration may say, where its program is, how long a call waits, and
// that nothing thrown leaves the port.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/scm.h"

namespace platform::scm {

// The rights a handle opened with `desired` grants, the generic rights mapped as on Windows.
DWORD ManagerAccess(DWORD desired);
DWORD ServiceAccess(DWORD desired);
inline constexpr DWORD kDelete = 0x10000;

// 1..255 printable characters, no "/" or "\", not "." or "..".
bool IsValidServiceName(std::string_view name);

// Whether a new service (`name`, `display`) and a registered one (`otherName`, `otherDisplay`)
// have a name in common that is not the service name itself (kErrorDuplicateServiceName): a
// display name is unique among both names and display names, in any letter case.
bool NamesClash(std::string_view otherName, std::string_view otherDisplay, std::string_view name,
                std::string_view display);

// The checks CreateServiceA makes of its arguments, in its order, once the manager handle and
// the right to create have been checked: kErrorInvalidName, kErrorInvalidParameter,
// kErrorNotSupported or kErrorInvalidServiceAccount (also as the last error).
Win32Error CheckRegistration(const char* name, const char* displayName, DWORD type, DWORD startType,
                             DWORD errorControl, const char* binaryPath, const char* loadOrderGroup,
                             const DWORD* tagId, const char* dependencies, const char* startName);

// The display name a registration gets: the one given, or the service name.
inline std::string_view DisplayNameOf(const char* name, const char* displayName) {
    return displayName && *displayName ? displayName : name;
}

// The registered program path on the Linux side of the computer `root`. "%SystemRoot%" is that
// computer's root, not ours: a service registered on another computer runs from its system
// directory. Other paths are Linux paths (backslashes become slashes); a relative one is taken
// from the system directory.
Win32Error ResolveProgram(const std::filesystem::path& root, std::string_view binary,
                          std::filesystem::path& program);

// How long a manager waits for a start or a control (ZANTOR_SCM_TIMEOUT_MS, else 30 s).
std::chrono::milliseconds ScmTimeout();

// Runs `body` so that nothing it throws leaves the port: memory exhaustion becomes
// kErrorNotEnoughMemory, anything else kErrorInternalError, and `failure` is returned.
template <class R, class F>
R Guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        Fail(kErrorNotEnoughMemory);
    } catch (...) {
        Fail(kErrorInternalError);
    }
    return failure;
}

// Handles of one kind, each standing for an Entry. Handles are keys into the table, never
// addresses: a handle that was closed, or never was one, is not found and never dereferenced.
// Tables live as long as the process (they are made with new and never freed), since handles
// may be used until its last thread ends.
template <class Entry>
class HandleTable {
  public:
    explicit HandleTable(std::uintptr_t first) : next_(first) {}
    SC_HANDLE Add(Entry entry) {
        std::lock_guard lock(mutex_);
        const std::uintptr_t value = next_;
        next_ += 4;
        entries_.emplace(value, std::move(entry));
        return reinterpret_cast<SC_HANDLE>(value);
    }
    bool Get(SC_HANDLE handle, Entry& entry) {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == entries_.end()) return false;
        entry = it->second;
        return true;
    }
    // Get, for a handle of the kind asked for (a service's or a manager's) opened with every
    // right in `needed`: kErrorInvalidHandle or kErrorAccessDenied otherwise.
    Win32Error GetWithAccess(SC_HANDLE handle, bool service, DWORD needed, Entry& entry) {
        if (!Get(handle, entry) || entry.isService != service) return Fail(kErrorInvalidHandle);
        if ((entry.access & needed) != needed) return Fail(kErrorAccessDenied);
        return kErrorSuccess;
    }
    // Get, and the handle is closed.
    bool Take(SC_HANDLE handle, Entry& entry) {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == entries_.end()) return false;
        entry = std::move(it->second);
        entries_.erase(it);
        return true;
    }
    bool Remove(SC_HANDLE handle) {
        std::lock_guard lock(mutex_);
        return entries_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
    }

  private:
    std::mutex mutex_;
    std::unordered_map<std::uintptr_t, Entry> entries_;
    std::uintptr_t next_;
};

}  // namespace platform::scm
