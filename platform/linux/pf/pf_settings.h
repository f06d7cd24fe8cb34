// What a computer root's driver/ directory asks of the packet filter driver at its start, and
// the ports of the host's sshd for the anti-lockout rule. Internal to the driver; the top of
// platform/pf.h says what the files and the rule mean.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace platform::pf {

// The word in the file driver/NAME of `root`, in lower case, white space around it left out;
// empty when there is no such file. kErrorCantRead when it cannot be read; kErrorInvalidData
// when it is none of `words` (in any letter case). On failure `why` says which file said what.
Win32Error ReadDriverWord(const std::filesystem::path& root, const char* name,
                          std::initializer_list<const char*> words, std::string& word,
                          std::string& why);

// driver/antilockout: "on" (also when there is no such file) or "off".
Win32Error ReadAntiLockout(const std::filesystem::path& root, bool& on, std::string& why);

inline constexpr const char* kSshdConfig = "/etc/ssh/sshd_config";
inline constexpr std::uint16_t kSshdDefaultPort = 22;

struct SshdPorts {
    std::vector<std::uint16_t> ports;  // ascending, never empty
    std::string source;                // where they come from, for the service log
};

// The TCP ports sshd listens on as its configuration says, read as sshd reads it: the Port
// lines of `config` and of the files its Include lines name (relative ones in its directory;
// patterns in name order; 16 levels deep at most), and the ports of its ListenAddress lines
// ("host:port", "[v6]:port"); an address without a port listens on every Port. 22 when the
// configuration names no port or cannot be read. Keywords in any letter case, "Port=2222" as
// well as "Port 2222"; a value that is not a port number is passed over.
SshdPorts FindSshdPorts(const std::filesystem::path& config = kSshdConfig);

}  // namespace platform::pf
