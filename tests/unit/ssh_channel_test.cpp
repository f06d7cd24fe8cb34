// The channels to a host reached over SSH, with an ssh that runs the far side's command on this
// machine (a stand-in that records its command line and runs the command with sh, as sshd would):
// the scripts, the bridge and the near ends all run for real, only the network is left out. The
// fleet tests run the same channels over real sshd.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/ssh/ssh_transport.h"
#include "shared/error_text.h"
#include "tests/unit/temp_root.h"

namespace zantor::test {
namespace {

namespace fs = std::filesystem;
using namespace platform;

// The stand-in for ssh. ZANTOR_FAKE_SSH_FAIL makes it fail as ssh does (its words on standard
// error, exit 255) without running anything.
constexpr const char* kFakeSsh = R"(#!/bin/sh
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
        ::unsetenv("ZANTOR_NETWORK");
        ::unsetenv("ZANTOR_SSH_CONFIG");
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
    for (const std::string name :
         {"$(touch PWNED)", "`touch PWNED`", "a;touch PWNED", "a'b\"c", "x && touch PWNED",
          "-rf", "*", "a b", "$HOME", "~", "--"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(CopyFileA(source.c_str(), Share(name).c_str(), false))
            << GetLastError() << " " << LastErrorText();
        const fs::path there = far_ / "system32" / name;
        EXPECT_EQ(ReadFile(there), ReadFile(source));
        EXPECT_EQ(fs::status(there).permissions() & fs::perms::all, fs::perms(0751));
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
        EXPECT_EQ(entry.path().filename().string().find(".~"), std::string::npos)
            << entry.path();
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
        EXPECT_NE(SysErrorText(c.error).find(c.detail), std::string::npos)
            << SysErrorText(c.error);
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

}  // namespace
}  // namespace zantor::test
