#include "service/service_log.h"

#include <cstdio>
#include <mutex>
#include <optional>

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
    std::FILE* file = std::fopen(std::string(fileName).c_str(), "ab");
    if (!file) return false;
    bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    ok = std::fclose(file) == 0 && ok;
    return ok;
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
