// The command table of the control protocol: the wire codes both programs know, in a fixed order.
// The service dispatches on the row number that FindCommand returns.
//
// The first 11 rows are the protocol every service answers. The rows after them are extensions:
// a service that answers one names it on the closing line of its greeting ("IP End 0.9 confirm",
// a fourth word listing its extensions, separated by commas), and a client sends such a code only
// to a service that named its extension. An older service never answers a code it does not
// know, so a client that sent one would wait for ever.
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
    // The extension a service announces when it answers this code; empty for the 11 codes every
    // service answers.
    std::string_view Extension = {};
};

// A change that rolls itself back unless it is confirmed: ckp, cfm, ckq.
inline constexpr std::string_view kConfirmExtension = "confirm";
// The packet counts of the platform's filtering: gis, gfs.
inline constexpr std::string_view kStatsExtension = "stats";
// A filter list read many filters to a line: gfl.
inline constexpr std::string_view kListsExtension = "lists";

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
    kCheckpoint = 11,
    kConfirmCheckpoint = 12,
    kCheckpointState = 13,
    kGetInterfaceStatistics = 14,
    kGetFilterStatistics = 15,
    kGetInterfaceFilters = 16,
};

// The rows of the protocol every service answers.
inline constexpr std::size_t kBaseCommands = 11;

inline constexpr std::array<RFilterCommand, 17> CommandTable{{
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
    {"Checkpoint", "ckp", 11, "Checkpoint", kConfirmExtension},
    {"ConfirmCheckpoint", "cfm", 12, "ConfirmCheckpoint", kConfirmExtension},
    {"CheckpointState", "ckq", 13, "CheckpointState", kConfirmExtension},
    {"GetInterfaceStatistics", "gis", 14, "GetInterfaceStatistics", kStatsExtension},
    {"GetFilterStatistics", "gfs", 15, "GetFilterStatistics", kStatsExtension},
    {"GetInterfaceFilters", "gfl", 16, "GetInterfaceFilters", kListsExtension},
}};

// "gis ADDR": the statistics record of an address that filters, one line:
//   "0 " + the record's fields in this order, as decimal numbers: driver context, flags, input
//   drops, output drops, input action, output action, input filters, output filters, fragments,
//   spoofed, reserved 1, reserved 2, SYN, total logged, lost log entries; then the time its
//   counts start from, in seconds since 1970-01-01 UTC (when filtering on the address started,
//   in this run of the service). Counts are packets.
//   Failures: "-1" no such address, "-2" filtering is off, or the platform's error number.
// "gfs ADDR in|out FIRST COUNT": the packet counts of the filters at positions FIRST,
//   FIRST + 1 ... of that list (positions as "gif" takes them), at most COUNT and at most
//   kMaxFilterCounts of them, in one line: "0 " + how many follow + " " + the counts. A FIRST
//   at or past the end gives "0 0". Failures as "gif" answers them: "-4" no such address, "-1"
//   filtering is off; or the platform's error number.
// Each answer reads the platform's statistics once, however many filters it covers.
inline constexpr std::size_t kGisFields = 16;
inline constexpr std::size_t kMaxFilterCounts = 1000;

// "gfl ADDR in|out FIRST COUNT": the filters at positions FIRST, FIRST + 1 ... of that list, at
//   most COUNT and at most kMaxFilterTexts of them, in one line: "0 " + how many follow + " " +
//   their texts, each of kFilterTextWords words as "gif" answers one. A FIRST at or past the end
//   gives "0 0". Failures as "gif" answers them: "-4" no such address, "-1" filtering is off.
// The longest text is 142 characters, so the longest answer fits a line reader's buffer.
inline constexpr std::size_t kMaxFilterTexts = 200;
inline constexpr std::size_t kFilterTextWords = 13;

// A service lists at most this many addresses in its greeting.
inline constexpr std::size_t kMaxAddresses = 256;

// The row of the first command whose code equals `code` exactly (case-sensitive), or -1.
constexpr int FindCommand(std::string_view code) {
    for (const auto& row : CommandTable)
        if (row.Code == code) return row.Id;
    return -1;
}

// The extension a service must have announced to answer `code`: empty for the base protocol's
// codes and for codes that are in no row.
constexpr std::string_view CommandExtension(std::string_view code) {
    const int row = FindCommand(code);
    return row < 0 ? std::string_view() : CommandTable[static_cast<std::size_t>(row)].Extension;
}

// Whether a service answers a command line that starts with `code`, given whether it announced
// the code's extension: every code of the table but "ca" gets one reply line; "ca", unknown
// codes and the codes of an extension it did not announce get none, and a client that waits for
// one waits for ever.
constexpr bool IsAnswered(std::string_view code, bool extensionAnnounced = false) {
    const int row = FindCommand(code);
    if (row < 0 || row == kChangeActions) return false;
    return CommandExtension(code).empty() || extensionAnnounced;
}

}  // namespace zantor
