// The service control manager of a host reached over SSH: the host's systemd, driven by the
// systemd backend (platform/linux/scm/systemd_manager.cpp) over what this file gives it: the system
// bus of the host through the shared connection, and its unit files through the transport's
// fixed scripts.
#include <string>
#include <vector>

#include "platform/linux/ssh/ssh_transport.h"
#include "platform/linux/ssh_channels.h"

namespace platform::ssh {

Win32Error BusCommandLine(std::string_view destination, std::vector<std::string>& argv) {
    if (Win32Error e = CommandLine(destination, Command::kBusBridge, argv)) return e;
    // ssh's own words go nowhere here (BusFailure asks the transport for them): a shell of this
    // machine starts it with its standard error closed, taking every word as an argument, never
    // as text.
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>/dev/null"});
    return kErrorSuccess;
}

Win32Error BusFailure(std::string_view destination) {
    std::string connection;
    if (Win32Error e = SessionEnd(destination, connection)) return e;
    Fail(kErrorRpcServerUnavailable);
    SetLastErrorDetail("The service manager of " + std::string(destination) +
                       " did not answer over SSH (systemd-stdio-bridge, as root or through "
                       "sudo -n): the host needs systemd.");
    return kErrorRpcServerUnavailable;
}

Win32Error ListUnits(std::string_view destination, std::string& listing) {
    listing.clear();
    // The far side's root is not needed to list: the unit directory is the host's.
    return Run(destination, Command::kListUnits, "/\n", [&](std::string_view piece) {
        listing.append(piece);
        return listing.size() < (16u << 20);
    });
}

Win32Error WriteUnit(std::string_view destination, const std::string& root,
                     const std::string& name, const std::string& text) {
    return Run(destination, Command::kWriteUnit,
               root + "\n" + name + "\n" + std::to_string(text.size()) + "\n" + text, {});
}

Win32Error RemoveUnit(std::string_view destination, const std::string& name) {
    return Run(destination, Command::kRemoveUnit, "/\n" + name + "\n", {});
}

}  // namespace platform::ssh
