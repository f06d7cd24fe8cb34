// The anti-lockout rule of the kernel backend: where its rules stand in the table and that no
// change costs more for them, the file that turns it off, and the ports sshd's configuration
// gives. The packets it lets through are tested in tests/integration/kernel_test.cpp (network
// namespaces) and tests/integration/antilockout_host_test.cpp (a real host over ssh).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/linux/pf/pf_kernel.h"
#include "platform/linux/pf/pf_ruleset.h"
#include "platform/linux/pf/pf_settings.h"
#include "tests/support/netlab.h"
#include "tests/unit/pf_test_util.h"
#include "tests/unit/temp_root.h"

using namespace platform;
using namespace platform::pf;
using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

// ---- The rules in the table ---------------------------------------------------------------

// A ruleset with one bound interface that drops input by default, a filter or two, and strong
// host: the same model, built with and without the rule.
struct Model {
    explicit Model(std::vector<std::uint16_t> ports) : ruleset(23118, std::move(ports)) {
        KernelRuleset::Journal journal;
        InterfaceRecord record{
            .handle = 1, .actions = {PF_ACTION_DROP, PF_ACTION_FORWARD}, .useLog = true};
        ruleset.CreateInterface(record, journal);
        changes.push_back({});
        record.bound = true;
        record.address = StrToIP("10.9.0.2");
        ruleset.Bind(record, 4, changes.back(), journal);
        Add(PacketDirection::kInput, 10, {.protocol = 6, .dstLow = 80, .dstHigh = 80});
        Add(PacketDirection::kInput, 11, {.protocol = 6, .dstLow = 22, .dstHigh = 22});
        Add(PacketDirection::kOutput, 12,
            {.dst = "10.1.2.3",
             .dstMask = "255.255.255.255",
             .protocol = 17,
             .dstLow = 5000,
             .dstHigh = 5010});
        changes.push_back({});
        record.globals |= 1u << GF_STRONGHOST;
        ruleset.SetGlobals(record, changes.back(), journal);
        changes.push_back({});
        record.globals |= 1u << GF_FRAGCACHE;
        ruleset.SetGlobals(record, changes.back(), journal);
        changes.push_back({});
        const FILTER_HANDLE gone[] = {11, 12};
        ruleset.RemoveFilters(1, gone, changes.back(), journal);
        table = ruleset.WholeTable();
        changes.push_back({});
        ruleset.Unbind(1, changes.back(), journal);
    }
    void Add(PacketDirection direction, FILTER_HANDLE f, const FilterFields& fields) {
        Descriptor d(fields);
        Rule rule;
        EXPECT_EQ(CompileRule(*d.get(), rule), kErrorSuccess);
        KernelRuleset::Journal journal;
        changes.push_back({});
        ruleset.AddFilter(1, direction, f, rule, changes.back(), journal);
    }

    KernelRuleset ruleset;
    std::vector<std::string> changes;  // the commands of each change, in order
    std::string table;                 // the whole table before the last change
};

// Where a line stands in the text; npos when it is not there.
std::size_t At(const std::string& text, const std::string& line) {
    const std::string whole = "\n" + line + "\n";
    const std::size_t at = ("\n" + text).find(whole);
    return at;
}

// The rules of one chain, in order, without the command's words before the chain's name.
std::vector<std::string> ChainRules(const std::string& text, const std::string& chain) {
    std::vector<std::string> rules;
    const std::string head = "add rule ip zantor " + chain + " ";
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(head, 0) == 0) rules.push_back(line.substr(head.size()));
    return rules;
}

TEST(AntiLockoutRules, ItsRulesComeFirstInEachBaseChainAfterLoopback) {
    Model on({22, 2222});
    const std::string& t = on.table;
    const std::string p = "add rule ip zantor ";
    EXPECT_NE(At(t,
                 "add set ip zantor antilockout_ports { type inet_service; elements = { 22, "
                 "2222 } }"),
              std::string::npos)
        << t;
    // prerouting: after loopback, ahead of strong host, the fragment checks and the interfaces
    // decided there; connection tracking does not know the connection yet, so an unfragmented
    // TCP packet to sshd on the host's own address goes on to antilockout_pre.
    const std::string toSshd = "tcp dport @antilockout_ports iif != \"lo\" fib daddr type local";
    const std::size_t pre = At(t, p + "pre ip frag-off & 0x3fff == 0 " + toSshd + " accept");
    ASSERT_NE(pre, std::string::npos) << t;
    EXPECT_LT(At(t, p + "pre iif \"lo\" accept"), pre);
    EXPECT_GT(At(t, p + "pre iif vmap @spoofmap"), pre);
    EXPECT_GT(At(t, p + "pre ip frag-off & 0x3fff != 0 ip daddr vmap @fragmap"), pre);
    EXPECT_GT(At(t, p + "pre ip daddr vmap @premap"), pre);
    // Between connection tracking and a destination NAT: those packets, and only those (the
    // reassembled datagrams of fragments aside), established sessions first, then the checks
    // pre skipped in their order.
    EXPECT_NE(At(t,
                 "add chain ip zantor antilockout_pre { type filter hook prerouting priority "
                 "-150; policy accept; }"),
              std::string::npos)
        << t;
    EXPECT_EQ(ChainRules(t, "antilockout_pre"),
              std::vector<std::string>{toSshd + " jump antilockout_in"});
    EXPECT_EQ(ChainRules(t, "antilockout_in"),
              (std::vector<std::string>{"jump antilockout_session", "iif vmap @spoofmap",
                                        "ip daddr vmap @premap"}));
    // Established, not sent elsewhere by a NAT, and a session into the host: the peer's side of
    // one it opened, or of any other that the host did not open from sshd's port itself.
    EXPECT_EQ(ChainRules(t, "antilockout_session"),
              (std::vector<std::string>{
                  "ct state established ct status & dnat == 0 ct direction original accept",
                  "ct label 126 return", "ct state established ct status & dnat == 0 accept"}));
    // input: those sessions, ahead of the interfaces decided at the input hook.
    const std::size_t in = At(t, p + "input tcp dport @antilockout_ports jump antilockout_session");
    ASSERT_NE(in, std::string::npos) << t;
    EXPECT_LT(At(t, p + "input iif \"lo\" accept"), in);
    EXPECT_GT(At(t, p + "input ip daddr vmap @inmap"), in);
    // output: the host's side of those sessions, and a session taken up by a segment without
    // SYN; a SYN from sshd's port is labelled and goes on to the interfaces.
    const std::size_t out = At(t, p + "output tcp sport @antilockout_ports jump antilockout_out");
    ASSERT_NE(out, std::string::npos) << t;
    EXPECT_LT(At(t, p + "output oif \"lo\" accept"), out);
    EXPECT_GT(At(t, p + "output ip saddr vmap @outmap"), out);
    EXPECT_EQ(ChainRules(t, "antilockout_out"),
              (std::vector<std::string>{
                  "ct state established ct status & dnat == 0 ct direction reply accept",
                  "ct label 126 return", "ct state established ct status & dnat == 0 accept",
                  "ct state new tcp flags & syn == 0 accept", "ct state new ct label set 126"}));
    // Every chain exists before the first jump to it.
    for (const char* chain : {"antilockout_session", "antilockout_in", "antilockout_out"}) {
        const std::size_t made = At(t, std::string("add chain ip zantor ") + chain);
        ASSERT_NE(made, std::string::npos) << chain;
        EXPECT_LT(made, t.find(std::string("jump ") + chain)) << chain;
    }
    // Nothing else: "related" is not let through.
    EXPECT_EQ(t.find("related"), std::string::npos);
}

TEST(AntiLockoutRules, OffTheTableHasNoneOfIt) {
    Model off({});
    EXPECT_EQ(off.table.find("antilockout"), std::string::npos) << off.table;
    EXPECT_EQ(off.table.find(" ct "), std::string::npos) << off.table;
    // The base chains as they were before the rule existed.
    EXPECT_NE(At(off.table,
                 "add rule ip zantor input iif \"lo\" accept\nadd rule ip zantor input "
                 "ip daddr vmap @inmap"),
              std::string::npos)
        << off.table;
}

TEST(AntiLockoutRules, NoChangeCostsMoreForIt) {
    // Its rules are written with the whole table; each change sends the same commands either way.
    Model on({22}), off({});
    ASSERT_EQ(on.changes.size(), off.changes.size());
    for (std::size_t i = 0; i < on.changes.size(); ++i) {
        EXPECT_EQ(on.changes[i], off.changes[i]) << "change " << i;
        EXPECT_EQ(on.changes[i].find("antilockout"), std::string::npos);
    }
    EXPECT_FALSE(on.changes.front().empty());  // the bind wrote the interface
}

// The kernel takes the table whole, and changes go on as ever around the rules.
TEST(AntiLockoutRules, TheKernelTakesTheTable) {
    std::string why;
    if (!lab::CanMakeNamespaces(&why)) GTEST_SKIP() << "needs network namespaces: " << why;
    ASSERT_EQ(lab::EnterPrivateNamespace(&why), kErrorSuccess) << why;
    PacketFilterDriver engine{Untimed()};
    KernelBackend::Options options;
    options.antiLockoutPorts = {22, 2222};
    std::unique_ptr<KernelBackend> backend;
    ASSERT_EQ(KernelBackend::Create(engine, options, &backend, &why), kErrorSuccess) << why;
    INTERFACE_HANDLE itf = 0;
    ASSERT_EQ(backend->CreateInterface(0, PF_ACTION_DROP, PF_ACTION_DROP, true, true, &itf), 0u);
    IPAddr ip = StrToIP("10.9.0.2");
    ASSERT_EQ(backend->BindInterfaceToIPAddress(itf, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip)),
              0u);
    ASSERT_EQ(backend->WriteTable(&why), kErrorSuccess) << why;
    Descriptor web({.protocol = 6, .dstLow = 80, .dstHigh = 80});
    FILTER_HANDLE h = 0;
    ASSERT_EQ(backend->AddFiltersToInterface(itf, 1, web.get(), 0, nullptr, &h), 0u);
    ASSERT_EQ(backend->AddGlobalFilterToInterface(itf, GF_STRONGHOST), 0u);
    std::string table;
    ASSERT_EQ(lab::RunProgram({"/usr/sbin/nft", "list", "table", "ip", "zantor"}, &table),
              kErrorSuccess);
    EXPECT_NE(table.find("elements = { 22, 2222 }"), std::string::npos) << table;
    // As the kernel lists them: the chain between connection tracking and a NAT, and the
    // session's rules.
    for (const char* rule :
         {"type filter hook prerouting priority mangle; policy accept;",
          "tcp dport @antilockout_ports iif != \"lo\" fib daddr type local jump antilockout_in",
          "ct state established ct status ! dnat ct direction original accept",
          "ct label 126 return", "ct state new tcp flags ! syn accept",
          "ct state new ct label set 126", "tcp sport @antilockout_ports jump antilockout_out"})
        EXPECT_NE(table.find(rule), std::string::npos) << rule << "\n" << table;
    // The engine is not told: packets to sshd are its filters' to decide.
    PFFORWARD_ACTION action = PF_ACTION_FORWARD;
    const auto ssh = Tcp("10.200.1.5", 40000, "10.9.0.2", 22);
    ASSERT_EQ(engine.TestPacket(itf, 0, static_cast<DWORD>(ssh.size()), ssh.data(), &action), 0u);
    EXPECT_EQ(action, PF_ACTION_DROP);
    ASSERT_EQ(backend->UnBindInterface(itf), 0u);
    ASSERT_EQ(backend->RemoveTable(&why), kErrorSuccess) << why;
}

// ---- driver/antilockout ----------------------------------------------------------------------

class AntiLockoutFile : public ::testing::Test {
  protected:
    void Write(const std::string& text) {
        fs::create_directories(root.path() / "driver");
        std::ofstream(root.path() / "driver" / "antilockout", std::ios::binary) << text;
    }
    Win32Error Read() {
        why.clear();
        on = false;
        return ReadAntiLockout(root.path(), on, why);
    }
    TempDir root;
    bool on = false;
    std::string why;
};

TEST_F(AntiLockoutFile, OnWithoutTheFile) {
    EXPECT_EQ(Read(), kErrorSuccess);
    EXPECT_TRUE(on);
}

TEST_F(AntiLockoutFile, OnAndOffInAnyLetterCaseWithSpaceAround) {
    for (const char* text : {"off", "OFF\n", "  Off \r\n"}) {
        Write(text);
        EXPECT_EQ(Read(), kErrorSuccess) << text;
        EXPECT_FALSE(on) << text;
    }
    for (const char* text : {"on", "On\n", "\tON  "}) {
        Write(text);
        EXPECT_EQ(Read(), kErrorSuccess) << text;
        EXPECT_TRUE(on) << text;
    }
}

TEST_F(AntiLockoutFile, AnythingElseIsInvalidDataAsInTheBackendFile) {
    const fs::path file = root.path() / "driver" / "antilockout";
    for (const auto& [text, shown] :
         std::vector<std::pair<std::string, std::string>>{{"no", "no"},
                                                          {"", ""},
                                                          {"off\noff", "off?off"},
                                                          {"disabled", "disabled"},
                                                          {std::string("o\0f\x01", 4), "o?f?"}}) {
        Write(text);
        EXPECT_EQ(Read(), kErrorInvalidData) << shown;
        EXPECT_EQ(why, file.string() + " says '" + shown + "'; it must say on or off");
    }
    // The backend file reads the same way.
    std::ofstream(root.path() / "driver" / "backend") << "kernels";
    std::string word;
    EXPECT_EQ(ReadDriverWord(root.path(), "backend", {"engine", "kernel"}, word, why),
              kErrorInvalidData);
    EXPECT_EQ(why, (root.path() / "driver" / "backend").string() +
                       " says 'kernels'; it must say engine or kernel");
}

TEST_F(AntiLockoutFile, AFileThatCannotBeReadIsAFailure) {
    fs::create_directories(root.path() / "driver" / "antilockout");  // a directory
    EXPECT_EQ(Read(), kErrorCantRead);
    EXPECT_NE(why.find("cannot be read"), std::string::npos) << why;
}

// ---- sshd's ports ----------------------------------------------------------------------------

class SshdConfig : public ::testing::Test {
  protected:
    fs::path Write(const std::string& name, const std::string& text) {
        const fs::path file = dir.path() / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
        return file;
    }
    std::vector<std::uint16_t> Ports(const std::string& text) {
        return FindSshdPorts(Write("sshd_config", text)).ports;
    }
    using Ports_ = std::vector<std::uint16_t>;
    TempDir dir;
};

TEST_F(SshdConfig, TwentyTwoWhenItNamesNoneOrCannotBeRead) {
    const SshdPorts missing = FindSshdPorts(dir.path() / "nowhere");
    EXPECT_EQ(missing.ports, Ports_{22});
    EXPECT_EQ(missing.source,
              "sshd's default: " + (dir.path() / "nowhere").string() + " cannot be read");
    const SshdPorts none = FindSshdPorts(Write("sshd_config", "#Port 2222\nUsePAM yes\n"));
    EXPECT_EQ(none.ports, Ports_{22});
    EXPECT_EQ(none.source,
              "sshd's default: " + (dir.path() / "sshd_config").string() + " names none");
}

TEST_F(SshdConfig, PortLinesAsSshdReadsThem) {
    const SshdPorts ports = FindSshdPorts(Write("sshd_config",
                                                "# Port 1\n  port\t2222\nPORT=2200\nPort = 2201\n"
                                                "Port 2222\nPort 0\nPort 70000\nPort\n"));
    EXPECT_EQ(ports.ports, (Ports_{2200, 2201, 2222}));
    EXPECT_EQ(ports.source, "as " + (dir.path() / "sshd_config").string() + " says");
    // Nothing that is a port: the default.
    EXPECT_EQ(Ports("Port 22a\nPort -1\n"), Ports_{22});
}

TEST_F(SshdConfig, ListenAddressesWithAndWithoutPorts) {
    // Only addresses with ports: those ports; Port lines then name nothing.
    EXPECT_EQ(Ports("Port 2222\nListenAddress 10.0.0.1:2022\nListenAddress [::1]:2023\n"),
              (Ports_{2022, 2023}));
    // An address without one listens on every Port, or on 22.
    EXPECT_EQ(Ports("Port 2222\nListenAddress 10.0.0.1:2022\nListenAddress 10.0.0.2\n"),
              (Ports_{2022, 2222}));
    EXPECT_EQ(Ports("ListenAddress 10.0.0.1:2022\nListenAddress fe80::1\n"), (Ports_{22, 2022}));
    EXPECT_EQ(Ports("ListenAddress 0.0.0.0 rdomain blue\n"), Ports_{22});
    // A port that is no port makes the line nothing.
    EXPECT_EQ(Ports("ListenAddress 10.0.0.1:http\nPort 2200\n"), Ports_{2200});
}

TEST_F(SshdConfig, IncludedFilesCountAndLoopsEnd) {
    Write("sshd_config.d/20-second.conf", "Port 2002\n");
    Write("sshd_config.d/10-first.conf", "Port 2001\nInclude /nonexistent/*.conf\n");
    Write("sshd_config.d/readme.txt", "Port 9999\n");
    Write("more/extra.conf", "Port 2003\n");
    Write("loop.conf", "Include loop.conf\nPort 2004\n");
    const fs::path main =
        Write("sshd_config", "Include sshd_config.d/*.conf " + (dir.path() / "more").string() +
                                 "/extra.conf\nInclude loop.conf\n");
    EXPECT_EQ(FindSshdPorts(main).ports, (Ports_{2001, 2002, 2003, 2004}));
}

}  // namespace
