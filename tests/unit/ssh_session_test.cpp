// The SSH session a process runs in where $SSH_CONNECTION is gone (sudo drops it): found up the
// process tree, in process trees, TCP tables and login records laid out as the kernel and the
// login programs write them.
#include <gtest/gtest.h>
#include <utmpx.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/linux/ssh/ssh_session.h"
#include "tests/unit/temp_root.h"

namespace zantor::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using platform::SshSession;
using platform::SshSessionKind;

constexpr int kPts3 = (136 << 8) | 3;
constexpr int kTty1 = (4 << 8) | 1;

// An address as a TCP table writes it: each 32-bit word as this machine holds it in memory.
std::string Word(const std::vector<unsigned char>& bytes) {
    std::string hex;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes.data() + i, 4);
        char text[9];
        std::snprintf(text, sizeof text, "%08X", word);
        hex += text;
    }
    return hex;
}

std::vector<unsigned char> V4(const std::string& dotted) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    return {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
            static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
}

// The same address on a socket of both families.
std::vector<unsigned char> Mapped(const std::string& dotted) {
    const auto v4 = V4(dotted);
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, v4[0], v4[1], v4[2], v4[3]};
}

struct Connection {
    std::vector<unsigned char> local;
    int localPort;
    std::vector<unsigned char> remote;
    int remotePort;
    unsigned long inode;
    const char* state = "01";  // established
};

// A /proc of our own, the login records and sshd's configuration.
class Machine {
  public:
    Machine() {
        sources_.proc = dir_.path() / "proc";
        sources_.utmp = dir_.path() / "utmp";
        sources_.sshdConfig = dir_.path() / "sshd_config";
        fs::create_directories(sources_.proc);
        std::ofstream(sources_.sshdConfig) << "Port 22\n";
    }

    // A process: its parent, its program's name, its terminal, its environment ("A=1\0B=2")
    // and the sockets it holds; `fds` false: its descriptors cannot be read.
    void Process(int pid, int parent, const std::string& name, int terminal = 0,
                 const std::string& environment = {}, std::vector<unsigned long> sockets = {},
                 bool fds = true) {
        const fs::path p = sources_.proc / std::to_string(pid);
        fs::create_directories(p);
        std::ofstream(p / "stat") << pid << " (" << name << ") S " << parent << " " << pid << " "
                                  << pid << " " << terminal << " " << pid << " 4194560 0 0\n";
        std::ofstream(p / "environ", std::ios::binary) << environment;
        if (!fds) return;
        fs::create_directories(p / "fd");
        fs::create_symlink("/dev/null", p / "fd" / "0");
        int fd = 3;
        for (unsigned long inode : sockets)
            fs::create_symlink("socket:[" + std::to_string(inode) + "]",
                               p / "fd" / std::to_string(fd++));
    }
    // The TCP tables of the network namespace process `pid` is in.
    void Tables(int pid, const std::vector<Connection>& connections) {
        const fs::path net = sources_.proc / std::to_string(pid) / "net";
        fs::create_directories(net);
        std::ofstream v4(net / "tcp"), v6(net / "tcp6");
        for (std::ofstream* table : {&v4, &v6})
            *table << "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                      "retrnsmt   uid  timeout inode\n";
        int slot = 0;
        for (const Connection& c : connections) {
            char ports[2][5];
            std::snprintf(ports[0], sizeof ports[0], "%04X", c.localPort);
            std::snprintf(ports[1], sizeof ports[1], "%04X", c.remotePort);
            (c.local.size() == 4 ? v4 : v6)
                << "   " << slot++ << ": " << Word(c.local) << ":" << ports[0] << " "
                << Word(c.remote) << ":" << ports[1] << " " << c.state
                << " 00000000:00000000 02:0009A2B5 00000000     0        0 " << c.inode
                << " 2 0000000000000000 20 4 29 10 -1\n";
        }
    }
    // A login on `line` from `from` (IPv4; empty: from this machine).
    void Login(const std::string& line, const std::string& from) {
        utmpx record{};
        record.ut_type = USER_PROCESS;
        std::strncpy(record.ut_line, line.c_str(), sizeof record.ut_line - 1);
        std::strncpy(record.ut_user, "admin", sizeof record.ut_user - 1);
        if (!from.empty()) {
            std::strncpy(record.ut_host, from.c_str(), sizeof record.ut_host - 1);
            const auto bytes = V4(from);
            std::memcpy(record.ut_addr_v6, bytes.data(), 4);
        }
        std::ofstream(sources_.utmp, std::ios::binary | std::ios::app)
            .write(reinterpret_cast<const char*>(&record), sizeof record);
    }
    void Config(const std::string& text) { std::ofstream(sources_.sshdConfig) << text; }
    void Remove(int pid, const char* what) {
        fs::remove_all(sources_.proc / std::to_string(pid) / what);
    }

    SshSession SessionOf(int pid) const {
        return platform::posix::SshSessionOfProcess(pid, sources_);
    }
    const fs::path& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    platform::posix::SessionSources sources_;
};

// An administrator's session from 192.0.2.7 into sshd on 10.0.0.5 port 22, with a forwarding
// of theirs to 10.9.9.9 port 80, and `sudo zadmin` in it: the tree as OpenSSH and sudo make it.
//   1 init / 500 sshd (the server) / 600 sshd (monitor) / 601 sshd (the session)
//   / 700 bash / 800 sudo / 801 sudo / 802 zadmin
void Session(Machine& m, const std::string& bashEnvironment = "HOME=/root", bool sshdFds = true) {
    m.Process(1, 0, "systemd");
    m.Process(500, 1, "sshd", 0, {}, {10}, sshdFds);
    m.Process(600, 500, "sshd", 0, {}, {20}, sshdFds);
    m.Process(601, 600, "sshd", 0, {}, {20, 21, 22}, sshdFds);
    m.Process(700, 601, "bash", kPts3, bashEnvironment);
    m.Process(800, 700, "sudo", kPts3, bashEnvironment);
    m.Process(801, 800, "sudo", kPts3, "HOME=/root\0SUDO_USER=admin"s);
    m.Process(802, 801, "zadmin", (136 << 8) | 4, "HOME=/root\0SUDO_USER=admin"s);
    m.Tables(601, {
                      {V4("0.0.0.0"), 22, V4("0.0.0.0"), 0, 10, "0A"},  // the server's
                      {V4("10.0.0.5"), 22, V4("192.0.2.7"), 50022, 20},
                      {V4("10.0.0.20"), 40000, V4("10.9.9.9"), 80, 21},
                      {V4("10.0.0.5"), 22, V4("192.0.2.8"), 50999, 99},  // another session's
                  });
}

std::string Env(const std::string& connection) {
    return "HOME=/root\0SSH_CONNECTION="s + connection + "\0TERM=xterm"s;
}

TEST(SshSessionOfAProcess, SudoUnderSshIsFoundFromSshdsConnection) {
    Machine m;
    Session(m);
    const SshSession s = m.SessionOf(802);
    ASSERT_EQ(s.kind, SshSessionKind::kFound) << s.why;
    EXPECT_EQ(s.end.address, "10.0.0.5");
    EXPECT_EQ(s.end.port, 22);
    EXPECT_EQ(s.end.clientAddress, "192.0.2.7");

    // The shell's environment agrees: found too. It alone, where sshd cannot be read, is enough.
    Machine agreeing;
    Session(agreeing, Env("192.0.2.7 50022 10.0.0.5 22"));
    EXPECT_EQ(agreeing.SessionOf(802).kind, SshSessionKind::kFound);
    Machine hidden;
    Session(hidden, Env("192.0.2.7 50022 10.0.0.5 22"), false);
    const SshSession h = hidden.SessionOf(802);
    ASSERT_EQ(h.kind, SshSessionKind::kFound) << h.why;
    EXPECT_EQ(h.end.clientAddress, "192.0.2.7");

    // A session over a socket of both families is told as IPv4, as sshd tells it; one over
    // IPv6 as it is.
    for (const auto& [local, remote, address, client] :
         {std::tuple{Mapped("10.0.0.5"), Mapped("192.0.2.7"), "10.0.0.5", "192.0.2.7"},
          {std::vector<unsigned char>{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5},
           std::vector<unsigned char>{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}, "fd00::5",
           "fd00::7"}}) {
        Machine v6;
        Session(v6);
        v6.Tables(601, {{local, 22, remote, 50022, 20}});
        const SshSession s6 = v6.SessionOf(802);
        ASSERT_EQ(s6.kind, SshSessionKind::kFound) << s6.why;
        EXPECT_EQ(s6.end.address, address);
        EXPECT_EQ(s6.end.clientAddress, client);
    }
}

// Where the session's way in cannot be told for sure, it is never taken for no session.
TEST(SshSessionOfAProcess, UnderSshdWithoutAClearAnswerItIsUnsure) {
    {
        Machine m;
        m.Config("Port 22\nPort 2222\n");
        Session(m, "HOME=/root", false);
        const SshSession s = m.SessionOf(802);
        EXPECT_EQ(s.kind, SshSessionKind::kUnsure);
        EXPECT_EQ(s.ports, (std::vector<int>{22, 2222}));
        EXPECT_EQ(s.clientAddress, "");
        EXPECT_EQ(s.why,
                  "it runs under sshd (process 601), whose connection could not be read: Error "
                  "[2] (The file was not found.)");
    }
    {
        // The environment and sshd's connection disagree.
        Machine m;
        Session(m, Env("192.0.2.99 50022 10.0.0.5 2222"));
        const SshSession s = m.SessionOf(802);
        EXPECT_EQ(s.kind, SshSessionKind::kUnsure);
        EXPECT_EQ(s.ports, (std::vector<int>{22, 2222}));
        EXPECT_EQ(s.why,
                  "the environment of process 800 says the session came from 192.0.2.99 to "
                  "10.0.0.5 port 2222, but it runs under sshd (process 601), whose connection is "
                  "from 192.0.2.7 to 10.0.0.5 port 22");
    }
    {
        // Two connections on sshd's ports.
        Machine m;
        Session(m);
        m.Tables(601, {{V4("10.0.0.5"), 22, V4("192.0.2.7"), 50022, 20},
                       {V4("10.0.0.6"), 22, V4("192.0.2.8"), 50023, 21}});
        const SshSession s = m.SessionOf(802);
        EXPECT_EQ(s.kind, SshSessionKind::kUnsure);
        EXPECT_NE(s.why.find("holds several connections: from 192.0.2.7 to 10.0.0.5 port 22, "
                             "from 192.0.2.8 to 10.0.0.6 port 22"),
                  std::string::npos)
            << s.why;
    }
    {
        // No connection at all, and a TCP table that cannot be read.
        Machine m;
        Session(m);
        m.Tables(601, {});
        EXPECT_EQ(m.SessionOf(802).kind, SshSessionKind::kUnsure);
        m.Remove(601, "net");
        EXPECT_EQ(m.SessionOf(802).kind, SshSessionKind::kUnsure);
    }
    {
        // The tree breaks off below its top.
        Machine m;
        Session(m);
        m.Remove(700, "stat");
        const SshSession s = m.SessionOf(802);
        EXPECT_EQ(s.kind, SshSessionKind::kUnsure);
        EXPECT_EQ(s.why,
                  "process 700, above process 802, could not be read: Error [2] (The file "
                  "was not found.)");
    }
    {
        // A loop of parents ends.
        Machine m;
        m.Process(10, 11, "bash");
        m.Process(11, 10, "bash");
        EXPECT_EQ(m.SessionOf(10).kind, SshSessionKind::kUnsure);
    }
}

TEST(SshSessionOfAProcess, WithoutSshdAboveTheEnvironmentOrTheLoginRecordsTell) {
    // A multiplexer that outlived the session that started it keeps the variable.
    Machine tmux;
    tmux.Process(1, 0, "systemd");
    tmux.Process(40, 1, "tmux: server", 0, Env("192.0.2.7 50022 10.0.0.5 22"));
    tmux.Process(41, 40, "bash", kPts3, "HOME=/root");
    tmux.Process(42, 41, "sudo", kPts3, "HOME=/root");
    tmux.Process(43, 42, "zadmin", kPts3, "HOME=/root");
    SshSession s = tmux.SessionOf(43);
    ASSERT_EQ(s.kind, SshSessionKind::kFound);
    EXPECT_EQ(s.end.clientAddress, "192.0.2.7");

    // A terminal that the login records give to a login from another host: unsure, with its
    // client.
    Machine remote;
    remote.Process(1, 0, "systemd");
    remote.Process(41, 1, "bash", kPts3, "HOME=/root");
    remote.Process(43, 41, "zadmin", kPts3, "HOME=/root");
    remote.Login("pts/1", "198.51.100.1");
    remote.Login("pts/3", "192.0.2.7");
    s = remote.SessionOf(43);
    EXPECT_EQ(s.kind, SshSessionKind::kUnsure);
    EXPECT_EQ(s.clientAddress, "192.0.2.7");
    EXPECT_EQ(s.why, "the login records name a login from 192.0.2.7 on pts/3");

    // A local console: nothing changes.
    Machine console;
    console.Process(1, 0, "systemd");
    console.Process(30, 1, "login", kTty1, "HOME=/root");
    console.Process(31, 30, "bash", kTty1, "HOME=/root");
    console.Process(32, 31, "zadmin", kTty1, "HOME=/root\0SSH_CONNECTION="s);
    console.Login("tty1", "");
    console.Login("pts/3", "192.0.2.7");
    s = console.SessionOf(32);
    EXPECT_EQ(s.kind, SshSessionKind::kNone) << s.why;
}

TEST(SshdPorts, PortAndListenAddressOfTheConfigAndItsIncludes) {
    Machine m;
    fs::create_directories(m.dir() / "sshd_config.d");
    std::ofstream(m.dir() / "sshd_config.d" / "ports.conf") << "port 8022\n";
    std::ofstream(m.dir() / "sshd_config.d" / "ignored.txt") << "Port 9\n";
    std::ofstream(m.dir() / "sshd_config")
        << "#Port 9\nPort 2222\nPort nonsense\nPort 70000\nListenAddress 0.0.0.0:2200\n"
           "ListenAddress [::]:2201\nListenAddress ::\nListenAddress 10.0.0.5\n"
           "Include sshd_config.d/*.conf\nInclude " +
               (m.dir() / "missing.conf").string() + "\n";
    EXPECT_EQ(platform::posix::SshdPorts(m.dir() / "sshd_config"),
              (std::vector<int>{22, 2200, 2201, 2222, 8022}));
    EXPECT_EQ(platform::posix::SshdPorts(m.dir() / "none"), std::vector<int>{22});
    // A config that includes itself ends.
    std::ofstream(m.dir() / "loop") << "Port 1022\nInclude " + (m.dir() / "loop").string() + "\n";
    EXPECT_EQ(platform::posix::SshdPorts(m.dir() / "loop"), (std::vector<int>{22, 1022}));
}

}  // namespace
}  // namespace zantor::test
