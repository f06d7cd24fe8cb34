#include "console/cli/lockout.h"

#include <algorithm>

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

SshVerdict NewSshConnection(const platform::SshSessionEnd& end, const AddressFiltering& state) {
    const std::optional<IPAddr> server = SessionIPv4(end.address),
                                client = SessionIPv4(end.clientAddress);
    IPAddr bound = 0;
    try {
        bound = StrToIP(state.address);
    } catch (const ConvertError&) {
        return SshVerdict::kLetIn;
    }
    // Each address has filtering of its own: the session's is decided by its address alone.
    if (!state.filtering || !server || !client || *server != bound || end.port < 1 ||
        end.port > 65535)
        return SshVerdict::kLetIn;

    // A driver of our own, with the address as the change leaves it: nothing is logged, nothing
    // runs beside it, and the answer is the one the service's own driver would give.
    platform::PacketFilterDriver::Options options;
    options.logTimerThread = false;
    platform::PacketFilterDriver driver(options);
    const platform::PFFORWARD_ACTION inAction =
        state.inDrop ? platform::PF_ACTION_DROP : platform::PF_ACTION_FORWARD;
    platform::INTERFACE_HANDLE handle = 0;
    if (driver.CreateInterface(0, inAction, platform::PF_ACTION_FORWARD, false, true, &handle) !=
            platform::kErrorSuccess ||
        driver.BindInterfaceToIPAddress(handle, platform::PF_IPV4,
                                        reinterpret_cast<const std::uint8_t*>(&bound)) !=
            platform::kErrorSuccess)
        return SshVerdict::kLetIn;
    for (FilterRecord filter : state.in) {
        // A filter the driver refuses is one the service could not have added either.
        const platform::PF_FILTER_DESCRIPTOR descriptor = filter.Descriptor();
        platform::FILTER_HANDLE added = 0;
        driver.AddFiltersToInterface(handle, 1, &descriptor, 0, nullptr, &added);
    }
    for (const platform::GLOBAL_FILTER g :
         {platform::GF_FRAGMENTS, platform::GF_STRONGHOST, platform::GF_FRAGCACHE})
        if (state.globals & (1u << g)) driver.AddGlobalFilterToInterface(handle, g);

    PacketFields syn;
    syn.protocol = kProtocolTcp;
    syn.src = *client;
    syn.dst = *server;
    syn.srcPort = kClientPort;
    syn.dstPort = static_cast<std::uint16_t>(end.port);
    syn.tcpFlags = kTcpSyn;
    const platform::PFFORWARD_ACTION action =
        driver.DecidePacket(platform::PacketDirection::kInput, *server, BuildPacket(syn));
    // A filter that matched decided against the default; otherwise one that could not be read
    // might have.
    if (state.unreadIn > 0 && action == inAction) return SshVerdict::kMayBeDropped;
    return action == platform::PF_ACTION_DROP ? SshVerdict::kDropped : SshVerdict::kLetIn;
}

}  // namespace zantor::console::cli
