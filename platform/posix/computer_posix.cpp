#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/computer.h"
#include "platform/names.h"
#include "platform/ssh/ssh_transport.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

// "\\NAME" names the computer NAME, as the service control manager and the registry take it.
std::string_view WithoutUncPrefix(std::string_view name) {
    if (name.starts_with("\\\\")) name.remove_prefix(2);
    return name;
}

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

// ASCII only, whatever the locale says a letter is.
bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == '@' || c == ':' || c == '[' || c == ']';
}

// Splits "\\COMPUTER\rest" into COMPUTER (possibly empty: this computer) and rest (without its
// leading backslash). False for a path that does not start with "\\".
bool SplitUnc(std::string_view path, std::string_view& computer, std::string_view& rest) {
    if (!path.starts_with("\\\\")) return false;
    path.remove_prefix(2);
    const auto slash = path.find('\\');
    computer = path.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
    return true;
}

// A path below a share, built part by part: backslashes and slashes both separate, as on
// Windows, empty parts are none (so the path stays below the share, never absolute), and no
// part may be "..", which would climb above it.
Win32Error BelowShare(std::string_view rest, fs::path& path) {
    fs::path below;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find_first_of("\\/"), rest.size());
        const std::string_view part = rest.substr(0, end);
        if (part == "..") return Fail(kErrorInvalidName);
        if (!part.empty()) below /= std::string(part);
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    path = std::move(below);
    return kErrorSuccess;
}

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The path of a place located with `located`, on this machine: a place on a host reached over
// SSH has none here (kErrorBadNetPath).
Win32Error PathHere(Win32Error located, Place& place, fs::path& path) {
    if (located) return located;
    if (place.computer.kind == ComputerKind::kRemote) return Fail(kErrorBadNetPath);
    path = std::move(place.path);
    return kErrorSuccess;
}

fs::path BackslashesToPath(std::string_view rest) {
    std::string p(rest);
    for (char& c : p)
        if (c == '\\') c = '/';
    return fs::path(p);
}

}  // namespace

Win32Error CheckComputerName(std::string_view name) {
    name = WithoutUncPrefix(name);
    if (name.empty() || name == ".") return kErrorSuccess;
    const bool formed = name.size() <= kMaxComputerName && name.front() != '-' &&
                        name.front() != '.' && name.find("..") == std::string_view::npos &&
                        std::all_of(name.begin(), name.end(), IsNameCharacter);
    return formed ? kErrorSuccess : Fail(kErrorInvalidName);
}

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

Win32Error ComputerRoot(std::string_view name, fs::path& root) {
    Computer computer;
    if (Win32Error e = FindComputer(name, computer)) return e;
    if (computer.kind == ComputerKind::kRemote) return Fail(kErrorBadNetPath);
    root = std::move(computer.root);
    return kErrorSuccess;
}

Win32Error LocatePipe(std::string_view pipeName, Place& place) {
    std::string_view computer, rest;
    if (!SplitUnc(pipeName, computer, rest)) return Fail(kErrorInvalidName);
    auto slash = rest.find('\\');
    if (slash == std::string_view::npos || !EqualsNoCase(rest.substr(0, slash), "pipe"))
        return Fail(kErrorInvalidName);
    std::string_view name = rest.substr(slash + 1);
    // The name travels to the far side of a remote computer as a line: plain characters only.
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("\\/") != std::string_view::npos || HasControlCharacter(name))
        return Fail(kErrorInvalidName);
    if (Win32Error e = FindComputer(computer, place.computer)) return e;
    place.path = place.computer.root / "pipe" / std::string(name);
    return kErrorSuccess;
}

Win32Error ResolvePipeName(std::string_view pipeName, fs::path& socketPath) {
    Place place;
    return PathHere(LocatePipe(pipeName, place), place, socketPath);
}

Win32Error LocateFile(std::string_view windowsPath, Place& place) {
    std::string_view computer, rest;
    if (SplitUnc(windowsPath, computer, rest)) {
        if (Win32Error e = FindComputer(computer, place.computer)) return e;
        const auto slash = rest.find('\\');
        if (!EqualsNoCase(rest.substr(0, slash), "ADMIN$")) return Fail(kErrorBadNetPath);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    } else if (StartsWithNoCase(windowsPath, "%SystemRoot%")) {
        place.computer = Computer{ComputerKind::kThis, LocalComputerRoot(), {}};
        rest = windowsPath.substr(std::string_view("%SystemRoot%").size());
    } else {
        place.computer = Computer{ComputerKind::kThis, LocalComputerRoot(), {}};
        place.path = BackslashesToPath(windowsPath);
        return kErrorSuccess;
    }
    // A path on the far side travels there as a line: no control characters in it.
    if (place.computer.kind == ComputerKind::kRemote && HasControlCharacter(rest))
        return Fail(kErrorInvalidName);
    fs::path below;
    if (Win32Error e = BelowShare(rest, below)) return e;
    place.path = place.computer.root / below;
    return kErrorSuccess;
}

Win32Error ResolveFilePath(std::string_view windowsPath, fs::path& path) {
    Place place;
    return PathHere(LocateFile(windowsPath, place), place, path);
}

}  // namespace platform
