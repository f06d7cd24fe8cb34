#include "platform/posix/scm_db_posix.h"

#include <cctype>
#include <charconv>
#include <map>
#include <system_error>

#include "platform/posix/scm_io_posix.h"

namespace platform::posix {

namespace fs = std::filesystem;

namespace {

using Fields = std::map<std::string, std::string, std::less<>>;

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Records are "key=value" lines; values never hold a line break (names and paths are checked
// when they are registered).
Fields ParseFields(std::string_view text) {
    Fields fields;
    while (!text.empty()) {
        auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        auto eq = line.find('=');
        if (eq != std::string_view::npos)
            fields.emplace(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
        if (eol == std::string_view::npos) break;
        text.remove_prefix(eol + 1);
    }
    return fields;
}

template <class T>
bool GetNumber(const Fields& fields, std::string_view key, T& value) {
    auto it = fields.find(key);
    if (it == fields.end()) return false;
    const std::string& s = it->second;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

bool GetText(const Fields& fields, std::string_view key, std::string& value) {
    auto it = fields.find(key);
    if (it == fields.end()) return false;
    value = it->second;
    return true;
}

template <class T>
void PutNumber(std::string& text, std::string_view key, T value) {
    text.append(key).append("=").append(std::to_string(value)).append("\n");
}

void PutText(std::string& text, std::string_view key, std::string_view value) {
    text.append(key).append("=").append(value).append("\n");
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool IsValidServiceName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/' || c == '\\')
            return false;
    return true;
}

fs::path ServiceDatabase::ServiceDir(std::string_view name) const {
    return dir_ / "services" / Lower(name);
}

Win32Error ServiceDatabase::Prepare() const {
    std::error_code ec;
    fs::create_directories(dir_ / "services", ec);
    if (ec) return Fail(ErrorFromErrno(ec.value()));
    return kErrorSuccess;
}

Win32Error ServiceDatabase::ReadConfig(std::string_view name, ServiceConfig& config) const {
    std::string text;
    if (Win32Error e = ReadWholeFile(ServiceDir(name) / "config", text))
        return e == kErrorFileNotFound || e == kErrorPathNotFound ? Fail(kErrorServiceDoesNotExist)
                                                                  : Fail(kErrorBadDb);
    Fields f = ParseFields(text);
    ServiceConfig c;
    int marked = 0;
    if (!GetText(f, "name", c.name) || !GetText(f, "display", c.displayName) ||
        !GetText(f, "binary", c.binaryPath) || !GetNumber(f, "type", c.type) ||
        !GetNumber(f, "start", c.startType) || !GetNumber(f, "error", c.errorControl) ||
        !GetNumber(f, "instance", c.instance) || !GetNumber(f, "deleted", marked) ||
        !EqualsNoCase(c.name, name))
        return Fail(kErrorBadDb);
    c.markedForDelete = marked != 0;
    config = std::move(c);
    return kErrorSuccess;
}

Win32Error ServiceDatabase::WriteConfig(const ServiceConfig& c) const {
    std::string text;
    PutText(text, "name", c.name);
    PutText(text, "display", c.displayName);
    PutText(text, "binary", c.binaryPath);
    PutNumber(text, "type", c.type);
    PutNumber(text, "start", c.startType);
    PutNumber(text, "error", c.errorControl);
    PutNumber(text, "instance", c.instance);
    PutNumber(text, "deleted", c.markedForDelete ? 1 : 0);
    fs::path dir = ServiceDir(c.name);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return Fail(ErrorFromErrno(ec.value()));
    return ReplaceFile(dir / "config", text, true);
}

std::vector<ServiceConfig> ServiceDatabase::ListConfigs() const {
    std::vector<ServiceConfig> list;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_ / "services", ec)) {
        ServiceConfig c;
        if (ReadConfig(entry.path().filename().string(), c) == kErrorSuccess)
            list.push_back(std::move(c));
    }
    return list;
}

Win32Error ServiceDatabase::ReadStatus(std::string_view name, StatusRecord& record) const {
    std::string text;
    if (Win32Error e = ReadWholeFile(ServiceDir(name) / "status", text)) return e;
    Fields f = ParseFields(text);
    StatusRecord r;
    SERVICE_STATUS& s = r.status;
    if (!GetNumber(f, "pid", r.process.pid) || !GetNumber(f, "started", r.process.startTime) ||
        !GetText(f, "control", r.controlSocket) || !GetNumber(f, "type", s.dwServiceType) ||
        !GetNumber(f, "state", s.dwCurrentState) ||
        !GetNumber(f, "accepted", s.dwControlsAccepted) ||
        !GetNumber(f, "exit", s.dwWin32ExitCode) ||
        !GetNumber(f, "specific", s.dwServiceSpecificExitCode) ||
        !GetNumber(f, "checkpoint", s.dwCheckPoint) || !GetNumber(f, "wait", s.dwWaitHint))
        return Fail(kErrorFileCorrupt);
    record = std::move(r);
    return kErrorSuccess;
}

Win32Error ServiceDatabase::WriteStatus(std::string_view name, const StatusRecord& r) const {
    std::string text;
    const SERVICE_STATUS& s = r.status;
    PutNumber(text, "pid", r.process.pid);
    PutNumber(text, "started", r.process.startTime);
    PutText(text, "control", r.controlSocket);
    PutNumber(text, "type", s.dwServiceType);
    PutNumber(text, "state", s.dwCurrentState);
    PutNumber(text, "accepted", s.dwControlsAccepted);
    PutNumber(text, "exit", s.dwWin32ExitCode);
    PutNumber(text, "specific", s.dwServiceSpecificExitCode);
    PutNumber(text, "checkpoint", s.dwCheckPoint);
    PutNumber(text, "wait", s.dwWaitHint);
    // Not flushed to the disk: a status outlives its process only to say how it ended, and
    // after a restart of the machine no process of it runs, which the process identity tells
    // without the record. Each control of a service reports a status, and a flush would cost
    // each one many milliseconds.
    return ReplaceFile(ServiceDir(name) / "status", text, false);
}

ServiceView ServiceDatabase::View(const ServiceConfig& config) const {
    ServiceView view;
    StatusRecord record;
    // A status that cannot be read counts as none: the service is not running.
    if (ReadStatus(config.name, record) != kErrorSuccess) {
        view.status =
            SERVICE_STATUS{config.type, SERVICE_STOPPED, 0, kErrorServiceNeverStarted, 0, 0, 0};
        return view;
    }
    if (record.status.dwCurrentState == SERVICE_STOPPED) {
        view.status = record.status;
        return view;
    }
    if (!IsSameProcessRunning(record.process)) {
        // The process ended without reporting it: it crashed or was killed.
        view.status = SERVICE_STATUS{
            record.status.dwServiceType, SERVICE_STOPPED, 0, kErrorProcessAborted, 0, 0, 0};
        return view;
    }
    view.status = record.status;
    view.running = true;
    view.process = record.process;
    view.controlSocket = record.controlSocket;
    return view;
}

bool ServiceDatabase::RemoveIfDoomed(std::string_view name) const {
    ServiceConfig config;
    if (ReadConfig(name, config) != kErrorSuccess || !config.markedForDelete) return false;
    if (View(config).running) return false;
    Remove(name);
    return true;
}

void ServiceDatabase::Remove(std::string_view name) const {
    // The registration goes first, in one step: a crash halfway leaves no half service behind.
    std::error_code ec;
    fs::remove(ServiceDir(name) / "config", ec);
    fs::remove_all(ServiceDir(name), ec);
}

}  // namespace platform::posix
