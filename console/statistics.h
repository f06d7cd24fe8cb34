// The packet counts a service reports ("gis", "gfs"; the "stats" extension): read into plain
// values for the statistics window and zadmin. Counts are packets, counted from the moment
// filtering on the address started in this run of the service (a restart of the service, or
// filtering stopped and started again, begins them anew; changes to other filters never do).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zantor::console {

class TConsole;

// The interface record of an address as "gis" answers it.
struct TInterfaceStatistics {
    enum Field : std::size_t {
        kDriverContext,
        kFlags,
        kInDrops,
        kOutDrops,
        kInAction,
        kOutAction,
        kNumInFilters,
        kNumOutFilters,
        kFrag,
        kSpoof,
        kReserved1,
        kReserved2,
        kSyn,
        kTotalLogged,
        kLostLogEntries,
        kFieldCount
    };
    std::array<std::uint64_t, kFieldCount> Fields{};
    // When its counts start: seconds since 1970-01-01 UTC, by the service's clock.
    std::int64_t Since = 0;

    std::uint64_t operator[](Field f) const { return Fields[f]; }
};

// A filter whose count the service could not find in the platform's record ("-" on the wire).
inline constexpr std::uint64_t kUnknownCount = ~std::uint64_t{0};

// The reply to "gis" read: false for a failure code or a reply that is no record.
bool ParseInterfaceStatistics(std::string_view reply, TInterfaceStatistics& statistics);

// The counts of a "gfs" reply appended to `counts`: false for a failure code or a reply that is
// no list of counts (or holds more counts than `most`).
bool ParseFilterCounts(std::string_view reply, std::size_t most,
                       std::vector<std::uint64_t>& counts);

// A count as it is shown: the number, or "-" for one the service could not find.
std::string CountText(std::uint64_t count);

// A time in the person's own clock: "2026-06-10 14:03:22 +0200".
std::string LocalTimeText(std::int64_t secondsSince1970);

// What is said where counts are shown: "counts are packets since 2026-06-10 14:03:22 +0200,
// when filtering on the address started or the service started".
std::string CountsSinceText(std::int64_t since);

// "the service on PC1 does not report statistics: its greeting names no "stats" extension (an
// older service)".
std::string NoStatisticsText(std::string_view computer);

// Reads an address's record: true when it was read. Otherwise `problem` says why (a failure code
// in the service's words); a pipe failure is shown as every command's is, and closes the pipe.
// Nothing is sent to a service that does not report statistics.
bool ReadInterfaceStatistics(TConsole& console, const std::string& address,
                             TInterfaceStatistics& statistics, std::string& problem);

// Reads the counts of the filters at positions first .. first + count - 1 of one list of an
// address (direction "in" or "out"), in as few lines as the protocol allows, sent together: true
// with one count per filter. Failures as ReadInterfaceStatistics.
bool ReadFilterCounts(TConsole& console, const std::string& address, std::string_view direction,
                      std::size_t first, std::size_t count, std::vector<std::uint64_t>& counts,
                      std::string& problem);

}  // namespace zantor::console
