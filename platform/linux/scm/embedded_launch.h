// Starting a service process: detached from the caller, with a socket to the starter on a known
// descriptor for the start handshake.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/process_posix.h"
#include "platform/linux/scm/embedded_io.h"

namespace platform::posix {

// The descriptor on which a started process finds its end of the handshake socket.
inline constexpr int kHandshakeFd = 3;

// How long a starter waits for a process it ends because it did not start in time.
inline constexpr std::chrono::seconds kEndWait{10};

struct LaunchRequest {
    std::filesystem::path program;
    std::filesystem::path workingDirectory;
    std::filesystem::path outputFile;      // standard output and error; /dev/null when unusable
    std::vector<std::string> environment;  // NAME=value, the whole environment
};

// Runs the program in a new session as a grandchild (so no caller ever has to reap it), with
// standard input from /dev/null and no other descriptors than the handshake socket. Returns once
// the program runs, or with the error that kept it from running (kErrorFileNotFound,
// kErrorAccessDenied, kErrorBadExeFormat ...), or with kErrorServiceRequestTimeout when it did not
// run its program before the deadline (the process is ended then). `handshake` is the caller's
// end of the socket, which the caller closes.
Win32Error LaunchDetached(const LaunchRequest& request, Deadline deadline, ProcessIdentity& process,
                          int& handshake);

}  // namespace platform::posix
