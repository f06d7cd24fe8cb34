// Two network namespaces made for one test, so that the kernel backend filters real packets
// without touching the machine's own rules: `host` is the protected computer, where the service
// runs, and `peer` talks to it over four veth links.
//
//   link i (0..2): host device s<i> with 10.77.<i>.2 (an address to filter) and 10.77.<i>.9
//                  (another address of the same device), peer device p<i> with 10.77.<i>.1
//   link 3:        10.77.3.2 and 10.77.3.1, never filtered: the sentinels that tell when every
//                  packet sent before them has been dealt with travel here
// The host routes everything else to 10.77.0.1, so whatever it sends is caught at the peer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/netlab.h"

namespace zantor::test {

class KernelLab {
  public:
    static constexpr int kLinks = 3;

    KernelLab();
    // Why this process cannot make namespaces at all (a test skips then), or empty.
    const std::string& unprivileged() const { return unprivileged_; }
    // Empty when the lab is ready; otherwise why it could not be made.
    const std::string& error() const { return error_; }

    const platform::lab::Namespace& host() const { return *host_; }
    const platform::lab::Namespace& peer() const { return *peer_; }

    static std::string BoundAddress(int link) { return "10.77." + std::to_string(link) + ".2"; }
    static std::string OtherAddress(int link) { return "10.77." + std::to_string(link) + ".9"; }
    static std::string PeerAddress(int link) { return "10.77." + std::to_string(link) + ".1"; }

    // A packet that arrives at the host on link `link`, from the peer.
    platform::Win32Error SendIn(int link, const std::vector<std::uint8_t>& packet);
    // A packet the host sends (its output path).
    platform::Win32Error SendOut(const std::vector<std::uint8_t>& packet);

    struct Arrival {
        bool output;  // caught at the peer; else delivered on the host
        std::vector<std::uint8_t> packet;
    };
    // Sends a sentinel each way, waits until both arrived, and returns everything that arrived
    // since the last call (the sentinels left out). Empty, with `error` set, when a sentinel got
    // lost.
    std::vector<Arrival> Flush(std::string* error = nullptr);

    // "nft list table ip zantor" in the host namespace; empty when there is no such table.
    std::string ListTable() const;

  private:
    std::string unprivileged_, error_;
    std::unique_ptr<platform::lab::Namespace> host_, peer_;
    std::vector<std::unique_ptr<platform::lab::PacketSocket>> links_;  // the peer's side of each
    std::vector<std::unique_ptr<platform::lab::PacketSocket>> delivered_;  // host, per protocol
    std::unique_ptr<platform::lab::PacketSocket> hostSender_;
    std::uint16_t sentinel_ = 0;
};

// The peer's source addresses for input packets, and its far destinations for output.
inline const char* const kLabSources[] = {"10.200.1.5", "10.200.1.77",   "10.200.9.5",
                                          "172.16.4.4", "192.168.50.10", "192.168.51.10"};
inline const char* const kLabDestinations[] = {"10.88.1.5", "10.88.1.77", "10.88.9.5",
                                               "10.88.200.1"};
// The protocols the lab catches on the host: ICMP, TCP, UDP and one with no handler.
inline constexpr std::uint8_t kLabProtocols[] = {1, 6, 17, 253};

}  // namespace zantor::test
