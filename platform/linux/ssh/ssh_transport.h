// Computers reached over SSH: the connection every channel to such a host rides on.
//
// The transport is the system's own ssh client, so that the administrator's ssh config, agent,
// keys, jump hosts and known_hosts apply as they do for every other tool. It never prompts and
// never hangs: batch mode (an unknown host key, a password or a passphrase is a failure, not a
// question), a connect timeout, and keep-alives that give a dead host up within
// kKeepAliveLimit. Connections are shared: the first operation on a host starts a master that
// stays kSharingTime after its last use, and every later one costs a channel, not a login. The
// masters' control sockets live in a directory that nobody but the user (and root) can change:
// the user's runtime directory where it is theirs alone, else one of theirs in $TMPDIR or /tmp.
//
// Nothing from a name, a path or a reply is ever part of a command that a shell on the far side
// parses. Every command this folder sends is a constant of its own (a fixed script, or our own
// program's bridge); what varies (the far side's root, a pipe name, a file path, the size of a
// file) travels as lines on the command's standard input, and the scripts use them only as quoted
// words. The destination itself is checked by CheckComputerName before ssh sees it and passed
// after "--", so it can never pass for an option.
//
// Errors: an exit of ssh itself (255) is mapped onto what the Windows system gives for the same
// failure: an unknown or unreachable host kErrorBadNetPath, a refused key kErrorLogonFailure, a
// refused host key kErrorAccessDenied (with ssh's own words and how to trust the host), a
// connection lost kErrorBrokenPipe. The last lines of ssh's standard error are kept as the
// error's detail (SetLastErrorDetail), so the message the person reads says what ssh said. A
// far side that needs `sudo -n` and may not use it gives kErrorAccessDenied.
//
// Host keys: a key that differs from the one known_hosts holds is refused, whatever an ssh config
// says (StrictHostKeyChecking is given on the command line, where the first value wins). A key
// not known yet is refused too, unless the administrator's own ssh config says "accept-new" for
// the host (their choice, read with ssh -G) or this run was told to accept new keys
// (AcceptNewHostKeys, ZANTOR_SSH_ACCEPT_NEW=1); then ssh records it in known_hosts.
//
// Environment: ZANTOR_SSH names the ssh program (default "ssh"); ZANTOR_SSH_CONFIG an ssh config
// file to use instead of the user's (-F); ZANTOR_SSH_ACCEPT_NEW=1 accepts unknown host keys;
// ZANTOR_REMOTE_ROOT the far side's root (platform/computer.h).
//
// Internal to the platform layer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform::ssh {

// How long a shared connection stays after its last use.
inline constexpr std::chrono::seconds kSharingTime{60};
// How long ssh waits for a host to answer its connect.
inline constexpr std::chrono::seconds kConnectTimeout{10};
// Keep-alives: a host that answers none of kKeepAliveCount probes, kKeepAliveInterval apart, is
// given up; so a dead connection is noticed within kKeepAliveLimit.
inline constexpr std::chrono::seconds kKeepAliveInterval{5};
inline constexpr int kKeepAliveCount = 3;
inline constexpr std::chrono::seconds kKeepAliveLimit = kKeepAliveInterval * kKeepAliveCount;

// The far side's commands: each one a constant. Each runs as root: directly when the login is
// root, through `sudo -n` otherwise (never a password prompt). The first line of its input is
// the far side's root.
enum class Command {
    kPipeBridge,  // our program's bridge to a pipe of the host (ZantorSvc -bridge)
    kReadFile,    // lines: path, size limit (0: none); output: the file
    kWriteFile,   // lines: path, size, fail-if-exists (0/1); then the contents
    kDeleteFile,  // lines: path
    kListUnits,   // output: each unit file of ours, as name NUL text NUL
    kWriteUnit,   // lines: unit name, size; then the contents
    kRemoveUnit,  // lines: unit name
    kSessionEnd,  // output: $SSH_CONNECTION of the session
    kBusBridge,   // the system bus of the host (systemd-stdio-bridge); no root line
};

// The whole ssh command line for `destination` running `command`: what the tests of the
// transport look at to see that no name reaches a shell.
Win32Error CommandLine(std::string_view destination, Command command,
                       std::vector<std::string>& argv);

// The far side's shell text of a command (a constant).
std::string_view RemoteText(Command command);

// A running ssh: its standard input and output are the descriptors given (owned by the caller;
// the child gets its own copies), its standard error is collected. Destroying it waits for the
// process to end (ending it when it does not end by itself within a grace time) and reaps it.
class Process {
  public:
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts ssh to `destination` for `command`.
    static Win32Error Start(std::string_view destination, Command command, int input, int output,
                            std::unique_ptr<Process>* process);
    // Starts the command line `argv` (an ssh for `destination`, which its messages name).
    static Win32Error Start(std::vector<std::string> argv, std::string_view destination, int input,
                            int output, std::unique_ptr<Process>* process);

    // Waits until ssh has ended, at most `timeout` (zero: without limit), reading its standard
    // error meanwhile. kErrorTimeout when it still runs; *exitCode is its exit code otherwise.
    Win32Error Wait(std::chrono::milliseconds timeout, int* exitCode);
    // Reads what standard error holds now, without waiting.
    void Collect();
    // Ends ssh at once and waits for it.
    void Kill();

    // The last lines that ssh wrote on its standard error, on one line.
    std::string ErrorTail() const;
    const std::string& destination() const { return destination_; }

    // The failure that an ended ssh stands for: a Win32 error for ssh's own exit (255) and for
    // our commands' exits (a Win32 number, or 126/127 for a program that is not there), with its
    // detail recorded; `lost` is the error for a connection that broke once it was up.
    Win32Error Failure(int exitCode, Win32Error lost) const;

  private:
    Process() = default;
    std::string destination_;
    int pid_ = -1;
    int pidfd_ = -1;
    int errors_ = -1;
    bool ended_ = false;
    int exitCode_ = 0;
    std::string tail_;
};

// Runs `command` on `destination` to its end: `input` is written to its standard input (then
// it is closed), and its standard output goes to `output` piece by piece (returning false stops
// the command and fails with kErrorOperationAborted). kErrorSuccess when the command exited 0;
// otherwise Failure's error. `produce`, when given, is asked for more input after `input` until
// it returns false: a file of any size is sent in pieces.
Win32Error Run(std::string_view destination, Command command, const std::string& input,
               const std::function<bool(std::string_view)>& output,
               const std::function<bool(std::string& more)>& produce = {});

// Where the session into `destination` arrived, as sshd tells it ($SSH_CONNECTION): as a pipe's
// channel told it already (NoteSessionEnd), else through a channel of its own.
Win32Error SessionEnd(std::string_view destination, std::string& connection);
// What a channel to `destination` told of its session; nothing when it is empty.
void NoteSessionEnd(std::string_view destination, std::string_view connection);

// The port ssh connects to for `destination`, as the ssh config says (22 by default).
int DestinationPort(std::string_view destination);

// From now on in this run, a host whose key is not known yet is accepted and its key recorded
// (as ZANTOR_SSH_ACCEPT_NEW=1 asks); a key that changed is refused all the same.
void AcceptNewHostKeys();

}  // namespace platform::ssh
