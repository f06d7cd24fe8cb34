// Which part of a computer's filtering drops the packet of a deny-log entry now: the entry read
// back into a packet, decided by the packet filter engine on each address's configuration as the
// service holds it (AddressEngine, the lockout guard's engine).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/cli/lockout.h"
#include "console/desired_state.h"
#include "shared/address.h"

namespace zantor::console::cli {

// What a deny-log entry tells of its packet: " TCP 10.0.0.9:1034 -> 10.0.0.5:139 Data: ,..."
// after the time stamp. Only TCP, UDP and ICMP entries name addresses.
struct DenyEntry {
    std::uint32_t protocol = 0;
    IPAddr src = 0, dst = 0;
    std::uint16_t srcPort = 0, dstPort = 0;
    // The bytes after a 20-byte IP header, as many as the entry logged (at most 21): the
    // transport header's start, where the TCP flags and the ICMP type and code are.
    std::vector<std::uint8_t> data;
};

// The entry in one line of the deny log; nullopt for a line that is no entry of a protocol with
// addresses.
std::optional<DenyEntry> ParseDenyEntry(std::string_view line);

// The packet an entry stands for, as near as the entry tells: unfragmented, its flags, type and
// code as logged.
std::vector<std::uint8_t> EntryPacket(const DenyEntry& entry);

// Explains entries on the configuration of one computer.
class DenyExplainer {
  public:
    DenyExplainer(ComputerState state, std::string computer);

    // What drops the entry's packet now, in one line: "dropped now by input filter 1 of
    // 10.0.0.5: 0 0 0 ...", "dropped now by the input default action of 10.0.0.5",
    // "10.0.0.5 does not filter any more: ...", "passes now: ...".
    std::string Explain(const DenyEntry& entry);

  private:
    std::string Decide(const DenyEntry& entry, const std::vector<std::uint8_t>& packet);
    const AddressState* Find(IPAddr address) const;
    AddressEngine& Engine(const AddressState& address);
    // The line for a packet that the filtering of `address` decided, or empty when it passed.
    std::string Dropped(const AddressState& address, const AddressEngine::Drop& drop) const;

    ComputerState state_;
    std::string computer_;
    std::map<std::string, std::unique_ptr<AddressEngine>> engines_;
    // The explanations given so far, by what decides them: a deny log repeats the same packets
    // many times over, and each decision reads the counts of every filter of its address.
    std::map<std::string, std::string> known_;
};

}  // namespace zantor::console::cli
