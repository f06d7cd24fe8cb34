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

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace platform {

// A computer name is one name, never a path: what a host name or an ssh destination may hold
// (ASCII letters and digits, '.', '-', '_', '@', ':', '[' and ']'), at most kMaxComputerName
// characters, not starting with '-' or '.', and without "..". The UNC prefix "\\" in front of it
// is allowed and ignored ("\\PC1" is PC1). The empty name and "." are this computer.
// Every port that takes a computer (pipes, the administrative share, the service control manager,
// the registry) goes through ComputerRoot, so a name that could climb out of ZANTOR_NETWORK, reach
// an absolute path, or pass for an option of a program we start never gets further than here.
inline constexpr std::size_t kMaxComputerName = 255;

// kErrorSuccess for a name of that form, kErrorInvalidName (also the last error) for any other.
Win32Error CheckComputerName(std::string_view name);

// True for the names that mean this computer: "", ".", "localhost" and the host's own name, in
// any letter case (the UNC prefix "\\" is ignored).
bool IsLocalComputerName(std::string_view name);

// Where an SSH session into `computer` arrived: the address and port of that computer's sshd, and
// the address the session came from.
// For this computer it is the session this program runs in, if any ($SSH_CONNECTION); for a host
// reached over SSH it is the transport's own session (known once a connection was made). False
// when there is none, or for a simulated computer.
struct SshSessionEnd {
    std::string address;
    int port = 0;
    std::string clientAddress;
};
bool SshSessionInto(std::string_view computer, SshSessionEnd* end);

// The local computer's root (not created).
std::filesystem::path LocalComputerRoot();

// The root of the computer called `name`. kErrorInvalidName for a name that is not one (above),
// kErrorBadNetPath when no such computer exists.
Win32Error ComputerRoot(std::string_view name, std::filesystem::path& root);

// "\\.\Pipe\NAME" or "\\COMPUTER\Pipe\NAME" (any letter case for "Pipe") to the socket path in
// that computer's root; "\\\Pipe\NAME" (no computer) is this computer's. kErrorInvalidName for
// another form or a bad computer name, kErrorBadNetPath for an unknown computer.
Win32Error ResolvePipeName(std::string_view pipeName, std::filesystem::path& socketPath);

// A Windows file path to a Linux path: "\\COMPUTER\ADMIN$\rest" is `rest` below that computer's
// root (no computer: this one); "%SystemRoot%\rest" is `rest` below the local root; any other
// path is used as it is, with backslashes turned into slashes. A path that starts with "\\" is
// always a network path: another share fails with kErrorBadNetPath, and a bad computer name, or
// a ".." that would climb above the share (either slash separates, as on Windows), with
// kErrorInvalidName.
Win32Error ResolveFilePath(std::string_view windowsPath, std::filesystem::path& path);

// The system directory of a root.
inline std::filesystem::path SystemDirectory(const std::filesystem::path& root) {
    return root / "system32";
}

}  // namespace platform
