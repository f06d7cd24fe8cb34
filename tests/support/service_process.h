// Runs the real ZantorSvc on a fresh temporary computer root and talks to it over its real pipe.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe.h"
#include "tests/support/pipe_client.h"
#include "tests/unit/temp_root.h"

namespace zantor::test {

// Says that a computer has no ipaddrtable: its addresses are those of the host (or of the
// network namespace its service runs in).
struct HostAddresses {};

// A fresh computer: a root with system32/ and, when given, an ipaddrtable file.
class Computer {
  public:
    // The local computer: a temporary root that is ZANTOR_ROOT while it lives.
    explicit Computer(const std::string& ipAddrTable =
                          "10.0.0.5 255.255.255.0 2\n"
                          "192.168.1.20 255.255.0.0 3\n"
                          "127.0.0.1 255.0.0.0 1\n");
    explicit Computer(HostAddresses);
    // Another computer, made at `root` (a directory of ZANTOR_NETWORK), which its owner removes.
    Computer(const std::filesystem::path& root, const std::string& ipAddrTable);
    // A computer whose root exists, with its host's addresses: on Windows, this one (its root
    // is the Windows directory).
    Computer(const std::filesystem::path& root, HostAddresses);
    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path system32() const { return root() / "system32"; }
    std::string ServiceLog() const;  // the whole text of system32/ZantorSvc.Log
    std::vector<std::string> ServiceLogMessages() const;  // its lines without time stamps
    std::vector<std::string> DenyLogMessages() const;     // IPDenyLog.Log's, the same way

  private:
    std::optional<TempRoot> temp_;
    std::filesystem::path root_;
};

// ZantorSvc -run started in the computer's system32 directory; killed when destroyed. A
// `wrapper` runs it (its first word is the program): "ip netns exec NAME", say.
class ServiceProcess {
  public:
    explicit ServiceProcess(const Computer& computer, std::vector<std::string> args = {"-run"},
                            std::vector<std::string> wrapper = {});
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    std::uint32_t pid() const { return pid_; }
    std::string Output() const;  // what it printed so far
    // The command lines it has received so far, in order, as its output names them.
    std::vector<std::string> ReceivedCommands() const;
    // Waits until its output holds `text`; false when it did not within `timeout`.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void Kill();  // at once, without a chance to clean up
    // Sends a console control event (platform::CTRL_C_EVENT, CTRL_SHUTDOWN_EVENT): Ctrl-C or
    // SIGTERM.
    void Signal(std::uint32_t ctrlEvent);
    // Waits for the process to end; its exit code, or -1 after the time-out.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    const Computer& computer_;
    std::uint32_t pid_ = 0;
    std::filesystem::path output_;
};

// Runs a program to its end; its exit code and everything it printed.
struct ProgramRun {
    int exitCode = -1;
    std::string output;
};
ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::filesystem::path& scratch);

}  // namespace zantor::test
