// Which computer a name means on Linux: this one, a simulated one (a directory of
// ZANTOR_NETWORK), or a host reached over SSH; and where their places are. The SSH session the
// programs run in is ssh/'s to find (ssh_session_posix.cpp).
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include "platform/computer.h"
#include "platform/computer_places.h"
#include "platform/names.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

}  // namespace

bool IsLocalComputerName(std::string_view name) {
    name = WithoutUncPrefix(name);
    if (name.empty() || name == "." || EqualsNoCase(name, "localhost")) return true;
    std::string host = HostName();
    return !host.empty() && EqualsNoCase(name, host);
}

fs::path LocalComputerRoot() {
    if (const char* root = std::getenv("ZANTOR_ROOT"); root && *root) return fs::path(root);
    if (geteuid() == 0) return fs::path("/var/lib/zantor");
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return fs::path(state) / "zantor";
    if (const char* home = std::getenv("HOME"); home && *home)
        return fs::path(home) / ".local" / "state" / "zantor";
    return fs::path("/tmp/zantor");
}

Win32Error RemoteComputerRoot(fs::path& root) {
    const char* set = std::getenv("ZANTOR_REMOTE_ROOT");
    const std::string_view text = set && *set ? set : "/var/lib/zantor";
    if (Win32Error e = CheckRootPath(text)) return e;
    root = fs::path(text);
    return kErrorSuccess;
}

Win32Error FindOtherComputer(std::string_view name, Computer& computer) {
    // Only a directory's own entry can match, so the name never becomes part of a path.
    const char* network = std::getenv("ZANTOR_NETWORK");
    if (network && *network) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(network, ec)) {
            if (entry.is_directory(ec) && EqualsNoCase(entry.path().filename().string(), name)) {
                computer = Computer{ComputerKind::kSimulated, entry.path(), {}};
                return kErrorSuccess;
            }
        }
    }
    fs::path root;
    if (Win32Error e = RemoteComputerRoot(root)) return e;
    computer = Computer{ComputerKind::kRemote, std::move(root), std::string(name)};
    return kErrorSuccess;
}

bool ReachableByPath(const Computer& computer) {
    return computer.kind != ComputerKind::kRemote;
}

fs::path PipePath(const Computer& computer, std::string_view name) {
    return computer.root / "pipe" / std::string(name);
}

}  // namespace platform
