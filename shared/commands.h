// The command table of the control protocol: the wire codes both programs know, in a fixed order.
// The service dispatches on the row number that FindCommand returns.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zantor {

struct RFilterCommand {
    std::string_view Name;
    std::string_view Code;  // the wire code: the first word of a command line
    std::int32_t Id;        // equal to the row number
    std::string_view Caption;
};

enum CommandRow : int {
    kGetInterfaceGlobalFilter = 0,
    kSetInterfaceGlobalFilter = 1,
    kRemInterfaceGlobalFilter = 2,
    kGetInterfaceFilter = 3,
    kSetInterfaceFilter = 4,
    kRemInterfaceFilter = 5,
    kStartFiltering = 6,
    kStopFiltering = 7,
    kChangeActions = 8,
    kDropFilters = 9,
    kReadLog = 10,
};

inline constexpr std::array<RFilterCommand, 11> CommandTable{{
    {"GetInterfaceGlobalFilter", "gig", 0, "GetInterfaceGlobalFilter"},
    {"SetInterfaceGlobalFilter", "sig", 1, "SetInterfaceGlobalFilter"},
    {"RemInterfaceGlobalFilter", "rig", 2, "RemInterfaceGlobalFilter"},
    {"GetInterfaceFilter", "gif", 3, "GetInterfaceFilter"},
    {"SetInterfaceFilter", "sif", 4, "SetInterfaceFilter"},
    {"RemInterfaceFilter", "rif", 5, "RemInterfaceFilter"},
    {"scStartFiltering", "staf", 6, "StartFiltering"},
    {"scStopFiltering", "stof", 7, "StopFiltering"},
    {"scChangeActions", "ca", 8, "ChangeActions"},
    {"scDropFilters", "df", 9, "DropFilters"},
    {"scReadLog", "rl", 10, "ReadLog"},
}};

// A service lists at most this many addresses in its greeting.
inline constexpr std::size_t kMaxAddresses = 256;

// The row of the first command whose code equals `code` exactly (case-sensitive), or -1.
constexpr int FindCommand(std::string_view code) {
    for (const auto& row : CommandTable)
        if (row.Code == code) return row.Id;
    return -1;
}

// Whether the service answers a command line that starts with `code`: every code of the table but
// "ca" gets one reply line; "ca" and unknown codes get none, and a client that waits for one
// waits for ever.
constexpr bool IsAnswered(std::string_view code) {
    return FindCommand(code) >= 0 && FindCommand(code) != kChangeActions;
}

}  // namespace zantor
