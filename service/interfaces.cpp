#include "service/interfaces.h"

#include "platform/addrtable.h"
#include "service/service_log.h"
#include "shared/error_text.h"

namespace zantor::service {

std::vector<RInterface> InterfaceList;

void CreateIPList() {
    // The table comes into one buffer of this size, as it always has; no second, larger call.
    constexpr std::uint32_t kTableBufferSize = 65536;
    std::vector<platform::MIB_IPADDRROW> rows;
    std::string why;
    platform::Win32Error r = platform::GetIpAddrTable(rows, kTableBufferSize, false, &why);
    if (r != platform::kErrorSuccess) {
        ServiceLog("Error[" + std::to_string(r) + "] In GetIpAddrTable (" + SysErrorText(r) + ")");
        if (!why.empty()) ServiceLog(why);
        return;
    }
    if (rows.size() > kMaxInterfaces) {
        rows.resize(kMaxInterfaces);
        ServiceLog("IP Address list truncated.");
    }
    InterfaceList.reserve(kMaxInterfaces);
    for (const auto& row : rows) {
        RInterface iface;
        iface.Addr = row.dwAddr;
        iface.Mask = row.dwMask;
        iface.IfIndex = row.dwIndex;
        InterfaceList.push_back(iface);
    }
    ServiceLog(std::to_string(rows.size()) + " IP Addresses enumerated.");
}

std::string GreetingLine(const RInterface& iface) {
    std::string line = "IP ";
    line += IPToStr(iface.Addr);
    line += ' ';
    line += IPToStr(iface.Mask);
    line += iface.Active ? " 1 " : " 0 ";
    line += std::to_string(iface.IfIndex);
    line += ' ';
    line += std::to_string(iface.InFilters.size());
    line += ' ';
    line += std::to_string(iface.OutFilters.size());
    line += ' ';
    line += std::to_string(iface.InDefAction);
    line += ' ';
    line += std::to_string(iface.OutDefAction);
    line += ' ';
    line += std::to_string(iface.GlobalFiltersValue());
    return line;
}

std::vector<std::string_view> ServiceExtensions() {
    return {kConfirmExtension, kListsExtension, kStatsExtension};
}

std::string GreetingEndLine() {
    std::string line(kGreetingEnd), names;
    for (std::string_view name : ServiceExtensions()) (names += names.empty() ? "" : ",") += name;
    if (!names.empty()) (line += ' ') += names;
    return line;
}

}  // namespace zantor::service
