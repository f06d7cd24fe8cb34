// The packet filtering calls of the programs, served by the driver engine in this process.
#include "platform/pf.h"

namespace platform {

PacketFilterDriver& ProcessPacketFilterDriver() {
    static PacketFilterDriver driver;
    return driver;
}

DWORD PfCreateInterface(DWORD dwName, PFFORWARD_ACTION inAction, PFFORWARD_ACTION outAction,
                        bool bUseLog, bool bMustBeUnique, INTERFACE_HANDLE* ppInterface) {
    return ProcessPacketFilterDriver().CreateInterface(dwName, inAction, outAction, bUseLog,
                                                       bMustBeUnique, ppInterface);
}

DWORD PfDeleteInterface(INTERFACE_HANDLE hInterface) {
    return ProcessPacketFilterDriver().DeleteInterface(hInterface);
}

DWORD PfBindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                 const std::uint8_t* IPAddress) {
    return ProcessPacketFilterDriver().BindInterfaceToIPAddress(hInterface, pfatType, IPAddress);
}

DWORD PfUnBindInterface(INTERFACE_HANDLE hInterface) {
    return ProcessPacketFilterDriver().UnBindInterface(hInterface);
}

DWORD PfAddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                              const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                              const PF_FILTER_DESCRIPTOR* pfiltOut, FILTER_HANDLE* pfHandle) {
    return ProcessPacketFilterDriver().AddFiltersToInterface(hInterface, cInFilters, pfiltIn,
                                                             cOutFilters, pfiltOut, pfHandle);
}

DWORD PfRemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                            const FILTER_HANDLE* pvHandles) {
    return ProcessPacketFilterDriver().RemoveFilterHandles(hInterface, cFilters, pvHandles);
}

DWORD PfAddGlobalFilterToInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) {
    return ProcessPacketFilterDriver().AddGlobalFilterToInterface(hInterface, gfFilter);
}

DWORD PfRemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) {
    return ProcessPacketFilterDriver().RemoveGlobalFilterFromInterface(hInterface, gfFilter);
}

DWORD PfMakeLog(Event* hEvent) {
    return ProcessPacketFilterDriver().MakeLog(hEvent);
}

DWORD PfSetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold, DWORD dwEntries,
                     DWORD* pdwLoggedEntries, DWORD* pdwLostEntries, DWORD* pdwSizeUsed) {
    return ProcessPacketFilterDriver().SetLogBuffer(pbBuffer, dwSize, dwThreshold, dwEntries,
                                                    pdwLoggedEntries, pdwLostEntries, pdwSizeUsed);
}

DWORD PfDeleteLog() {
    return ProcessPacketFilterDriver().DeleteLog();
}

DWORD PfTestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface, DWORD cBytes,
                   const std::uint8_t* pbPacket, PFFORWARD_ACTION* ppAction) {
    return ProcessPacketFilterDriver().TestPacket(hInInterface, hOutInterface, cBytes, pbPacket,
                                                  ppAction);
}

}  // namespace platform
