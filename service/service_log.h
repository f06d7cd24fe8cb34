// The service's log files: "ZantorSvc.Log" and the deny log, one time-stamped line per entry.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace zantor::service {

inline constexpr std::string_view kServiceLogName = "ZantorSvc.Log";

// The time stamp of a line: the locale's short date and long time ("%x %X"); the date alone when
// the time is exactly midnight.
std::string LogDateTimeText(const std::tm& local);

// The local time now (std::localtime, whose shared result the log's lock guards), or nullopt
// where the C library cannot tell it.
std::optional<std::tm> LocalTimeNow();

// The local time `when` (seconds since 1970, UTC) as a line's time stamp gives it.
std::string LogTimeText(std::time_t when);

// Appends "<date time> <text>\r\n" to `fileName` (created when missing, readable by its owner
// alone) with one write (platform AppendToFile, which keeps the file open while its name still
// leads to it). Appends from all threads are serialised, so lines never interleave. An append that
// fails drops the line and returns false; it never ends the caller.
bool AppendLogLine(std::string_view fileName, std::string_view text);

// Deletes the previous run's service log. Called once, before anything of this run may log: a stop
// that comes while the service starts must not lose its line.
void StartNewServiceLog();

// AppendLogLine(kServiceLogName, text).
bool ServiceLog(std::string_view text);

}  // namespace zantor::service
