#include "platform/pf/pf_index.h"

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
    return Mix((std::uint64_t{s.srcMask} << 32 | s.dstMask) ^
               (std::uint64_t{s.protocol} << 8 | s.portKind) * 0x9E3779B97F4A7C15ULL);
}

std::size_t FilterIndex::BucketKeyHash::operator()(const BucketKey& k) const {
    std::uint64_t a = std::uint64_t{k.src} << 32 | k.dst;
    std::uint64_t b = std::uint64_t{k.shape} << 32 | k.portKey;
    return Mix(a ^ Mix(b + 0x9E3779B97F4A7C15ULL));
}

FilterIndex::PortKind FilterIndex::KindOf(const Rule& r) {
    if ((r.protocol != kProtoTcp && r.protocol != kProtoUdp) || r.dstRange.any) return kAnyPort;
    if (r.dstRange.low == r.dstRange.high) return kOnePort;
    if ((r.dstRange.high >> 8) - (r.dstRange.low >> 8) < 4) return kNarrowRange;
    return kWideRange;
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
    shapesByProtocol_[s.protocol].push_back(id);
    return id;
}

void FilterIndex::ReleaseShape(std::uint32_t id) {
    if (--shapes_[id].rules != 0) return;
    const Shape& s = shapes_[id].shape;
    shapeIds_.erase(s);
    auto& list = shapesByProtocol_[s.protocol];
    list.erase(std::find(list.begin(), list.end(), id));
    freeShapes_.push_back(id);
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
    slots_[id] = Slot{rule, shape, true};
    ++count_;
    try {
        for (std::uint32_t key : keys)
            buckets_[BucketKey{shape, key, rule.src, rule.dst}].push_back(id);
    } catch (...) {
        Remove(id);  // takes out the keys that went in
        throw;
    }
    return id;
}

void FilterIndex::Remove(RuleId id) {
    if (id >= slots_.size() || !slots_[id].used) return;
    Slot& slot = slots_[id];
    std::vector<std::uint32_t> keys;
    PortKeys(slot.rule, shapes_[slot.shape].shape.portKind, keys);
    for (std::uint32_t key : keys) {
        auto it = buckets_.find(BucketKey{slot.shape, key, slot.rule.src, slot.rule.dst});
        if (it == buckets_.end()) continue;
        auto& ids = it->second;
        if (auto pos = std::find(ids.begin(), ids.end(), id); pos != ids.end()) ids.erase(pos);
        if (ids.empty()) buckets_.erase(it);
    }
    ReleaseShape(slot.shape);
    slot.used = false;
    freeSlots_.push_back(id);
    --count_;
}

bool FilterIndex::FindIn(const std::vector<std::uint32_t>& shapes, const Packet& p,
                         const Rule*& hit) const {
    for (std::uint32_t id : shapes) {
        const Shape& s = shapes_[id].shape;
        std::uint32_t portKey = 0;
        if (s.portKind != kAnyPort) {
            if (!p.hasTransport) continue;  // no ports to look at: such filters cannot match
            portKey = p.dstPort >> PortShift(s.portKind);
        }
        auto it = buckets_.find(BucketKey{id, portKey, p.src & s.srcMask, p.dst & s.dstMask});
        if (it == buckets_.end()) continue;
        for (RuleId rid : it->second) {
            if (slots_[rid].rule.Matches(p)) {
                hit = &slots_[rid].rule;
                return true;
            }
        }
    }
    return false;
}

const Rule* FilterIndex::FindMatch(const Packet& p) const {
    const Rule* hit = nullptr;
    if (FindIn(shapesByProtocol_[0], p, hit)) return hit;
    if (p.protocol != 0 && FindIn(shapesByProtocol_[p.protocol], p, hit)) return hit;
    return nullptr;
}

}  // namespace platform::pf
