#include "platform/linux/scm/embedded_db.h"

#include <cctype>
#include <charconv>
#include <map>
#include <system_error>
#include <type_traits>

#include "platform/linux/scm/embedded_io.h"

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

// Reads a record's fields from its text; `ok` turns false at a missing or malformed one.
class FieldReader {
  public:
    explicit FieldReader(std::string_view text) : fields_(ParseFields(text)) {}

    template <class T>
    void operator()(std::string_view key, T& value) {
        auto it = fields_.find(key);
        if (it == fields_.end()) {
            ok = false;
            return;
        }
        const std::string& s = it->second;
        if constexpr (std::is_same_v<T, std::string>) {
            value = s;
        } else if constexpr (std::is_same_v<T, bool>) {
            ok = ok && (s == "0" || s == "1");
            value = s == "1";
        } else {
            auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
            ok = ok && ec == std::errc() && end == s.data() + s.size();
        }
    }

    bool ok = true;

  private:
    Fields fields_;
};

// Writes a record's fields as text.
struct FieldWriter {
    template <class T>
    void operator()(std::string_view key, const T& value) {
        text.append(key).append("=");
        if constexpr (std::is_same_v<T, std::string>)
            text.append(value);
        else if constexpr (std::is_same_v<T, bool>)
            text.append(value ? "1" : "0");
        else
            text.append(std::to_string(value));
        text.append("\n");
    }

    std::string text;
};

// Each record's fields, listed once for reading and writing.
template <class Config, class Io>
void ConfigFields(Io& io, Config& c) {
    io("name", c.name);
    io("display", c.displayName);
    io("binary", c.binaryPath);
    io("type", c.type);
    io("start", c.startType);
    io("error", c.errorControl);
    io("instance", c.instance);
    io("deleted", c.markedForDelete);
}

template <class Record, class Io>
void StatusFields(Io& io, Record& r) {
    io("pid", r.process.pid);
    io("started", r.process.startTime);
    io("control", r.controlSocket);
    io("type", r.status.dwServiceType);
    io("state", r.status.dwCurrentState);
    io("accepted", r.status.dwControlsAccepted);
    io("exit", r.status.dwWin32ExitCode);
    io("specific", r.status.dwServiceSpecificExitCode);
    io("checkpoint", r.status.dwCheckPoint);
    io("wait", r.status.dwWaitHint);
}

}  // namespace

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
    FieldReader reader(text);
    ServiceConfig c;
    ConfigFields(reader, c);
    if (!reader.ok || !EqualsNoCase(c.name, name)) return Fail(kErrorBadDb);
    config = std::move(c);
    return kErrorSuccess;
}

Win32Error ServiceDatabase::WriteConfig(const ServiceConfig& c) const {
    FieldWriter writer;
    ConfigFields(writer, c);
    fs::path dir = ServiceDir(c.name);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return Fail(ErrorFromErrno(ec.value()));
    return ReplaceFile(dir / "config", writer.text, true);
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
    FieldReader reader(text);
    StatusRecord r;
    StatusFields(reader, r);
    if (!reader.ok) return Fail(kErrorFileCorrupt);
    record = std::move(r);
    return kErrorSuccess;
}

Win32Error ServiceDatabase::WriteStatus(std::string_view name, const StatusRecord& r) const {
    FieldWriter writer;
    StatusFields(writer, r);
    // Not flushed to the disk: a status outlives its process only to say how it ended, and
    // after a restart of the machine no process of it runs, which the process identity tells
    // without the record. Each control of a service reports a status, and a flush would cost
    // each one many milliseconds.
    return ReplaceFile(ServiceDir(name) / "status", writer.text, false);
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
