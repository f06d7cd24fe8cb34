#include "console/cli/lockout.h"

#include <algorithm>
#include <set>

#include "platform/names.h"
#include "platform/pf.h"
#include "shared/packet_builder.h"
#include "shared/text.h"

namespace zantor::console::cli {

namespace {

// A new connection comes from a port its client picks anew; one from the middle of the dynamic
// range stands for it.
constexpr std::uint16_t kClientPort = 50000;

bool SameAddress(std::string_view word, std::string_view address) {
    try {
        return StrToIP(word) == StrToIP(address);
    } catch (const ConvertError&) {
        return false;  // the service ends the connection on such a line, and changes nothing
    }
}

// Word n as the service converts it; -1 when it does not.
std::int64_t Number(std::string_view line, int n) {
    try {
        return StrToNonNegative(GetWord(line, n));
    } catch (const ConvertError&) {
        return -1;
    }
}

}  // namespace

std::optional<IPAddr> SessionIPv4(std::string_view text) {
    if (platform::StartsWithNoCase(text, "::ffff:")) text.remove_prefix(7);
    try {
        return StrToIP(text);
    } catch (const ConvertError&) {
        return std::nullopt;
    }
}

void ApplyLine(AddressFiltering& state, std::string_view line) {
    const std::string_view code = GetWord(line, 1);
    if (!SameAddress(GetWord(line, 2), state.address)) return;
    // The service's handlers, as far as they change what the address decides on input.
    if (code == "staf") {
        const std::int64_t in = Number(line, 3), out = Number(line, 4);
        // The driver takes forward (0) and drop (1) alone.
        if (state.filtering || in < 0 || in > 1 || out < 0 || out > 1) return;
        state.filtering = true;
        state.inDrop = in == 1;
        // The new interface gets the kept filters again, but none of the global filters.
        state.globals = 0;
    } else if (code == "stof") {
        state.filtering = false;
    } else if (code == "df") {
        if (state.filtering) return;
        state.in.clear();
        state.unreadIn = 0;
        state.globals = 0;
    } else if (code == "sif" || code == "rif") {
        if (!state.filtering || GetWord(line, 3) != "in") return;
        if (code == "sif") {
            FilterRecord filter;
            try {
                filter = ParseFilterWords(line, 4);
            } catch (const ConvertError&) {
                return;
            }
            const bool known = std::any_of(state.in.begin(), state.in.end(),
                                           [&](const auto& f) { return SameFilter(filter, f); });
            if (!known) state.in.push_back(filter);
            return;
        }
        // The filters that could not be read are the oldest: they come first in the list.
        const std::int64_t position = Number(line, 4);
        if (position < 0) return;
        const auto at = static_cast<std::size_t>(position);
        if (at < state.unreadIn)
            --state.unreadIn;
        else if (at - state.unreadIn < state.in.size())
            state.in.erase(state.in.begin() + static_cast<std::ptrdiff_t>(at - state.unreadIn));
    } else if (code == "sig" || code == "rig") {
        const std::int64_t number = Number(line, 3);
        if (!state.filtering || (number != 2 && number != 8 && number != 9)) return;
        const std::uint32_t bit = 1u << number;
        state.globals = code == "sig" ? state.globals | bit : state.globals & ~bit;
    }
}

namespace {

platform::PacketFilterDriver::Options QuietDriver() {
    platform::PacketFilterDriver::Options options;
    options.logTimerThread = false;
    return options;
}

// The input filtering of an address, for deciding new connections into it.
class InputFiltering {
  public:
    explicit InputFiltering(const AddressFiltering& state)
        : state_(state), engine_(InputOnly(state)) {}

    SshVerdict NewConnection(IPAddr client, IPAddr server, int port) {
        // Each address has filtering of its own: the session's is decided by its address alone.
        if (!engine_.filtering() || server != *engine_.bound() || port < 1 || port > 65535)
            return SshVerdict::kLetIn;
        PacketFields syn;
        syn.protocol = kProtocolTcp;
        syn.src = client;
        syn.dst = server;
        syn.srcPort = kClientPort;
        syn.dstPort = static_cast<std::uint16_t>(port);
        syn.tcpFlags = kTcpSyn;
        const platform::PFFORWARD_ACTION action =
            engine_.Decide(platform::PacketDirection::kInput, server, BuildPacket(syn));
        const platform::PFFORWARD_ACTION inAction =
            state_.inDrop ? platform::PF_ACTION_DROP : platform::PF_ACTION_FORWARD;
        // A filter that matched decided against the default; otherwise one that could not be
        // read might have.
        if (state_.unreadIn > 0 && action == inAction) return SshVerdict::kMayBeDropped;
        return action == platform::PF_ACTION_DROP ? SshVerdict::kDropped : SshVerdict::kLetIn;
    }

    std::optional<IPAddr> bound() const { return engine_.bound(); }

  private:
    // What a new connection in meets: the output side does not take part.
    static AddressFiltering InputOnly(AddressFiltering state) {
        state.outDrop = false;
        state.out.clear();
        return state;
    }

    const AddressFiltering& state_;
    AddressEngine engine_;
};

}  // namespace

AddressEngine::AddressEngine(const AddressFiltering& state) : driver_(QuietDriver()) {
    try {
        bound_ = StrToIP(state.address);
    } catch (const ConvertError&) {
        return;
    }
    if (!state.filtering) return;
    const auto action = [](bool drop) {
        return drop ? platform::PF_ACTION_DROP : platform::PF_ACTION_FORWARD;
    };
    if (driver_.CreateInterface(0, action(state.inDrop), action(state.outDrop), false, true,
                                &handle_) != platform::kErrorSuccess ||
        driver_.BindInterfaceToIPAddress(handle_, platform::PF_IPV4,
                                         reinterpret_cast<const std::uint8_t*>(&*bound_)) !=
            platform::kErrorSuccess)
        return;
    // In list order, input filters first, as the service adds them.
    for (int d = 0; d < 2; ++d) {
        const std::vector<FilterRecord>& list = d == 0 ? state.in : state.out;
        for (std::size_t row = 0; row < list.size(); ++row) {
            FilterRecord filter = list[row];
            const platform::PF_FILTER_DESCRIPTOR descriptor = filter.Descriptor();
            platform::FILTER_HANDLE added = 0;
            const platform::DWORD r =
                d == 0 ? driver_.AddFiltersToInterface(handle_, 1, &descriptor, 0, nullptr, &added)
                       : driver_.AddFiltersToInterface(handle_, 0, nullptr, 1, &descriptor, &added);
            // A filter the driver refuses is one the service could not have added either.
            if (r == platform::kErrorSuccess) rows_[d].push_back(row);
        }
    }
    for (const platform::GLOBAL_FILTER g :
         {platform::GF_FRAGMENTS, platform::GF_STRONGHOST, platform::GF_FRAGCACHE})
        if (state.globals & (1u << g)) driver_.AddGlobalFilterToInterface(handle_, g);
    filtering_ = true;
}

platform::PFFORWARD_ACTION AddressEngine::Decide(platform::PacketDirection direction, IPAddr local,
                                                 std::span<const std::uint8_t> packet) {
    return driver_.DecidePacket(direction, local, packet);
}

AddressEngine::Drop AddressEngine::Explain(platform::PacketDirection direction, IPAddr local,
                                           std::span<const std::uint8_t> packet) {
    using By = Drop::By;
    Drop drop;
    drop.direction = direction == platform::PacketDirection::kInput ? 0 : 1;
    // The counts the decision adds to say what made it: the engine counts every packet where it
    // decides it.
    platform::pf::InterfaceStatistics before, after;
    const bool counted = filtering_ && driver_.ReadStatistics(handle_, &before);
    if (Decide(direction, local, packet) != platform::PF_ACTION_DROP) return drop;
    drop.by = By::kUnknown;
    if (!counted || !driver_.ReadStatistics(handle_, &after)) return drop;
    if (after.fragments > before.fragments) {
        drop.by = By::kFragments;
    } else if (after.spoofs > before.spoofs) {
        drop.by = By::kStrongHost;
    } else if (drop.direction == 0 ? after.inDrops > before.inDrops
                                   : after.outDrops > before.outDrops) {
        drop.by = By::kDefault;
    } else {
        for (std::size_t i = 0; i < after.filters.size() && i < before.filters.size(); ++i) {
            if (after.filters[i].packets == before.filters[i].packets) continue;
            const int d = i < after.inFilters ? 0 : 1;
            const std::size_t k = d == 0 ? i : i - after.inFilters;
            if (k >= rows_[d].size()) break;
            drop.by = By::kFilter;
            drop.direction = d;
            drop.row = rows_[d][k];
            break;
        }
    }
    return drop;
}

namespace {

// An address with its first dotted octet in the highest bits, so that a network's bits come
// first.
std::uint32_t Ordered(IPAddr address) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&address);
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

IPAddr FromOrdered(std::uint32_t value) {
    return MakeIP(static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                  static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value));
}

struct SourceMatch {
    std::uint32_t value, mask;
};

// Bit by bit from the highest, the clients whose bits so far are `chosen`: where a filter still
// in play looks at the bit, both values are followed (each leaves out the filters it fails);
// where none does, the bit is 0. A group ends where no filter in play looks at lower bits.
bool Split(const std::vector<SourceMatch>& matches, const std::vector<std::size_t>& inPlay, int bit,
           std::uint32_t chosen, std::vector<IPAddr>& clients, std::size_t limit) {
    // Bit -1 is past the lowest: nothing lies below it (and a shift by it would be undefined).
    const std::uint64_t below = bit >= 0 ? (std::uint64_t{2} << bit) - 1 : 0;
    const bool more = std::any_of(inPlay.begin(), inPlay.end(),
                                  [&](std::size_t i) { return (matches[i].mask & below) != 0; });
    if (!more) {
        clients.push_back(FromOrdered(chosen));
        return clients.size() <= limit;
    }
    const std::uint32_t b = std::uint32_t{1} << bit;
    bool wanted[2] = {false, false};
    for (std::size_t i : inPlay)
        if (matches[i].mask & b) wanted[(matches[i].value & b) != 0] = true;
    if (!wanted[0] && !wanted[1]) return Split(matches, inPlay, bit - 1, chosen, clients, limit);
    for (const std::uint32_t value : {std::uint32_t{0}, b}) {
        std::vector<std::size_t> still;
        for (std::size_t i : inPlay)
            if (!(matches[i].mask & b) || (matches[i].value & b) == value) still.push_back(i);
        if (!Split(matches, still, bit - 1, chosen | value, clients, limit)) return false;
    }
    return true;
}

}  // namespace

SshVerdict NewSshConnection(const platform::SshSessionEnd& end, const AddressFiltering& state) {
    const std::optional<IPAddr> server = SessionIPv4(end.address),
                                client = SessionIPv4(end.clientAddress);
    if (!server || !client) return SshVerdict::kLetIn;
    return InputFiltering(state).NewConnection(*client, *server, end.port);
}

std::optional<std::vector<IPAddr>> ClientsToTry(const std::vector<FilterRecord>& filters,
                                                std::size_t limit) {
    std::vector<SourceMatch> matches;
    for (const FilterRecord& f : filters) {
        const SourceMatch m{Ordered(f.SrcAddr & f.SrcMask), Ordered(f.SrcMask)};
        const bool known = std::any_of(matches.begin(), matches.end(), [&](const SourceMatch& k) {
            return k.value == m.value && k.mask == m.mask;
        });
        if (m.mask != 0 && !known) matches.push_back(m);
    }
    std::vector<std::size_t> all(matches.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    std::vector<IPAddr> clients;
    if (!Split(matches, all, 31, 0, clients, limit)) return std::nullopt;
    // Different ways may end in the same group: one client of each is enough.
    std::set<std::vector<bool>> groups;
    std::vector<IPAddr> one;
    for (const IPAddr client : clients) {
        std::vector<bool> group;
        for (const SourceMatch& m : matches) group.push_back((Ordered(client) & m.mask) == m.value);
        if (groups.insert(group).second) one.push_back(client);
    }
    return one;
}

std::optional<platform::SshSessionEnd> NewlyDroppedSshConnection(const AddressFiltering& before,
                                                                 const AddressFiltering& after,
                                                                 const std::vector<int>& ports,
                                                                 std::optional<IPAddr> client) {
    InputFiltering was(before), is(after);
    if (!is.bound()) return std::nullopt;
    std::optional<std::vector<IPAddr>> clients;
    if (client) {
        clients = std::vector<IPAddr>{*client};
    } else {
        std::vector<FilterRecord> both = before.in;
        both.insert(both.end(), after.in.begin(), after.in.end());
        clients = ClientsToTry(both);
    }
    for (const int port : ports) {
        // Filters too many to tell their clients apart: any change of an address that filters
        // may be the one that drops ours.
        if (!clients) {
            if (after.filtering) return platform::SshSessionEnd{IPToStr(*is.bound()), port, ""};
            continue;
        }
        for (const IPAddr c : *clients)
            if (was.NewConnection(c, *is.bound(), port) == SshVerdict::kLetIn &&
                is.NewConnection(c, *is.bound(), port) != SshVerdict::kLetIn)
                return platform::SshSessionEnd{IPToStr(*is.bound()), port, IPToStr(c)};
    }
    return std::nullopt;
}

}  // namespace zantor::console::cli
