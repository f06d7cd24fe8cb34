// Helpers for the packet filter tests: descriptors from dotted text, packets, and a driver with
// a clock the test moves.
#pragma once

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/pf.h"
#include "shared/address.h"
#include "shared/packet_builder.h"

namespace zantor::test {

struct FilterFields {
    std::string src = "0.0.0.0", srcMask = "0.0.0.0";
    std::string dst = "0.0.0.0", dstMask = "0.0.0.0";
    platform::DWORD protocol = 0;
    std::uint16_t srcLow = 0, srcHigh = 0, dstLow = 0, dstHigh = 0;
    platform::DWORD flags = 0;
    platform::DWORD rule = 0;
};

// A descriptor with the address cells it points to.
class Descriptor {
  public:
    explicit Descriptor(const FilterFields& f) {
        IPAddr cells[4] = {StrToIP(f.src), StrToIP(f.srcMask), StrToIP(f.dst), StrToIP(f.dstMask)};
        std::memcpy(cells_, cells, sizeof cells_);
        d_ = platform::PF_FILTER_DESCRIPTOR{
            f.flags,    f.rule, platform::PF_IPV4, cells_[0], cells_[1], cells_[2], cells_[3],
            f.protocol, 0,      f.srcLow,          f.dstLow,  f.srcHigh, f.dstHigh};
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const platform::PF_FILTER_DESCRIPTOR* get() const { return &d_; }
    platform::PF_FILTER_DESCRIPTOR& edit() { return d_; }

  private:
    std::uint8_t cells_[4][4] = {};
    platform::PF_FILTER_DESCRIPTOR d_{};
};

inline std::vector<std::uint8_t> Ports(std::uint8_t protocol, const char* src, std::uint16_t sport,
                                       const char* dst, std::uint16_t dport,
                                       std::uint8_t flags = 0) {
    PacketFields s;
    s.protocol = protocol;
    s.src = StrToIP(src);
    s.dst = StrToIP(dst);
    s.srcPort = sport;
    s.dstPort = dport;
    s.tcpFlags = flags;
    return BuildPacket(s);
}

inline std::vector<std::uint8_t> Tcp(const char* src, std::uint16_t sport, const char* dst,
                                     std::uint16_t dport, std::uint8_t flags = kTcpAck) {
    return Ports(kProtocolTcp, src, sport, dst, dport, flags);
}

inline std::vector<std::uint8_t> Udp(const char* src, std::uint16_t sport, const char* dst,
                                     std::uint16_t dport) {
    return Ports(kProtocolUdp, src, sport, dst, dport);
}

inline std::vector<std::uint8_t> Icmp(const char* src, const char* dst, std::uint8_t type,
                                      std::uint8_t code) {
    PacketFields s;
    s.protocol = kProtocolIcmp;
    s.src = StrToIP(src);
    s.dst = StrToIP(dst);
    s.icmpType = type;
    s.icmpCode = code;
    return BuildPacket(s);
}

// A clock that moves only when the test says so.
struct ManualClock {
    std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
    void Advance(std::chrono::steady_clock::duration d) { now += d; }
};

inline platform::PacketFilterDriver::Options Untimed() {
    platform::PacketFilterDriver::Options o;
    o.logTimerThread = false;
    return o;
}

inline platform::PacketFilterDriver::Options ManualOptions(ManualClock& clock) {
    platform::PacketFilterDriver::Options o;
    o.clock = [&clock] { return clock.now; };
    o.logTimerThread = false;
    return o;
}

}  // namespace zantor::test
