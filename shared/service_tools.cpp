#include "shared/service_tools.h"

#include <string>

#include "platform/scm.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor {

namespace {

using platform::SC_HANDLE;

constexpr platform::DWORD kManagerAccess = 0xF003F;  // SC_MANAGER_ALL_ACCESS
constexpr platform::DWORD kServiceAccess = 0xF003F;  // start, stop, delete, query
constexpr platform::DWORD kCreateAccess = 0xF01FF;   // SERVICE_ALL_ACCESS

// The handles one operation opened, closed in reverse order whatever happens, leaving the
// failed call's error as the thread's last error.
class Handles {
  public:
    ~Handles() {
        const platform::Win32Error keep = platform::GetLastError();
        if (service_) platform::CloseServiceHandle(service_);
        if (manager_) platform::CloseServiceHandle(manager_);
        platform::SetLastError(keep);
    }
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

class Messages {
  public:
    Messages(bool show, std::string_view machine)
        : show_(show),
          machine_(machine.empty() ? std::string("LocalHost") : std::string(machine)) {}

    const std::string& machine() const { return machine_; }

    // "Error <code> (<text>) in <where>", then -1. Reads the last error before anything else.
    int Failure(const char* where) const {
        const platform::Win32Error code = platform::GetLastError();
        if (show_)
            PrintLine("Error " + std::to_string(code) + " (" + LastErrorText() + ") in " + where);
        platform::SetLastError(code);
        return -1;
    }
    int Success(const std::string& line) const {
        if (show_) PrintLine(line);
        return 0;
    }

  private:
    bool show_;
    std::string machine_;
};

// The machine name as the manager takes it: null for this computer.
const char* Machine(const std::string& name) {
    return name.empty() ? nullptr : name.c_str();
}

}  // namespace

int OrvCreateService(std::string_view serviceName, std::string_view displayName,
                     std::string_view fileName, std::string_view machineName, bool showMessages) {
    const Messages msg(showMessages, machineName);
    const std::string machine(machineName), name(serviceName), display(displayName);
    const std::string path = machine.empty()
                                 ? std::string(fileName)
                                 : "%SystemRoot%\\system32\\" + std::string(NameOfPath(fileName));
    Handles h;
    h.manager_ = platform::OpenSCManagerA(Machine(machine), nullptr, kManagerAccess);
    if (!h.manager_) return msg.Failure("OrvCreateService.OpenSCManager");
    h.service_ = platform::CreateServiceA(
        h.manager_, name.c_str(), display.c_str(), kCreateAccess,
        platform::SERVICE_WIN32_OWN_PROCESS, platform::SERVICE_DEMAND_START,
        platform::SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!h.service_) return msg.Failure("OrvCreateService.CreateService");
    return msg.Success("Service " + name + " on " + msg.machine() + " was installed successfull.");
}

int StartThisService(std::string_view serviceName, std::string_view machineName,
                     bool showMessages) {
    const Messages msg(showMessages, machineName);
    const std::string machine(machineName), name(serviceName);
    Handles h;
    h.manager_ = platform::OpenSCManagerA(Machine(machine), nullptr, kManagerAccess);
    if (!h.manager_) return msg.Failure("StartThisService.OpenSCManager");
    h.service_ = platform::OpenServiceA(h.manager_, name.c_str(), kServiceAccess);
    if (!h.service_) return msg.Failure("StartThisService.OpenService");
    if (!platform::StartServiceA(h.service_, 0, nullptr))
        return msg.Failure("StartThisService.StartService");
    return msg.Success("Service " + name + " started on " + msg.machine() + " successfull.");
}

int OrvDeleteService(std::string_view serviceName, std::string_view machineName,
                     bool showMessages) {
    const Messages msg(showMessages, machineName);
    const std::string machine(machineName), name(serviceName);
    Handles h;
    h.manager_ = platform::OpenSCManagerA(Machine(machine), nullptr, kManagerAccess);
    if (!h.manager_) return msg.Failure("OrvDeleteService.OpenSCManager");
    h.service_ = platform::OpenServiceA(h.manager_, name.c_str(), kServiceAccess);
    // The open step has always been reported under the delete step's name.
    if (!h.service_) return msg.Failure("OrvDeleteService.DeleteService");
    if (!platform::DeleteService(h.service_)) return msg.Failure("OrvDeleteService.DeleteService");
    return msg.Success("Service " + name + " on " + msg.machine() + " was removed successfull.");
}

int StopThisService(std::string_view serviceName, std::string_view machineName, bool showMessages) {
    const Messages msg(showMessages, machineName);
    const std::string machine(machineName), name(serviceName);
    Handles h;
    h.manager_ = platform::OpenSCManagerA(Machine(machine), nullptr, kManagerAccess);
    if (!h.manager_) return msg.Failure("StopThisService.OpenSCManager");
    h.service_ = platform::OpenServiceA(h.manager_, name.c_str(), kServiceAccess);
    if (!h.service_) return msg.Failure("StopThisService.OpenService");
    platform::SERVICE_STATUS status{};
    if (!platform::ControlService(h.service_, platform::SERVICE_CONTROL_STOP, &status))
        return msg.Failure("StopThisService.ControlService");
    return msg.Success("Service " + name + " stopped on " + msg.machine() + " successfull.");
}

}  // namespace zantor
