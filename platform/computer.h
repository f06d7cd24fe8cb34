// Computers and their roots.
//
// On Linux a computer is a directory, its root: the local one is named by ZANTOR_ROOT (default
// /var/lib/zantor for root, else $XDG_STATE_HOME/zantor), other computers are subdirectories of
// ZANTOR_NETWORK, matched by name in any letter case. Every Windows name the programs use (pipe
// names, administrative shares, %SystemRoot%, the registry of a named computer) is turned into a
// place inside a root here and nowhere else.
//
//   root/system32/     the system directory, %SystemRoot%\system32, \\computer\ADMIN$\system32
//   root/pipe/NAME     the named pipe \\.\Pipe\NAME (a Unix stream socket)
//   root/registry/     the registry
//   root/scm/          the service control manager's database
//   root/driver/       the packet filter driver's sockets
//   root/ipaddrtable   the address table, when present
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace platform {

// True for the names that mean this computer: "", ".", "localhost" and the host's own name, in
// any letter case (leading backslashes are ignored).
bool IsLocalComputerName(std::string_view name);

// The local computer's root (not created).
std::filesystem::path LocalComputerRoot();

// The root of the computer called `name`. kErrorBadNetPath when no such computer exists.
Win32Error ComputerRoot(std::string_view name, std::filesystem::path& root);

// "\\.\Pipe\NAME" or "\\COMPUTER\Pipe\NAME" (any letter case for "Pipe") to the socket path in
// that computer's root. kErrorInvalidName for another form, kErrorBadNetPath for an unknown
// computer.
Win32Error ResolvePipeName(std::string_view pipeName, std::filesystem::path& socketPath);

// A Windows file path to a Linux path: "\\COMPUTER\ADMIN$\rest" is `rest` below that computer's
// root; "%SystemRoot%\rest" is `rest` below the local root; any other path is used as it is, with
// backslashes turned into slashes.
Win32Error ResolveFilePath(std::string_view windowsPath, std::filesystem::path& path);

// The system directory of a root.
inline std::filesystem::path SystemDirectory(const std::filesystem::path& root) {
    return root / "system32";
}

}  // namespace platform
