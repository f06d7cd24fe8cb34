// The kernel backend: the Pf calls served by the engine and, for real traffic, by nftables rules
// in the Linux kernel (libnftables; no nft process is run), with the filter log read from nflog.
// Internal to the driver; platform/pf.h says where the kernel differs from the engine.
//
// Every change goes to the engine first, which checks it and hands out the handles, then to the
// kernel in one transaction. A transaction the kernel refuses changes nothing there, and the
// engine's part is undone, so both always hold the same rules; the call then fails with
// kPfErrorKernelRefused and the report line says what the kernel said. Removals go to the kernel
// first, so that the handles the caller holds stay good when the kernel refuses. An interface's
// record (its name, actions, log flag, address and global filters) is the engine's; the ruleset
// reads it from there after each change and keeps it as the kernel was told it, beside where the
// kernel holds the rules.
//
// Until WriteTable is first called the kernel is not touched: the start-up replay builds the
// model, and one transaction then replaces the table an earlier run may have left, so the host
// is never without rules in between. The table stays when the backend is destroyed (a crash
// leaves it too); RemoveTable takes it away.
//
// One backend per network namespace: it holds an abstract socket named after the table while it
// lives. Threads: every call from any thread; changes are serialised.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pf.h"

namespace platform::pf {

class KernelBackend final : public PacketFilterBackend {
  public:
    struct Options {
        std::uint16_t firstLogGroup = 23118;
        int logGroupsToTry = 16;
        // Lines for the service log: a refused change, a filter log that could not be read.
        std::function<void(const std::string&)> report;
        // Sees every change's commands before the kernel does (tests use it to make the kernel
        // refuse one).
        std::function<void(std::string& commands)> beforeChange;
        // The anti-lockout rule (platform/pf.h): sshd's TCP ports; none, the rule is left out.
        std::vector<std::uint16_t> antiLockoutPorts;
        // Off, the table counts nothing and the statistics hold the filter log's counts alone:
        // for the benchmarks that measure what counting costs, never for a service.
        bool counters = true;
    };

    // Whether this process may change its network namespace's ruleset: one transaction checked
    // by the kernel and not committed. kErrorAccessDenied without the right; `why` holds what
    // the kernel said.
    static Win32Error CheckRight(std::string* why);

    // kErrorSharingViolation when another process holds the table of this namespace.
    static Win32Error Create(PacketFilterDriver& engine, Options options,
                             std::unique_ptr<KernelBackend>* backend, std::string* why);
    ~KernelBackend();
    KernelBackend(const KernelBackend&) = delete;
    KernelBackend& operator=(const KernelBackend&) = delete;

    // Writes the whole table in one transaction; from then on every change goes to the kernel.
    Win32Error WriteTable(std::string* why);
    // Removes the table; later changes reach the engine alone.
    Win32Error RemoveTable(std::string* why);
    // The commands WriteTable would send.
    std::string TableText() const;
    std::uint16_t LogGroup() const;

    DWORD CreateInterface(DWORD dwName, PFFORWARD_ACTION inAction, PFFORWARD_ACTION outAction,
                          bool bUseLog, bool bMustBeUnique, INTERFACE_HANDLE* ppInterface) override;
    DWORD DeleteInterface(INTERFACE_HANDLE hInterface) override;
    DWORD BindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                   const std::uint8_t* IPAddress) override;
    DWORD UnBindInterface(INTERFACE_HANDLE hInterface) override;
    DWORD AddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                                const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                                const PF_FILTER_DESCRIPTOR* pfiltOut,
                                FILTER_HANDLE* pfHandle) override;
    DWORD RemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                              const FILTER_HANDLE* pvHandles) override;
    DWORD AddGlobalFilterToInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) override;
    DWORD RemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface,
                                          GLOBAL_FILTER gfFilter) override;
    // The kernel's drops reach the engine's filter log, and it answers test packets as the
    // kernel would: these are the engine's.
    DWORD MakeLog(Event* hEvent) override;
    DWORD SetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold, DWORD dwEntries,
                       DWORD* pdwLoggedEntries, DWORD* pdwLostEntries, DWORD* pdwSizeUsed) override;
    DWORD DeleteLog() override;
    DWORD TestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface, DWORD cBytes,
                     const std::uint8_t* pbPacket, PFFORWARD_ACTION* ppAction) override;
    // The engine's list of the filters, with the counts of one snapshot of the table's
    // counters (pf_counters.h: one dump of its counter objects, one of each of the interface's
    // sets) and the engine's counts of the filter log. A reset keeps a
    // baseline here rather than resetting the kernel's counters, so no count is ever lost to a
    // race with the packets, and none of the kernel's is ever written.
    DWORD GetInterfaceStatistics(INTERFACE_HANDLE pInterface, PF_INTERFACE_STATS* ppfStats,
                                 DWORD* pdwBufferSize, bool fResetCounters) override;

  private:
    struct Impl;
    explicit KernelBackend(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::pf
