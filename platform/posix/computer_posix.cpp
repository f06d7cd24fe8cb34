#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <system_error>

#include "platform/computer.h"
#include "platform/names.h"

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

bool SshSessionInto(std::string_view computer, SshSessionEnd* end) {
    if (!IsLocalComputerName(computer)) return false;
    // "client-address client-port server-address server-port", as sshd sets it.
    const char* connection = std::getenv("SSH_CONNECTION");
    if (!connection) return false;
    std::istringstream words(connection);
    std::string client, clientPort, address;
    int port = 0;
    if (!(words >> client >> clientPort >> address >> port) || port <= 0 || port > 65535)
        return false;
    end->clientAddress = client;
    end->address = address;
    end->port = port;
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

Win32Error ComputerRoot(std::string_view name, fs::path& root) {
    if (Win32Error e = CheckComputerName(name)) return e;
    name = WithoutUncPrefix(name);
    if (IsLocalComputerName(name)) {
        root = LocalComputerRoot();
        return kErrorSuccess;
    }
    // Only a directory's own entry can match, so the name never becomes part of a path.
    const char* network = std::getenv("ZANTOR_NETWORK");
    if (network && *network) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(network, ec)) {
            if (entry.is_directory(ec) && EqualsNoCase(entry.path().filename().string(), name)) {
                root = entry.path();
                return kErrorSuccess;
            }
        }
    }
    return Fail(kErrorBadNetPath);
}

Win32Error ResolvePipeName(std::string_view pipeName, fs::path& socketPath) {
    std::string_view computer, rest;
    if (!SplitUnc(pipeName, computer, rest)) return Fail(kErrorInvalidName);
    auto slash = rest.find('\\');
    if (slash == std::string_view::npos || !EqualsNoCase(rest.substr(0, slash), "pipe"))
        return Fail(kErrorInvalidName);
    std::string_view name = rest.substr(slash + 1);
    if (name.empty() || name.find('\\') != std::string_view::npos ||
        name.find('/') != std::string_view::npos || name == "." || name == "..")
        return Fail(kErrorInvalidName);
    fs::path root;
    if (Win32Error e = ComputerRoot(computer, root)) return e;
    socketPath = root / "pipe" / std::string(name);
    return kErrorSuccess;
}

Win32Error ResolveFilePath(std::string_view windowsPath, fs::path& path) {
    fs::path root;
    std::string_view computer, rest;
    if (SplitUnc(windowsPath, computer, rest)) {
        if (Win32Error e = ComputerRoot(computer, root)) return e;
        const auto slash = rest.find('\\');
        if (!EqualsNoCase(rest.substr(0, slash), "ADMIN$")) return Fail(kErrorBadNetPath);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    } else if (StartsWithNoCase(windowsPath, "%SystemRoot%")) {
        root = LocalComputerRoot();
        rest = windowsPath.substr(std::string_view("%SystemRoot%").size());
    } else {
        path = BackslashesToPath(windowsPath);
        return kErrorSuccess;
    }
    fs::path below;
    if (Win32Error e = BelowShare(rest, below)) return e;
    path = root / below;
    return kErrorSuccess;
}

}  // namespace platform
