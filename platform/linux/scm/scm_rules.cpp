#include "platform/linux/scm/scm_rules.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/computer.h"
#include "platform/names.h"

namespace platform::scm {

namespace {

constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kStandardRead = 0x20000;
constexpr DWORD kUserDefinedControl = 0x100;

bool HasControlCharacters(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
    return false;
}

std::string Slashes(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

}  // namespace

DWORD ManagerAccess(DWORD a) {
    if (a & (kGenericAll | kMaximumAllowed)) a |= SC_MANAGER_ALL_ACCESS;
    if (a & kGenericRead) a |= kStandardRead | 0x4 | 0x10;
    if (a & kGenericWrite) a |= kStandardRead | SC_MANAGER_CREATE_SERVICE | 0x20;
    if (a & kGenericExecute) a |= kStandardRead | SC_MANAGER_CONNECT | 0x8;
    return a | SC_MANAGER_CONNECT;
}

DWORD ServiceAccess(DWORD a) {
    if (a & (kGenericAll | kMaximumAllowed)) a |= SERVICE_ALL_ACCESS;
    if (a & kGenericRead)
        a |= kStandardRead | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
             SERVICE_ENUMERATE_DEPENDENTS;
    if (a & kGenericWrite) a |= kStandardRead | SERVICE_CHANGE_CONFIG;
    if (a & kGenericExecute)
        a |= kStandardRead | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
             kUserDefinedControl;
    return a;
}

bool IsValidServiceName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/' || c == '\\')
            return false;
    return true;
}

Win32Error CheckRegistration(const char* name, const char* displayName, DWORD type, DWORD startType,
                             DWORD errorControl, const char* binaryPath, const char* loadOrderGroup,
                             const DWORD* tagId, const char* dependencies, const char* startName) {
    if (!name || !IsValidServiceName(name)) return Fail(kErrorInvalidName);
    const std::string_view display = DisplayNameOf(name, displayName);
    if (display.size() > 256 || HasControlCharacters(display)) return Fail(kErrorInvalidName);
    const DWORD kind = type & ~SERVICE_INTERACTIVE_PROCESS;
    if (!binaryPath || !*binaryPath || HasControlCharacters(binaryPath) ||
        (kind != SERVICE_WIN32_OWN_PROCESS && kind != SERVICE_WIN32_SHARE_PROCESS) ||
        startType < SERVICE_AUTO_START || startType > SERVICE_DISABLED ||
        errorControl > SERVICE_ERROR_CRITICAL || tagId)
        return Fail(kErrorInvalidParameter);
    if ((loadOrderGroup && *loadOrderGroup) || (dependencies && *dependencies))
        return Fail(kErrorNotSupported);
    if (startName && *startName && !EqualsNoCase(startName, "LocalSystem") &&
        !EqualsNoCase(startName, ".\\LocalSystem"))
        return Fail(kErrorInvalidServiceAccount);
    return kErrorSuccess;
}

bool NamesClash(std::string_view otherName, std::string_view otherDisplay, std::string_view name,
                std::string_view display) {
    return EqualsNoCase(otherDisplay, display) || EqualsNoCase(otherName, display) ||
           EqualsNoCase(otherDisplay, name);
}

Win32Error ResolveProgram(const std::filesystem::path& root, std::string_view binary,
                          std::filesystem::path& program) {
    if (binary.size() >= 2 && binary.front() == '"' && binary.back() == '"')
        binary = binary.substr(1, binary.size() - 2);
    constexpr std::string_view kSystemRoot = "%SystemRoot%";
    if (StartsWithNoCase(binary, kSystemRoot)) {
        std::string rest = Slashes(binary.substr(kSystemRoot.size()));
        while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
        program = root / rest;
        return kErrorSuccess;
    }
    if (binary.substr(0, 2) == "\\\\") return ResolveFilePath(binary, program);
    program = Slashes(binary);
    if (program.is_relative()) program = SystemDirectory(root) / program;
    return kErrorSuccess;
}

std::chrono::milliseconds ScmTimeout() {
    if (const char* text = std::getenv("ZANTOR_SCM_TIMEOUT_MS")) {
        long value = 0;
        auto [end, ec] = std::from_chars(text, text + std::strlen(text), value);
        if (ec == std::errc() && *end == '\0' && value > 0) return std::chrono::milliseconds(value);
    }
    return std::chrono::seconds(30);
}

}  // namespace platform::scm
