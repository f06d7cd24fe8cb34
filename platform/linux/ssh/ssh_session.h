// The SSH session a process runs in, found without $SSH_CONNECTION (sudo drops it): up the process
// tree to the session's sshd, whose TCP connection says where the session came in, or to a process
// below it whose environment still holds the variable; else the login records of the terminals
// on the way. Everything is read from files, so a test can lay out a process tree of its own.
//
// Internal to the platform layer (platform/computer.h, FindSshSession).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/computer.h"

namespace platform::posix {

// Where the search reads: the machine's own by default.
struct SessionSources {
    std::filesystem::path proc = "/proc";
    std::filesystem::path utmp = "/var/run/utmp";
    std::filesystem::path sshdConfig = "/etc/ssh/sshd_config";
};

// The session process `pid` runs in, from its own entry upwards (its environment included).
// kFound when sshd's connection, or the environment of a process below sshd, says where it
// arrived and nothing says otherwise; kUnsure when the process runs under sshd but its connection
// cannot be read, when what was found disagrees, when the process tree above `pid` cannot be read
// up to its top, or when a terminal on the way is a login from another host in the login records;
// kNone when none of that is so (a local console).
SshSession SshSessionOfProcess(int pid, const SessionSources& sources = {});

// "client-address client-port server-address server-port", as sshd sets $SSH_CONNECTION.
bool ParseSshConnection(std::string_view text, SshSessionEnd* end);

// The ports sshd takes connections on as `config` and the files it includes say (Port, and the
// ports of ListenAddress), and 22 always; sorted, each once.
std::vector<int> SshdPorts(const std::filesystem::path& config);

}  // namespace platform::posix
