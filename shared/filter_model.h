// Filters and their text forms.
//
// A filter travels as its filter text: the thirteen descriptor fields in descriptor order,
// separated by single spaces (flags, rule, address type, source address, source mask,
// destination address, destination mask, protocol, late bound, source port, destination port,
// source high port, destination high port). Note the ports: both low ports come before both high
// ports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/pf.h"
#include "shared/address.h"

namespace zantor {

// One filter with its values held in the record itself. Descriptor() lends the platform's form,
// whose address fields point into this record.
struct FilterRecord {
    std::uint32_t dwFilterFlags = 0;
    std::uint32_t dwRule = 0;
    std::uint32_t pfatType = 0;
    IPAddr SrcAddr = 0;
    IPAddr SrcMask = 0;
    IPAddr DstAddr = 0;
    IPAddr DstMask = 0;
    std::uint32_t dwProtocol = 0;
    std::uint32_t fLateBound = 0;
    std::uint16_t wSrcPort = 0;
    std::uint16_t wDstPort = 0;
    std::uint16_t wSrcPortHighRange = 0;
    std::uint16_t wDstPortHighRange = 0;

    // Valid while this record lives and is not moved.
    platform::PF_FILTER_DESCRIPTOR Descriptor();
    // The record of a descriptor; an address pointer that is null reads as 0.0.0.0.
    static FilterRecord FromDescriptor(const platform::PF_FILTER_DESCRIPTOR& d);

    bool operator==(const FilterRecord&) const = default;
};

// The filter text of a filter.
std::string FilterToStr(const FilterRecord& filter);

// Reads the thirteen fields from words first .. first + 12 of `text`. Fields 1, 2, 3, 8 and 9 are
// integers from 0 to 2,147,483,647, fields 4 to 7 dotted addresses, fields 10 to 13 ports from 0
// to 65535. Throws ConvertError on the first field that does not convert.
FilterRecord ParseFilterWords(std::string_view text, int first);

// Two filters are the same when their address type, addresses and masks, protocol, ports, flags
// and rule are; the late-bound field does not take part.
bool SameFilter(const FilterRecord& a, const FilterRecord& b);

// "ICMP", "TCP", "UDP", or "Unkn [N]": protocol names of the deny log.
std::string ProtocolName(std::uint32_t protocol);

// "Any", "ICMP", "TCP", "UDP", or "Unk": protocol captions of the console's filter list.
std::string ProtocolCaption(std::uint32_t protocol);

// "-" for none, "No SYN", or "Unk".
std::string FlagsCaption(std::uint32_t flags);

// The deny log's text for one frame of the filter log, beginning with a space:
// " TCP 10.0.0.5:1034 -> 10.0.0.1:139 Data: ,4,10,..." or " ICMP -> a -> b Data: ,8,0,...".
// Reads no byte beyond the frame's packet data.
std::string LogFrameToStr(const platform::PFLOGFRAME& frame);

}  // namespace zantor
