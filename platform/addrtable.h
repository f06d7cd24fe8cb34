// The computer's IPv4 address table (GetIpAddrTable).
//
// Rows come from the host's interfaces, or, when the computer root holds a file `ipaddrtable`,
// from that file: one row a line, "ADDRESS MASK INDEX" in dotted and decimal text, '#' starting a
// comment, blank lines ignored. A malformed file is kErrorInvalidData with the line named in
// `*why`, never a silently short table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace platform {

// One row, laid out as MIB_IPADDRROW. Addresses and masks in network byte order.
struct MIB_IPADDRROW {
    std::uint32_t dwAddr;
    std::uint32_t dwIndex;
    std::uint32_t dwMask;
    std::uint32_t dwBCastAddr;
    std::uint32_t dwReasmSize;
    std::uint16_t unused1;
    std::uint16_t wType;
};
static_assert(sizeof(MIB_IPADDRROW) == 24);

// Fills `rows`. A table that would not fit a buffer of `bufferSize` bytes (a 4-byte count and the
// rows) fails with kErrorInsufficientBuffer, as it does on Windows. `order` sorts by address.
Win32Error GetIpAddrTable(std::vector<MIB_IPADDRROW>& rows, std::uint32_t bufferSize, bool order,
                          std::string* why = nullptr);

}  // namespace platform
