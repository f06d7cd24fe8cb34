// Inside the packet filter port: the backend that answers the Pf* calls of platform/pf.h
// (pf_api.cpp passes each call on), as each system's half picks it (linux/pf/pf_api_posix.cpp,
// win32/pf_api_win32.cpp).
#pragma once

#include <functional>

#include "platform/pf.h"

namespace platform::pf {

// Runs `call` on the backend in use: the engine, or the system's filtering that keeps the rules
// beside it. That backend stays in use until the call returns.
DWORD WithBackend(const std::function<DWORD(PacketFilterBackend&)>& call);

// The same for the calls of the filter log, which stays with the backend that made it.
DWORD WithLogBackend(const std::function<DWORD(PacketFilterBackend&)>& call);

}  // namespace platform::pf
