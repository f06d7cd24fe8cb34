// What the manager side and the dispatcher side of the service control manager agree on: the
// environment of a started service process, the start handshake and the control exchange.
//
// Start: StartServiceA launches the program with its end of a socket pair on kHandshakeFd and
// sends the start arguments; the dispatcher answers kReadyByte once the service's main function
// runs. Control: a manager connects to the service's control socket, sends one 32-bit control
// code and reads a ControlReply; one connection per control.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/scm/embedded_io.h"
#include "platform/scm.h"

namespace platform::posix {

inline constexpr const char* kEnvService = "ZANTOR_SCM_SERVICE";
inline constexpr const char* kEnvDatabase = "ZANTOR_SCM_DATABASE";
inline constexpr const char* kEnvHandshake = "ZANTOR_SCM_FD";
inline constexpr char kReadyByte = 'R';

struct ControlReply {
    std::uint32_t error;
    SERVICE_STATUS status;
};

Win32Error SendStartArguments(int fd, const std::vector<std::string>& args, Deadline deadline);
Win32Error ReceiveStartArguments(int fd, std::vector<std::string>& args, Deadline deadline);

}  // namespace platform::posix
