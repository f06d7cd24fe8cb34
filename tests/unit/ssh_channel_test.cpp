// The channels to a host reached over SSH, with an ssh that runs the far side's command on this
// machine (a stand-in that records its command line and runs the command with sh, as sshd would):
// the scripts, the bridge and the near ends all run for real, only the network is left out. The
// fleet tests run the same channels over real sshd.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/computer.h"
#include "platform/files.h"
#include "platform/linux/ssh/ssh_transport.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "shared/error_text.h"
#include "tests/unit/temp_root.h"

namespace zantor::test {
namespace {

namespace fs = std::filesystem;
using namespace platform;

// The stand-in for ssh. ZANTOR_FAKE_SSH_FAIL makes it fail as ssh does (its words on standard
// error, exit 255) without running anything. Asked for the configuration (-G), it says that
// StrictHostKeyChecking is ZANTOR_FAKE_SSH_STRICT ("true" when unset) and the port
// ZANTOR_FAKE_SSH_PORT (22), and notes the question.
constexpr const char* kFakeSsh = R"(#!/bin/sh
for a; do
  if [ "$a" = -G ]; then
    printf '%s\0' "$@" >> "$ZANTOR_FAKE_SSH_LOG.G"
    printf 'user root\nport %s\nstricthostkeychecking %s\nbatchmode no\n' "${ZANTOR_FAKE_SSH_PORT:-22}" "${ZANTOR_FAKE_SSH_STRICT:-true}"
    exit 0
  fi
  [ "$a" = -- ] && break
done
printf '%s\0' "$@" >> "$ZANTOR_FAKE_SSH_LOG"
while [ $# -gt 0 ]; do if [ "$1" = "--" ]; then shift; break; fi; shift; done
if [ -n "$ZANTOR_FAKE_SSH_FAIL" ]; then printf '%s\n' "$ZANTOR_FAKE_SSH_FAIL" >&2; exit 255; fi
shift
exec sh -c "$1"
)";

class SshChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        ssh_ = dir_.path() / "ssh";
        {
            std::ofstream out(ssh_);
            out << kFakeSsh;
        }
        fs::permissions(ssh_, fs::perms::owner_all);
        log_ = dir_.path() / "ssh.log";
        far_ = dir_.path() / "far";
        fs::create_directories(far_ / "system32");
        Set("ZANTOR_SSH", ssh_.string());
        Set("ZANTOR_FAKE_SSH_LOG", log_.string());
        Set("ZANTOR_REMOTE_ROOT", far_.string());
        Set("XDG_RUNTIME_DIR", dir_.path().string());
        Set("ZANTOR_FAKE_SSH_FAIL", "");
        Set("ZANTOR_FAKE_SSH_STRICT", "true");
        Set("ZANTOR_FAKE_SSH_PORT", "22");
        Set("ZANTOR_SSH_ACCEPT_NEW", "");
        Set("ZANTOR_SSH_CONFIG", "");
        ::unsetenv("ZANTOR_NETWORK");
        // Whatever a hostile name could run would run here.
        fs::current_path(dir_.path());
    }
    void TearDown() override {
        fs::current_path("/");
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    void Set(const std::string& name, const std::string& value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    // Every command line ssh was started with, each as its words.
    std::vector<std::vector<std::string>> Calls() const {
        std::vector<std::vector<std::string>> calls;
        const std::string text = ReadFile(log_);
        std::vector<std::string> words;
        std::size_t start = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\0') continue;
            words.push_back(text.substr(start, i - start));
            start = i + 1;
            // A call ends with its command, one of the transport's constants.
            for (int c = 0; c <= static_cast<int>(ssh::Command::kBusBridge); ++c)
                if (words.back() == ssh::RemoteText(static_cast<ssh::Command>(c))) {
                    calls.push_back(words);
                    words.clear();
                    break;
                }
        }
        if (!words.empty()) calls.push_back(words);
        return calls;
    }

    TempDir dir_;
    fs::path ssh_, log_, far_;
    std::map<std::string, std::optional<std::string>> saved_;
};

std::string Share(const std::string& name) {
    return "\\\\farhost\\ADMIN$\\system32\\" + name;
}

TEST_F(SshChannel, ComputerNamesThatCouldPassForMoreAreRefusedBeforeSshRuns) {
    TempDir local;
    const fs::path source = local.path() / "source";
    std::ofstream(source) << "x";
    for (const std::string name :
         {"-oProxyCommand=touch PWNED", "far host", "far\nhost", "far;touch PWNED",
          "$(touch PWNED)", "`touch PWNED`", "far'host", "far\"host", "far|host", "-", ".far"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<Pipe> pipe;
        EXPECT_EQ(OpenPipe("\\\\" + name + "\\Pipe\\qzw2kflt", &pipe), kErrorInvalidName);
        const std::string file = "\\\\" + name + "\\ADMIN$\\system32\\f";
        EXPECT_FALSE(CopyFileA(source.c_str(), file.c_str(), false));
        EXPECT_EQ(GetLastError(), kErrorInvalidName);
        EXPECT_FALSE(DeleteFileA(file.c_str()));
        EXPECT_EQ(GetLastError(), kErrorInvalidName);
        std::string contents;
        EXPECT_FALSE(ReadFileContents(file.c_str(), contents, 100));
        EXPECT_EQ(GetLastError(), kErrorInvalidName);
        EXPECT_EQ(OpenSCManagerA(name.c_str(), nullptr, SC_MANAGER_CONNECT), nullptr);
        EXPECT_EQ(GetLastError(), kErrorInvalidName);
    }
    EXPECT_FALSE(fs::exists(log_)) << "ssh ran";
    EXPECT_FALSE(fs::exists(dir_.path() / "PWNED"));
}

TEST_F(SshChannel, FileNamesTravelAsDataAndReachNoShell) {
    TempDir local;
    const fs::path source = local.path() / "source";
    std::ofstream(source, std::ios::binary) << "contents\n\x01\xff";
    fs::permissions(source, fs::perms(0751));
    for (const std::string name : {"$(touch PWNED)", "`touch PWNED`", "a;touch PWNED", "a'b\"c",
                                   "x && touch PWNED", "-rf", "*", "a b", "$HOME", "~", "--"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(CopyFileA(source.c_str(), Share(name).c_str(), false))
            << GetLastError() << " " << LastErrorText();
        const fs::path there = far_ / "system32" / name;
        EXPECT_EQ(ReadFile(there), ReadFile(source));
        EXPECT_EQ(fs::status(there).permissions() & fs::perms::all, fs::perms(0755));
        std::string back;
        ASSERT_TRUE(ReadFileContents(Share(name).c_str(), back, 1000));
        EXPECT_EQ(back, ReadFile(source));
        ASSERT_TRUE(DeleteFileA(Share(name).c_str())) << GetLastError();
        EXPECT_FALSE(fs::exists(there));
    }
    EXPECT_FALSE(fs::exists(dir_.path() / "PWNED"));
    EXPECT_FALSE(fs::exists(far_ / "system32" / "PWNED"));
    // Every call was the destination and one of the constant commands, after the options.
    for (const auto& call : Calls()) {
        ASSERT_GE(call.size(), 3u);
        EXPECT_EQ(call[call.size() - 3], "--");
        EXPECT_EQ(call[call.size() - 2], "farhost");
        for (const std::string& word : call)
            EXPECT_EQ(word.find("PWNED"), std::string::npos) << word;
    }
}

TEST_F(SshChannel, TheShareFailsAsTheLocalOneDoes) {
    TempDir local;
    const fs::path source = local.path() / "source";
    std::ofstream(source) << std::string(200, 'x');

    std::string contents;
    EXPECT_FALSE(ReadFileContents(Share("missing").c_str(), contents, 1000));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_FALSE(ReadFileContents(Share("nodir\\missing").c_str(), contents, 1000));
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);
    EXPECT_FALSE(DeleteFileA(Share("missing").c_str()));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_FALSE(CopyFileA(source.c_str(), Share("nodir\\f").c_str(), false));
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);

    ASSERT_TRUE(CopyFileA(source.c_str(), Share("f").c_str(), true));
    EXPECT_FALSE(CopyFileA(source.c_str(), Share("f").c_str(), true));
    EXPECT_EQ(GetLastError(), kErrorFileExists);
    EXPECT_FALSE(ReadFileContents(Share("f").c_str(), contents, 199));
    EXPECT_EQ(GetLastError(), kErrorFileTooLarge);
    EXPECT_FALSE(ReadFileContents(Share("").c_str(), contents, 1000));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);

    // A program that runs there is in use: neither replaced nor deleted.
    const fs::path program = far_ / "system32" / "runner";
    fs::copy_file("/bin/sleep", program);
    ChildProcessOptions run;
    run.program = program;
    run.arguments = {"30"};
    std::uint32_t pid = 0;
    ASSERT_EQ(CreateChildProcess(run, &pid), kErrorSuccess);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(CopyFileA(source.c_str(), Share("runner").c_str(), false));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_FALSE(DeleteFileA(Share("runner").c_str()));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_EQ(TerminateProcessById(pid, std::chrono::seconds(5)), kErrorSuccess);
    int code = 0;
    WaitForChildProcess(pid, std::chrono::seconds(5), &code);
    EXPECT_TRUE(DeleteFileA(Share("runner").c_str()));

    // A large file comes in pieces, each at most 64 KiB: never whole in memory.
    const std::string big(3 << 20, 'L');
    std::ofstream(far_ / "system32" / "big", std::ios::binary) << big;
    std::size_t total = 0, largest = 0;
    ASSERT_TRUE(ReadFileInPieces(Share("big").c_str(), [&](std::string_view piece) {
        total += piece.size();
        largest = std::max(largest, piece.size());
        return true;
    }));
    EXPECT_EQ(total, big.size());
    EXPECT_LE(largest, 65536u);
    // A reader that has enough stops the transfer, and that is no failure.
    total = 0;
    EXPECT_TRUE(ReadFileInPieces(Share("big").c_str(), [&](std::string_view piece) {
        total += piece.size();
        return false;
    }));
    EXPECT_LT(total, big.size());
    // No temporary file is left by any of it.
    for (const auto& entry : fs::directory_iterator(far_ / "system32"))
        EXPECT_EQ(entry.path().filename().string().find(".~"), std::string::npos) << entry.path();
}

TEST_F(SshChannel, ThePipeCarriesTheStreamAndTheHandshake) {
    // This machine's root is the far side's too: the bridge opens the pipe the test serves.
    Set("ZANTOR_ROOT", far_.string());
    fs::create_symlink(ZANTORSVC_PATH, far_ / "system32" / "ZantorSvc");
    std::unique_ptr<Pipe> pipe;
    EXPECT_EQ(OpenPipe("\\\\farhost\\Pipe\\zt", &pipe), kErrorFileNotFound);

    std::unique_ptr<PipeServer> server;
    ASSERT_EQ(CreateNamedPipeA("\\\\.\\Pipe\\zt", &server), kErrorSuccess);
    std::thread serve([&] {
        ASSERT_EQ(server->ConnectNamedPipe(), kErrorSuccess);
        char buffer[64];
        std::size_t n = 0;
        ASSERT_EQ(server->Read(buffer, sizeof buffer, &n), kErrorSuccess);
        const std::string reply = "got " + std::string(buffer, n);
        ASSERT_EQ(server->Write(reply.data(), reply.size()), kErrorSuccess);
    });
    ASSERT_EQ(OpenPipe("\\\\farhost\\Pipe\\zt", &pipe), kErrorSuccess) << LastErrorText();
    std::unique_ptr<Pipe> second;
    EXPECT_EQ(OpenPipe("\\\\farhost\\Pipe\\zt", &second), kErrorPipeBusy);
    ASSERT_EQ(pipe->Write("hello\n", 6), kErrorSuccess);
    std::string answer;
    char buffer[64];
    std::size_t n = 0;
    while (answer.size() < 10 && pipe->Read(buffer, sizeof buffer, &n) == kErrorSuccess)
        answer.append(buffer, n);
    EXPECT_EQ(answer, "got hello\n");
    serve.join();
    server.reset();
    // The service closed its end: the read says the pipe has ended, as locally.
    EXPECT_EQ(pipe->Read(buffer, sizeof buffer, &n), kErrorBrokenPipe);
}

// The pipe's channel says where its session arrived, ahead of the bridge's answer, so that the
// lockout guard needs no channel of its own; a far side that says nothing leaves it to one.
TEST_F(SshChannel, ThePipesChannelTellsTheSessionsEnd) {
    Set("ZANTOR_ROOT", far_.string());
    fs::create_symlink(ZANTORSVC_PATH, far_ / "system32" / "ZantorSvc");
    std::unique_ptr<PipeServer> server;
    ASSERT_EQ(CreateNamedPipeA("\\\\.\\Pipe\\zt", &server), kErrorSuccess);
    std::thread serve([&] { server->ConnectNamedPipe(); });
    Set("SSH_CONNECTION", "192.0.2.9 40022 10.0.0.9 2200");
    std::unique_ptr<Pipe> pipe;
    ASSERT_EQ(OpenPipe("\\\\toldhost\\Pipe\\zt", &pipe), kErrorSuccess) << LastErrorText();
    serve.join();
    Set("SSH_CONNECTION", "");
    const SshSession s = FindSshSession("toldhost");
    ASSERT_EQ(s.kind, SshSessionKind::kFound) << s.why;
    EXPECT_EQ(s.end.address, "10.0.0.9");
    EXPECT_EQ(s.end.port, 2200);
    EXPECT_EQ(s.end.clientAddress, "192.0.2.9");
    for (const auto& call : Calls())
        EXPECT_NE(call.back(), ssh::RemoteText(ssh::Command::kSessionEnd));

    pipe.reset();
    server.reset();
    ASSERT_EQ(CreateNamedPipeA("\\\\.\\Pipe\\zt", &server), kErrorSuccess);
    std::thread again([&] { server->ConnectNamedPipe(); });
    ASSERT_EQ(OpenPipe("\\\\untoldhost\\Pipe\\zt", &pipe), kErrorSuccess) << LastErrorText();
    again.join();
    EXPECT_EQ(FindSshSession("untoldhost").kind, SshSessionKind::kUnsure);
    EXPECT_EQ(Calls().back().back(), ssh::RemoteText(ssh::Command::kSessionEnd));
}

// Another user of the far side: who owns what an attacker planted there.
constexpr uid_t kOther = 4321;

TEST_F(SshChannel, ACopyThereIsRootsWithMode0755AndGoesIntoNoFolderThatOthersMayWrite) {
    TempDir local;
    const fs::path source = local.path() / "source";
    std::ofstream(source) << "program";
    ASSERT_EQ(::chmod(source.c_str(), 06777), 0);
    const fs::path system32 = far_ / "system32";
    const fs::path placed = system32 / "prog";
    ASSERT_TRUE(CopyFileA(source.c_str(), Share("prog").c_str(), false)) << LastErrorText();
    struct stat st {};
    ASSERT_EQ(::lstat(placed.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "no set-id bit and no write for others comes along";
    EXPECT_EQ(st.st_uid, 0u);
    fs::remove(placed);

    // A folder there that others may write (even with its sticky bit), one above it that they
    // may without it, or one of another user's: refused with the reason, and nothing is left in
    // it, neither the program nor a file of the copy's own.
    struct Case {
        fs::path folder;
        mode_t mode;
        uid_t owner;
        std::string why;
    };
    for (const Case& c :
         {Case{system32, 0777, 0, system32.string() + " may be written by others"},
          Case{system32, 01777, 0, system32.string() + " may be written by others"},
          Case{far_, 0777, 0, far_.string() + " may be written by others"},
          Case{system32, 0755, kOther, system32.string() + " belongs to user 4321"}}) {
        SCOPED_TRACE(c.why);
        ASSERT_EQ(::chmod(c.folder.c_str(), c.mode), 0);
        ASSERT_EQ(::chown(c.folder.c_str(), c.owner, c.owner), 0);
        EXPECT_FALSE(CopyFileA(source.c_str(), Share("prog").c_str(), false));
        EXPECT_EQ(GetLastError(), kErrorAccessDenied);
        EXPECT_NE(LastErrorText().find(c.why), std::string::npos) << LastErrorText();
        EXPECT_TRUE(fs::is_empty(system32));
        ASSERT_EQ(::chmod(c.folder.c_str(), 0755), 0);
        ASSERT_EQ(::chown(c.folder.c_str(), 0, 0), 0);
    }
    // A sticky folder above it, as /tmp is, keeps others from what is root's.
    ASSERT_EQ(::chmod(far_.c_str(), 01777), 0);
    EXPECT_TRUE(CopyFileA(source.c_str(), Share("prog").c_str(), false)) << LastErrorText();
    ASSERT_EQ(::chmod(far_.c_str(), 0755), 0);
    fs::remove(placed);

    // A link in the target's place: the file it leads to stays as it was.
    const fs::path victim = local.path() / "victim";
    std::ofstream(victim) << "secret";
    fs::create_symlink(victim, placed);
    EXPECT_FALSE(CopyFileA(source.c_str(), Share("prog").c_str(), false));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_EQ(ReadFile(victim), "secret");
    EXPECT_TRUE(fs::is_symlink(placed));
}

// The bridge runs as root on the far side: it connects to the service's pipe in the root it is
// given and to nothing else, however that root was made to lead elsewhere.
TEST_F(SshChannel, TheBridgeConnectsToNoSocketOutsideItsRootOrOfAnotherUser) {
    fs::create_symlink(ZANTORSVC_PATH, far_ / "system32" / "ZantorSvc");
    // An unrelated socket of root's: another root's pipe, served here.
    const fs::path other = dir_.path() / "other";
    Set("ZANTOR_ROOT", other.string());
    std::unique_ptr<PipeServer> server;
    ASSERT_EQ(CreateNamedPipeA("\\\\.\\Pipe\\zt", &server), kErrorSuccess);
    std::atomic<bool> taken{false};
    std::thread serve([&] { taken = server->ConnectNamedPipe() == kErrorSuccess; });
    const auto refused = [&](const std::string& why) {
        SCOPED_TRACE(why);
        std::unique_ptr<Pipe> pipe;
        EXPECT_EQ(OpenPipe("\\\\farhost\\Pipe\\zt", &pipe), kErrorAccessDenied);
        EXPECT_NE(LastErrorText().find(why), std::string::npos) << LastErrorText();
    };

    // The far side's pipe folder is a link to the other one's.
    fs::create_directory_symlink(other / "pipe", far_ / "pipe");
    refused("the pipe zt is refused: the folder " + (far_ / "pipe").string());
    fs::remove(far_ / "pipe");
    // The very socket under a second name, in a folder of another user's, in one that others
    // may enter, or itself another user's.
    fs::create_directory(far_ / "pipe");
    fs::create_hard_link(other / "pipe" / "zt", far_ / "pipe" / "zt");
    ASSERT_EQ(::chown((far_ / "pipe").c_str(), kOther, kOther), 0);
    ASSERT_EQ(::chmod((far_ / "pipe").c_str(), 0700), 0);
    refused("belongs to user 4321");
    ASSERT_EQ(::chown((far_ / "pipe").c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod((far_ / "pipe").c_str(), 0755), 0);
    refused("is no private folder of user 0");
    ASSERT_EQ(::chmod((far_ / "pipe").c_str(), 0700), 0);
    ASSERT_EQ(::chown((far_ / "pipe" / "zt").c_str(), kOther, kOther), 0);
    refused("is no socket of user 0");
    ASSERT_EQ(::chown((far_ / "pipe" / "zt").c_str(), 0, 0), 0);

    // A root that climbs elsewhere is no root, whatever it leads to; the other root itself is.
    const auto bridge = [&](const fs::path& root) {
        ChildProcessOptions run;
        run.program = "/bin/sh";
        run.arguments = {"-c", "printf 'zt\\n' | \"$0\" -bridge \"$1\"", ZANTORSVC_PATH,
                         root.string()};
        run.outputFile = dir_.path() / "bridge.txt";
        std::uint32_t pid = 0;
        int code = -1;
        if (CreateChildProcess(run, &pid) == kErrorSuccess)
            WaitForChildProcess(pid, std::chrono::seconds(30), &code);
        return code;
    };
    EXPECT_EQ(bridge(far_ / ".." / "other"), static_cast<int>(kErrorInvalidName));
    EXPECT_FALSE(taken) << "a refused bridge connected";
    EXPECT_EQ(bridge(other), 0) << ReadFile(dir_.path() / "bridge.txt");
    serve.join();
    EXPECT_TRUE(taken);
}

TEST_F(SshChannel, SshFailuresAreWin32ErrorsWithSshsWords) {
    struct Case {
        const char* said;
        Win32Error error;
        const char* detail;
    };
    for (const Case& c : {
             Case{"ssh: Could not resolve hostname farhost: Name or service not known",
                  kErrorBadNetPath, "Could not resolve hostname"},
             Case{"ssh: connect to host farhost port 22: Connection refused", kErrorBadNetPath,
                  "Connection refused"},
             Case{"ssh: connect to host farhost port 22: Connection timed out", kErrorBadNetPath,
                  "timed out"},
             Case{"root@farhost: Permission denied (publickey).", kErrorLogonFailure,
                  "Permission denied"},
             Case{"No ED25519 host key is known for farhost and you have requested strict "
                  "checking.\nHost key verification failed.",
                  kErrorAccessDenied, "ssh-keygen -R farhost"},
         }) {
        SCOPED_TRACE(c.said);
        Set("ZANTOR_FAKE_SSH_FAIL", c.said);
        std::unique_ptr<Pipe> pipe;
        EXPECT_EQ(OpenPipe("\\\\farhost\\Pipe\\qzw2kflt", &pipe), c.error);
        EXPECT_NE(SysErrorText(c.error).find(c.detail), std::string::npos) << SysErrorText(c.error);
        std::string contents;
        EXPECT_FALSE(ReadFileContents(Share("f").c_str(), contents, 10));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_NE(LastErrorText().find(c.detail), std::string::npos) << LastErrorText();
    }
    // Another error clears the words, so they never explain a failure they did not cause.
    SetLastError(kErrorFileNotFound);
    EXPECT_EQ(SysErrorText(kErrorAccessDenied), "Access was denied.");
}

TEST_F(SshChannel, TheRegistryOfARemoteHostIsNotOpenedFromHere) {
    HKEY key = nullptr;
    EXPECT_EQ(RegConnectRegistryA("farhost", HKEY_LOCAL_MACHINE, &key), kErrorNotSupported);
    EXPECT_NE(LastErrorText().find("farhost"), std::string::npos);
    EXPECT_FALSE(fs::exists(log_));
}

// The value of the option `name` on ssh's command line for `destination`, and how often it is
// given; the options must come before anything else.
std::pair<std::string, int> Option(std::string_view destination, const std::string& name) {
    std::vector<std::string> argv;
    EXPECT_EQ(ssh::CommandLine(destination, ssh::Command::kSessionEnd, argv), kErrorSuccess);
    std::string value;
    int given = 0;
    for (std::size_t i = 1; i + 1 < argv.size(); i += 2) {
        if (argv[i] != "-o") break;
        if (argv[i + 1].starts_with(name + "=")) {
            value = argv[i + 1].substr(name.size() + 1);
            ++given;
        }
    }
    return {value, given};
}

// Whatever the administrator's ssh config says, a changed host key is refused: only "yes" or,
// where their own config says so or this run was told to, "accept-new" reach ssh, first on its
// command line, where the first value given wins.
TEST_F(SshChannel, HostKeysAreCheckedWhateverTheConfigSays) {
    const fs::path config = dir_.path() / "config";
    std::ofstream(config) << "Host *\n    StrictHostKeyChecking no\n";
    Set("ZANTOR_SSH_CONFIG", config.string());
    const fs::path asked = log_.string() + ".G";
    auto questions = [&] { return ReadFile(asked); };
    for (const auto& [said, forced] : {std::pair{"false", "yes"},
                                       {"ask", "yes"},
                                       {"true", "yes"},
                                       {"accept-new", "accept-new"},
                                       {"", "yes"}}) {
        SCOPED_TRACE(said);
        Set("ZANTOR_FAKE_SSH_STRICT", said);
        const std::string host = std::string("keys-") + (*said ? said : "none");
        EXPECT_EQ(Option(host, "StrictHostKeyChecking"), std::pair(std::string(forced), 1));
        EXPECT_EQ(Option(host, "BatchMode"), std::pair(std::string("yes"), 1));
        // ssh -G was asked with the same config, once for the host in this run.
        EXPECT_NE(questions().find("-F" + std::string(1, '\0') + config.string()),
                  std::string::npos);
        const std::size_t count = questions().size();
        Option(host, "StrictHostKeyChecking");
        EXPECT_EQ(questions().size(), count) << "asked again";
    }
    // A shared connection that is up checked its host's key when it was made: its channels ask
    // the config nothing, and a key it never met would be refused.
    Set("ZANTOR_FAKE_SSH_STRICT", "accept-new");
    const std::string control = Option("keys-shared", "ControlPath").first;
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(control.size(), sizeof address.sun_path);
    control.copy(address.sun_path, control.size());
    ASSERT_EQ(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const std::size_t before = questions().size();
    EXPECT_EQ(Option("keys-shared", "StrictHostKeyChecking"), std::pair(std::string("yes"), 1));
    EXPECT_EQ(questions().size(), before) << "ssh -G was asked over a connection that is up";
    // Each host, config and ssh has a connection of its own.
    EXPECT_NE(Option("keys-other", "ControlPath").first, control);
    ::close(listening);
    // The run's own word, without asking the config.
    Set("ZANTOR_FAKE_SSH_STRICT", "false");
    Set("ZANTOR_SSH_ACCEPT_NEW", "1");
    const std::size_t count = questions().size();
    EXPECT_EQ(Option("keys-run", "StrictHostKeyChecking"), std::pair(std::string("accept-new"), 1));
    EXPECT_EQ(questions().size(), count);
    int n = 0;
    for (const std::string other : {"yes", "true", "0", " 1"}) {
        Set("ZANTOR_SSH_ACCEPT_NEW", other);
        EXPECT_EQ(Option("keys-other" + std::to_string(++n), "StrictHostKeyChecking").first, "yes")
            << other;
    }
    // The channels themselves run with it.
    Set("ZANTOR_SSH_ACCEPT_NEW", "");
    TempDir local;
    const fs::path source = local.path() / "source";
    std::ofstream(source) << "x";
    ASSERT_TRUE(CopyFileA(source.c_str(), Share("f").c_str(), false)) << LastErrorText();
    ASSERT_FALSE(Calls().empty());
    for (const auto& call : Calls()) {
        ASSERT_GE(call.size(), 4u);
        EXPECT_EQ(call[0], "-o");
        EXPECT_EQ(call[1], "BatchMode=yes");
        EXPECT_EQ(call[3], "StrictHostKeyChecking=yes");
    }
}

// Where the far side's sshd says the session came in, it is found; where that cannot be had,
// the session is unsure, on port 22 and the port the ssh config gives the host, never "none".
TEST_F(SshChannel, ASessionEndTheFarSideDoesNotTellIsUnsure) {
    Set("ZANTOR_FAKE_SSH_PORT", "2222");
    Set("SSH_CONNECTION", "192.0.2.7 50022 10.0.0.5 2222");
    SshSession s = FindSshSession("told");
    ASSERT_EQ(s.kind, SshSessionKind::kFound) << s.why;
    EXPECT_EQ(s.end.address, "10.0.0.5");
    EXPECT_EQ(s.end.port, 2222);
    EXPECT_EQ(s.end.clientAddress, "192.0.2.7");

    Set("SSH_CONNECTION", "");
    s = FindSshSession("untold");
    EXPECT_EQ(s.kind, SshSessionKind::kUnsure);
    EXPECT_EQ(s.ports, (std::vector<int>{22, 2222}));
    EXPECT_EQ(s.why,
              "where its session into untold arrived could not be read (sshd set no "
              "SSH_CONNECTION there)");

    Set("ZANTOR_FAKE_SSH_FAIL", "ssh: connect to host gone port 22: Connection refused");
    s = FindSshSession("gone");
    EXPECT_EQ(s.kind, SshSessionKind::kUnsure);
    EXPECT_TRUE(
        s.why.starts_with("where its session into gone arrived could not be read: Error "
                          "[53] ("))
        << s.why;
    // A simulated computer has no session.
    Set("ZANTOR_FAKE_SSH_FAIL", "");
    fs::create_directories(dir_.path() / "net" / "SIM");
    Set("ZANTOR_NETWORK", (dir_.path() / "net").string());
    EXPECT_EQ(FindSshSession("SIM").kind, SshSessionKind::kNone);
    ::unsetenv("ZANTOR_NETWORK");
}

// The directory ssh is told to keep the shared connections' control sockets in.
fs::path ControlDirectory() {
    return fs::path(Option("farhost", "ControlPath").first).parent_path();
}

// A control directory that another user could change is never used: their runtime directory
// (after su or sudo -E), one that others may write, or the fixed name in the temporary directory
// made first by someone else. A private directory of ours stands in, and remote operations go on.
TEST_F(SshChannel, AControlDirectoryOthersCanChangeIsNeverUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can make directories of another user here";
    auto directory = [&](const fs::path& path, fs::perms mode, uid_t owner = 0) {
        fs::create_directories(path);
        fs::permissions(path, mode);
        EXPECT_EQ(::chown(path.c_str(), owner, owner), 0);
        return path;
    };
    const fs::path tmp = directory(dir_.path() / "tmp", fs::perms(01777));
    Set("TMPDIR", tmp.string());
    const fs::path fixed = tmp / "zantor-ssh-0";

    // The runtime directory is used where it is ours alone.
    const fs::path runtime = directory(dir_.path() / "run-mine", fs::perms(0700));
    Set("XDG_RUNTIME_DIR", runtime.string());
    EXPECT_EQ(ControlDirectory(), runtime / "zantor-ssh");
    for (const fs::path& unfit : {
             directory(dir_.path() / "run-theirs", fs::perms(0700), kOther),
             directory(dir_.path() / "run-group", fs::perms(0770)),
             // ours, but below a directory where others can rename it
             directory(directory(dir_.path() / "open", fs::perms(0777)) / "run", fs::perms(0700)),
         }) {
        SCOPED_TRACE(unfit);
        Set("XDG_RUNTIME_DIR", unfit.string());
        EXPECT_EQ(ControlDirectory(), fixed);
        EXPECT_FALSE(fs::exists(unfit / "zantor-ssh"));
    }
    Set("XDG_RUNTIME_DIR", "");

    // The fixed name, made first by another user, or open to others, or a link, or a file.
    TempDir local;
    const fs::path source = local.path() / "source";
    std::ofstream(source) << "x";
    const fs::path elsewhere = directory(dir_.path() / "elsewhere", fs::perms(0700));
    const std::vector<std::pair<const char*, std::function<void()>>> hostile = {
        {"another user's", [&] { directory(fixed, fs::perms(0700), kOther); }},
        {"another user's, open", [&] { directory(fixed, fs::perms(0777), kOther); }},
        {"ours, open to all", [&] { directory(fixed, fs::perms(0777)); }},
        {"a link to a directory of ours", [&] { fs::create_directory_symlink(elsewhere, fixed); }},
        {"a file", [&] { std::ofstream(fixed) << "x"; }},
    };
    fs::path standIn;
    for (const auto& [what, make] : hostile) {
        SCOPED_TRACE(what);
        fs::remove_all(fixed);
        make();
        const fs::path dir = ControlDirectory();
        EXPECT_EQ(dir.parent_path(), tmp);
        EXPECT_TRUE(dir.filename().string().starts_with("zantor-ssh-0.")) << dir;
        struct stat st {};
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        // One stand-in for the run, so that its connections are still shared.
        if (standIn.empty()) standIn = dir;
        EXPECT_EQ(dir, standIn);
        // The remote operations go on.
        ASSERT_TRUE(CopyFileA(source.c_str(), Share("f").c_str(), false)) << LastErrorText();
        EXPECT_TRUE(fs::is_symlink(fixed) || !fs::is_directory(fixed) || fs::is_empty(fixed));
    }
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

}  // namespace
}  // namespace zantor::test
