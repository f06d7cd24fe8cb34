// Which computer a name means on Windows: this one, or another that the system reaches by its
// name (its pipes as \\NAME\pipe\..., its Windows directory as the administrative share
// \\NAME\ADMIN$). There are no computer roots: a computer's "root" is its Windows directory, so
// that root\system32 is its system directory, here and on the share alike.
#include "platform/computer.h"
#include "platform/computer_places.h"
#include "platform/names.h"

#include <windows.h>

#include <string>

namespace platform {

namespace fs = std::filesystem;

namespace {

std::string NameOf(COMPUTER_NAME_FORMAT format) {
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    return ::GetComputerNameExA(format, buffer, &size) ? std::string(buffer, size) : std::string();
}

}  // namespace

bool IsLocalComputerName(std::string_view name) {
    name = WithoutUncPrefix(name);
    if (name.empty() || name == "." || EqualsNoCase(name, "localhost")) return true;
    for (COMPUTER_NAME_FORMAT format :
         {ComputerNameNetBIOS, ComputerNameDnsHostname, ComputerNameDnsFullyQualified}) {
        const std::string own = NameOf(format);
        if (!own.empty() && EqualsNoCase(name, own)) return true;
    }
    return false;
}

// Administrators reach Windows computers over the system's own network, not SSH.
SshSession FindSshSession(std::string_view) {
    return {};
}

void AcceptNewHostKeys() {}

fs::path LocalComputerRoot() {
    char buffer[MAX_PATH + 1] = {};
    const UINT length = ::GetWindowsDirectoryA(buffer, sizeof buffer);
    if (length == 0 || length > MAX_PATH) return fs::path("C:\\Windows");
    return fs::path(std::string(buffer, length));
}

Win32Error RemoteComputerRoot(fs::path&) {
    return Fail(kErrorNotSupported);
}

Win32Error FindOtherComputer(std::string_view name, Computer& computer) {
    const std::string unc = "\\\\" + std::string(name);
    computer = Computer{ComputerKind::kRemote, fs::path(unc + "\\ADMIN$"), std::string(name)};
    return kErrorSuccess;
}

bool ReachableByPath(const Computer&) {
    return true;
}

fs::path PipePath(const Computer& computer, std::string_view name) {
    const std::string host = computer.kind == ComputerKind::kThis ? "." : computer.destination;
    return fs::path("\\\\" + host + "\\pipe\\" + std::string(name));
}

}  // namespace platform
