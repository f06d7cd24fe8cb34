// Computer names and the places that Windows names lead to: the rules every platform shares.
// Which other computer a name means, and where its places are, is each platform's own
// (linux/computer_posix.cpp, win32/computer_win32.cpp).
#include <algorithm>

#include "platform/computer.h"
#include "platform/computer_places.h"
#include "platform/names.h"

namespace platform {

namespace fs = std::filesystem;

// "\\NAME" names the computer NAME, as the service control manager and the registry take it.
std::string_view WithoutUncPrefix(std::string_view name) {
    if (name.starts_with("\\\\")) name.remove_prefix(2);
    return name;
}

Win32Error FindComputer(std::string_view name, Computer& computer) {
    if (Win32Error e = CheckComputerName(name)) return e;
    name = WithoutUncPrefix(name);
    if (IsLocalComputerName(name)) {
        computer = Computer{ComputerKind::kThis, LocalComputerRoot(), {}};
        return kErrorSuccess;
    }
    return FindOtherComputer(name, computer);
}

namespace {

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

// The path of a place located with `located`, on this machine: a place that cannot be reached by
// path from here (a host over SSH) has none (kErrorBadNetPath).
Win32Error PathHere(Win32Error located, Place& place, fs::path& path) {
    if (located) return located;
    if (!ReachableByPath(place.computer)) return Fail(kErrorBadNetPath);
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

Win32Error CheckRootPath(std::string_view path) {
    const bool plain = path.starts_with('/') && path.find("..") == std::string_view::npos &&
                       std::all_of(path.begin(), path.end(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                  (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '-' ||
                                  c == '_';
                       });
    return plain ? kErrorSuccess : Fail(kErrorInvalidName);
}

Win32Error ComputerRoot(std::string_view name, fs::path& root) {
    Computer computer;
    if (Win32Error e = FindComputer(name, computer)) return e;
    if (!ReachableByPath(computer)) return Fail(kErrorBadNetPath);
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
    place.path = PipePath(place.computer, name);
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
