// The body of the filter service: start-up, then the control pipe's listener loop.
#pragma once

#include <memory>
#include <string_view>

#include "platform/pipe.h"

namespace zantor::service {

inline constexpr std::string_view kPipeName = "\\\\.\\Pipe\\qzw2kflt";

// Lists the addresses, then serves the control pipe, one client at a time, until StopRequested.
// Runs on the service's thread, or the main thread with "-run", after StartNewServiceLog.
// Not kErrorSuccess when the service could not start filtering as its computer asks (the service
// log says why); it then serves nothing.
platform::Win32Error RunFilterService();

// Creates the pipe instance and waits for a client. Null when no instance could be made (another
// connection holds it) or the wait failed.
std::unique_ptr<platform::PipeServer> WaitForClient();

// Raises StopRequested and ends the listener's wait and the open connection. RunFilterService
// returns soon after. Safe from any thread.
void RequestServiceStop();

}  // namespace zantor::service
