// Inside the process port: the console control handler and the origin of its event, which each
// system's half (linux/process_posix.cpp, win32/process_win32.cpp) hands to the shared half
// (process.cpp) once it knows where the event came from.
#pragma once

#include "platform/process.h"

namespace platform {

// Makes `handler` the process's console control handler, before the system is asked to route
// the events here: kErrorInvalidParameter for none, kErrorAlreadyExists when one is set.
Win32Error ClaimConsoleCtrlHandler(PHANDLER_ROUTINE handler);
// Gives the handler up again, when the system would not route the events here.
void ReleaseConsoleCtrlHandler();

// Calls the handler for the first event, whose origin GetConsoleCtrlOrigin tells from then on.
void RunConsoleCtrlHandler(const ConsoleCtrlOrigin& origin);

}  // namespace platform
