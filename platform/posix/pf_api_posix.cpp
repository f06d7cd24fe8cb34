// The packet filtering calls of the programs: served by the engine in this process, and, once
// the kernel backend is chosen, by the kernel's rules as well.
#include <shared_mutex>
#include <vector>

#include "platform/pf.h"
#include "platform/pf/pf_kernel.h"
#include "platform/pf/pf_settings.h"

namespace platform {

namespace fs = std::filesystem;

PacketFilterDriver& ProcessPacketFilterDriver() {
    static PacketFilterDriver driver;
    return driver;
}

namespace {

std::shared_mutex gBackendMutex;  // exclusive only to start and stop
std::unique_ptr<pf::KernelBackend> gKernel;

// The engine's or, when it runs, the kernel backend's answer to one call.
template <class Call>
DWORD Route(Call call) {
    std::shared_lock lock(gBackendMutex);
    if (gKernel) return call(*gKernel);
    return call(ProcessPacketFilterDriver());
}

std::string ErrorText(Win32Error e) {
    return "Error [" + std::to_string(e) + "] (" + SystemMessageLine(e) + ")";
}

enum class Wanted { kChoose, kEngine, kKernel };

// driver/backend: "engine" or "kernel", in any letter case, with white space around it.
Win32Error ReadWanted(const fs::path& root, Wanted& wanted, std::string& why) {
    std::string word;
    if (Win32Error e = pf::ReadDriverWord(root, "backend", {"engine", "kernel"}, word, why))
        return e;
    wanted = word.empty() ? Wanted::kChoose : word == "engine" ? Wanted::kEngine : Wanted::kKernel;
    return kErrorSuccess;
}

std::string PortsText(const std::vector<std::uint16_t>& ports) {
    std::string text = ports.size() == 1 ? "TCP port " : "TCP ports ";
    for (std::size_t i = 0; i < ports.size(); ++i)
        text += (i == 0 ? "" : ", ") + std::to_string(ports[i]);
    return text;
}

}  // namespace

Win32Error PfStartDriver(const fs::path& root,
                         const std::function<void(const std::string&)>& report,
                         PfBackend* backend) {
    std::unique_lock lock(gBackendMutex);
    if (backend) *backend = PfBackend::kEngine;
    if (gKernel) return Fail(kErrorAlreadyExists);
    Wanted wanted;
    std::string why;
    bool antiLockout = true;
    if (Win32Error e = ReadWanted(root, wanted, why)) {
        report(ErrorText(e) + " Packet filter: " + why + ".");
        return e;
    }
    if (Win32Error e = pf::ReadAntiLockout(root, antiLockout, why)) {
        report(ErrorText(e) + " Packet filter: " + why + ".");
        return e;
    }
    std::error_code ec;
    const bool hostTable = !fs::exists(root / "ipaddrtable", ec);
    if (wanted == Wanted::kEngine || (wanted == Wanted::kChoose && !hostTable)) {
        if (hostTable)
            report(
                "The host's traffic is not being filtered: driver/backend asks for the engine, "
                "which decides only the packets sent to driver/packets.");
        return kErrorSuccess;
    }
    if (Win32Error e = pf::KernelBackend::CheckRight(&why)) {
        if (wanted == Wanted::kKernel) {
            report(ErrorText(e) +
                   " The packet filter cannot run in the kernel as driver/backend "
                   "asks: this process may not change the kernel's rules (" +
                   why + "). It needs root or CAP_NET_ADMIN.");
            return e;
        }
        report(
            "The host's traffic is not being filtered: this process may not change the "
            "kernel's rules (" +
            why + "), so the engine decides only the packets sent to driver/packets.");
        return kErrorSuccess;
    }
    pf::KernelBackend::Options options;
    options.report = report;
    pf::SshdPorts sshd;
    if (antiLockout) {
        sshd = pf::FindSshdPorts();
        options.antiLockoutPorts = sshd.ports;
    }
    if (Win32Error e =
            pf::KernelBackend::Create(ProcessPacketFilterDriver(), options, &gKernel, &why)) {
        report(ErrorText(e) + " The packet filter cannot run in the kernel: " + why + ".");
        return e;
    }
    if (backend) *backend = PfBackend::kKernel;
    report("Packet filter: the kernel enforces the rules (nftables table ip zantor, log group " +
           std::to_string(gKernel->LogGroup()) + ").");
    report(antiLockout
               ? "Packet filter: anti-lockout on: established SSH connections to this "
                 "host (" +
                     PortsText(sshd.ports) + ", " + sshd.source + ") pass ahead of the filters."
               : "Packet filter: anti-lockout off (driver/antilockout): SSH connections "
                 "to this host meet the filters like all other traffic.");
    return kErrorSuccess;
}

Win32Error PfWriteKernelRules(std::string* why) {
    std::shared_lock lock(gBackendMutex);
    return gKernel ? gKernel->WriteTable(why) : kErrorSuccess;
}

Win32Error PfStopDriver(bool removeRules, std::string* why) {
    std::unique_lock lock(gBackendMutex);
    if (!gKernel) return kErrorSuccess;
    Win32Error e = removeRules ? gKernel->RemoveTable(why) : kErrorSuccess;
    gKernel.reset();
    ProcessPacketFilterDriver().SetDecisionLogging(true);
    return e;
}

DWORD PfCreateInterface(DWORD dwName, PFFORWARD_ACTION inAction, PFFORWARD_ACTION outAction,
                        bool bUseLog, bool bMustBeUnique, INTERFACE_HANDLE* ppInterface) {
    return Route([&](auto& d) {
        return d.CreateInterface(dwName, inAction, outAction, bUseLog, bMustBeUnique, ppInterface);
    });
}

DWORD PfDeleteInterface(INTERFACE_HANDLE hInterface) {
    return Route([&](auto& d) { return d.DeleteInterface(hInterface); });
}

DWORD PfBindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                 const std::uint8_t* IPAddress) {
    return Route(
        [&](auto& d) { return d.BindInterfaceToIPAddress(hInterface, pfatType, IPAddress); });
}

DWORD PfUnBindInterface(INTERFACE_HANDLE hInterface) {
    return Route([&](auto& d) { return d.UnBindInterface(hInterface); });
}

DWORD PfAddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                              const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                              const PF_FILTER_DESCRIPTOR* pfiltOut, FILTER_HANDLE* pfHandle) {
    return Route([&](auto& d) {
        return d.AddFiltersToInterface(hInterface, cInFilters, pfiltIn, cOutFilters, pfiltOut,
                                       pfHandle);
    });
}

DWORD PfRemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                            const FILTER_HANDLE* pvHandles) {
    return Route([&](auto& d) { return d.RemoveFilterHandles(hInterface, cFilters, pvHandles); });
}

DWORD PfAddGlobalFilterToInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) {
    return Route([&](auto& d) { return d.AddGlobalFilterToInterface(hInterface, gfFilter); });
}

DWORD PfRemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) {
    return Route([&](auto& d) { return d.RemoveGlobalFilterFromInterface(hInterface, gfFilter); });
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
