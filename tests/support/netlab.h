// A network laboratory for tests and benchmarks of the kernel backend: network namespaces of
// their own, joined by veth pairs, and sockets inside them that send and catch whole IPv4
// packets. Nothing here touches the machine's own namespace beyond creating and removing the
// namespaces it names. Not part of the programs.
//
// Errors: a Win32Error, with `why` saying what failed. Threads: a Namespace may be used from any
// thread; Enter moves only the calling thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace platform::lab {

// Whether this process may make network namespaces: root, and iproute2's ip. `why` says what
// is missing.
bool CanMakeNamespaces(std::string* why);

// The path of iproute2's ip.
std::string IpProgram();

// Runs a program to its end, at most `timeout`: kErrorTimeout when it had not ended by then (it
// is ended). *exitCode is its exit code; `output` receives what it printed. `controlGroups` are
// cgroup.procs files the program joins before it starts (a ControlGroup's ProcsFiles), so that
// whatever it leaves running can be found and ended.
Win32Error RunProgramFor(const std::vector<std::string>& command, std::chrono::milliseconds timeout,
                         int* exitCode, std::string* output = nullptr,
                         const std::vector<std::string>& controlGroups = {});

// Runs a program to its end; kErrorGenFailure when it exits with another code than 0, with its
// output in `why`. `output` receives what it printed.
Win32Error RunProgram(const std::vector<std::string>& command, std::string* output = nullptr,
                      std::string* why = nullptr);

// Removes the names of namespaces ("zt-STEM-PID-N") whose maker is not running any more: it was
// killed before it could remove them. The first Namespace of a process calls it.
void SweepAbandonedNamespaceNames();

// A named network namespace ("ip netns add"), removed with its devices when destroyed.
class Namespace {
  public:
    // A name of its own is made from `stem` and this process's id.
    explicit Namespace(const std::string& stem);
    ~Namespace();
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }

    // `ip -n NAME args...`
    Win32Error Ip(const std::vector<std::string>& args, std::string* why = nullptr) const;
    // `ip -n NAME -batch FILE` with these lines: many changes for the price of one process.
    Win32Error IpBatch(const std::vector<std::string>& lines, std::string* why = nullptr) const;
    // Runs a program inside ("ip netns exec NAME ...").
    Win32Error Exec(const std::vector<std::string>& command, std::string* output = nullptr,
                    std::string* why = nullptr) const;
    // The command line that runs `command` inside.
    std::vector<std::string> Wrap(const std::vector<std::string>& command) const;
    // The namespace as a path that any process may open while this object lives, named or not:
    // what `nsenter --net=` and systemd-nspawn's --network-namespace-path take.
    std::string HandlePath() const;
    // The command line that runs `command` inside through HandlePath ("nsenter --net=PATH"):
    // unlike Wrap it goes on working after Unname. Nothing else of the caller changes (no /sys
    // or /etc of the namespace's own, as "ip netns exec" would mount).
    std::vector<std::string> WrapHeld(const std::vector<std::string>& command) const;
    // The namespace's inode number, as /proc/PID/ns/net names it ("net:[N]"); 0 when not made.
    std::uint64_t Inode() const;
    // Runs `fn` on the calling thread inside the namespace; sockets it makes stay there.
    Win32Error Enter(const std::function<void()>& fn) const;
    // Sets a kernel parameter of the namespace: "net.ipv4.conf.all.rp_filter" to "0".
    Win32Error SetSysctl(const std::string& key, const std::string& value) const;
    // Gives the name up ("ip netns del") and keeps the namespace through this object alone:
    // Enter, SetSysctl and the sockets made inside go on working, the ip commands and Exec no
    // longer do. The namespace then goes away with this object or with the process, however the
    // process ends, so a crash or a kill leaves nothing behind.
    Win32Error Unname(std::string* why = nullptr);

  private:
    std::string name_;
    std::string error_;
    int fd_ = -1;  // the namespace itself, held open
    bool named_ = false;
};

// Two namespaces joined by a veth pair: `aDevice` in `a`, `bDevice` in `b`, both up.
Win32Error Link(const Namespace& a, const std::string& aDevice, const Namespace& b,
                const std::string& bDevice, std::string* why = nullptr);

// Moves the calling thread, for good, into a fresh network namespace of its own with lo up.
Win32Error EnterPrivateNamespace(std::string* why = nullptr);

// The hardware address of a device in a namespace.
Win32Error HardwareAddress(const Namespace& ns, const std::string& device,
                           std::array<std::uint8_t, 6>& mac);

// Keeps the calling thread on the processor it runs on while it lives, so that packets it sends
// one after another are handled in that order.
class PinnedThread {
  public:
    PinnedThread();
    ~PinnedThread();
    PinnedThread(const PinnedThread&) = delete;
    PinnedThread& operator=(const PinnedThread&) = delete;

  private:
    std::vector<unsigned char> saved_;
};

// A socket that sends or catches whole IPv4 packets, from the IP header on.
class PacketSocket {
  public:
    // Catches every delivered packet of one IP protocol (a raw socket): what passed the local
    // input path, put together when it came in fragments.
    static Win32Error Delivered(const Namespace* ns, std::uint8_t protocol,
                                std::unique_ptr<PacketSocket>* socket);
    // Sends packets as they are, header and all, through the namespace's routing (raw socket
    // with the header included): the output path of that namespace.
    static Win32Error Sender(const Namespace* ns, std::unique_ptr<PacketSocket>* socket);
    // Sends and catches packets on one device, below IP (a packet socket): sent packets go to
    // `peer` on the link as they are; caught ones are every IPv4 packet the device receives.
    static Win32Error OnDevice(const Namespace* ns, const std::string& device,
                               std::array<std::uint8_t, 6> peer,
                               std::unique_ptr<PacketSocket>* socket);
    ~PacketSocket();
    PacketSocket(const PacketSocket&) = delete;
    PacketSocket& operator=(const PacketSocket&) = delete;

    // kErrorAccessDenied when the namespace's own rules refused it on the way out.
    Win32Error Send(std::span<const std::uint8_t> packet);
    // The next packet within `timeout`; kErrorTimeout when none came.
    Win32Error Receive(std::vector<std::uint8_t>& packet, std::chrono::milliseconds timeout);

  private:
    PacketSocket(int fd, int ifindex, std::array<std::uint8_t, 6> peer);
    int fd_;
    int ifindex_;
    std::array<std::uint8_t, 6> peer_;
};

// One end of a TCP connection, or a listening socket, for real traffic between namespaces (bulk
// transfers through the kernel's rules). Every wait is bounded by the timeout it was made with,
// so a connection that the rules starve ends in kErrorTimeout instead of hanging.
class StreamSocket {
  public:
    // Listens on `address` (dotted), `port` inside `ns` (here when null).
    static Win32Error Listen(const Namespace* ns, const std::string& address, std::uint16_t port,
                             std::unique_ptr<StreamSocket>* listener);
    // Connects from inside `ns` (here when null) to `address`, `port`; kErrorTimeout when no
    // answer came within `timeout`, which also bounds every later wait of the connection.
    // `from`, `fromPort`: the local address and port it is bound to first; empty and 0 leave
    // both to the kernel.
    static Win32Error Connect(const Namespace* ns, const std::string& address, std::uint16_t port,
                              std::chrono::milliseconds timeout,
                              std::unique_ptr<StreamSocket>* connection,
                              const std::string& from = {}, std::uint16_t fromPort = 0);
    ~StreamSocket();
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;

    // The next connection to a listener; `timeout` bounds this wait and every later one of it.
    Win32Error Accept(std::chrono::milliseconds timeout, std::unique_ptr<StreamSocket>* connection);
    // Sends at least one byte of `bytes`; `sent` says how many went.
    Win32Error Send(std::span<const std::uint8_t> bytes, std::size_t* sent);
    // Receives at least one byte into `bytes`; 0 in `received` when the peer has stopped sending.
    Win32Error Receive(std::span<std::uint8_t> bytes, std::size_t* received);
    // Tells the peer that nothing more comes (it receives 0 after the bytes sent before).
    void StopSending();

  private:
    explicit StreamSocket(int fd);
    int fd_;
};

}  // namespace platform::lab
