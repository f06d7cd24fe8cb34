#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <system_error>

#include "platform/computer.h"
#include "platform/names.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::string_view StripBackslashes(std::string_view name) {
    while (!name.empty() && name.front() == '\\') name.remove_prefix(1);
    return name;
}

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

// Splits "\\COMPUTER\rest" into COMPUTER and rest (rest without its leading backslash).
bool SplitUnc(std::string_view path, std::string_view& computer, std::string_view& rest) {
    if (path.size() < 3 || path[0] != '\\' || path[1] != '\\') return false;
    path.remove_prefix(2);
    auto slash = path.find('\\');
    if (slash == std::string_view::npos || slash == 0) return false;
    computer = path.substr(0, slash);
    rest = path.substr(slash + 1);
    return true;
}

fs::path BackslashesToPath(std::string_view rest) {
    std::string p(rest);
    for (char& c : p)
        if (c == '\\') c = '/';
    return fs::path(p);
}

}  // namespace

bool IsLocalComputerName(std::string_view name) {
    name = StripBackslashes(name);
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

Win32Error ComputerRoot(std::string_view name, fs::path& root) {
    name = StripBackslashes(name);
    if (IsLocalComputerName(name)) {
        root = LocalComputerRoot();
        return kErrorSuccess;
    }
    const char* network = std::getenv("ZANTOR_NETWORK");
    if (network && *network && name.find('/') == std::string_view::npos && name != "..") {
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
    std::string_view computer, rest;
    if (SplitUnc(windowsPath, computer, rest)) {
        auto slash = rest.find('\\');
        std::string_view share = rest.substr(0, slash);
        if (!EqualsNoCase(share, "ADMIN$")) return Fail(kErrorBadNetPath);
        fs::path root;
        if (Win32Error e = ComputerRoot(computer, root)) return e;
        path = slash == std::string_view::npos ? root
                                               : root / BackslashesToPath(rest.substr(slash + 1));
        return kErrorSuccess;
    }
    constexpr std::string_view kSystemRoot = "%SystemRoot%";
    if (windowsPath.size() >= kSystemRoot.size() &&
        EqualsNoCase(windowsPath.substr(0, kSystemRoot.size()), kSystemRoot)) {
        std::string_view tail = windowsPath.substr(kSystemRoot.size());
        while (!tail.empty() && (tail.front() == '\\' || tail.front() == '/'))
            tail.remove_prefix(1);
        path = LocalComputerRoot() / BackslashesToPath(tail);
        return kErrorSuccess;
    }
    path = BackslashesToPath(windowsPath);
    return kErrorSuccess;
}

}  // namespace platform
