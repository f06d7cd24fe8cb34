// The packet filtering calls of the programs, on every system: each goes to the backend that the
// system's half of the port has in use (platform/pf_api.h).
#include "platform/pf_api.h"

namespace platform {

using pf::WithBackend;
using pf::WithLogBackend;

PacketFilterDriver& ProcessPacketFilterDriver() {
    static PacketFilterDriver driver;
    return driver;
}

DWORD PfCreateInterface(DWORD dwName, PFFORWARD_ACTION inAction, PFFORWARD_ACTION outAction,
                        bool bUseLog, bool bMustBeUnique, INTERFACE_HANDLE* ppInterface) {
    return WithBackend([&](PacketFilterBackend& b) {
        return b.CreateInterface(dwName, inAction, outAction, bUseLog, bMustBeUnique, ppInterface);
    });
}

DWORD PfDeleteInterface(INTERFACE_HANDLE hInterface) {
    return WithBackend([&](PacketFilterBackend& b) { return b.DeleteInterface(hInterface); });
}

DWORD PfBindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                 const std::uint8_t* IPAddress) {
    return WithBackend([&](PacketFilterBackend& b) {
        return b.BindInterfaceToIPAddress(hInterface, pfatType, IPAddress);
    });
}

DWORD PfUnBindInterface(INTERFACE_HANDLE hInterface) {
    return WithBackend([&](PacketFilterBackend& b) { return b.UnBindInterface(hInterface); });
}

DWORD PfAddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                              const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                              const PF_FILTER_DESCRIPTOR* pfiltOut, FILTER_HANDLE* pfHandle) {
    return WithBackend([&](PacketFilterBackend& b) {
        return b.AddFiltersToInterface(hInterface, cInFilters, pfiltIn, cOutFilters, pfiltOut,
                                       pfHandle);
    });
}

DWORD PfRemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                            const FILTER_HANDLE* pvHandles) {
    return WithBackend([&](PacketFilterBackend& b) {
        return b.RemoveFilterHandles(hInterface, cFilters, pvHandles);
    });
}

DWORD PfAddGlobalFilterToInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) {
    return WithBackend(
        [&](PacketFilterBackend& b) { return b.AddGlobalFilterToInterface(hInterface, gfFilter); });
}

DWORD PfRemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) {
    return WithBackend([&](PacketFilterBackend& b) {
        return b.RemoveGlobalFilterFromInterface(hInterface, gfFilter);
    });
}

DWORD PfMakeLog(Event* hEvent) {
    return WithLogBackend([&](PacketFilterBackend& b) { return b.MakeLog(hEvent); });
}

DWORD PfSetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold, DWORD dwEntries,
                     DWORD* pdwLoggedEntries, DWORD* pdwLostEntries, DWORD* pdwSizeUsed) {
    return WithLogBackend([&](PacketFilterBackend& b) {
        return b.SetLogBuffer(pbBuffer, dwSize, dwThreshold, dwEntries, pdwLoggedEntries,
                              pdwLostEntries, pdwSizeUsed);
    });
}

DWORD PfDeleteLog() {
    return WithLogBackend([](PacketFilterBackend& b) { return b.DeleteLog(); });
}

DWORD PfTestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface, DWORD cBytes,
                   const std::uint8_t* pbPacket, PFFORWARD_ACTION* ppAction) {
    return WithBackend([&](PacketFilterBackend& b) {
        return b.TestPacket(hInInterface, hOutInterface, cBytes, pbPacket, ppAction);
    });
}

DWORD PfGetInterfaceStatistics(INTERFACE_HANDLE pInterface, PF_INTERFACE_STATS* ppfStats,
                               DWORD* pdwBufferSize, bool fResetCounters) {
    return WithBackend([&](PacketFilterBackend& b) {
        return b.GetInterfaceStatistics(pInterface, ppfStats, pdwBufferSize, fResetCounters);
    });
}

}  // namespace platform
