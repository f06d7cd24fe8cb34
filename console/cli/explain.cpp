#include "console/cli/explain.h"

#include <charconv>

#include "shared/filter_model.h"
#include "shared/packet_builder.h"
#include "shared/text.h"

namespace zantor::console::cli {

namespace {

bool ReadNumber(std::string_view text, std::uint32_t most, std::uint32_t& value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= most;
}

// "10.0.0.5" or "10.0.0.5:80".
bool ReadEnd(std::string_view word, bool withPort, IPAddr& address, std::uint16_t& port) {
    const std::size_t colon = word.find(':');
    std::uint32_t value = 0;
    if (colon != std::string_view::npos) {
        if (!withPort || !ReadNumber(word.substr(colon + 1), 0xFFFF, value)) return false;
        word = word.substr(0, colon);
    }
    port = static_cast<std::uint16_t>(value);
    try {
        address = StrToIP(word);
    } catch (const ConvertError&) {
        return false;
    }
    return true;
}

constexpr std::string_view kDataMark = " Data: ";

}  // namespace

std::optional<DenyEntry> ParseDenyEntry(std::string_view line) {
    const std::size_t data = line.rfind(kDataMark);
    if (data == std::string_view::npos) return std::nullopt;
    const std::string_view head = line.substr(0, data);
    DenyEntry entry;
    // The words after the time stamp, from the protocol's name on.
    std::vector<std::string_view> words;
    for (std::size_t at = 0; at < head.size();) {
        const std::size_t end = std::min(head.find(' ', at), head.size());
        if (end > at) words.push_back(head.substr(at, end - at));
        at = end + 1;
    }
    std::size_t p = 0;
    while (p < words.size() && words[p] != "TCP" && words[p] != "UDP" && words[p] != "ICMP") ++p;
    if (p == words.size()) return std::nullopt;
    entry.protocol = words[p] == "TCP"   ? kProtocolTcp
                     : words[p] == "UDP" ? kProtocolUdp
                                         : kProtocolIcmp;
    const bool ports = entry.protocol != kProtocolIcmp;
    // TCP and UDP: "SRC[:PORT] -> DST[:PORT]"; ICMP: "-> SRC -> DST".
    const std::size_t src = ports ? p + 1 : p + 2;
    if (words.size() != src + 3 || words[src + 1] != "->" || (!ports && words[p + 1] != "->"))
        return std::nullopt;
    if (!ReadEnd(words[src], ports, entry.src, entry.srcPort) ||
        !ReadEnd(words[src + 2], ports, entry.dst, entry.dstPort))
        return std::nullopt;
    std::string_view bytes = line.substr(data + kDataMark.size());
    while (!bytes.empty() && (bytes.back() == '\r' || bytes.back() == ' ')) bytes.remove_suffix(1);
    // ",4,10,0,139,...": one number a byte, each after its comma.
    for (std::size_t at = 0; at < bytes.size() && entry.data.size() < 21;) {
        if (bytes[at] != ',') return std::nullopt;
        const std::size_t end = std::min(bytes.find(',', at + 1), bytes.size());
        std::uint32_t value = 0;
        if (!ReadNumber(bytes.substr(at + 1, end - at - 1), 255, value)) return std::nullopt;
        entry.data.push_back(static_cast<std::uint8_t>(value));
        at = end;
    }
    return entry;
}

std::vector<std::uint8_t> EntryPacket(const DenyEntry& entry) {
    PacketFields fields;
    fields.protocol = static_cast<std::uint8_t>(entry.protocol);
    fields.src = entry.src;
    fields.dst = entry.dst;
    fields.srcPort = entry.srcPort;
    fields.dstPort = entry.dstPort;
    if (entry.protocol == kProtocolTcp && entry.data.size() > 13) fields.tcpFlags = entry.data[13];
    if (entry.protocol == kProtocolIcmp && entry.data.size() > 1) {
        fields.icmpType = entry.data[0];
        fields.icmpCode = entry.data[1];
    }
    return BuildPacket(fields);
}

DenyExplainer::DenyExplainer(ComputerState state, std::string computer)
    : state_(std::move(state)), computer_(std::move(computer)) {}

const AddressState* DenyExplainer::Find(IPAddr address) const {
    for (const AddressState& a : state_) {
        try {
            if (StrToIP(a.address) == address) return &a;
        } catch (const ConvertError&) {
        }
    }
    return nullptr;
}

AddressEngine& DenyExplainer::Engine(const AddressState& a) {
    std::unique_ptr<AddressEngine>& engine = engines_[a.address];
    if (!engine) {
        AddressFiltering filtering;
        filtering.address = a.address;
        filtering.filtering = a.filtering;
        filtering.inDrop = a.in != 0;
        filtering.outDrop = a.out != 0;
        filtering.in = a.filters[0];
        filtering.out = a.filters[1];
        filtering.globals = a.globals;
        engine = std::make_unique<AddressEngine>(filtering);
    }
    return *engine;
}

std::string DenyExplainer::Dropped(const AddressState& a, const AddressEngine::Drop& drop) const {
    using By = AddressEngine::Drop::By;
    const std::string list = drop.direction == 0 ? "input" : "output";
    switch (drop.by) {
        case By::kNothing:
            return {};
        case By::kFilter:
            return "dropped now by " + list + " filter " + std::to_string(drop.row) + " of " +
                   a.address + ": " +
                   (drop.row < a.filters[drop.direction].size()
                        ? FilterToStr(a.filters[drop.direction][drop.row])
                        : std::string("?"));
        case By::kDefault:
            return "dropped now by the " + list + " default action of " + a.address + " (drop)";
        case By::kFragments:
            return "dropped now by fragment checking (global filter 2) of " + a.address;
        case By::kStrongHost:
            return "dropped now by strong host checking (global filter 8) of " + a.address;
        default:
            return "dropped now by the filtering of " + a.address;
    }
}

std::string DenyExplainer::Explain(const DenyEntry& entry) {
    const std::vector<std::uint8_t> packet = EntryPacket(entry);
    // Entries alike in the packet they stand for are explained alike.
    const std::string key(packet.begin(), packet.end());
    if (const auto found = known_.find(key); found != known_.end()) return found->second;
    constexpr std::size_t kMostKnown = 65536;
    if (known_.size() >= kMostKnown) known_.clear();
    return known_[key] = Decide(entry, packet);
}

std::string DenyExplainer::Decide(const DenyEntry& entry, const std::vector<std::uint8_t>& packet) {
    // The address that received it, then the one that sent it: the entry does not say which.
    struct Way {
        platform::PacketDirection direction;
        const AddressState* address;
    };
    std::vector<Way> ways;
    if (const AddressState* a = Find(entry.dst))
        ways.push_back({platform::PacketDirection::kInput, a});
    if (const AddressState* a = Find(entry.src))
        ways.push_back({platform::PacketDirection::kOutput, a});
    std::string passes;
    for (const Way& way : ways) {
        if (!way.address->filtering) continue;
        AddressEngine& engine = Engine(*way.address);
        const AddressEngine::Drop drop = engine.Explain(way.direction, *engine.bound(), packet);
        if (drop.by != AddressEngine::Drop::By::kNothing) return Dropped(*way.address, drop);
        passes += (passes.empty() ? "" : " and ") + way.address->address;
    }
    if (!passes.empty()) return "passes now: the filtering of " + passes + " lets it through";
    if (!ways.empty()) {
        std::string names;
        for (const Way& way : ways)
            if (names.find(way.address->address) == std::string::npos)
                names += (names.empty() ? "" : " and ") + way.address->address;
        return names + " does not filter any more: nothing drops this packet now";
    }
    // Addressed to none of the computer's addresses: strong host checking drops such input on an
    // address that has it.
    for (const AddressState& a : state_) {
        if (!a.filtering || !(a.globals & (1u << 8))) continue;
        AddressEngine& engine = Engine(a);
        const AddressEngine::Drop drop =
            engine.Explain(platform::PacketDirection::kInput, *engine.bound(), packet);
        if (drop.by == AddressEngine::Drop::By::kStrongHost) return Dropped(a, drop);
    }
    return "neither " + IPToStr(entry.src) + " nor " + IPToStr(entry.dst) + " is an address of " +
           computer_ + " that filters: nothing drops this packet now";
}

}  // namespace zantor::console::cli
