// The packet filtering calls of the programs: served by the engine in this process, and, once
// the kernel backend is chosen, by the kernel's rules as well.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <shared_mutex>
#include <sstream>

#include "platform/pf.h"
#include "platform/pf/pf_kernel.h"

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
    std::string text = FormatSystemMessage(e);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return "Error [" + std::to_string(e) + "] (" + text + ")";
}

enum class Wanted { kChoose, kEngine, kKernel };

// driver/backend: "engine" or "kernel", in any letter case, with white space around it.
Win32Error ReadWanted(const fs::path& root, Wanted& wanted, std::string& why) {
    wanted = Wanted::kChoose;
    const fs::path file = root / "driver" / "backend";
    std::error_code ec;
    if (!fs::exists(file, ec)) return kErrorSuccess;
    std::ifstream in(file);
    std::stringstream all;
    all << in.rdbuf();
    if (!in) {
        why = file.string() + " cannot be read";
        return Fail(kErrorCantRead);
    }
    std::string word = all.str();
    auto space = [](unsigned char c) { return std::isspace(c) != 0; };
    word.erase(word.begin(), std::find_if_not(word.begin(), word.end(), space));
    word.erase(std::find_if_not(word.rbegin(), word.rend(), space).base(), word.end());
    std::string lower = word;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "engine") {
        wanted = Wanted::kEngine;
    } else if (lower == "kernel") {
        wanted = Wanted::kKernel;
    } else {
        // Only printable text is quoted back, so a stray binary file makes a readable line.
        std::string shown;
        for (char c : word.substr(0, 40))
            shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
        why = file.string() + " says '" + shown + "'; it must say engine or kernel";
        return Fail(kErrorInvalidData);
    }
    return kErrorSuccess;
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
    if (Win32Error e = ReadWanted(root, wanted, why)) {
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
    if (Win32Error e =
            pf::KernelBackend::Create(ProcessPacketFilterDriver(), options, &gKernel, &why)) {
        report(ErrorText(e) + " The packet filter cannot run in the kernel: " + why + ".");
        return e;
    }
    if (backend) *backend = PfBackend::kKernel;
    report("Packet filter: the kernel enforces the rules (nftables table ip zantor, log group " +
           std::to_string(gKernel->LogGroup()) + ").");
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
