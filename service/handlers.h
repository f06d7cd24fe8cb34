// The command handlers of the control pipe.
//
// Every handler takes the argument text of its command line (the words after the code; "df" takes
// only the second word of its line), writes its processing line to the service log (and to
// standard output in console mode) first, finds the address of word 1 in InterfaceList, and
// returns a result whose reply form the dispatcher knows. Handlers that change something take
// `persist`: set for commands from the pipe, clear for the start-up replay of the stored
// configuration, which must not record what it replays.
//
// A change that cannot be recorded is undone in the driver and in memory, so the running and the
// stored configuration never differ: "staf", "stof" and "df" then answer the registry's error
// number, and "sif", "rif", "sig" and "rig", whose non-negative answers all read as success, -5.
//
// Words that do not convert (addresses, numbers, a direction other than "in" or "out") throw
// ConvertError before anything has changed; the connection then ends without a reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/interfaces.h"

namespace zantor::service {

// Writes a handler's processing line, `prefix` + `args` + ")", to the service log and, in console
// mode, to standard output.
void ProcessingLine(std::string_view prefix, std::string_view args);

// The record of the address in word 1 of `args`, or null.
RInterface* FindInterface(std::string_view args);

// "staf ADDR INACTION OUTACTION": 0, -1 no such address, -2 already active, or the platform's
// error number.
std::int32_t StartFiltering(std::string_view args, bool persist);

// "stof ADDR": 0, -1 no such address, -2 not active, or the platform's error number.
std::int32_t StopFiltering(std::string_view args, bool persist);

// Adds the remembered filters and global filters of an address to its new platform interface.
std::int32_t RebindFilters(std::string_view addrText);

// "sif ADDR DIR FILTERTEXT": the new filter's handle, -1 no such address, -2 not active, -3 the
// same filter is listed already, -4 the platform refused it.
std::int64_t SetInterfaceFilter(std::string_view args, bool persist);

// "gif ADDR DIR POS": the filter text, or "-4" no such address, "-1" not active, "-2"/"-3" no
// such input/output position.
std::string GetInterfaceFilter(std::string_view args);

// "gfl ADDR DIR FIRST COUNT": "0 N" + N filter texts (shared/commands.h); "-4", "-1" as for
// "gif".
std::string GetInterfaceFilters(std::string_view args);

// "rif ADDR DIR POS": the platform's result (0 done), -4, -1, -2, -3 as for "gif".
std::int64_t RemInterfaceFilter(std::string_view args, bool persist);

// "df ADDR": 0, -4 no such address, -1 filtering is active.
std::int64_t DropFilters(std::string_view addrText, bool persist);

// "gig ADDR": the global filter set as a number, -1 no such address, -2 not active.
std::int32_t GetInterfaceGlobalFilter(std::string_view args);

// "gis ADDR": the reply line (shared/commands.h): "0 " + the interface record's fields and when
// its counts start; "-1" no such address, "-2" not active, or the platform's error number.
std::string GetInterfaceStatistics(std::string_view args);

// "gfs ADDR DIR FIRST COUNT": the reply line: "0 N" + N counts; "-4" no such address, "-1" not
// active, or the platform's error number. Each filter's count is found by its descriptor in the
// platform's record, whatever order the platform keeps its filters in.
std::string GetFilterStatistics(std::string_view args);

// "sig ADDR N" / "rig ADDR N": the platform's result, -1 no such address, -2 not active. "rig"
// always records the set.
std::int32_t SetInterfaceGlobalFilter(std::string_view args, bool persist);
std::int32_t RemInterfaceGlobalFilter(std::string_view args);

}  // namespace zantor::service
