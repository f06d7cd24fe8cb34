#include "platform/linux/pf/pf_ruleset.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>

namespace platform::pf {

namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;
constexpr std::uint8_t kFirstHeaderLength = 5;  // in 32-bit words, as the header counts
constexpr std::uint8_t kLastHeaderLength = 15;

const char* const kDirectionNames[2] = {"in", "out"};

// The SYN test, which a key of a filter with FD_FLAGS_NOSYN follows in its shape.
constexpr std::string_view kNoSyn = "tcp flags & syn == 0";

// The anti-lockout rules. The packets pre leaves to antilockout_pre, which that chain matches
// again: the same words, so the two never disagree on one. Not from the loopback, which pre
// accepts first.
constexpr const char* kToSshd = "tcp dport @antilockout_ports iif != \"lo\" fib daddr type local";
// The connection tracking label (a bit of 128, near the top, as other users of labels count up
// from 0) of a connection that the host opened from sshd's port with a SYN while the table was
// in force. (127 marked sessions taken up, in earlier versions; it means nothing now.)
constexpr const char* kOpenedLabel = "126";

std::string Dotted(std::uint32_t networkOrder) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&networkOrder);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

std::string Range(std::uint32_t low, std::uint32_t high) {
    return low == high ? std::to_string(low) : std::to_string(low) + "-" + std::to_string(high);
}

// An ICMP type or code range clamped to the byte the header holds; false when it holds no value.
bool IcmpRange(const PortRange& r, std::uint32_t& low, std::uint32_t& high) {
    low = r.low;
    high = std::min<std::uint32_t>(r.high, 255);
    return low <= 255;
}

// Rules are grouped by network, not by host: each group is a chain, and every change costs the
// more the more chains the table has (libnftables reads them all, the kernel follows every jump).
std::uint32_t GroupMask(std::uint32_t mask) {
    static constexpr std::uint8_t kNetwork[4] = {255, 255, 255, 0};
    std::uint32_t network;
    std::memcpy(&network, kNetwork, sizeof network);
    return mask & network;
}

struct KeyField {
    std::string expression, type, value;
};

void AddressMatch(const char* field, std::uint32_t address, std::uint32_t mask,
                  std::string& match) {
    if (mask == 0) return;
    match += match.empty() ? "" : " ";
    match += std::string("ip ") + field;
    if (mask != kAllOnes) match += " & " + Dotted(mask) + " ==";
    match += " " + Dotted(address);
}

void AddressKey(const char* field, std::uint32_t address, std::uint32_t mask,
                std::vector<KeyField>& key) {
    if (mask == 0) return;
    std::string expression = std::string("ip ") + field;
    if (mask != kAllOnes) expression += " & " + Dotted(mask);
    key.push_back({expression, "ipv4_addr", Dotted(address)});
}

void Append(std::string& text, std::string_view a, std::string_view b = {},
            std::string_view c = {}) {
    text += a;
    text += b;
    text += c;
    text += '\n';
}

std::string Table() {
    return std::string(" ip ") + kKernelTable + " ";
}

void RuleLine(std::string& text, const std::string& chain, const std::string& match,
              const std::string& verdict) {
    Append(text, "add rule" + Table() + chain + " " + match + (match.empty() ? "" : " "), verdict);
}

}  // namespace

Placement PlaceFilter(const Rule& r, PacketDirection direction) {
    Placement p;
    const bool ports = r.protocol == kProtoTcp || r.protocol == kProtoUdp;
    const bool icmp = r.protocol == kProtoIcmp;
    std::uint32_t typeLow = 0, typeHigh = 0, codeLow = 0, codeHigh = 0;
    // The SYN test reads TCP flags: another protocol never passes it.
    if (r.noSyn && r.protocol != 0 && r.protocol != kProtoTcp) return p;
    if (icmp && ((!r.srcRange.any && !IcmpRange(r.srcRange, typeLow, typeHigh)) ||
                 (!r.dstRange.any && !IcmpRange(r.dstRange, codeLow, codeHigh))))
        return p;
    p.transport = r.needsTransport;

    const std::string syn = r.noSyn ? std::string(kNoSyn) : "";
    auto exact = [](const PortRange& range) { return !range.any && range.low == range.high; };
    auto icmpExact = [](std::uint32_t low, std::uint32_t high) { return low == high; };
    bool keyable = r.ruleNumber == 0;
    if (ports)
        keyable = keyable && (r.srcRange.any || exact(r.srcRange)) &&
                  (r.dstRange.any || exact(r.dstRange));
    if (icmp)
        keyable = keyable && (r.srcRange.any || icmpExact(typeLow, typeHigh)) &&
                  (r.dstRange.any || icmpExact(codeLow, codeHigh));

    std::vector<KeyField> key;
    AddressKey("saddr", r.src, r.srcMask, key);
    AddressKey("daddr", r.dst, r.dstMask, key);
    const bool icmpFields = icmp && (!r.srcRange.any || !r.dstRange.any);
    // The SYN test and the ICMP fields bring their protocol with them.
    if (r.protocol != 0 && !(r.noSyn && r.protocol == kProtoTcp) && !icmpFields)
        key.push_back({"ip protocol", "inet_proto", std::to_string(r.protocol)});
    if (ports) {
        if (!r.srcRange.any)
            key.push_back({"th sport", "inet_service", Range(r.srcRange.low, r.srcRange.low)});
        if (!r.dstRange.any)
            key.push_back({"th dport", "inet_service", Range(r.dstRange.low, r.dstRange.low)});
    }
    if (icmp) {
        if (!r.srcRange.any) key.push_back({"icmp type", "icmp_type", std::to_string(typeLow)});
        if (!r.dstRange.any) key.push_back({"icmp code", "icmp_code", std::to_string(codeLow)});
    }

    if (keyable && !key.empty()) {
        p.kind = Placement::kElement;
        p.shape = syn.empty() ? "" : syn + " ";
        for (std::size_t i = 0; i < key.size(); ++i) {
            const char* sep = i == 0 ? "" : " . ";
            p.shape += sep + key[i].expression;
            p.setType += sep + key[i].type;
            p.element += sep + key[i].value;
        }
        return p;
    }

    p.kind = Placement::kRule;
    std::vector<KeyField> by;
    const std::uint32_t srcGroup = GroupMask(r.srcMask), dstGroup = GroupMask(r.dstMask);
    const bool bySource = direction == PacketDirection::kInput ? srcGroup != 0 : dstGroup == 0;
    if (bySource)
        AddressKey("saddr", r.src & srcGroup, srcGroup, by);
    else
        AddressKey("daddr", r.dst & dstGroup, dstGroup, by);
    if (!by.empty()) {
        p.group = by[0].expression;
        p.groupKey = by[0].value;
    }
    AddressMatch("saddr", r.src, r.srcMask, p.match);
    AddressMatch("daddr", r.dst, r.dstMask, p.match);
    auto add = [&p](const std::string& part) {
        if (part.empty()) return;
        p.match += p.match.empty() ? "" : " ";
        p.match += part;
    };
    if (r.protocol != 0) add("ip protocol " + std::to_string(r.protocol));
    if (ports) {
        if (!r.srcRange.any) add("th sport " + Range(r.srcRange.low, r.srcRange.high));
        if (!r.dstRange.any) add("th dport " + Range(r.dstRange.low, r.dstRange.high));
    }
    if (icmp) {
        if (!r.srcRange.any) add("icmp type " + Range(typeLow, typeHigh));
        if (!r.dstRange.any) add("icmp code " + Range(codeLow, codeHigh));
    }
    add(syn);
    return p;
}

std::string LogPrefix(DWORD interfaceName, PFFRAMETYPE type, DWORD rule) {
    return "zantor " + std::to_string(interfaceName) + " " + std::to_string(type) + " " +
           std::to_string(rule);
}

bool ParseLogPrefix(std::string_view prefix, DWORD& interfaceName, PFFRAMETYPE& type, DWORD& rule) {
    constexpr std::string_view kHead = "zantor ";
    if (prefix.substr(0, kHead.size()) != kHead) return false;
    prefix.remove_prefix(kHead.size());
    DWORD numbers[3];
    for (int i = 0; i < 3; ++i) {
        const char* end = prefix.data() + prefix.size();
        auto [next, ec] = std::from_chars(prefix.data(), end, numbers[i]);
        if (ec != std::errc() || next == prefix.data()) return false;
        prefix.remove_prefix(static_cast<std::size_t>(next - prefix.data()));
        if (i < 2) {
            if (prefix.empty() || prefix[0] != ' ') return false;
            prefix.remove_prefix(1);
        }
    }
    if (!prefix.empty() || numbers[1] < PFFT_FILTER || numbers[1] > PFFT_SPOOF) return false;
    interfaceName = numbers[0];
    type = static_cast<PFFRAMETYPE>(numbers[1]);
    rule = numbers[2];
    return true;
}

void KernelRuleset::Journal::Revert() {
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) (*it)();
    undo_.clear();
}

std::string KernelRuleset::Name(const Interface& itf) const {
    return "i" + std::to_string(itf.handle);
}

std::string KernelRuleset::DropVerdict(const Interface& itf, PFFRAMETYPE type) const {
    if (!itf.useLog) return "drop";
    return "log group " + std::to_string(logGroup_) + " prefix \"" +
           LogPrefix(itf.LogName(), type, 0) + "\" drop";
}

std::string KernelRuleset::FilterVerdict(const Interface& itf, int d, DWORD rule) const {
    if (itf.actions[d] == PF_ACTION_DROP) return "accept";
    if (!itf.useLog) return "drop";
    return "log group " + std::to_string(logGroup_) + " prefix \"" +
           LogPrefix(itf.LogName(), PFFT_FILTER, rule) + "\" drop";
}

std::string KernelRuleset::DefaultVerdict(const Interface& itf, int d) const {
    if (itf.actions[d] != PF_ACTION_DROP) return "accept";
    return Count(Name(itf) + "_" + kDirectionNames[d] + "_drops") + DropVerdict(itf, PFFT_FILTER);
}

std::string KernelRuleset::RuleVerdict(const Interface& itf, int d, const Filter& filter) const {
    // Its own counter, and its name as the rule's comment: what the statistics find it by, and
    // what a removal finds its handle by.
    if (!counters_) return FilterVerdict(itf, d, filter.rule);
    return "counter " + FilterVerdict(itf, d, filter.rule) + " comment \"" + filter.counter + "\"";
}

std::string KernelRuleset::Count(const std::string& counter) const {
    return counters_ && !counter.empty() ? "counter name \"" + counter + "\" " : "";
}

void KernelRuleset::AddCounter(const std::string& counter, std::string& text) const {
    if (counters_ && !counter.empty()) Append(text, "add counter" + Table() + counter);
}

void KernelRuleset::DeleteCounter(const std::string& counter, std::string& text) const {
    if (counters_ && !counter.empty()) Append(text, "delete counter" + Table() + counter);
}

std::vector<std::string> KernelRuleset::OwnCounters(const Interface& itf) const {
    const std::string n = Name(itf);
    return {n + "_in_drops", n + "_out_drops", n + "_frag", n + "_spoof"};
}

std::string KernelRuleset::SetDeclaration(const std::string& set, const std::string& type) const {
    // Each element of a set with a counter counts the packets its lookups found.
    return "add set" + Table() + set + " { type " + type + (counters_ ? "; counter; }" : "; }");
}

KernelRuleset::InterfaceCounters KernelRuleset::CountersOf(INTERFACE_HANDLE h) const {
    auto it = interfaces_.find(h);
    if (!counters_ || it == interfaces_.end() || !it->second->bound) return {};
    const std::vector<std::string> own = OwnCounters(*it->second);
    return {own[0], own[1], own[2], own[3]};
}

KernelRuleset::FilterCounter KernelRuleset::CounterOf(INTERFACE_HANDLE h, FILTER_HANDLE f) const {
    auto it = interfaces_.find(h);
    if (!counters_ || it == interfaces_.end() || !it->second->bound) return {};
    const Interface& itf = *it->second;
    auto filter = itf.filters.find(f);
    if (filter == itf.filters.end()) return {};
    const Placement& p = filter->second.placement;
    if (p.kind != Placement::kElement) return {filter->second.counter, {}, {}, {}};
    const int d = filter->second.direction;
    const Shape& shape = itf.directions[d].shapes.at(p.shape);
    return {{},
            Name(itf) + "_" + kDirectionNames[d] + "_s" + std::to_string(shape.number),
            shape.type,
            p.element};
}

bool KernelRuleset::IsBound(INTERFACE_HANDLE h) const {
    auto it = interfaces_.find(h);
    return it != interfaces_.end() && it->second->bound;
}

bool KernelRuleset::HasFilters(INTERFACE_HANDLE h, std::span<const FILTER_HANDLE> filters) const {
    auto it = interfaces_.find(h);
    if (it == interfaces_.end()) return false;
    for (FILTER_HANDLE f : filters)
        if (!it->second->filters.count(f)) return false;
    return true;
}

std::string KernelRuleset::MapName(const Interface& itf, int d, const GroupMap& map) const {
    return Name(itf) + "_" + kDirectionNames[d] + "_v" + std::to_string(map.number);
}

std::string KernelRuleset::GroupChain(const std::string& map, const std::string& key) {
    std::string chain = map + "_" + key;
    std::replace(chain.begin() + static_cast<std::ptrdiff_t>(map.size()), chain.end(), '.', '_');
    return chain;
}

void KernelRuleset::FilterChainText(const Interface& itf, int d, bool transport,
                                    std::string& text) const {
    const std::string chain = Name(itf) + "_" + kDirectionNames[d] + (transport ? "_t" : "_a");
    for (const auto& [match, shape] : itf.directions[d].shapes) {
        if (shape.transport != transport) continue;
        Append(text,
               "add rule" + Table() + chain + " " + match + " @" + Name(itf) + "_" +
                   kDirectionNames[d] + "_s" + std::to_string(shape.number) + " ",
               FilterVerdict(itf, d, 0));
    }
    for (const auto& [key, map] : itf.directions[d].maps)
        if (map.transport == transport)
            Append(text, "add rule" + Table() + chain + " " + key.second + " vmap @",
                   MapName(itf, d, map));
    for (const auto& [handle, filter] : itf.filters) {
        const Placement& p = filter.placement;
        if (filter.direction == d && p.kind == Placement::kRule && p.transport == transport &&
            p.group.empty())
            RuleLine(text, chain, p.match, RuleVerdict(itf, d, filter));
    }
}

void KernelRuleset::GroupsText(const Interface& itf, int d, std::string& text) const {
    const Direction& dir = itf.directions[d];
    // Every group's rules in one pass over the filters, in handle order.
    std::map<std::string, std::string> rules;  // chain: its rules
    for (const auto& [handle, filter] : itf.filters) {
        const Placement& p = filter.placement;
        if (filter.direction != d || p.kind != Placement::kRule || p.group.empty()) continue;
        const std::string chain =
            GroupChain(MapName(itf, d, dir.maps.at({p.transport, p.group})), p.groupKey);
        RuleLine(rules[chain], chain, p.match, RuleVerdict(itf, d, filter));
    }
    for (const auto& [key, map] : dir.maps) {
        const std::string name = MapName(itf, d, map);
        Append(text, "add map" + Table() + name + " { type ipv4_addr : verdict; }");
        for (const auto& [network, count] : map.keys) {
            const std::string chain = GroupChain(name, network);
            Append(text, "add chain" + Table() + chain);
            text += rules[chain];
            Append(text,
                   "add element" + Table() + name + " { " + network + " : jump " + chain + " }");
        }
    }
}

void KernelRuleset::GroupRulesText(const Interface& itf, int d, const Placement& p,
                                   const std::string& chain, std::string& text) const {
    for (const auto& [handle, filter] : itf.filters) {
        const Placement& q = filter.placement;
        if (filter.direction == d && q.kind == Placement::kRule && q.transport == p.transport &&
            q.group == p.group && q.groupKey == p.groupKey)
            RuleLine(text, chain, q.match, RuleVerdict(itf, d, filter));
    }
}

void KernelRuleset::InterfaceText(const Interface& itf, std::string& text) const {
    const std::string n = Name(itf);
    // The counters first: the rules below name them.
    for (const std::string& counter : OwnCounters(itf)) AddCounter(counter, text);
    for (int d = 0; d < 2; ++d) {
        const std::string c = n + "_" + kDirectionNames[d];
        Append(text, "add chain" + Table() + c);
        Append(text, "add chain" + Table() + c + "_a");
        Append(text, "add chain" + Table() + c + "_t");
        for (const auto& [match, shape] : itf.directions[d].shapes) {
            const std::string set = c + "_s" + std::to_string(shape.number);
            Append(text, SetDeclaration(set, shape.type));
            if (shape.elements.empty()) continue;
            std::string elements;
            for (const auto& [key, element] : shape.elements)
                elements += (elements.empty() ? "" : ", ") + key;
            Append(text, "add element" + Table() + set + " { " + elements + " }");
        }
        GroupsText(itf, d, text);
        FilterChainText(itf, d, false, text);
        FilterChainText(itf, d, true, text);
        Append(text, "add rule" + Table() + c + " jump " + c + "_a");
        // A packet without its transport header cannot match a filter that reads one: a later
        // fragment, whose data the kernel would read as if it were the header, and a first
        // fragment too short to hold it.
        Append(text, "add rule" + Table() + c + " ip frag-off & 0x1fff != 0 ",
               DefaultVerdict(itf, d));
        Append(text,
               "add rule" + Table() + c +
                   " ip frag-off & 0x3fff == 0x2000 ip protocol . ip hdrlength . ip "
                   "length @frag_short ",
               DefaultVerdict(itf, d));
        Append(text, "add rule" + Table() + c + " jump " + c + "_t");
        Append(text, "add rule" + Table() + c + " ", DefaultVerdict(itf, d));
    }
    const std::string frag = n + "_frag";
    const std::string v = Count(frag) + DropVerdict(itf, PFFT_FRAG);
    Append(text, "add chain" + Table() + frag);
    // The stateless signs of a bad fragment, each a rule of its own. A non-last fragment's data
    // is a multiple of 8 bytes when the total length agrees, modulo 8, with 4 * header length
    // (4 or 0). Offsets from 65,520 bytes end beyond 65,535 whatever the length; other ends
    // beyond it are left to the reassembly, which drops the datagram.
    static constexpr const char* kChecks[] = {
        "ip frag-off & 0x2000 != 0 ip hdrlength & 1 == 1 ip length & 7 != 4",
        "ip frag-off & 0x2000 != 0 ip hdrlength & 1 == 0 ip length & 7 != 0",
        "ip frag-off & 0x2000 != 0 ip hdrlength . ip length @frag_empty",
        "ip frag-off & 0x3fff == 0x2000 ip protocol . ip hdrlength . ip length @frag_short",
        "ip protocol 6 ip frag-off & 0x1fff == 1",
        "ip frag-off & 0x1fff > 8189",
    };
    for (const char* check : kChecks)
        Append(text, "add rule" + Table() + frag + " " + check + " ", v);
}

void KernelRuleset::DispatchText(const Interface& itf, bool add, std::string& text) const {
    const std::string verb = add ? "add element" : "delete element";
    const std::string a = Dotted(itf.address);
    const std::string n = Name(itf);
    const char* inMap = itf.Has(GF_FRAGCACHE) ? "inmap" : "premap";
    Append(text, verb + Table() + inMap + " { " + a + (add ? " : jump " + n + "_in" : "") + " }");
    Append(text, verb + Table() + "outmap { " + a + (add ? " : jump " + n + "_out" : "") + " }");
    if (itf.Has(GF_FRAGMENTS))
        Append(text,
               verb + Table() + "fragmap { " + a + (add ? " : jump " + n + "_frag" : "") + " }");
}

std::string KernelRuleset::SpoofRules(std::uint32_t device) const {
    if (device == 0) return {};
    // Packets for an address bound on the device are its interfaces' to decide; any other
    // destination is a spoof. The first interface that asks for the check names the frames.
    std::string addresses, verdict;
    for (const auto& [h, itf] : interfaces_) {
        if (!itf->bound || itf->device != device) continue;
        addresses += (addresses.empty() ? "" : ", ") + Dotted(itf->address);
        if (verdict.empty() && itf->Has(GF_STRONGHOST))
            verdict = Count(Name(*itf) + "_spoof") + DropVerdict(*itf, PFFT_SPOOF);
    }
    if (verdict.empty()) return {};
    return "ip daddr { " + addresses + " } return\n" + verdict + "\n";
}

void KernelRuleset::SpoofChainText(std::uint32_t device, const std::string& rules,
                                   std::string& text) const {
    const std::string chain = "d" + std::to_string(device) + "_spoof";
    for (std::size_t at = 0, end; (end = rules.find('\n', at)) != std::string::npos; at = end + 1)
        Append(text, "add rule" + Table() + chain + " ", rules.substr(at, end - at));
}

void KernelRuleset::SyncSpoof(std::uint32_t device, std::string& text, Journal& journal) {
    if (device == 0) return;
    const std::string want = SpoofRules(device);
    auto it = spoofWritten_.find(device);
    const std::string have = it == spoofWritten_.end() ? "" : it->second;
    if (want == have) return;
    const std::string chain = "d" + std::to_string(device) + "_spoof";
    const std::string index = std::to_string(device);
    if (have.empty()) {
        Append(text, "add chain" + Table() + chain);
        SpoofChainText(device, want, text);
        Append(text, "add element" + Table() + "spoofmap { " + index + " : jump " + chain + " }");
    } else if (want.empty()) {
        Append(text, "delete element" + Table() + "spoofmap { " + index + " }");
        Append(text, "flush chain" + Table() + chain);
        Append(text, "delete chain" + Table() + chain);
    } else {
        Append(text, "flush chain" + Table() + chain);
        SpoofChainText(device, want, text);
    }
    journal.Add([this, device, have] {
        if (have.empty())
            spoofWritten_.erase(device);
        else
            spoofWritten_[device] = have;
    });
    if (want.empty())
        spoofWritten_.erase(device);
    else
        spoofWritten_[device] = want;
}

void KernelRuleset::CreateInterface(const InterfaceRecord& record, Journal& journal) {
    auto itf = std::make_unique<Interface>();
    static_cast<InterfaceRecord&>(*itf) = record;  // a new one: not bound, no global filters
    const INTERFACE_HANDLE h = record.handle;
    interfaces_[h] = std::move(itf);
    journal.Add([this, h] { interfaces_.erase(h); });
}

void KernelRuleset::DeleteInterface(INTERFACE_HANDLE h, std::string& text, Journal& journal) {
    auto it = interfaces_.find(h);
    if (it == interfaces_.end()) return;
    if (it->second->bound) Unbind(h, text, journal);
    auto kept = std::make_shared<std::unique_ptr<Interface>>(std::move(it->second));
    interfaces_.erase(it);
    journal.Add([this, h, kept] { interfaces_[h] = std::move(*kept); });
}

void KernelRuleset::Bind(const InterfaceRecord& record, std::uint32_t device, std::string& text,
                         Journal& journal) {
    Interface& itf = *interfaces_.at(record.handle);
    itf.bound = true;
    itf.address = record.address;
    itf.device = device;
    journal.Add([&itf] {
        itf.bound = false;
        itf.address = 0;
        itf.device = 0;
    });
    InterfaceText(itf, text);
    DispatchText(itf, true, text);
    SyncSpoof(device, text, journal);
}

void KernelRuleset::Unbind(INTERFACE_HANDLE h, std::string& text, Journal& journal) {
    Interface& itf = *interfaces_.at(h);
    if (!itf.bound) return;
    DispatchText(itf, false, text);
    const std::uint32_t address = itf.address, device = itf.device;
    itf.bound = false;
    itf.address = 0;
    itf.device = 0;
    journal.Add([&itf, address, device] {
        itf.bound = true;
        itf.address = address;
        itf.device = device;
    });
    SyncSpoof(device, text, journal);
    // Jumps first, so that no chain is deleted while another still refers to it: the rules,
    // then the maps, whose keys jump to the groups' chains.
    const std::string n = Name(itf);
    std::vector<std::string> chains = {n + "_in",    n + "_out",   n + "_in_a", n + "_in_t",
                                       n + "_out_a", n + "_out_t", n + "_frag"};
    std::vector<std::string> maps;
    for (int d = 0; d < 2; ++d)
        for (const auto& [key, map] : itf.directions[d].maps) {
            maps.push_back(MapName(itf, d, map));
            for (const auto& [network, count] : map.keys)
                chains.push_back(GroupChain(maps.back(), network));
        }
    for (const auto& c : chains) Append(text, "flush chain" + Table() + c);
    for (const auto& m : maps) Append(text, "delete map" + Table() + m);
    for (const auto& c : chains) Append(text, "delete chain" + Table() + c);
    for (int d = 0; d < 2; ++d)
        for (const auto& [match, shape] : itf.directions[d].shapes)
            Append(text, "delete set" + Table() + n + "_" + kDirectionNames[d] + "_s" +
                             std::to_string(shape.number));
    // Nothing names the counters any more: they go, and the interface's counts with them.
    for (const std::string& counter : OwnCounters(itf)) DeleteCounter(counter, text);
}

void KernelRuleset::AddFilter(INTERFACE_HANDLE h, PacketDirection direction, FILTER_HANDLE f,
                              const Rule& rule, std::string& text, Journal& journal) {
    Interface& itf = *interfaces_.at(h);
    const int d = static_cast<int>(direction);
    Filter filter{static_cast<std::uint8_t>(d), PlaceFilter(rule, direction), rule.ruleNumber, {}};
    const Placement& p = filter.placement;
    const std::string c = Name(itf) + "_" + kDirectionNames[d];
    const std::string chain = c + (p.transport ? "_t" : "_a");
    if (p.kind == Placement::kElement) {
        Direction& dir = itf.directions[d];
        auto shapeIt = dir.shapes.find(p.shape);
        if (shapeIt == dir.shapes.end()) {
            Shape s{p.shape, p.setType, p.transport, dir.nextShape++, {}};
            shapeIt = dir.shapes.emplace(p.shape, std::move(s)).first;
            const std::string set = c + "_s" + std::to_string(shapeIt->second.number);
            if (itf.bound) {
                Append(text, SetDeclaration(set, p.setType));
                Append(text, "add rule" + Table() + chain + " " + p.shape + " @" + set + " ",
                       FilterVerdict(itf, d, 0));
            }
            journal.Add([&dir, key = p.shape] {
                dir.shapes.erase(key);
                --dir.nextShape;
            });
        }
        Shape& shape = shapeIt->second;
        if (shape.elements[p.element].filters++ == 0 && itf.bound)
            Append(text, "add element" + Table() + c + "_s" + std::to_string(shape.number) + " { " +
                             p.element + " }");
        journal.Add([&shape, key = p.element] {
            if (--shape.elements[key].filters == 0) shape.elements.erase(key);
        });
    } else if (p.kind == Placement::kRule && !p.group.empty()) {
        Direction& dir = itf.directions[d];
        auto mapIt = dir.maps.find({p.transport, p.group});
        if (mapIt == dir.maps.end()) {
            mapIt = dir.maps
                        .emplace(std::pair{p.transport, p.group},
                                 GroupMap{p.transport, dir.nextMap++, {}})
                        .first;
            if (itf.bound) {
                const std::string name = MapName(itf, d, mapIt->second);
                Append(text, "add map" + Table() + name + " { type ipv4_addr : verdict; }");
                Append(text, "add rule" + Table() + chain + " " + p.group + " vmap @", name);
            }
            journal.Add([&dir, key = mapIt->first] {
                dir.maps.erase(key);
                --dir.nextMap;
            });
        }
        GroupMap& map = mapIt->second;
        const bool first = map.keys[p.groupKey]++ == 0;
        filter.counter = Name(itf) + "_f" + std::to_string(f);
        if (itf.bound) {
            const std::string name = MapName(itf, d, map), group = GroupChain(name, p.groupKey);
            if (first) Append(text, "add chain" + Table() + group);
            RuleLine(text, group, p.match, RuleVerdict(itf, d, filter));
            if (first)
                Append(text, "add element" + Table() + name + " { " + p.groupKey + " : jump " +
                                 group + " }");
        }
        journal.Add([&map, key = p.groupKey] {
            if (--map.keys[key] == 0) map.keys.erase(key);
        });
    } else if (p.kind == Placement::kRule) {
        filter.counter = Name(itf) + "_f" + std::to_string(f);
        if (itf.bound) {
            RuleLine(text, chain, p.match, RuleVerdict(itf, d, filter));
        }
    }
    itf.filters.emplace(f, std::move(filter));
    journal.Add([&itf, f] { itf.filters.erase(f); });
}

bool KernelRuleset::RemovesRules(INTERFACE_HANDLE h, std::span<const FILTER_HANDLE> filters) const {
    auto it = interfaces_.find(h);
    if (!counters_ || it == interfaces_.end() || !it->second->bound) return false;
    for (FILTER_HANDLE f : filters) {
        auto filter = it->second->filters.find(f);
        if (filter != it->second->filters.end() &&
            filter->second.placement.kind == Placement::kRule)
            return true;
    }
    return false;
}

void KernelRuleset::RemoveFilters(INTERFACE_HANDLE h, std::span<const FILTER_HANDLE> filters,
                                  std::string& text, Journal& journal,
                                  const std::map<std::string, std::uint64_t>* handles) {
    Interface& itf = *interfaces_.at(h);
    bool rewrite[2][2] = {};  // [direction][transport]: a chain that loses a rule
    // The rules that go, by chain and handle, where the kernel's handles are known: deleted
    // one by one, so that the rules beside them keep their counts.
    std::vector<std::pair<std::string, std::uint64_t>> byHandle;
    bool allKnown = handles != nullptr;
    std::map<std::string, std::pair<int, Placement>> regroup;  // a group's chain that loses one
    for (FILTER_HANDLE f : filters) {
        auto it = itf.filters.find(f);
        if (it == itf.filters.end()) continue;  // named twice in the list
        const Filter filter = it->second;
        const Placement& p = filter.placement;
        const int d = filter.direction;
        if (p.kind == Placement::kElement) {
            Shape& shape = itf.directions[d].shapes.at(p.shape);
            Element& element = shape.elements.at(p.element);
            const Element before = element;
            if (--element.filters == 0) {
                shape.elements.erase(p.element);
                if (itf.bound) {
                    Append(text, "delete element" + Table() + Name(itf) + "_" + kDirectionNames[d] +
                                     "_s" + std::to_string(shape.number) + " { " + p.element +
                                     " }");
                }
            }
            journal.Add([&shape, key = p.element, before] { shape.elements[key] = before; });
        } else if (p.kind == Placement::kRule && !p.group.empty()) {
            GroupMap& map = itf.directions[d].maps.at({p.transport, p.group});
            if (--map.keys[p.groupKey] == 0) map.keys.erase(p.groupKey);
            journal.Add([&map, key = p.groupKey] { ++map.keys[key]; });
            regroup.emplace(GroupChain(MapName(itf, d, map), p.groupKey), std::pair{d, p});
        } else if (p.kind == Placement::kRule) {
            rewrite[d][p.transport] = true;
        }
        if (p.kind == Placement::kRule && allKnown) {
            auto known = handles->find(filter.counter);
            allKnown = known != handles->end();
            if (allKnown) {
                const std::string chain =
                    p.group.empty()
                        ? Name(itf) + "_" + kDirectionNames[d] + (p.transport ? "_t" : "_a")
                        : GroupChain(
                              MapName(itf, d, itf.directions[d].maps.at({p.transport, p.group})),
                              p.groupKey);
                byHandle.emplace_back(chain, known->second);
            }
        }
        itf.filters.erase(it);
        journal.Add([&itf, f, filter] { itf.filters.emplace(f, filter); });
    }
    if (!itf.bound) return;
    if (allKnown) {
        // Each rule by its handle; a group left without rules goes with its key and chain.
        std::set<std::string> emptied;
        for (const auto& [chain, at] : regroup) {
            const auto& [d, p] = at;
            const GroupMap& map = itf.directions[d].maps.at({p.transport, p.group});
            if (map.keys.count(p.groupKey)) continue;
            emptied.insert(chain);
            Append(text,
                   "delete element" + Table() + MapName(itf, d, map) + " { " + p.groupKey + " }");
        }
        for (const auto& [chain, handle] : byHandle)
            if (!emptied.count(chain))
                Append(text, "delete rule" + Table() + chain + " handle " + std::to_string(handle));
        for (const std::string& chain : emptied) {
            Append(text, "flush chain" + Table() + chain);
            Append(text, "delete chain" + Table() + chain);
        }
        return;
    }
    // Without the handles the chain is written again without them, in the same transaction, so
    // no packet sees it half done (the counts of the rules written again start from zero). A
    // group left without rules goes with its key.
    for (const auto& [chain, at] : regroup) {
        const auto& [d, p] = at;
        const GroupMap& map = itf.directions[d].maps.at({p.transport, p.group});
        Append(text, "flush chain" + Table() + chain);
        if (map.keys.count(p.groupKey)) {
            GroupRulesText(itf, d, p, chain, text);
            continue;
        }
        Append(text, "delete element" + Table() + MapName(itf, d, map) + " { " + p.groupKey + " }");
        Append(text, "delete chain" + Table() + chain);
    }
    for (int d = 0; d < 2; ++d)
        for (int t = 0; t < 2; ++t) {
            if (!rewrite[d][t]) continue;
            Append(text, "flush chain" + Table() + Name(itf) + "_" + kDirectionNames[d] +
                             (t ? "_t" : "_a"));
            FilterChainText(itf, d, t != 0, text);
        }
}

void KernelRuleset::SetGlobals(const InterfaceRecord& record, std::string& text, Journal& journal) {
    Interface& itf = *interfaces_.at(record.handle);
    const DWORD before = itf.globals;
    const DWORD after = record.globals;
    if (before == after) return;
    if (itf.bound) DispatchText(itf, false, text);
    itf.globals = after;
    journal.Add([&itf, before] { itf.globals = before; });
    if (!itf.bound) return;
    DispatchText(itf, true, text);
    SyncSpoof(itf.device, text, journal);
}

std::string KernelRuleset::InputAtPreroutingText(INTERFACE_HANDLE h, bool add) const {
    const auto it = interfaces_.find(h);
    if (it == interfaces_.end() || !it->second->bound || !it->second->Has(GF_FRAGCACHE)) return {};
    const Interface& itf = *it->second;
    std::string text;
    Append(text, (add ? "add element" : "delete element") + Table() + "premap { " +
                     Dotted(itf.address) + (add ? " : jump " + Name(itf) + "_in" : "") + " }");
    return text;
}

std::string KernelRuleset::WholeTable() const {
    std::string text;
    const std::string t = Table();
    // Creating it first makes the delete succeed whether or not an earlier table is there.
    Append(text, "add table" + t);
    Append(text, "delete table" + t);
    Append(text, "add table" + t);

    std::string shortFirst, empty;
    for (std::uint8_t h = kFirstHeaderLength; h <= kLastHeaderLength; ++h) {
        const std::uint32_t header = h * 4u;
        for (auto [protocol, size] :
             {std::pair{kProtoTcp, 20u}, std::pair{kProtoUdp, 8u}, std::pair{kProtoIcmp, 8u}})
            shortFirst += (shortFirst.empty() ? "" : ", ") + std::to_string(protocol) + " . " +
                          std::to_string(h) + " . " + Range(header, header + size - 1);
        empty += (empty.empty() ? "" : ", ") + std::to_string(h) + " . " + std::to_string(header);
    }
    Append(text, "add set" + t +
                     "frag_short { typeof ip protocol . ip hdrlength . ip length; flags interval; "
                     "elements = { " +
                     shortFirst + " } }");
    Append(text, "add set" + t + "frag_empty { typeof ip hdrlength . ip length; elements = { " +
                     empty + " } }");
    for (const char* map : {"premap", "inmap", "outmap", "fragmap"})
        Append(text, "add map" + t + map + " { type ipv4_addr : verdict; }");
    Append(text, "add map" + t + "spoofmap { type iface_index : verdict; }");

    for (const auto& [h, itf] : interfaces_)
        if (itf->bound) InterfaceText(*itf, text);
    for (const auto& [device, rules] : spoofWritten_) {
        const std::string chain = "d" + std::to_string(device) + "_spoof";
        Append(text, "add chain" + t + chain);
        SpoofChainText(device, rules, text);
        Append(text, "add element" + t + "spoofmap { " + std::to_string(device) + " : jump " +
                         chain + " }");
    }
    for (const auto& [h, itf] : interfaces_)
        if (itf->bound) DispatchText(*itf, true, text);

    // The anti-lockout rules (platform/pf.h says what they let through, and why so little).
    // Connection tracking knows a connection only from priority -200 on, and a destination NAT
    // rewrites it at -100: pre (-450) leaves an unfragmented TCP packet to sshd's port on one of
    // the host's own addresses to antilockout_pre (-150), which accepts it when it belongs to
    // an established session into this host and otherwise makes the checks pre skipped, in
    // their order. So a connection that a NAT sends elsewhere, and anything forwarded, meets the
    // filters. Fragments are left to pre: their datagram comes back whole to antilockout_pre.
    const bool antiLockout = !antiLockoutPorts_.empty();
    if (antiLockout) {
        std::string ports;
        for (std::uint16_t port : antiLockoutPorts_)
            ports += (ports.empty() ? "" : ", ") + std::to_string(port);
        Append(text, "add set" + t + "antilockout_ports { type inet_service; elements = { " +
                         ports + " } }");
        // A session into the host, not one it opened from sshd's port. The host's own are the
        // marked ones: a SYN it sends from sshd's port labels its connection. Every other
        // established connection on the port is a session, whichever way round tracking knows
        // it: the peer opened it, or tracking first saw the host answer on it (taken up,
        // below), perhaps in the moment between tracking coming on and the rules taking effect,
        // which one transaction cannot close.
        const std::string session = "ct state established ct status & dnat == 0 ";
        const std::string opened = std::string("ct label ") + kOpenedLabel + " return";
        Append(text, "add chain" + t + "antilockout_session");
        Append(text,
               "add rule" + t + "antilockout_session " + session + "ct direction original accept");
        Append(text, "add rule" + t + "antilockout_session " + opened);
        Append(text, "add rule" + t + "antilockout_session " + session + "accept");
        Append(text, "add chain" + t + "antilockout_in");
        Append(text, "add rule" + t + "antilockout_in jump antilockout_session");
        Append(text, "add rule" + t + "antilockout_in iif vmap @spoofmap");
        Append(text, "add rule" + t + "antilockout_in ip daddr vmap @premap");
        Append(text, "add chain" + t +
                         "antilockout_pre { type filter hook prerouting priority -150; policy "
                         "accept; }");
        Append(text, "add rule" + t + "antilockout_pre " + kToSshd + " jump antilockout_in");
        // What the host sends from sshd's port: the replies of a session into it, and on a
        // session it has not seen yet (opened while no table was in force) a segment without
        // SYN, which takes that session up. A SYN is a connection the host opens: labelled, and
        // the filters'.
        Append(text, "add chain" + t + "antilockout_out");
        Append(text, "add rule" + t + "antilockout_out " + session + "ct direction reply accept");
        Append(text, "add rule" + t + "antilockout_out " + opened);
        Append(text, "add rule" + t + "antilockout_out " + session + "accept");
        Append(text, "add rule" + t + "antilockout_out ct state new " + std::string(kNoSyn) +
                         " accept");
        Append(text,
               "add rule" + t + "antilockout_out ct state new ct label set " + kOpenedLabel);
    }

    Append(text,
           "add chain" + t + "pre { type filter hook prerouting priority -450; policy accept; }");
    Append(text, "add rule" + t + "pre iif \"lo\" accept");
    if (antiLockout)
        Append(text, "add rule" + t + "pre ip frag-off & 0x3fff == 0 " + kToSshd + " accept");
    Append(text, "add rule" + t + "pre iif vmap @spoofmap");
    Append(text, "add rule" + t + "pre ip frag-off & 0x3fff != 0 ip daddr vmap @fragmap");
    Append(text, "add rule" + t + "pre ip daddr vmap @premap");
    Append(text,
           "add chain" + t + "input { type filter hook input priority filter; policy accept; }");
    Append(text, "add rule" + t + "input iif \"lo\" accept");
    // The sessions that antilockout_pre let through, ahead of the interfaces decided here (the
    // fragment cache's); a new connection meets them.
    if (antiLockout)
        Append(text,
               "add rule" + t + "input tcp dport @antilockout_ports jump antilockout_session");
    Append(text, "add rule" + t + "input ip daddr vmap @inmap");
    Append(text,
           "add chain" + t + "output { type filter hook output priority filter; policy accept; }");
    Append(text, "add rule" + t + "output oif \"lo\" accept");
    if (antiLockout)
        Append(text, "add rule" + t + "output tcp sport @antilockout_ports jump antilockout_out");
    Append(text, "add rule" + t + "output ip saddr vmap @outmap");
    return text;
}

std::string KernelRuleset::RemoveTable() {
    std::string text;
    Append(text, "add table" + Table());
    Append(text, "delete table" + Table());
    return text;
}

}  // namespace platform::pf
