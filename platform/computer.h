// Computers and their roots.
//
// On Linux a computer is a directory, its root, on this machine or on a host reached over SSH.
// Which computer a name means is decided here and nowhere else (FindComputer):
//   - "", ".", "localhost" and the host's own name are this computer: its root is named by
//     ZANTOR_ROOT (default /var/lib/zantor for root, else $XDG_STATE_HOME/zantor);
//   - a name found in ZANTOR_NETWORK (a subdirectory, matched in any letter case) is a simulated
//     computer, whose root is that directory;
//   - any other name is a host reached over SSH, in the form ssh takes it ("web1", "admin@web1",
//     an alias of the user's ssh config); its root on the far side is ZANTOR_REMOTE_ROOT, by
//     default /var/lib/zantor. platform/linux/ssh/ carries every channel to it.
// Every Windows name the programs use (pipe names, administrative shares, %SystemRoot%, the
// registry of a named computer) is turned into a place inside a root here and nowhere else.
//
//   root/system32/     the system directory, %SystemRoot%\system32, \\computer\ADMIN$\system32
//   root/pipe/NAME     the named pipe \\.\Pipe\NAME (a Unix stream socket)
//   root/registry/     the registry
//   root/scm/          the service control manager's database
//   root/driver/       the packet filter driver's sockets
//   root/ipaddrtable   the address table, when present
//
// On Windows (win32/computer_win32.cpp) there are no roots to make: a computer's root is its
// Windows directory, here %SystemRoot% and on another computer its administrative share
// \\NAME\ADMIN$, and pipe names stay the system's own (\\.\pipe\NAME, \\NAME\pipe\NAME).
// There is no SSH and no ZANTOR_NETWORK.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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
struct SshSessionEnd {
    std::string address;
    int port = 0;
    std::string clientAddress;
};

// The SSH session through which `computer` is reached, if any. For a host reached over SSH it is
// the transport's own session (known once a connection was made). For this computer it is the
// session this program runs in: $SSH_CONNECTION, or, where that was dropped (sudo drops it), the
// process tree up to the session's sshd (the end points of its TCP connection, or the
// environment of a process below it that still has the variable), then the login records. A
// simulated computer has none.
enum class SshSessionKind {
    kNone,   // no SSH session: a local console, a simulated computer
    kFound,  // `end` says where it arrived
    // There is a session, or may be, but where it arrived cannot be told for sure: the
    // connection cannot be read, or what was found does not agree. A guard must then take every
    // way in on `ports` as the session's.
    kUnsure,
};
struct SshSession {
    SshSessionKind kind = SshSessionKind::kNone;
    SshSessionEnd end;  // kFound
    // kUnsure: the ports sshd may have taken the session on (22 and those its configuration
    // names), the client's address where the login records name it (empty otherwise), and why
    // the session could not be told, as a phrase for a message ("zadmin runs under sshd ...").
    std::vector<int> ports;
    std::string clientAddress;
    std::string why;
};
SshSession FindSshSession(std::string_view computer);

// Hosts reached over SSH: from now on in this run, a host whose key known_hosts does not hold yet
// is accepted and its key recorded there (ZANTOR_SSH_ACCEPT_NEW=1 asks the same); a key that
// changed is refused all the same. Nothing on Windows, which has no SSH.
void AcceptNewHostKeys();

// Which computer a name means (see the top of this file).
enum class ComputerKind { kThis, kSimulated, kRemote };
struct Computer {
    ComputerKind kind = ComputerKind::kThis;
    // This computer's or a simulated one's root on this machine; a remote one's on the far side.
    std::filesystem::path root;
    // For a remote computer: the name as ssh takes it (without the UNC prefix).
    std::string destination;
};
// kErrorInvalidName for a name that is not one (CheckComputerName). A remote name is not looked
// up here: whether the host exists shows when it is reached.
Win32Error FindComputer(std::string_view name, Computer& computer);

// The root of a host reached over SSH, on the far side: ZANTOR_REMOTE_ROOT, by default
// /var/lib/zantor. kErrorInvalidName when the variable holds no such root (CheckRootPath).
Win32Error RemoteComputerRoot(std::filesystem::path& root);

// A root that travels to a host (it is a quoted word of the far side's shell, and the root our
// program's bridge there is given) is an absolute path of plain characters: letters, digits,
// '/', '.', '-', '_', and no "..". kErrorSuccess for one, kErrorInvalidName (also the last error)
// for any other text.
Win32Error CheckRootPath(std::string_view path);

// A place that a Windows name leads to: its computer, and the path of the pipe's socket or of the
// file, on this machine or (for a remote computer) on the far side.
struct Place {
    Computer computer;
    std::filesystem::path path;
};
// As ResolvePipeName and ResolveFilePath, for any computer.
Win32Error LocatePipe(std::string_view pipeName, Place& place);
Win32Error LocateFile(std::string_view windowsPath, Place& place);

// The local computer's root (not created).
std::filesystem::path LocalComputerRoot();

// The root on this machine of the computer called `name`. kErrorInvalidName for a name that is
// not one (above), kErrorBadNetPath for a computer that has no root here (a remote one).
Win32Error ComputerRoot(std::string_view name, std::filesystem::path& root);

// "\\.\Pipe\NAME" or "\\COMPUTER\Pipe\NAME" (any letter case for "Pipe") to the socket path in
// that computer's root on this machine (kErrorBadNetPath for a remote computer);
// "\\\Pipe\NAME" (no computer) is this computer's. kErrorInvalidName for
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
