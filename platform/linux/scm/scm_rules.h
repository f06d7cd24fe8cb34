// What both service control managers of Linux hold to alike: the access rights a handle grants,
// what a registration may say, where its program is and how long a call waits. The handle table
// and the guard that keeps exceptions inside the port are every system's (platform/scm_handles.h).
#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>

#include "platform/errors.h"
#include "platform/scm.h"
#include "platform/scm_handles.h"

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

// The checks ControlService makes before it looks at the service: a control other than stop,
// pause, continue and interrogate is kErrorInvalidParameter when `service` is a handle of
// `handles` at all, else kErrorInvalidHandle. `needed` receives the right the control takes.
template <class Entry>
Win32Error CheckControl(HandleTable<Entry>& handles, SC_HANDLE service, DWORD control,
                        DWORD& needed) {
    static constexpr DWORD kNeeded[] = {0, SERVICE_STOP, SERVICE_PAUSE_CONTINUE,
                                        SERVICE_PAUSE_CONTINUE, SERVICE_INTERROGATE};
    if (control < SERVICE_CONTROL_STOP || control > SERVICE_CONTROL_INTERROGATE) {
        Entry entry;
        return Fail(handles.Get(service, entry) ? kErrorInvalidParameter : kErrorInvalidHandle);
    }
    needed = kNeeded[control];
    return kErrorSuccess;
}

}  // namespace platform::scm
