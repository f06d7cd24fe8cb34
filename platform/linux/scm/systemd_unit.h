// The unit file the systemd backend writes for a registration, and what it reads back from one.
//
// The unit holds everything the registration says: the program the service runs (ExecStart), its
// computer's root (ZANTOR_ROOT) and system directory (WorkingDirectory: the service writes its
// logs there), the display name (Description), and in a comment the type, start type and error
// control. A comment line marks the file as one of ours: the backend lists, opens, starts, stops
// and deletes only units it registered, never one of the host's own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/scm.h"

namespace platform::scm::systemd {

// Where registrations go: the administrator's unit directory.
inline constexpr const char* kUnitDirectory = "/etc/systemd/system";

struct Registration {
    std::string name;         // the service name; the unit is name + ".service"
    std::string displayName;  // Description=
    std::filesystem::path program;
    std::filesystem::path root;
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
};

// The unit file's text: Type=notify, Restart=on-failure, and the hardening a packet filter
// service allows, each remaining exposure explained in a comment.
std::string UnitText(const Registration& r);

// The registration a unit file of ours holds; nullopt for any other text.
std::optional<Registration> ParseUnit(std::string_view name, std::string_view text);

// "NAME.service".
inline std::string UnitName(std::string_view service) {
    return std::string(service) + ".service";
}

}  // namespace platform::scm::systemd
