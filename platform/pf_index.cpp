#include "platform/pf_index.h"

#include <algorithm>
#include <cstring>

namespace platform::pf {

namespace {

std::uint64_t Mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

// 0..0 is any; a high below the low means the low alone; for ICMP a low of 255 is any too.
PortRange MakeRange(std::uint16_t low, std::uint16_t high, bool icmp) {
    if ((low == 0 && high == 0) || (icmp && low == 255) || (low == 0 && high == 0xFFFF))
        return PortRange{};
    if (high < low) high = low;
    return PortRange{low, high, false};
}

std::uint32_t LoadAddress(const std::uint8_t* cell) {
    std::uint32_t v;
    std::memcpy(&v, cell, 4);
    return v;
}

unsigned PortShift(std::uint8_t kind) {
    return kind == 1 ? 0 : kind == 2 ? 8 : 12;
}

}  // namespace

bool Rule::Matches(const Packet& p) const {
    if ((p.src & srcMask) != src || (p.dst & dstMask) != dst) return false;
    if (protocol != 0 && protocol != p.protocol) return false;
    if (!needsTransport) return true;
    if (!p.hasTransport) return false;
    if (noSyn && (p.protocol != kProtoTcp || (p.tcpFlags & kTcpSyn) != 0)) return false;
    return srcRange.Contains(p.srcPort) && dstRange.Contains(p.dstPort);
}

Win32Error CompileRule(const PF_FILTER_DESCRIPTOR& d, Rule& rule) {
    if (d.pfatType != PF_IPV4 || !d.SrcAddr || !d.SrcMask || !d.DstAddr || !d.DstMask ||
        (d.dwFilterFlags & ~FD_FLAGS_NOSYN) != 0 || d.dwProtocol > 255 || d.fLateBound != 0)
        return kPfErrorInvalidFilter;
    rule = Rule{};
    rule.srcMask = LoadAddress(d.SrcMask);
    rule.src = LoadAddress(d.SrcAddr) & rule.srcMask;
    rule.dstMask = LoadAddress(d.DstMask);
    rule.dst = LoadAddress(d.DstAddr) & rule.dstMask;
    rule.protocol = static_cast<std::uint8_t>(d.dwProtocol);
    rule.noSyn = (d.dwFilterFlags & FD_FLAGS_NOSYN) != 0;
    rule.ruleNumber = d.dwRule;
    if (rule.protocol == kProtoTcp || rule.protocol == kProtoUdp || rule.protocol == kProtoIcmp) {
        bool icmp = rule.protocol == kProtoIcmp;
        rule.srcRange = MakeRange(d.wSrcPort, d.wSrcPortHighRange, icmp);
        rule.dstRange = MakeRange(d.wDstPort, d.wDstPortHighRange, icmp);
    }
    rule.needsTransport = rule.noSyn || !rule.srcRange.any || !rule.dstRange.any;
    return kErrorSuccess;
}

std::size_t FilterIndex::ShapeHash::operator()(const Shape& s) const {
    // On a 32-bit target the hash keeps its low half.
    return static_cast<std::size_t>(
        Mix((std::uint64_t{s.srcMask} << 32 | s.dstMask) ^
            (std::uint64_t{s.protocol} << 8 | s.portKind) * 0x9E3779B97F4A7C15ULL));
}

std::uint64_t FilterIndex::Hash(const BucketKey& k) {
    // Both ends of the result are used (the table's slot, the bitmap's bit), so it is mixed
    // all through.
    std::uint64_t h = (std::uint64_t{k.src} << 32 | k.dst) * 0x9E3779B97F4A7C15ULL;
    h ^= (std::uint64_t{k.shape} << 32 | k.portKey) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 32;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 29;
    return h;
}

FilterIndex::PortKind FilterIndex::KindOf(const Rule& r) {
    if ((r.protocol != kProtoTcp && r.protocol != kProtoUdp) || r.dstRange.any) return kAnyPort;
    if (r.dstRange.low == r.dstRange.high) return kOnePort;
    if ((r.dstRange.high >> 8) - (r.dstRange.low >> 8) < 4) return kNarrowRange;
    return kWideRange;
}

std::uint8_t FilterIndex::ShiftOf(PortKind kind) {
    return kind == kAnyPort ? kNoPorts : static_cast<std::uint8_t>(PortShift(kind));
}

void FilterIndex::PortKeys(const Rule& r, PortKind kind, std::vector<std::uint32_t>& keys) {
    keys.clear();
    if (kind == kAnyPort) {
        keys.push_back(0);
        return;
    }
    unsigned shift = PortShift(kind);
    for (std::uint32_t k = r.dstRange.low >> shift; k <= std::uint32_t{r.dstRange.high} >> shift;
         ++k)
        keys.push_back(k);
}

std::uint32_t FilterIndex::AcquireShape(const Shape& s) {
    if (auto it = shapeIds_.find(s); it != shapeIds_.end()) {
        ++shapes_[it->second].rules;
        return it->second;
    }
    std::uint32_t id;
    if (!freeShapes_.empty()) {
        id = freeShapes_.back();
        freeShapes_.pop_back();
        shapes_[id] = ShapeEntry{s, 1};
    } else {
        id = static_cast<std::uint32_t>(shapes_.size());
        shapes_.push_back(ShapeEntry{s, 1});
    }
    shapeIds_.emplace(s, id);
    shapesByProtocol_[s.protocol].push_back(
        ShapeProbe{s.srcMask, s.dstMask, id, ShiftOf(s.portKind)});
    return id;
}

void FilterIndex::ReleaseShape(std::uint32_t id) {
    if (--shapes_[id].rules != 0) return;
    const Shape& s = shapes_[id].shape;
    shapeIds_.erase(s);
    auto& list = shapesByProtocol_[s.protocol];
    list.erase(std::find_if(list.begin(), list.end(),
                            [id](const ShapeProbe& probe) { return probe.id == id; }));
    freeShapes_.push_back(id);
}

std::size_t FilterIndex::SlotOf(const BucketKey& key, std::uint64_t hash) const {
    const std::size_t mask = table_.size() - 1;
    std::size_t at = static_cast<std::size_t>(hash) & mask;
    while (table_[at].list != kEmpty && !(table_[at].key == key)) at = (at + 1) & mask;
    return at;
}

void FilterIndex::Rehash(std::size_t capacity) {
    std::vector<Bucket> old(capacity);
    old.swap(table_);
    for (const Bucket& b : old)
        if (b.list != kEmpty) table_[SlotOf(b.key, Hash(b.key))] = b;
}

void FilterIndex::RebuildBitmap() {
    // About sixteen bits a key, two of them set for each: a shape with nothing for the packet
    // passes the bitmap about once in seventy times.
    std::size_t bits = 4096;
    unsigned log2 = 12;
    while (bits < keys_ * 16) {
        bits *= 2;
        ++log2;
    }
    std::vector<std::uint64_t> bitmap(bits / 64, 0);
    bitmap_.swap(bitmap);
    bitmapShift_ = 64 - log2;
    for (const Bucket& b : table_) {
        if (b.list == kEmpty) continue;
        Mark(Hash(b.key));
    }
    bitmapStale_ = 0;
}

void FilterIndex::FileUnder(const BucketKey& key, RuleId id) {
    if ((keys_ + 1) * 2 > table_.size()) Rehash(std::max<std::size_t>(16, table_.size() * 2));
    const std::uint64_t hash = Hash(key);
    const std::size_t at = SlotOf(key, hash);
    if (table_[at].list == kEmpty) {
        std::uint32_t list;
        if (!freeLists_.empty()) {
            list = freeLists_.back();
            lists_[list].push_back(id);
            freeLists_.pop_back();
        } else {
            list = static_cast<std::uint32_t>(lists_.size());
            lists_.emplace_back(1, id);
        }
        table_[at] = Bucket{key, list};
        ++keys_;
        if (bitmap_.empty() || keys_ * 16 > bitmap_.size() * 64) {
            RebuildBitmap();
        } else {
            Mark(hash);
        }
        return;
    }
    lists_[table_[at].list].push_back(id);
}

void FilterIndex::TakeOut(const BucketKey& key, RuleId id) {
    if (table_.empty()) return;
    std::size_t at = SlotOf(key, Hash(key));
    if (table_[at].list == kEmpty) return;
    auto& ids = lists_[table_[at].list];
    if (auto pos = std::find(ids.begin(), ids.end(), id); pos != ids.end()) ids.erase(pos);
    if (!ids.empty()) return;
    freeLists_.push_back(table_[at].list);
    // Linear probing without tombstones: the keys after the hole that would no longer be found
    // move into it.
    const std::size_t mask = table_.size() - 1;
    for (std::size_t next = (at + 1) & mask; table_[next].list != kEmpty;
         next = (next + 1) & mask) {
        const std::size_t home = static_cast<std::size_t>(Hash(table_[next].key)) & mask;
        const bool stays = at <= next ? (at < home && home <= next) : (at < home || home <= next);
        if (stays) continue;
        table_[at] = table_[next];
        at = next;
    }
    table_[at].list = kEmpty;
    --keys_;
    // A bit of a key that went only costs a look into the table; rebuilt now and then.
    if (++bitmapStale_ > keys_ + 64) RebuildBitmap();
}

FilterIndex::RuleId FilterIndex::Add(const Rule& rule) {
    PortKind kind = KindOf(rule);
    std::vector<std::uint32_t> keys;
    PortKeys(rule, kind, keys);
    RuleId id;
    if (!freeSlots_.empty()) {
        id = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        id = static_cast<RuleId>(slots_.size());
        slots_.emplace_back();
    }
    std::uint32_t shape;
    try {
        shape = AcquireShape(Shape{rule.srcMask, rule.dstMask, rule.protocol, kind});
    } catch (...) {
        freeSlots_.push_back(id);
        throw;
    }
    slots_[id] = Slot{rule, shape, static_cast<std::uint32_t>(scan_.size()), true};
    ++count_;
    try {
        scan_.push_back(rule);
        scanIds_.push_back(id);
    } catch (...) {
        if (scan_.size() > scanIds_.size()) scan_.pop_back();
        slots_[id].used = false;
        --count_;
        ReleaseShape(shape);
        freeSlots_.push_back(id);
        throw;
    }
    try {
        for (std::uint32_t key : keys) FileUnder(BucketKey{shape, key, rule.src, rule.dst}, id);
    } catch (...) {
        Remove(id);  // takes out the keys that went in
        throw;
    }
    UpdateStrategy();
    return id;
}

void FilterIndex::Remove(RuleId id) {
    if (id >= slots_.size() || !slots_[id].used) return;
    Slot& slot = slots_[id];
    std::vector<std::uint32_t> keys;
    PortKeys(slot.rule, shapes_[slot.shape].shape.portKind, keys);
    for (std::uint32_t key : keys)
        TakeOut(BucketKey{slot.shape, key, slot.rule.src, slot.rule.dst}, id);
    // The last rule of the scan takes the removed one's place.
    const std::uint32_t at = slot.scanAt;
    scan_[at] = scan_.back();
    scanIds_[at] = scanIds_.back();
    slots_[scanIds_[at]].scanAt = at;
    scan_.pop_back();
    scanIds_.pop_back();
    ReleaseShape(slot.shape);
    slot.used = false;
    freeSlots_.push_back(id);
    --count_;
    UpdateStrategy();
}

bool FilterIndex::FindIn(const std::vector<ShapeProbe>& shapes, const Packet& p,
                         const Rule*& hit) const {
    for (const ShapeProbe& s : shapes) {
        std::uint32_t portKey = 0;
        if (s.portShift != kNoPorts) {
            if (!p.hasTransport) continue;  // no ports to look at: such filters cannot match
            portKey = p.dstPort >> s.portShift;
        }
        const BucketKey key{s.id, portKey, p.src & s.srcMask, p.dst & s.dstMask};
        const std::uint64_t hash = Hash(key);
        if (!MayHold(hash)) continue;
        const Bucket& b = table_[SlotOf(key, hash)];
        if (b.list == kEmpty) continue;
        for (RuleId rid : lists_[b.list]) {
            if (slots_[rid].rule.Matches(p)) {
                hit = &slots_[rid].rule;
                return true;
            }
        }
    }
    return false;
}

const Rule* FilterIndex::Lookup(const Packet& p) const {
    const Rule* hit = nullptr;
    if (FindIn(shapesByProtocol_[0], p, hit)) return hit;
    if (p.protocol != 0 && FindIn(shapesByProtocol_[p.protocol], p, hit)) return hit;
    return nullptr;
}

}  // namespace platform::pf
