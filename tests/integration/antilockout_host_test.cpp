// The anti-lockout rule on a real host, reached over real ssh as an administrator reaches it.
// The service runs under systemd on a fleet host; the administrator's session is the ssh
// connection that every command here goes over (the connection sharing's master, opened
// before the service ever ran). Filtering the address that session runs on, with everything
// dropped both ways, leaves the session working and a restart of the service too, while a new
// ssh connection is dropped; with driver/antilockout saying off, the session is cut, and a
// timer on the host stops the service so that it can be reached again. The cases run in order
// on one fleet of one host, which is left as it was found.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/fleet_suite.h"
#include "tests/support/netlab.h"

namespace zantor::test {
namespace {

namespace lab = platform::lab;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

// The session: "10.79.0.1 PORT 10.79.0.11 22", as $SSH_CONNECTION says on the host.
std::string gSession;

std::string Program(const char* relative) {
    return std::string(kFleetBuildDir) + "/" + relative;
}
const std::string kService = Program("service/ZantorSvc");
const std::string kZadmin = Program("console/cli/zadmin");

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

class AntiLockoutOnAHost : public FleetSuite<1> {
  protected:
    static FleetHost& host() { return FleetSuite::host(1); }
    std::string Address() { return host().address(); }

    // A command line on the host over the session; its output, its exit status in *status.
    std::string On(const std::string& command, int* status = nullptr,
                   seconds timeout = seconds(90)) {
        std::string out;
        const int s = host().Run(command, &out, timeout);
        if (status) *status = s;
        return out;
    }
    std::string Unit(const char* property) {
        return Trimmed(
            On(std::string("systemctl show -p ") + property + " --value ZantorSvc.service"));
    }
    // A new ssh connection from the tests' side of the bridge, without connection sharing.
    int NewSsh(std::string* out) {
        int code = -1;
        lab::RunProgramFor(fleet().Wrap({"ssh", "-F", fleet().sshConfig(), "-o", "ControlPath=none",
                                         "-o", "ControlMaster=no", "-o", "ConnectTimeout=3",
                                         host().name(), "echo", "new-connection"}),
                           seconds(20), &code, out);
        return code;
    }
    // The line of the journal of ZantorSvc that holds `part`, and the one after it.
    std::pair<std::string, std::string> JournalLine(const std::string& part) {
        const std::string journal = On("journalctl -u ZantorSvc --no-pager -o cat");
        const std::size_t at = journal.rfind(part);
        if (at == std::string::npos) return {};
        const std::size_t begin = journal.rfind('\n', at) + 1;
        const std::size_t end = journal.find('\n', at);
        const std::size_t next = journal.find('\n', end + 1);
        return {journal.substr(begin, end - begin), journal.substr(end + 1, next - end - 1)};
    }
};

TEST_F(AntiLockoutOnAHost, TheServiceStartsWithTheRuleOnAndSaysSo) {
    // The session is open before anything of the service runs on the host.
    gSession = Trimmed(On("echo $SSH_CONNECTION"));
    ASSERT_EQ(gSession.rfind(Fleet::SideAddress() + " ", 0), 0u) << gSession;
    ASSERT_NE(gSession.find(" " + Address() + " 22"), std::string::npos) << gSession;

    int status = 0;
    std::string out = On(kService + " -install", &status);
    ASSERT_EQ(status, 0) << out;
#if defined(__SANITIZE_ADDRESS__)
    // As in systemd_host_test.cpp: the leak check's ptrace is refused by the unit's filter.
    On("mkdir -p /run/systemd/system/ZantorSvc.service.d && printf '[Service]\\n"
       "Environment=ASAN_OPTIONS=detect_leaks=0\\n' "
       ">/run/systemd/system/ZantorSvc.service.d/sanitizer.conf && systemctl daemon-reload");
#endif
    out = On(kService + " -start", &status);
    ASSERT_NE(out.find("started on LocalHost successfull."), std::string::npos) << out;
    ASSERT_EQ(Unit("ActiveState"), "active");

    // Beside the line that names the backend: the rule, for sshd's port on this host.
    const auto [backend, next] = JournalLine("Packet filter: the kernel enforces the rules");
    EXPECT_NE(backend, "");
    EXPECT_EQ(next.rfind("Packet filter: anti-lockout on: established SSH connections to this "
                         "host (TCP port 22, ",
                         0),
              0u)
        << next;
    EXPECT_NE(next.find(") pass ahead of the filters."), std::string::npos) << next;
    out = On("nft list table ip zantor");
    EXPECT_NE(out.find("tcp dport @antilockout_ports iif != \"lo\" fib daddr type local jump "
                       "antilockout_in"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("tcp sport @antilockout_ports jump antilockout_out"), std::string::npos)
        << out;
}

TEST_F(AntiLockoutOnAHost, TheOpenSessionOutlivesFilteringThatDropsEverything) {
    ASSERT_EQ(Unit("ActiveState"), "active");
    int status = 0;
    // Over the session itself, as an administrator would.
    // zadmin sees that this drops new connections the way its own session came in, and sends it
    // only when told to.
    std::string out = On(kZadmin + " --yes enable " + Address() + " drop drop", &status);
    EXPECT_NE(out.find("port 22"), std::string::npos) << out;
    ASSERT_EQ(status, 0) << out;
    out = On(kZadmin + " list --tsv", &status);
    EXPECT_NE(out.find(Address() + "\t255.255.255.0\tOn"), std::string::npos) << out;

    // (a) The same connection goes on carrying commands, and their output both ways.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Trimmed(On("echo $SSH_CONNECTION")), gSession);
    out = On("head -c 300000 /dev/urandom | base64 -w 0", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.size(), 400000u);

    // (b) A new ssh connection to port 22 is dropped: it times out, never refused.
    const auto start = steady_clock::now();
    status = NewSsh(&out);
    EXPECT_EQ(status, 255) << out;
    EXPECT_NE(out.find("timed out"), std::string::npos) << out;
    EXPECT_EQ(out.find("new-connection"), std::string::npos) << out;
    EXPECT_LT(steady_clock::now() - start, seconds(15));

    // Its tries are in the deny log; nothing of the session, which the rule let through.
    std::string sessionPort;
    std::istringstream(gSession) >> sessionPort >> sessionPort;
    std::string log;
    for (int i = 0; i < 50; ++i) {
        log = On(kZadmin + " log deny");
        if (log.find(" -> " + Address() + ":22 ") != std::string::npos) break;
        std::this_thread::sleep_for(milliseconds(200));
    }
    EXPECT_NE(log.find("TCP " + Fleet::SideAddress() + ":"), std::string::npos) << log;
    EXPECT_NE(log.find(" -> " + Address() + ":22 "), std::string::npos) << log;
    EXPECT_EQ(log.find(Fleet::SideAddress() + ":" + sessionPort + " -> "), std::string::npos)
        << "session port " << sessionPort << "\n"
        << log;
    EXPECT_EQ(log.find(Address() + ":22 -> "), std::string::npos) << log;
    EXPECT_EQ(Trimmed(On("echo $SSH_CONNECTION")), gSession);
}

TEST_F(AntiLockoutOnAHost, ARestartOfTheServiceKeepsTheSession) {
    const std::string pid = Unit("MainPID");
    int status = 0;
    // A second from now, so that this command's own answer comes back first (to the tenth of a
    // second: a timer may otherwise come up to a minute late).
    std::string out =
        On("systemd-run --quiet --timer-property=AccuracySec=100ms --on-active=1 "
           "--unit=zantor-test-restart "
           "systemctl restart ZantorSvc.service",
           &status);
    ASSERT_EQ(status, 0) << out;
    bool restarted = false;
    for (int i = 0; i < 100 && !restarted; ++i) {
        std::this_thread::sleep_for(milliseconds(200));
        restarted =
            Unit("ActiveState") == "active" && Unit("MainPID") != pid && Unit("MainPID") != "0";
    }
    ASSERT_TRUE(restarted) << Unit("ActiveState") << " " << Unit("MainPID");
    EXPECT_EQ(Trimmed(On("echo $SSH_CONNECTION")), gSession);
    out = On(kZadmin + " --wait 10 list --tsv", &status);
    EXPECT_NE(out.find(Address() + "\t255.255.255.0\tOn"), std::string::npos) << out;
    std::string why;
    EXPECT_NE(NewSsh(&why), 0) << why;
}

TEST_F(AntiLockoutOnAHost, TurnedOffTheSessionIsCutAndTheHostIsLeftClean) {
    int status = 0;
    // Off from the next start, which comes a second from now. The host heals itself: 25 seconds
    // on, a timer stops the service, which takes its table away (should that fail, the table
    // goes by hand).
    std::string out =
        On("printf 'off\\n' >/var/lib/zantor/driver/antilockout && "
           "systemd-run --quiet --timer-property=AccuracySec=100ms --on-active=25 "
           "--unit=zantor-test-rescue /bin/sh -c "
           "'systemctl stop ZantorSvc.service; nft delete table ip zantor 2>/dev/null; exit 0' && "
           "systemd-run --quiet --timer-property=AccuracySec=100ms --on-active=1 "
           "--unit=zantor-test-off "
           "systemctl restart ZantorSvc.service",
           &status);
    ASSERT_EQ(status, 0) << out;

    // (c) Once the table of the next start is in force, the next command over the session does
    // not get through within five seconds (ssh fails or does not end). Until then commands get
    // through, and each one shows which table the kernel holds (none, between the stop and the
    // start): one without the rule that lets a command through is a failure.
    bool cut = false, through = false;
    std::string seen;
    for (const auto until = steady_clock::now() + seconds(20);
         !cut && !through && steady_clock::now() < until;) {
        const int s = host().Run("nft list chain ip zantor input 2>&1; true", &seen, seconds(5));
        cut = s == -1 || s == 255;
        through = s == 0 && seen.find("vmap @inmap") != std::string::npos &&
                  seen.find("antilockout") == std::string::npos;
        if (!cut && !through) std::this_thread::sleep_for(milliseconds(200));
    }
    EXPECT_TRUE(cut) << (through ? "a command got through the table without the rule:\n" + seen
                                 : "the service did not restart within 20 seconds");

    // The session is given up (its connection sharing ends here, rather than whenever its
    // keep-alives run out), and once the timer's stop lets the host be reached again, the next
    // command opens a new one.
    int code = 0;
    lab::RunProgramFor(
        fleet().Wrap({"ssh", "-F", fleet().sshConfig(), "-O", "exit", host().name()}), seconds(10),
        &code);
    bool back = false;
    for (const auto until = steady_clock::now() + seconds(90);
         !back && steady_clock::now() < until;)
        back = host().Run("true", nullptr, seconds(10)) == 0;
    ASSERT_TRUE(back) << "the host cannot be reached again";
    EXPECT_NE(Trimmed(On("echo $SSH_CONNECTION")), gSession);
    EXPECT_EQ(Unit("ActiveState"), "inactive");
    const auto [backend, next] = JournalLine("Packet filter: the kernel enforces the rules");
    EXPECT_EQ(next,
              "Packet filter: anti-lockout off (driver/antilockout): SSH connections to this host "
              "meet the filters like all other traffic.");
    // What cut it: the filters dropped the session's own packets, and logged them.
    std::string sessionPort;
    std::istringstream(gSession) >> sessionPort >> sessionPort;
    out = On(kZadmin + " log deny");
    EXPECT_NE(out.find(Fleet::SideAddress() + ":" + sessionPort + " -> " + Address() + ":22 "),
              std::string::npos)
        << "session port " << sessionPort << "\n"
        << out;

    // Left as it was found: no unit, no root, no table, no timer.
    out = On(kService + " -remove", &status);
    EXPECT_NE(out.find("was removed successfull."), std::string::npos) << out;
    On("systemctl stop 'zantor-test-*.timer'; rm -rf /var/lib/zantor "
       "/run/systemd/system/ZantorSvc.service.d && systemctl daemon-reload && "
       "systemctl reset-failed");
    EXPECT_EQ(On("nft list tables").find("zantor"), std::string::npos);
    EXPECT_EQ(On("systemctl list-units --all --no-legend 'zantor-test-*' 'ZantorSvc*'"), "");
    EXPECT_EQ(On("ls -A /var/lib | grep -i zantor; ls /etc/systemd/system | grep -i zantor; true"),
              "");
    std::string why;
    EXPECT_EQ(NewSsh(&why), 0) << why;
}

}  // namespace
}  // namespace zantor::test
