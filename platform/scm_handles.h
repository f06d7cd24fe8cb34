// What the service control manager port shares on every system: handles that are looked up in a
// table of the port's own, never trusted as addresses, and a guard that keeps whatever the work
// behind a call throws inside the port.
#pragma once

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/scm.h"

namespace platform::scm {

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
