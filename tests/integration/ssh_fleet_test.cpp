// Named computers that are real hosts reached over SSH: zadmin, run on the tests' side of the
// fleet's bridge as an administrator runs it on their own machine, installs the service on fleet
// hosts, configures it, saves one host's configuration and restores it onto another, reads the
// deny log of real traffic and removes everything again; a second connection gets 231; an
// unknown host key, a refused key and a host that is gone each give their error, with ssh's own
// words, and no hang. The cases run in order on one fleet of three hosts.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/fleet_suite.h"
#include "tests/support/fleet_zadmin.h"
#include "tests/support/netlab.h"

namespace zantor::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// Where zadmin's shared connections live (its runtime directory), and its working directory,
// which holds the ZantorSvc that `install` copies.
fs::path gRun, gWork;

class SshFleet : public FleetSuite<3> {
  protected:
    void SetUp() override {
        FleetSuite::SetUp();
        if (IsSkipped() || HasFatalFailure() || !gRun.empty()) return;
        gRun = ZadminRunDirectory(fleet());
        gWork = fs::path(ZANTORSVC_PATH).parent_path();
    }

    std::string Name(int i) { return "root@" + host(i).name(); }

    // Runs zadmin on the tests' side with `args`; its output (both streams) and exit status.
    int Zadmin(const std::vector<std::string>& args, std::string* output = nullptr,
               const std::string& config = "", const fs::path& run = gRun,
               const fs::path& work = gWork) {
        return ZadminOnTheSide(fleet(), ZADMIN_PATH, args, output, config, run, work, &last_);
    }
    std::string On(int i, const std::string& command, int* status = nullptr) {
        std::string out;
        const int s = host(i).Run(command, &out, seconds(60));
        if (status) *status = s;
        return out;
    }

    std::chrono::milliseconds last_{0};
};

TEST_F(SshFleet, InstallDeploysAndStartsTheServiceOnTwoHostsAtOnce) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's leak check at the end stops the process's threads with ptrace, which the
    // unit's system call filter refuses: the check is left out, until the next boot, for the
    // programs of this build.
    for (int i : {1, 2, 3})
        On(i,
           "mkdir -p /run/systemd/system/ZantorSvc.service.d && printf '[Service]\\n"
           "Environment=ASAN_OPTIONS=detect_leaks=0\\n' "
           ">/run/systemd/system/ZantorSvc.service.d/sanitizer.conf");
#endif
    std::string out;
    ASSERT_EQ(Zadmin({"--computer", Name(1), "--computer", Name(2), "install"}, &out), 0) << out;
    EXPECT_NE(out.find(Name(1) + ": ok"), std::string::npos) << out;
    EXPECT_NE(out.find(Name(2) + ": ok"), std::string::npos) << out;
    for (int i : {1, 2}) {
        EXPECT_EQ(On(i, "systemctl is-active ZantorSvc"), "active\n") << i;
        EXPECT_EQ(On(i, "test -x /var/lib/zantor/system32/ZantorSvc && echo yes"), "yes\n");
    }
    // Installed again while it runs: its program is in use there, as on this machine.
    EXPECT_EQ(Zadmin({"--computer", Name(1), "install"}, &out), 1);
    EXPECT_NE(out.find("Error 32 "), std::string::npos) << out;
    EXPECT_EQ(On(1, "systemctl is-active ZantorSvc"), "active\n");
}

TEST_F(SshFleet, AChangeThatWouldDropNewSshConnectionsIsRefusedWithoutYes) {
    const std::string a1 = host(1).address();
    std::string out;
    // zadmin's own session to host1 arrives at a1 port 22: input dropped there would refuse the
    // next one.
    EXPECT_EQ(Zadmin({"--computer", Name(1), "enable", a1, "drop", "forward"}, &out), 1);
    EXPECT_NE(out.find("port 22"), std::string::npos) << out;
    EXPECT_NE(out.find("--yes"), std::string::npos) << out;
    ASSERT_EQ(Zadmin({"--computer", Name(1), "--wait", "10", "list", "--tsv"}, &out), 0) << out;
    EXPECT_EQ(out.find(a1 + "\tOn"), std::string::npos) << "nothing was sent: " << out;
}

// On the host itself, in an administrator's SSH session, as administrators run it: sudo drops
// SSH_CONNECTION, and zadmin finds the session up the process tree all the same.
TEST_F(SshFleet, SudoZadminInAnSshSessionStillRefusesTheChangeThatLocksItOut) {
    const std::string a1 = host(1).address();
    const std::string zadmin = Fleet::InHost(ZADMIN_PATH);
    int status = -1;
    EXPECT_EQ(On(1, "test -n \"$SSH_CONNECTION\" && sudo printenv SSH_CONNECTION; echo end"),
              "end\n")
        << "sudo kept SSH_CONNECTION";
    std::string out = On(1, "sudo " + zadmin + " enable " + a1 + " drop forward", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("makes the service on . drop new SSH connections from " +
                       Fleet::SideAddress() + " to " + a1 +
                       " port 22, the way this session "
                       "came in"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("--yes"), std::string::npos) << out;
    // No process on the way holds the variable: sshd's own connection tells.
    out = On(1, "exec env -u SSH_CONNECTION sudo " + zadmin + " enable " + a1 + " drop forward",
             &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("drop new SSH connections from " + Fleet::SideAddress() + " to " + a1 +
                       " port 22, the way this session came in"),
              std::string::npos)
        << out;
    out = On(1, "sudo " + zadmin + " --wait 10 list --tsv", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.find(a1 + "\tOn"), std::string::npos) << "nothing was sent: " << out;
    // A change that keeps the way in open goes ahead without a word.
    out = On(1, "sudo " + zadmin + " --wait 10 enable " + a1 + " forward forward", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "");
    out = On(1, "sudo " + zadmin + " --wait 10 disable " + a1, &status);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(SshFleet, FiltersSetOverSshAreEnforcedAndLoggedAndTravelToAnotherHost) {
    const std::string a1 = host(1).address();
    std::string out;
    ASSERT_EQ(Zadmin({"--computer", Name(1), "--wait", "10", "list", "--tsv"}, &out), 0) << out;
    EXPECT_NE(out.find(a1), std::string::npos) << out;
    // Port 7777 from host2 is dropped; everything else goes on (ssh included).
    ASSERT_EQ(Zadmin({"--computer", Name(1), "enable", a1, "forward", "forward"}, &out), 0) << out;
    ASSERT_EQ(Zadmin({"--computer", Name(1), "add-filter", a1, "in", "--proto", "tcp", "--src",
                      host(2).address(), "--dport", "7777"},
                     &out),
              0)
        << out;
    ASSERT_EQ(Zadmin({"--computer", Name(1), "global", a1, "2"}, &out), 0) << out;
    ASSERT_EQ(Zadmin({"--computer", Name(1), "filters", a1, "in", "--tsv"}, &out), 0) << out;
    EXPECT_NE(out.find(host(2).address()), std::string::npos) << out;
    EXPECT_NE(out.find("7777"), std::string::npos) << out;

    // Real traffic: host2's connection to 7777 is dropped in host1's kernel (no answer at all,
    // where a port nobody listens on would refuse it at once) and logged.
    int reached = -1;
    On(2, "timeout 3 bash -c 'exec 3<>/dev/tcp/" + a1 + "/7777'", &reached);
    EXPECT_EQ(reached, 124) << "the connection was not dropped";
    ASSERT_EQ(Zadmin({"--computer", Name(1), "log", "deny"}, &out), 0) << out;
    EXPECT_NE(out.find(host(2).address()), std::string::npos) << out;

    // Saved from host1, restored onto host3 for host3's own address.
    const fs::path saved = gRun / "host1.INI";
    ASSERT_EQ(Zadmin({"--computer", Name(1), "save", saved.string()}, &out), 0) << out;
    std::ifstream in(saved, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_NE(text.find(a1), std::string::npos) << text;
    text = std::regex_replace(text, std::regex(std::regex_replace(a1, std::regex("\\."), "\\.")),
                              host(3).address());
    const fs::path forHost3 = gRun / "host3.INI";
    std::ofstream(forHost3, std::ios::binary) << text;
    ASSERT_EQ(Zadmin({"--computer", Name(3), "install"}, &out), 0) << out;
    ASSERT_EQ(Zadmin({"--computer", Name(3), "--wait", "10", "restore", forHost3.string()}, &out),
              0)
        << out;
    ASSERT_EQ(Zadmin({"--computer", Name(3), "filters", host(3).address(), "in", "--tsv"}, &out), 0)
        << out;
    EXPECT_NE(out.find(host(2).address()), std::string::npos) << out;
    EXPECT_NE(out.find("7777"), std::string::npos) << out;
}

TEST_F(SshFleet, ASecondConnectionToTheSamePipeIsBusy) {
    // A connection held on host1 itself, through the same bridge that ssh runs.
    On(1,
       "systemd-run --unit=zhold sh -c \"(printf 'qzw2kflt\\n'; sleep 20) | "
       "/var/lib/zantor/system32/ZantorSvc -bridge /var/lib/zantor > /dev/null\"");
    std::string out;
    for (int i = 0; i < 50; ++i) {
        Zadmin({"--computer", Name(1), "--wait", "0", "list"}, &out);
        if (out.find("231") != std::string::npos) break;
    }
    EXPECT_NE(out.find("231"), std::string::npos) << out;
    On(1, "systemctl stop zhold 2>/dev/null");
}

TEST_F(SshFleet, SshRefusalsAndAHostThatIsGoneAreErrorsWithSshsWordsNotHangs) {
    const fs::path dir = gRun.parent_path();
    // An empty known_hosts: the host's key is unknown.
    std::ifstream in(fleet().sshConfig());
    const std::string config((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    const fs::path unknown = dir / "unknown_hosts_config";
    std::ofstream(unknown) << std::regex_replace(config, std::regex("UserKnownHostsFile [^\\n]*"),
                                                 "UserKnownHostsFile /dev/null");
    const fs::path fresh = dir / "run-unknown";
    fs::create_directories(fresh);
    fs::permissions(fresh, fs::perms::owner_all);
    std::string out;
    EXPECT_EQ(Zadmin({"--computer", Name(2), "list"}, &out, unknown.string(), fresh), 1);
    EXPECT_NE(out.find("Host key verification failed"), std::string::npos) << out;
    EXPECT_NE(out.find("ssh-keygen -R"), std::string::npos) << out;
    std::printf("unknown host key: %lld ms\n", static_cast<long long>(last_.count()));

    // A key the host does not take.
    const fs::path key = dir / "stranger";
    int code = -1;
    platform::lab::RunProgramFor(
        {"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key.string()}, seconds(30),
        &code);
    ASSERT_EQ(code, 0);
    const fs::path refused = dir / "refused_config";
    std::ofstream(refused) << std::regex_replace(config, std::regex("IdentityFile [^\\n]*"),
                                                 "IdentityFile " + key.string());
    const fs::path fresh2 = dir / "run-refused";
    fs::create_directories(fresh2);
    fs::permissions(fresh2, fs::perms::owner_all);
    EXPECT_EQ(Zadmin({"--computer", Name(2), "list"}, &out, refused.string(), fresh2), 1);
    EXPECT_NE(out.find("1326"), std::string::npos) << out;
    EXPECT_NE(out.find("Permission denied"), std::string::npos) << out;
    std::printf("refused key: %lld ms\n", static_cast<long long>(last_.count()));

    // A host that is gone: its sshd answers no more, its connection's master is gone too.
    host(3).Kill();
    EXPECT_EQ(Zadmin({"--computer", Name(3), "list"}, &out), 1);
    EXPECT_NE(out.find("53"), std::string::npos) << out;
    std::printf("host gone: %lld ms\n", static_cast<long long>(last_.count()));
    std::string why;
    ASSERT_TRUE(host(3).Boot(&why)) << why;
}

// What a user's ssh config says about host keys is no way around them: a key that changed is
// refused even with StrictHostKeyChecking no or accept-new there, or with
// --accept-new-host-keys; an unknown key is taken (and recorded) only where the config says
// accept-new or the option is given.
TEST_F(SshFleet, AHostWhoseKeyChangedIsRefusedWhateverTheConfigSays) {
    const fs::path dir = gRun.parent_path();
    std::ifstream in(fleet().sshConfig());
    const std::string config((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    // Another key in known_hosts for host2, as after the host was replaced by another.
    const fs::path impostor = dir / "impostor";
    int code = -1;
    platform::lab::RunProgramFor(
        {"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", impostor.string()},
        seconds(30), &code);
    ASSERT_EQ(code, 0);
    std::ifstream pub(impostor.string() + ".pub");
    std::string type, blob;
    pub >> type >> blob;
    const std::string changedLine =
        host(2).name() + "," + host(2).address() + " " + type + " " + blob + "\n";
    int runs = 0;
    // zadmin list on host2 with this known_hosts and StrictHostKeyChecking, on a connection of
    // its own; what it printed, and known_hosts afterwards.
    auto tryWith = [&](const std::string& known, const std::string& strict,
                       const std::vector<std::string>& options, std::string* after) {
        const fs::path hosts = dir / ("known_hosts-" + std::to_string(++runs));
        std::ofstream(hosts) << known;
        const fs::path file = dir / ("keys_config-" + std::to_string(runs));
        std::string text = std::regex_replace(config, std::regex("UserKnownHostsFile [^\\n]*"),
                                              "UserKnownHostsFile " + hosts.string());
        std::ofstream(file) << std::regex_replace(text, std::regex("StrictHostKeyChecking [^\\n]*"),
                                                  "StrictHostKeyChecking " + strict);
        const fs::path run = dir / ("run-keys-" + std::to_string(runs));
        fs::create_directories(run);
        fs::permissions(run, fs::perms::owner_all);
        std::vector<std::string> args = options;
        args.insert(args.end(), {"--computer", Name(2), "--wait", "10", "list", "--tsv"});
        std::string out;
        const int status = Zadmin(args, &out, file.string(), run);
        std::ifstream back(hosts);
        after->assign((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>());
        return std::pair(status, out);
    };
    std::string after;
    for (const auto& [strict, options] :
         {std::pair{"no", std::vector<std::string>{}},
          {"accept-new", std::vector<std::string>{}},
          {"yes", std::vector<std::string>{"--accept-new-host-keys"}}}) {
        SCOPED_TRACE(strict + std::string(options.empty() ? "" : " " + options[0]));
        const auto [status, out] = tryWith(changedLine, strict, options, &after);
        EXPECT_EQ(status, 1) << out;
        EXPECT_NE(out.find("Host key verification failed"), std::string::npos) << out;
        EXPECT_NE(out.find("ssh-keygen -R"), std::string::npos) << out;
        EXPECT_EQ(out.find(host(2).address() + "\t"), std::string::npos) << out;
        EXPECT_EQ(after, changedLine) << "known_hosts was changed";
    }
    // A key not known yet: refused where the config says no, taken where it says accept-new or
    // the option says so, and recorded.
    auto [status, out] = tryWith("", "no", {}, &after);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("Host key verification failed"), std::string::npos) << out;
    EXPECT_EQ(after, "");
    for (const auto& [strict, options] :
         {std::pair{"accept-new", std::vector<std::string>{}},
          {"yes", std::vector<std::string>{"--accept-new-host-keys"}}}) {
        SCOPED_TRACE(strict);
        std::tie(status, out) = tryWith("", strict, options, &after);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find(host(2).address() + "\t"), std::string::npos) << out;
        EXPECT_NE(after.find(host(2).address()), std::string::npos) << after;
        EXPECT_EQ(after.find(blob), std::string::npos) << "the impostor's key was recorded";
    }
}

// The ssh clients of this machine that carry a pipe's bridge; a shared connection's master
// (which names itself "[mux]") is none of them.
int BridgeClients() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (line.starts_with("ssh") && line.find("-bridge") != std::string::npos &&
            line.find("[mux]") == std::string::npos)
            ++count;
    }
    return count;
}

TEST_F(SshFleet, ABrokenConnectionEndsTheConsolesWaitAndLeavesNoSsh) {
    // A console holding host1's pipe over SSH: its client killed -9 takes its ssh along.
    auto hold = [&](int i, std::string* out) {
        int code = -1;
        platform::lab::RunProgramFor(
            fleet().Wrap({"/usr/bin/env", "ZANTOR_SSH_CONFIG=" + fleet().sshConfig(),
                          "XDG_RUNTIME_DIR=" + gRun.string(), ZANTOR_PIPE_HOLD,
                          "\\\\" + Name(i) + "\\Pipe\\qzw2kflt"}),
            seconds(90), &code, out);
    };
    std::string held;
    std::thread first([&] { hold(1, &held); });
    std::this_thread::sleep_for(seconds(3));
    int code = -1;
    platform::lab::RunProgramFor({"/usr/bin/pkill", "-9", "-f", ZANTOR_PIPE_HOLD}, seconds(10),
                                 &code);
    first.join();
    for (int i = 0; i < 50 && BridgeClients() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(BridgeClients(), 0) << "an ssh outlived the console killed -9";

    // The host goes away under a waiting console: the wait ends as for a service that stopped,
    // once the keep-alives go unanswered.
    std::thread second([&] { hold(2, &held); });
    std::this_thread::sleep_for(seconds(3));
    host(2).Kill();
    second.join();
    EXPECT_NE(held.find("greeted\nended 109 after "), std::string::npos) << held;
    std::printf("a host gone under a waiting console: %s", held.c_str());
    std::string why;
    ASSERT_TRUE(host(2).Boot(&why)) << why;

    // sshd killed on host1, its sessions with it: the next operation starts a new connection.
    On(1, "pkill -9 -x sshd");
    std::string out;
    int listed = -1;
    for (int i = 0; i < 20 && listed != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        listed = Zadmin({"--computer", Name(1), "--wait", "10", "list"}, &out);
    }
    EXPECT_EQ(listed, 0) << out;
}

TEST_F(SshFleet, AnAccountThatIsNotRootWorksThroughSudoOrIsToldWhy) {
    // Two accounts that take the fleet's key: one may use sudo without a password, one may not.
    On(1,
       "for u in zop zno; do useradd -m $u && mkdir -p /home/$u/.ssh && "
       "cp /root/.ssh/authorized_keys /home/$u/.ssh/ && chown -R $u: /home/$u/.ssh; done; "
       "echo 'zop ALL=(ALL) NOPASSWD: ALL' > /etc/sudoers.d/zop && chmod 440 /etc/sudoers.d/zop");
    std::string out;
    EXPECT_EQ(
        Zadmin({"--computer", "zop@" + host(1).name(), "--wait", "10", "list", "--tsv"}, &out), 0)
        << out;
    EXPECT_NE(out.find(host(1).address()), std::string::npos) << out;
    EXPECT_EQ(Zadmin({"--computer", "zno@" + host(1).name(), "list"}, &out), 1);
    EXPECT_NE(out.find("Error [5,"), std::string::npos) << out;
    EXPECT_NE(out.find("sudo"), std::string::npos) << out;
    std::printf("an account without sudo: %s", out.c_str());
}

TEST_F(SshFleet, RemoveLeavesNothingBehind) {
    std::string out;
    ASSERT_EQ(
        Zadmin({"--computer", Name(1), "--computer", Name(2), "--computer", Name(3), "remove"},
               &out),
        0)
        << out;
    for (int i : {1, 2, 3}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(On(i,
                     "ls /etc/systemd/system/ZantorSvc.service /var/lib/zantor/system32/"
                     "ZantorSvc 2>/dev/null; systemctl is-active ZantorSvc"),
                  "inactive\n");
    }
}

// What install puts on a real host: root's program with mode 0755 from a set-id source, and
// nothing at all into a system directory that others may write.
TEST_F(SshFleet, InstallPlacesRootsProgramWithMode0755AndNothingIntoAnOpenFolder) {
    const fs::path work = gRun.parent_path() / "setid";
    fs::create_directories(work);
    fs::permissions(work, fs::perms::owner_all);
    fs::copy_file(ZANTORSVC_PATH, work / "ZantorSvc", fs::copy_options::overwrite_existing);
    fs::permissions(work / "ZantorSvc", fs::perms(06755));
    std::string out;
    ASSERT_EQ(Zadmin({"--computer", Name(1), "install"}, &out, "", gRun, work), 0) << out;
    EXPECT_EQ(On(1, "stat -c '%a %U' /var/lib/zantor/system32/ZantorSvc"), "755 root\n");
    ASSERT_EQ(Zadmin({"--computer", Name(1), "remove"}, &out, "", gRun, work), 0) << out;

    On(1, "chmod 0777 /var/lib/zantor/system32");
    EXPECT_EQ(Zadmin({"--computer", Name(1), "install"}, &out, "", gRun, work), 1);
    EXPECT_NE(out.find("Error 5 "), std::string::npos) << out;
    EXPECT_NE(out.find("the folder /var/lib/zantor/system32 may be written by others"),
              std::string::npos)
        << out;
    EXPECT_EQ(On(1,
                 "ls -A /var/lib/zantor/system32 | grep -e '^ZantorSvc$' -e '^\\.~'; "
                 "systemctl is-active ZantorSvc"),
              "inactive\n")
        << "nothing was written there, and nothing registered";
    On(1, "chmod 0755 /var/lib/zantor/system32");
}

}  // namespace
}  // namespace zantor::test
