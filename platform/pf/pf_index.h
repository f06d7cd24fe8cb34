// The filters of one direction of an interface, indexed so that "does any filter match this
// packet" costs about the same with ten filters as with ten thousand. Internal to the driver.
//
// Filters are grouped by shape: protocol (or any), source mask, destination mask and how the
// destination port is given (any, one port, a narrow range, a wide range). Within a shape a hash
// table maps the masked addresses and a port key (the port, or the range's 256- or 4096-port
// blocks) to the filters that may match. A packet is looked up once per shape of its protocol
// and of "any protocol", and the few filters found are checked in full. The shapes of a
// realistic rule set number a few dozen however many filters there are; filters that agree in
// every indexed field share a bucket that is scanned.
//
// Not thread-safe: the driver's lock guards it.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/pf.h"
#include "platform/pf/pf_packet.h"

namespace platform::pf {

struct PortRange {
    std::uint16_t low = 0;
    std::uint16_t high = 0xFFFF;
    bool any = true;
    bool Contains(std::uint16_t v) const { return any || (low <= v && v <= high); }
};

// A descriptor in the form decisions use.
struct Rule {
    std::uint32_t src = 0;  // already masked
    std::uint32_t srcMask = 0;
    std::uint32_t dst = 0;
    std::uint32_t dstMask = 0;
    std::uint8_t protocol = 0;  // 0: any
    bool noSyn = false;
    bool needsTransport = false;  // looks at ports, ICMP type or code, or SYN
    PortRange srcRange;           // TCP/UDP source ports, ICMP types
    PortRange dstRange;           // TCP/UDP destination ports, ICMP codes
    DWORD ruleNumber = 0;

    bool Matches(const Packet& p) const;
};

// kErrorSuccess and the rule, or kPfErrorInvalidFilter for a descriptor the driver cannot honour.
Win32Error CompileRule(const PF_FILTER_DESCRIPTOR& d, Rule& rule);

class FilterIndex {
  public:
    using RuleId = std::uint32_t;

    RuleId Add(const Rule& rule);
    void Remove(RuleId id);
    // A filter that matches, or null.
    const Rule* FindMatch(const Packet& p) const;
    std::size_t size() const { return count_; }

  private:
    enum PortKind : std::uint8_t { kAnyPort, kOnePort, kNarrowRange, kWideRange };

    struct Shape {
        std::uint32_t srcMask;
        std::uint32_t dstMask;
        std::uint8_t protocol;
        PortKind portKind;
        bool operator==(const Shape&) const = default;
    };
    struct ShapeHash {
        std::size_t operator()(const Shape& s) const;
    };
    struct ShapeEntry {
        Shape shape;
        std::uint32_t rules = 0;
    };
    struct BucketKey {
        std::uint32_t shape;
        std::uint32_t portKey;
        std::uint32_t src;
        std::uint32_t dst;
        bool operator==(const BucketKey&) const = default;
    };
    struct BucketKeyHash {
        std::size_t operator()(const BucketKey& k) const;
    };
    struct Slot {
        Rule rule;
        std::uint32_t shape = 0;
        bool used = false;
    };

    static PortKind KindOf(const Rule& r);
    // The port keys a rule is filed under (one, or the blocks its range covers).
    static void PortKeys(const Rule& r, PortKind kind, std::vector<std::uint32_t>& keys);
    std::uint32_t AcquireShape(const Shape& s);
    void ReleaseShape(std::uint32_t id);
    bool FindIn(const std::vector<std::uint32_t>& shapes, const Packet& p, const Rule*& hit) const;

    std::vector<Slot> slots_;
    std::vector<RuleId> freeSlots_;
    std::size_t count_ = 0;
    std::vector<ShapeEntry> shapes_;
    std::vector<std::uint32_t> freeShapes_;
    std::unordered_map<Shape, std::uint32_t, ShapeHash> shapeIds_;
    // The live shapes of each protocol number; [0] holds those of "any protocol".
    std::vector<std::uint32_t> shapesByProtocol_[256];
    std::unordered_map<BucketKey, std::vector<RuleId>, BucketKeyHash> buckets_;
};

}  // namespace platform::pf
