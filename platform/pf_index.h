// The filters of one direction of an interface, kept so that "does any filter match this packet"
// is never slower than looking at every filter, and costs about the same with a thousand filters
// as with ten thousand. Internal to the driver.
//
// Short lists are scanned: their rules lie side by side in one array, and a scan of a few
// rules beats any lookup. Longer lists are indexed. Filters are grouped by shape: protocol (or
// any), source mask, destination mask and how the destination port is given (any, one port, a
// narrow range, a wide range). Within a shape one open-addressed table maps the masked addresses
// and a port key (the port, or the range's 256- or 4096-port blocks) to the filters that may
// match, and a bitmap of the keys in the table (small enough to stay in the processor's nearest
// cache) turns away nearly every shape that holds nothing for the packet before the table is
// read. A packet is looked up once per shape of its protocol and of "any protocol", and the few
// filters found are checked in full. Filters that agree in every indexed field share a list
// that is scanned.
//
// Not thread-safe: the driver's lock guards it.
#pragma once

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/pf.h"
#include "platform/pf_packet.h"

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
    // The filter's packet count, which the driver keeps; copies of the rule share it.
    std::atomic<std::uint64_t>* hits = nullptr;

    bool Matches(const Packet& p) const;
};

// kErrorSuccess and the rule, or kPfErrorInvalidFilter for a descriptor the driver cannot honour.
Win32Error CompileRule(const PF_FILTER_DESCRIPTOR& d, Rule& rule);

class FilterIndex {
  public:
    using RuleId = std::uint32_t;

    // Lists of at most this many filters are scanned.
    static constexpr std::size_t kScanLimit = 12;

    RuleId Add(const Rule& rule);
    void Remove(RuleId id);
    // A filter that matches, or null.
    const Rule* FindMatch(const Packet& p) const {
        if (scanning_) {
            for (const Rule& r : scan_) {
                // Most rules differ from a packet in its addresses: that test alone, without a
                // branch per field, before the full one.
                if (((p.src & r.srcMask) ^ r.src) | ((p.dst & r.dstMask) ^ r.dst)) continue;
                if (r.Matches(p)) return &r;
            }
            return nullptr;
        }
        return Lookup(p);
    }
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
    // What a lookup reads of a live shape, side by side with the others of its protocol.
    struct ShapeProbe {
        std::uint32_t srcMask;
        std::uint32_t dstMask;
        std::uint32_t id;
        std::uint8_t portShift;  // 0, 8 or 12; kNoPorts for "any port"
    };
    static constexpr std::uint8_t kNoPorts = 0xFF;

    struct BucketKey {
        std::uint32_t shape;
        std::uint32_t portKey;
        std::uint32_t src;
        std::uint32_t dst;
        bool operator==(const BucketKey&) const = default;
    };
    // One slot of the open-addressed table: a key and the list of the filters filed under it.
    struct Bucket {
        BucketKey key;
        std::uint32_t list = kEmpty;
    };
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFF;

    struct Slot {
        Rule rule;
        std::uint32_t shape = 0;
        std::uint32_t scanAt = 0;  // its place in scan_
        bool used = false;
    };

    static PortKind KindOf(const Rule& r);
    static std::uint8_t ShiftOf(PortKind kind);
    static std::uint64_t Hash(const BucketKey& k);
    // The port keys a rule is filed under (one, or the blocks its range covers).
    static void PortKeys(const Rule& r, PortKind kind, std::vector<std::uint32_t>& keys);
    std::uint32_t AcquireShape(const Shape& s);
    void ReleaseShape(std::uint32_t id);
    bool FindIn(const std::vector<ShapeProbe>& shapes, const Packet& p, const Rule*& hit) const;
    const Rule* Lookup(const Packet& p) const;
    // A scan looks at every rule, a lookup at every shape: with few rules, or nearly a shape a
    // rule, the scan is the faster of the two.
    void UpdateStrategy() { scanning_ = count_ <= kScanLimit || count_ <= 2 * shapeIds_.size(); }

    // The table: the slot of a key, or of the empty place where it would go.
    std::size_t SlotOf(const BucketKey& key, std::uint64_t hash) const;
    void FileUnder(const BucketKey& key, RuleId id);
    void TakeOut(const BucketKey& key, RuleId id);
    void Rehash(std::size_t capacity);
    void RebuildBitmap();
    // Two bits a key, from two parts of its hash: a key that is not filed passes both about
    // once in a hundred times.
    std::uint64_t FirstBit(std::uint64_t hash) const { return hash >> bitmapShift_; }
    std::uint64_t SecondBit(std::uint64_t hash) const {
        return (hash >> 16) & ((bitmap_.size() << 6) - 1);
    }
    bool MayHold(std::uint64_t hash) const {
        const std::uint64_t a = FirstBit(hash), b = SecondBit(hash);
        return (bitmap_[static_cast<std::size_t>(a >> 6)] >> (a & 63)) &
               (bitmap_[static_cast<std::size_t>(b >> 6)] >> (b & 63)) & 1;
    }
    void Mark(std::uint64_t hash) {
        const std::uint64_t a = FirstBit(hash), b = SecondBit(hash);
        bitmap_[static_cast<std::size_t>(a >> 6)] |= std::uint64_t{1} << (a & 63);
        bitmap_[static_cast<std::size_t>(b >> 6)] |= std::uint64_t{1} << (b & 63);
    }

    std::vector<Slot> slots_;
    std::vector<RuleId> freeSlots_;
    std::size_t count_ = 0;
    bool scanning_ = true;  // see UpdateStrategy
    // Every live rule, in no particular order, for the scan of short lists.
    std::vector<Rule> scan_;
    std::vector<RuleId> scanIds_;
    std::vector<ShapeEntry> shapes_;
    std::vector<std::uint32_t> freeShapes_;
    std::unordered_map<Shape, std::uint32_t, ShapeHash> shapeIds_;
    // The live shapes of each protocol number; [0] holds those of "any protocol".
    std::vector<ShapeProbe> shapesByProtocol_[256];

    std::vector<Bucket> table_;  // a power of two, at most half full
    std::size_t keys_ = 0;
    std::vector<std::vector<RuleId>> lists_;
    std::vector<std::uint32_t> freeLists_;
    std::vector<std::uint64_t> bitmap_;  // two bits per key filed (see MayHold)
    unsigned bitmapShift_ = 64 - 6;
    std::size_t bitmapStale_ = 0;  // keys taken out since the bitmap was built
};

}  // namespace platform::pf
