#include "platform/linux/scm/systemd_unit.h"

#include <charconv>

namespace platform::scm::systemd {

namespace {

constexpr std::string_view kMarker =
    "# Registered through Zantor's service control manager (ZantorSvc -install, the console's "
    "Install To).";
constexpr std::string_view kRegistration = "# Registration: type ";

// A value as a unit file takes it: in double quotes, with the specifier sign and the quoting
// characters escaped, so that a path with blanks or '%' reads back as it was.
std::string Quoted(std::string_view value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '%')
            out += "%%";
        else if (c == '\\' || c == '"')
            out += std::string("\\") + c;
        else
            out += c;
    }
    return out + "\"";
}

// A value with only the specifier sign escaped, for keys that take the rest of the line as it is.
std::string Literal(std::string_view value) {
    std::string out;
    for (const char c : value) out += c == '%' ? std::string("%%") : std::string(1, c);
    return out;
}

// The text Quoted made, read back; nullopt when it is not such a text.
std::optional<std::string> Unquoted(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && text[i + 1] == '%') {
            out += '%';
            ++i;
        } else if (c == '\\' && i + 2 < text.size()) {
            out += text[++i];
        } else {
            out += c;
        }
    }
    return out;
}

std::string UnLiteral(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
    }
    return out;
}

std::string_view Value(std::string_view text, std::string_view key) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.starts_with(key)) return line.substr(key.size());
        at = end + 1;
    }
    return {};
}

bool Number(std::string_view& text, DWORD& n) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc()) return false;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

const char* StartTypeText(DWORD startType) {
    switch (startType) {
        case SERVICE_AUTO_START:
            return "automatic start: the unit is enabled and starts at boot";
        case SERVICE_DISABLED:
            return "disabled: it is not started";
        default:
            return "demand start: the unit is not enabled; to start it at boot, systemctl enable "
                   "it";
    }
}

}  // namespace

std::string UnitText(const Registration& r) {
    const std::string root = r.root.string();
    std::string t;
    t += std::string(kMarker) + "\n";
    t += std::string(kRegistration) + std::to_string(r.type) + ", start " +
         std::to_string(r.startType) + ", error control " + std::to_string(r.errorControl) + " (" +
         StartTypeText(r.startType) + ")\n";
    t += "# ZantorSvc -remove, or the console's Remove From, disables and deletes it.\n";
    t += "[Unit]\n";
    t += "Description=" + Literal(r.displayName) + "\n";
    t += "Documentation=man:ZantorSvc(8)\n";
    // The filters go into the kernel before the host's network comes up.
    t += "Wants=network-pre.target\n";
    t += "Before=network-pre.target\n";
    t += "\n[Service]\n";
    t += "Type=notify\n";
    t += "NotifyAccess=main\n";
    t += "ExecStart=" + Quoted(r.program.string()) + "\n";
    t += "WorkingDirectory=" + Literal(root + "/system32") + "\n";
    t += "Environment=" + Quoted("ZANTOR_ROOT=" + root) + "\n";
    t += "Restart=on-failure\n";
    // A program that cannot run at all (203: not found, not executable) is not run again and
    // again.
    t += "RestartPreventExitStatus=203\n";
    // What it prints is what its service log holds, which reaches the journal line by line;
    // what goes wrong below it (a crash report) comes on standard error.
    t += "StandardOutput=null\n";
    t += "StandardError=journal\n";
    t += R"(
# What the service may do, and why each thing it keeps is needed (systemd-analyze security
# lists them as its remaining exposures):
# - User= root: its configuration store, control pipe and logs are root's alone, and the
#   administrators' tools reach the pipe as root.
# - CAP_NET_ADMIN: it changes the kernel's packet filter; it is the one capability it keeps.
# - PrivateUsers=, RootDirectory=: either would leave it without the host's own filter.
# - PrivateNetwork=: never; it would filter a network of its own instead of the host's.
# - AF_NETLINK, AF_UNIX: below.
CapabilityBoundingSet=CAP_NET_ADMIN
NoNewPrivileges=yes
# Its root (the registry, the control pipe, the logs in system32) is the one place it writes;
# its own program, which the console puts beside the logs, it may only run, never rewrite ("-":
# a program that is gone fails the start as a missing program, not as a missing path).
ProtectSystem=strict
ReadWritePaths=)" +
         Quoted(root) + "\nReadOnlyPaths=-" + Quoted(r.program.string()) +
         R"(
ProtectHome=yes
PrivateTmp=yes
PrivateDevices=yes
DevicePolicy=closed
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectClock=yes
ProtectHostname=yes
ProtectProc=invisible
ProcSubset=pid
PrivateMounts=yes
# It reads the host's interfaces and changes its filter through netlink (nftables, the filter
# log), and serves its control pipe and the packet driver's socket as Unix sockets. It must see
# the host's own network: never PrivateNetwork=, which would filter a network of its own.
RestrictAddressFamilies=AF_UNIX AF_NETLINK
IPAddressDeny=any
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
LockPersonality=yes
MemoryDenyWriteExecute=yes
SystemCallArchitectures=native
# The usual calls of a system service; @privileged and @resources stay in it, since the
# configuration store gives its files back to their owner (fchown) as root.
SystemCallFilter=@system-service
SystemCallErrorNumber=EPERM
UMask=0077
KeyringMode=private

[Install]
WantedBy=multi-user.target
)";
    return t;
}

std::optional<Registration> ParseUnit(std::string_view name, std::string_view text) {
    if (!text.starts_with(kMarker)) return std::nullopt;
    Registration r;
    r.name = name;
    std::string_view registration = Value(text, kRegistration);
    if (!Number(registration, r.type) || !registration.starts_with(", start ")) return std::nullopt;
    registration.remove_prefix(8);
    if (!Number(registration, r.startType) || !registration.starts_with(", error control "))
        return std::nullopt;
    registration.remove_prefix(16);
    if (!Number(registration, r.errorControl)) return std::nullopt;
    r.displayName = UnLiteral(Value(text, "Description="));
    const auto program = Unquoted(Value(text, "ExecStart="));
    const auto root = Unquoted(Value(text, "ReadWritePaths="));
    if (!program || !root) return std::nullopt;
    r.program = *program;
    r.root = *root;
    return r;
}

}  // namespace platform::scm::systemd
