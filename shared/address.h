// IPv4 address values and their dotted text.
//
// An address value is 32 bits whose bytes lie in memory in network order, as the address table
// and the filter descriptors hold them: the first dotted octet is the lowest-addressed byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zantor {

using IPAddr = std::uint32_t;

// Decimal octets without leading zeros, lowest-addressed byte first; 0 gives "0.0.0.0".
std::string IPToStr(IPAddr addr);

// The inverse of IPToStr. Exactly four parts, each a decimal integer in 0..255; anything else
// throws ConvertError.
IPAddr StrToIP(std::string_view text);

// The value whose memory bytes are a, b, c, d.
IPAddr MakeIP(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);

}  // namespace zantor
