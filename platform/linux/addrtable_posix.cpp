#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/addrtable.h"
#include "platform/computer.h"

namespace platform {

namespace {

bool ParseDotted(const std::string& text, std::uint32_t* value) {
    in_addr a{};
    // inet_aton would take "10" or "0x0a000001"; the file holds plain dotted quads.
    if (std::count(text.begin(), text.end(), '.') != 3 ||
        ::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *value = a.s_addr;
    return true;
}

Win32Error ReadTableFile(const std::filesystem::path& path, std::vector<MIB_IPADDRROW>& rows,
                         std::string* why) {
    std::ifstream in(path);
    if (!in) {
        if (why) *why = path.string() + ": cannot be read";
        return FailFromErrno();
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::string addr, mask, index, extra;
        if (!(words >> addr)) continue;
        MIB_IPADDRROW row{};
        unsigned long ifIndex = 0;
        bool ok = static_cast<bool>(words >> mask >> index) && !(words >> extra) &&
                  ParseDotted(addr, &row.dwAddr) && ParseDotted(mask, &row.dwMask) &&
                  index.find_first_not_of("0123456789") == std::string::npos && index.size() <= 10;
        if (ok) {
            ifIndex = std::stoul(index);
            ok = ifIndex <= 0xFFFFFFFFul;
        }
        if (!ok) {
            if (why)
                *why = path.string() + " line " + std::to_string(number) +
                       ": expected ADDRESS MASK INDEX, found '" + line + "'";
            return Fail(kErrorInvalidData);
        }
        row.dwIndex = static_cast<std::uint32_t>(ifIndex);
        row.dwBCastAddr = 1;
        row.dwReasmSize = 65535;
        rows.push_back(row);
    }
    return kErrorSuccess;
}

Win32Error ReadHostInterfaces(std::vector<MIB_IPADDRROW>& rows) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return FailFromErrno();
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        MIB_IPADDRROW row{};
        row.dwAddr = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
        if (it->ifa_netmask)
            row.dwMask = reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr;
        row.dwIndex = ::if_nametoindex(it->ifa_name);
        row.dwBCastAddr = 1;
        row.dwReasmSize = 65535;
        rows.push_back(row);
    }
    ::freeifaddrs(list);
    return kErrorSuccess;
}

}  // namespace

Win32Error GetIpAddrTable(std::vector<MIB_IPADDRROW>& rows, std::uint32_t bufferSize, bool order,
                          std::string* why) {
    rows.clear();
    const auto file = LocalComputerRoot() / "ipaddrtable";
    std::error_code ec;
    Win32Error e = std::filesystem::exists(file, ec) ? ReadTableFile(file, rows, why)
                                                     : ReadHostInterfaces(rows);
    if (e) {
        rows.clear();
        return e;
    }
    if (sizeof(std::uint32_t) + rows.size() * sizeof(MIB_IPADDRROW) > bufferSize) {
        rows.clear();
        return Fail(kErrorInsufficientBuffer);
    }
    if (order)
        std::sort(rows.begin(), rows.end(),
                  [](const auto& a, const auto& b) { return ntohl(a.dwAddr) < ntohl(b.dwAddr); });
    return kErrorSuccess;
}

}  // namespace platform
