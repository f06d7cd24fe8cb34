// The channels to a computer reached over SSH, each behind its port: the ports of this machine
// (pipe_posix, files_posix, the service control manager's front) hand a remote place to these
// and nothing above the platform layer knows that ssh exists. Internal to the platform layer.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/computer.h"
#include "platform/errors.h"
#include "platform/pipe.h"

namespace platform::ssh {

// The control pipe: a byte stream to the pipe of the far side, through our program's bridge
// there (ssh_pipe.cpp says why a bridge). The handshake byte comes through unchanged, so a busy
// pipe gives kErrorPipeBusy and a missing one kErrorFileNotFound, as on this machine.
Win32Error OpenPipe(const Place& place, std::chrono::milliseconds timeout,
                    std::unique_ptr<Pipe>* pipe);

// The administrative share. A copy sends `size` bytes read from `source` (a local file open for
// reading) and replaces the target in one step with a file of root's, mode 0755; a program in use
// there gives kErrorSharingViolation, a folder there that others than root may write, or a link in
// the target's place, kErrorAccessDenied. A read streams the file in pieces (`maxBytes` 0: no
// limit; a larger file fails with kErrorFileTooLarge before anything is read). Failures as the
// ports of this machine give them, with the last error set.
bool CopyFileTo(int source, std::size_t size, const Place& target, bool failIfExists);
bool ReadFile(const Place& place, std::size_t maxBytes,
              const std::function<bool(std::string_view)>& piece);
bool DeleteFile(const Place& place);

// The service control manager: the host's systemd (ssh_scm.cpp).
// The command line that connects a D-Bus client to the host's system bus (sd_bus_set_exec).
Win32Error BusCommandLine(std::string_view destination, std::vector<std::string>& argv);
// Why the host's bus did not answer: ssh's failure, else kErrorRpcServerUnavailable (no systemd
// there, or no root).
Win32Error BusFailure(std::string_view destination);
// The unit files of ours on the host, as "name NUL text NUL" one after the other.
Win32Error ListUnits(std::string_view destination, std::string& listing);
// Writes (in one step) or removes the unit file of the service `name`; `root` is the computer's
// root there, whose system directory is made too.
Win32Error WriteUnit(std::string_view destination, const std::string& root,
                     const std::string& name, const std::string& text);
Win32Error RemoveUnit(std::string_view destination, const std::string& name);

}  // namespace platform::ssh
