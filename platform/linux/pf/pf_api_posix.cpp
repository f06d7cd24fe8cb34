// The packet filter's backend on Linux: the engine in this process, and, once the kernel backend
// is chosen, the kernel's rules as well.
#include <shared_mutex>
#include <vector>

#include "platform/linux/pf/pf_kernel.h"
#include "platform/linux/pf/pf_settings.h"
#include "platform/pf.h"
#include "platform/pf_api.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::shared_mutex gBackendMutex;  // exclusive only to start and stop
std::unique_ptr<pf::KernelBackend> gKernel;

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

// The kernel backend while it runs, which passes every change on to the engine; else the engine.
DWORD pf::WithBackend(const std::function<DWORD(PacketFilterBackend&)>& call) {
    std::shared_lock lock(gBackendMutex);
    if (gKernel) return call(*gKernel);
    return call(ProcessPacketFilterDriver());
}

// The kernel's drops go to the engine's log, whichever backend runs.
DWORD pf::WithLogBackend(const std::function<DWORD(PacketFilterBackend&)>& call) {
    return call(ProcessPacketFilterDriver());
}

}  // namespace platform
