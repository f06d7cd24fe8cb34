// Inside the computer port: what each platform's half provides to the shared half (computer.cpp).
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/computer.h"

namespace platform {

// "\\NAME" is NAME; any other name as it is.
std::string_view WithoutUncPrefix(std::string_view name);

// FindComputer for a name that is valid, without "\\", and not this computer's.
Win32Error FindOtherComputer(std::string_view name, Computer& computer);

// Whether the computer's places are paths this program can open: false for a host reached over
// SSH, whose channels (linux/ssh/) carry every call instead.
bool ReachableByPath(const Computer& computer);

// Where the pipe `name` of the computer is: a socket in its root on Linux, the pipe's own name on
// Windows.
std::filesystem::path PipePath(const Computer& computer, std::string_view name);

}  // namespace platform
