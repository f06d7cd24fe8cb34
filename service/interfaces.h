// The service's record of the computer's IPv4 addresses and their filtering state.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/pf.h"
#include "shared/address.h"
#include "shared/commands.h"
#include "shared/filter_model.h"

namespace zantor::service {

// At most this many addresses are listed; later rows of the address table are left out.
inline constexpr std::size_t kMaxInterfaces = kMaxAddresses;

// One filter the service has added to the platform, with the handle the platform gave it on the
// address's current platform interface.
struct RFilterEntry {
    FilterRecord Filter;
    platform::FILTER_HANDLE FilterHandle = 0;
};

struct RInterface {
    IPAddr Addr = 0;
    bool Active = false;
    IPAddr Mask = 0;
    std::uint32_t IfIndex = 0;
    platform::INTERFACE_HANDLE PfHandle = 0;
    std::vector<RFilterEntry> InFilters;
    std::vector<RFilterEntry> OutFilters;
    std::uint32_t InDefAction = 0;
    std::uint32_t OutDefAction = 0;
    std::bitset<256> GlobalFilters;  // member n is global filter type n
    // When the platform interface was made, in seconds since 1970: its counts start there.
    std::int64_t CountsSince = 0;

    // The set as the greeting and "gig" report it: its lowest 32 bits.
    std::uint32_t GlobalFiltersValue() const {
        return static_cast<std::uint32_t>(
            (GlobalFilters & std::bitset<256>(0xFFFFFFFFu)).to_ulong());
    }
};

// Built once at start-up, in address table order, and never rebuilt. After start-up only the
// control connection thread reads or changes it, so it takes no lock.
extern std::vector<RInterface> InterfaceList;

// Fills InterfaceList from the address table, logging what it did.
void CreateIPList();

// The greeting line of one address: "IP addr mask active ifindex nin nout inact outact gf".
std::string GreetingLine(const RInterface& iface);

// The closing line of the greeting as every service sends it; its third word is the service's
// version.
inline constexpr std::string_view kGreetingEnd = "IP End 0.9";

// The extensions of the protocol this service answers (shared/commands.h), as its greeting names
// them: each one's codes are dispatched (service/connection.cpp).
std::vector<std::string_view> ServiceExtensions();

// The closing line of this service's greeting: kGreetingEnd, then its extensions as one more
// word, separated by commas ("IP End 0.9 confirm,lists,stats"). Clients that know none of it read
// the first three words as they always have.
std::string GreetingEndLine();

}  // namespace zantor::service
