#include "service/service_log.h"

#include <cstdio>
#include <mutex>
#include <optional>

#include "platform/files.h"
#include "platform/scm.h"

namespace zantor::service {

namespace {
std::mutex gLogMutex;  // also guards std::localtime's shared result
}

std::string LogDateTimeText(const std::tm& local) {
    const bool midnight = local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0;
    char text[128];
    std::size_t n = std::strftime(text, sizeof text, midnight ? "%x" : "%x %X", &local);
    return std::string(text, n);
}

namespace {

// The local time now, or nullopt where the C library cannot tell it; the caller holds gLogMutex.
std::optional<std::tm> LocalTimeLocked() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    return local ? std::optional<std::tm>(*local) : std::nullopt;
}

}  // namespace

std::string LogTimeText(std::time_t when) {
    std::lock_guard lock(gLogMutex);
    const std::tm* local = std::localtime(&when);
    return local ? LogDateTimeText(*local) : std::to_string(when);
}

std::optional<std::tm> LocalTimeNow() {
    std::lock_guard lock(gLogMutex);
    return LocalTimeLocked();
}

bool AppendLogLine(std::string_view fileName, std::string_view text) {
    std::lock_guard lock(gLogMutex);
    const std::optional<std::tm> local = LocalTimeLocked();
    std::string line = local ? LogDateTimeText(*local) : std::string();
    line += ' ';
    line += text;
    line += "\r\n";
    // The logs tell who connected and what was dropped: their owner's alone, and never written
    // through a link that another put in their place.
    return platform::AppendToFile(std::string(fileName).c_str(), line);
}

void StartNewServiceLog() {
    std::lock_guard lock(gLogMutex);
    std::remove(std::string(kServiceLogName).c_str());
}

bool ServiceLog(std::string_view text) {
    // The manager's own log gets the line too (the journal under systemd); the file stays as it
    // always was.
    platform::ReportServiceEvent(text);
    return AppendLogLine(kServiceLogName, text);
}

}  // namespace zantor::service
