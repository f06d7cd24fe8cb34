// The SSH session a process runs in, from the process tree, the TCP tables and the login records
// (see ssh_session.h); and FindSshSession of the computer port, which asks that of this process or
// the far side's sshd of a host.
#include "platform/linux/ssh/ssh_session.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

#include "platform/linux/pf/pf_settings.h"
#include "platform/linux/ssh/ssh_transport.h"
#include "platform/linux/unix_socket.h"
#include "platform/names.h"

namespace platform::posix {

namespace {

namespace fs = std::filesystem;

// A chain of parents longer than this is no process tree (a loop in a tree laid out by hand).
constexpr int kMaxDepth = 256;
// Any file read here is far smaller: a process's environment, a TCP table, the login records.
constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

std::string ErrorPhrase(int err) {
    const Win32Error e = ErrorFromErrno(err);
    return "Error [" + std::to_string(e) + "] (" + SystemMessageLine(e) + ")";
}

// The whole of a small file; its errno when it cannot be read.
int ReadSmallFile(const fs::path& path, std::string& text) {
    text.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) return errno;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileBytes) return EFBIG;
    }
}

struct ProcessFacts {
    int parent = 0;
    std::string name;  // the kernel's name of its program ("sshd", "bash")
    int terminal = 0;  // its controlling terminal's device number, 0 for none
};

// What /proc/PID/stat says of a process; its errno when that cannot be read.
int ReadProcess(const fs::path& proc, int pid, ProcessFacts& facts) {
    std::string stat;
    if (int err = ReadSmallFile(proc / std::to_string(pid) / "stat", stat)) return err;
    // "PID (NAME) STATE PPID PGRP SESSION TTY_NR ...": the name may hold blanks and parentheses.
    const std::size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return EINVAL;
    facts.name = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    int group = 0, session = 0;
    if (!(rest >> state >> facts.parent >> group >> session >> facts.terminal)) return EINVAL;
    return 0;
}

// The session processes of OpenSSH's server: "sshd: user@pts/0" and its privileged monitor are
// sshd, or sshd-session where the server has a program of that name for them.
bool IsSshd(std::string_view name) {
    return name == "sshd" || name == "sshd-session";
}

// $SSH_CONNECTION of a process's environment, when it holds one that says something.
std::optional<SshSessionEnd> EnvironmentEnd(const fs::path& proc, int pid) {
    std::string environment;
    if (ReadSmallFile(proc / std::to_string(pid) / "environ", environment)) return std::nullopt;
    constexpr std::string_view kName = "SSH_CONNECTION=";
    for (std::size_t start = 0; start < environment.size();) {
        const std::size_t end = std::min(environment.find('\0', start), environment.size());
        const std::string_view entry = std::string_view(environment).substr(start, end - start);
        SshSessionEnd found;
        if (entry.starts_with(kName) && ParseSshConnection(entry.substr(kName.size()), &found))
            return found;
        start = end + 1;
    }
    return std::nullopt;
}

// The name of a controlling terminal as the login records write it ("pts/3", "tty1"); empty
// for none, or one of another kind.
std::string TerminalName(int device) {
    const auto d = static_cast<unsigned>(device);
    const unsigned major = (d >> 8) & 0xfff, minor = (d & 0xff) | ((d >> 12) & 0xfff00);
    if (d == 0) return {};
    if (major >= 136 && major <= 143) return "pts/" + std::to_string((major - 136) * 256 + minor);
    if (major == 4 && minor > 0 && minor < 64) return "tty" + std::to_string(minor);
    if (major == 4 && minor >= 64) return "ttyS" + std::to_string(minor - 64);
    return {};
}

// The inodes of the sockets a process holds; its errno when its descriptors cannot be read.
int SocketInodes(const fs::path& proc, int pid, std::set<unsigned long>& inodes) {
    const fs::path fds = proc / std::to_string(pid) / "fd";
    DIR* dir = ::opendir(fds.c_str());
    if (!dir) return errno;
    int failed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[128];
        const ssize_t n = ::readlink((fds / entry->d_name).c_str(), target, sizeof target - 1);
        if (n < 0) {
            failed = errno;
            continue;
        }
        target[n] = '\0';
        unsigned long inode = 0;
        char close = 0;
        if (std::sscanf(target, "socket:[%lu%c", &inode, &close) == 2 && close == ']')
            inodes.insert(inode);
    }
    ::closedir(dir);
    return inodes.empty() ? failed : 0;
}

// An address of a TCP table ("0100007F:0016", or 32 hex digits for IPv6): the kernel writes
// each 32-bit word as this machine holds it in memory. An IPv4 address on a socket of both
// families is written as IPv4, as sshd tells it.
bool DecodeEndPoint(std::string_view text, std::string& address, int& port) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || (colon != 8 && colon != 32)) return false;
    unsigned char bytes[16] = {};
    for (std::size_t word = 0; word < colon / 8; ++word) {
        const std::string hex(text.substr(word * 8, 8));
        char* end = nullptr;
        const auto value = static_cast<std::uint32_t>(std::strtoul(hex.c_str(), &end, 16));
        if (*end != '\0') return false;
        std::memcpy(bytes + word * 4, &value, 4);
    }
    const std::string portHex(text.substr(colon + 1));
    char* end = nullptr;
    port = static_cast<int>(std::strtol(portHex.c_str(), &end, 16));
    if (portHex.empty() || *end != '\0') return false;
    char shown[INET6_ADDRSTRLEN] = {};
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const bool v4 = colon == 8 || std::memcmp(bytes, kMapped, sizeof kMapped) == 0;
    if (!::inet_ntop(v4 ? AF_INET : AF_INET6, v4 && colon == 32 ? bytes + 12 : bytes, shown,
                     sizeof shown))
        return false;
    address = shown;
    return true;
}

// The established TCP connections of the sockets `inodes`, as the TCP tables of the network
// namespace that process `pid` is in list them; the errno of a table that cannot be read.
int Established(const fs::path& proc, int pid, const std::set<unsigned long>& inodes,
                std::vector<SshSessionEnd>& connections) {
    for (const char* table : {"tcp", "tcp6"}) {
        std::string text;
        if (int err = ReadSmallFile(proc / std::to_string(pid) / "net" / table, text)) {
            // A machine without IPv6 has no second table.
            if (std::string_view(table) == "tcp6" && err == ENOENT) continue;
            return err;
        }
        std::istringstream lines(text);
        std::string line;
        std::getline(lines, line);  // the captions
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
            unsigned long inode = 0;
            if (!(words >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
                  uid >> timeout >> inode) ||
                state != "01" || !inodes.contains(inode))
                continue;
            SshSessionEnd end;
            int clientPort = 0;
            if (DecodeEndPoint(local, end.address, end.port) &&
                DecodeEndPoint(remote, end.clientAddress, clientPort) &&
                std::none_of(connections.begin(), connections.end(), [&](const SshSessionEnd& c) {
                    return c.address == end.address && c.port == end.port &&
                           c.clientAddress == end.clientAddress;
                }))
                connections.push_back(end);
        }
    }
    return 0;
}

// The address a login on terminal `line` came from, as the login records hold it; empty where
// there is no such login, or it came from this machine (a console, a desktop's terminal).
std::string RemoteLoginOn(const fs::path& utmp, const std::string& line) {
    std::string records;
    if (ReadSmallFile(utmp, records)) return {};
    for (std::size_t at = 0; at + sizeof(utmpx) <= records.size(); at += sizeof(utmpx)) {
        utmpx record;
        std::memcpy(&record, records.data() + at, sizeof record);
        if (record.ut_type != USER_PROCESS ||
            std::string_view(record.ut_line, strnlen(record.ut_line, sizeof record.ut_line)) !=
                line)
            continue;
        const auto* a = record.ut_addr_v6;
        if (a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0) return {};
        const bool v4 = a[1] == 0 && a[2] == 0 && a[3] == 0;
        char shown[INET6_ADDRSTRLEN] = {};
        if (!::inet_ntop(v4 ? AF_INET : AF_INET6, a, shown, sizeof shown)) return {};
        return shown;
    }
    return {};
}

std::string Describe(const SshSessionEnd& end) {
    return "from " + end.clientAddress + " to " + end.address + " port " + std::to_string(end.port);
}

bool SameEnd(const SshSessionEnd& a, const SshSessionEnd& b) {
    return a.address == b.address && a.port == b.port && a.clientAddress == b.clientAddress;
}

}  // namespace

bool ParseSshConnection(std::string_view text, SshSessionEnd* end) {
    std::istringstream words{std::string(text)};
    std::string client, clientPort, address;
    int port = 0;
    if (!(words >> client >> clientPort >> address >> port) || port <= 0 || port > 65535)
        return false;
    *end = SshSessionEnd{address, port, client};
    return true;
}

std::vector<int> SshdPorts(const fs::path& config) {
    // The ports sshd listens on as the driver reads them for its anti-lockout rule, and 22 beside
    // them: a guard that cannot be sure of the configuration asks about sshd's default too.
    std::set<int> ports{22};
    for (std::uint16_t port : pf::FindSshdPorts(config).ports) ports.insert(port);
    return {ports.begin(), ports.end()};
}

SshSession SshSessionOfProcess(int pid, const SessionSources& sources) {
    std::optional<SshSessionEnd> told;  // by the environment of a process below sshd
    int teller = 0;
    std::vector<int> sshd;  // the session's sshd processes, from the lowest
    std::vector<std::string> terminals;
    std::string cut;  // why the tree above could not be read to its top
    int at = pid;
    for (int depth = 0; at > 0; ++depth) {
        ProcessFacts facts;
        if (depth == kMaxDepth) {
            cut = "the processes above process " + std::to_string(pid) + " make no tree";
            break;
        }
        if (int err = ReadProcess(sources.proc, at, facts)) {
            if (sshd.empty())
                cut = "process " + std::to_string(at) + ", above process " + std::to_string(pid) +
                      ", could not be read: " + ErrorPhrase(err);
            break;
        }
        if (IsSshd(facts.name)) {
            sshd.push_back(at);
        } else if (!sshd.empty()) {
            break;  // above the session's sshd processes: the server that took the connection
        } else {
            if (!told && (told = EnvironmentEnd(sources.proc, at))) teller = at;
            const std::string terminal = TerminalName(facts.terminal);
            if (!terminal.empty() &&
                std::find(terminals.begin(), terminals.end(), terminal) == terminals.end())
                terminals.push_back(terminal);
        }
        at = facts.parent == at ? 0 : facts.parent;
    }

    SshSession unsure;
    unsure.kind = SshSessionKind::kUnsure;
    unsure.ports = SshdPorts(sources.sshdConfig);
    auto found = [](const SshSessionEnd& end) {
        SshSession s;
        s.kind = SshSessionKind::kFound;
        s.end = end;
        return s;
    };
    // Ports the facts name besides the configured ones, for a session whose way in is unsure.
    auto withPorts = [&](const std::vector<SshSessionEnd>& ends) {
        for (const SshSessionEnd& end : ends)
            if (std::find(unsure.ports.begin(), unsure.ports.end(), end.port) == unsure.ports.end())
                unsure.ports.push_back(end.port);
        std::sort(unsure.ports.begin(), unsure.ports.end());
    };
    auto listed = [](const std::vector<SshSessionEnd>& ends) {
        std::string list;
        for (const SshSessionEnd& end : ends) list += (list.empty() ? "" : ", ") + Describe(end);
        return list;
    };

    if (sshd.empty()) {
        // No sshd above: a process that outlived the session's (tmux, screen) may still hold the
        // variable; else only a login on one of the terminals says there is a session.
        if (told) return found(*told);
        for (const std::string& terminal : terminals) {
            const std::string host = RemoteLoginOn(sources.utmp, terminal);
            if (host.empty()) continue;
            unsure.clientAddress = host;
            unsure.why = "the login records name a login from " + host + " on " + terminal;
            return unsure;
        }
        if (!cut.empty()) {
            unsure.why = cut;
            return unsure;
        }
        return {};
    }

    // The connection that the session's sshd processes hold (the monitor and the session share
    // it); a session with forwardings holds more, and sshd's own port tells which is the session.
    std::set<unsigned long> inodes;
    int unreadable = 0;
    for (const int p : sshd)
        if (int err = SocketInodes(sources.proc, p, inodes)) unreadable = err;
    std::vector<SshSessionEnd> connections;
    if (!inodes.empty())
        if (int err = Established(sources.proc, sshd.front(), inodes, connections))
            unreadable = err;
    if (connections.size() > 1) {
        std::vector<SshSessionEnd> onSshdPorts;
        for (const SshSessionEnd& c : connections)
            if (std::find(unsure.ports.begin(), unsure.ports.end(), c.port) != unsure.ports.end())
                onSshdPorts.push_back(c);
        if (!onSshdPorts.empty()) connections = onSshdPorts;
    }
    const std::string underSshd =
        "it runs under sshd (process " + std::to_string(sshd.front()) + ")";
    if (told) {
        // The variable was read where sshd's connection could not be, or agrees with it.
        const bool agrees = std::any_of(connections.begin(), connections.end(),
                                        [&](const SshSessionEnd& c) { return SameEnd(c, *told); });
        if (connections.empty() || agrees) return found(*told);
        withPorts(connections);
        withPorts({*told});
        unsure.why = "the environment of process " + std::to_string(teller) +
                     " says the session came " + Describe(*told) + ", but " + underSshd +
                     ", whose connection is " + listed(connections);
        return unsure;
    }
    if (connections.size() == 1) return found(connections.front());
    if (connections.empty()) {
        unsure.why =
            underSshd + ", whose connection could not be read" +
            (unreadable ? ": " + ErrorPhrase(unreadable) : std::string(" (it holds none)"));
        return unsure;
    }
    withPorts(connections);
    unsure.why = underSshd + ", which holds several connections: " + listed(connections);
    return unsure;
}

}  // namespace platform::posix

namespace platform {

SshSession FindSshSession(std::string_view computer) {
    Computer where;
    if (FindComputer(computer, where)) return {};
    SshSession session;
    if (where.kind == ComputerKind::kThis) {
        const char* connection = std::getenv("SSH_CONNECTION");
        if (connection && posix::ParseSshConnection(connection, &session.end)) {
            session.kind = SshSessionKind::kFound;
            return session;
        }
        // Dropped (sudo drops it), or never there: the process tree does not change while we run.
        static std::once_flag once;
        static SshSession ours;
        std::call_once(once,
                       [] { ours = posix::SshSessionOfProcess(static_cast<int>(::getpid())); });
        return ours;
    }
    if (where.kind != ComputerKind::kRemote) return {};
    // Asked once per host and program run: the far side's view of our session.
    static std::mutex mutex;
    static std::map<std::string, SshSessionEnd> known;
    {
        std::lock_guard lock(mutex);
        if (auto it = known.find(where.destination); it != known.end()) {
            session.kind = SshSessionKind::kFound;
            session.end = it->second;
            return session;
        }
    }
    std::string connection;
    const Win32Error e = ssh::SessionEnd(where.destination, connection);
    if (e == kErrorSuccess && posix::ParseSshConnection(connection, &session.end)) {
        std::lock_guard lock(mutex);
        known[where.destination] = session.end;
        session.kind = SshSessionKind::kFound;
        return session;
    }
    // The far side's sshd did not say: the session may have come in on any port it takes.
    session.kind = SshSessionKind::kUnsure;
    session.ports = {22};
    if (const int port = ssh::DestinationPort(where.destination); port != 22)
        session.ports.push_back(port);
    session.why = "where its session into " + where.destination + " arrived could not be read" +
                  (e ? ": Error [" + std::to_string(e) + "] (" + SystemMessageLine(e) + ")"
                     : std::string(" (sshd set no SSH_CONNECTION there)"));
    return session;
}

void AcceptNewHostKeys() {
    ssh::AcceptNewHostKeys();
}

}  // namespace platform
