// The packet counts of one nftables table, read from the kernel over netlink: the kernel
// backend's statistics. Internal to the driver.
//
// One request lists every counter object of the table (the kernel filters the dump by table
// and object type), another every rule of the table with its counter and comment; the elements
// of a set, with their counters, come in one request per set, asked only for the sets of the
// interface whose statistics are read. None is one read per filter. A dump that the kernel
// marks interrupted (the ruleset changed while it ran) is asked again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/unix_socket.h"

namespace platform::pf {

class CounterReader {
  public:
    // Opens the netlink socket in the calling thread's network namespace, which it keeps.
    Win32Error Open(std::string* why);

    // Every counter object of the table `table` (family ip) by name: its packets. A table that
    // is not there has none.
    Win32Error Read(const std::string& table,
                    std::unordered_map<std::string, std::uint64_t>& packets, std::string* why);

    // The per-element counters of the set `set` of type `type` ("ipv4_addr . inet_service"),
    // by the element's key as the set's text writes it ("10.1.0.0 . 80"): its packets. One dump
    // of that set alone.
    Win32Error ReadElements(const std::string& table, const std::string& set,
                            const std::string& type,
                            std::unordered_map<std::string, std::uint64_t>& packets,
                            std::string* why);

    // Every rule of the table that carries a comment, by its comment: its handle, and the
    // packets of its counter (0 without one). One dump of the table's rules.
    struct Rule {
        std::uint64_t handle = 0, packets = 0;
    };
    Win32Error ReadRules(const std::string& table, std::unordered_map<std::string, Rule>& rules,
                         std::string* why);

  private:
    // One dump of `message` with `attributes`, retried whole while the kernel marks it
    // interrupted; `each` is given every message's attributes once the dump is whole.
    Win32Error Dump(std::uint16_t message, const std::vector<std::uint8_t>& attributes,
                    const std::function<void(const std::uint8_t*, const std::uint8_t*)>& each,
                    std::string* why);

    posix::UniqueFd socket_;
    std::uint32_t sequence_ = 0;
};

}  // namespace platform::pf
