// Which computer a name means on Linux: this one, a simulated one (a directory of
// ZANTOR_NETWORK), or a host reached over SSH; and where their places are.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/computer.h"
#include "platform/computer_places.h"
#include "platform/names.h"
#include "platform/ssh/ssh_transport.h"

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

namespace {

// "client-address client-port server-address server-port", as sshd sets $SSH_CONNECTION.
bool ParseSshConnection(std::string_view text, SshSessionEnd* end) {
    std::istringstream words{std::string(text)};
    std::string client, clientPort, address;
    int port = 0;
    if (!(words >> client >> clientPort >> address >> port) || port <= 0 || port > 65535)
        return false;
    *end = SshSessionEnd{address, port, client};
    return true;
}

}  // namespace

bool SshSessionInto(std::string_view computer, SshSessionEnd* end) {
    Computer where;
    if (FindComputer(computer, where)) return false;
    if (where.kind == ComputerKind::kThis) {
        const char* connection = std::getenv("SSH_CONNECTION");
        return connection && ParseSshConnection(connection, end);
    }
    if (where.kind != ComputerKind::kRemote) return false;
    // Asked once per host and program run: the far side's view of our session.
    static std::mutex mutex;
    static std::map<std::string, SshSessionEnd> known;
    {
        std::lock_guard lock(mutex);
        if (auto it = known.find(where.destination); it != known.end()) {
            *end = it->second;
            return true;
        }
    }
    std::string connection;
    if (ssh::SessionEnd(where.destination, connection) || !ParseSshConnection(connection, end))
        return false;
    std::lock_guard lock(mutex);
    known[where.destination] = *end;
    return true;
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
    // The far side's shell sees this path (as a quoted word); plain characters only.
    const bool plain = text.front() == '/' && text.find("..") == std::string_view::npos &&
                       std::all_of(text.begin(), text.end(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '-' ||
                                  c == '_';
                       });
    if (!plain) return Fail(kErrorInvalidName);
    root = fs::path(text);
    return kErrorSuccess;
}

Win32Error FindComputer(std::string_view name, Computer& computer) {
    if (Win32Error e = CheckComputerName(name)) return e;
    name = WithoutUncPrefix(name);
    if (IsLocalComputerName(name)) {
        computer = Computer{ComputerKind::kThis, LocalComputerRoot(), {}};
        return kErrorSuccess;
    }
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
