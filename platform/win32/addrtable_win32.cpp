// The address table on Windows is the system's own. A computer root, and with it a file
// `ipaddrtable` standing in for the host's interfaces, exists only on Linux.
#include "platform/addrtable.h"

#include <windows.h>

#include <iphlpapi.h>

#include <vector>

namespace platform {

static_assert(sizeof(::MIB_IPADDRROW) == sizeof(MIB_IPADDRROW));

Win32Error GetIpAddrTable(std::vector<MIB_IPADDRROW>& rows, std::uint32_t bufferSize, bool order,
                          std::string* /*why*/) {
    rows.clear();
    // The table may grow between learning its size and reading it: then the size is learnt
    // again.
    std::vector<std::uint64_t> buffer;  // aligned for the table's fields
    ULONG size = sizeof(::MIB_IPADDRTABLE);
    DWORD e = NO_ERROR;
    for (int attempt = 0; attempt < 8; ++attempt) {
        buffer.assign(size / sizeof(std::uint64_t) + 1, 0);
        size = static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t));
        e = ::GetIpAddrTable(reinterpret_cast<::MIB_IPADDRTABLE*>(buffer.data()), &size,
                             order ? TRUE : FALSE);
        if (e != ERROR_INSUFFICIENT_BUFFER) break;
    }
    if (e != NO_ERROR) return Fail(e);
    const auto* table = reinterpret_cast<const ::MIB_IPADDRTABLE*>(buffer.data());
    // The caller's buffer holds the count and the rows, as the system's would.
    if (sizeof(std::uint32_t) + table->dwNumEntries * sizeof(MIB_IPADDRROW) > bufferSize)
        return Fail(kErrorInsufficientBuffer);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const ::MIB_IPADDRROW& from = table->table[i];
        MIB_IPADDRROW row{};
        row.dwAddr = from.dwAddr;
        row.dwIndex = from.dwIndex;
        row.dwMask = from.dwMask;
        row.dwBCastAddr = from.dwBCastAddr;
        row.dwReasmSize = from.dwReasmSize;
        row.unused1 = from.unused1;
        row.wType = from.wType;
        rows.push_back(row);
    }
    return kErrorSuccess;
}

}  // namespace platform
