// The packet filtering calls of the programs on Windows: served by the system's packet filtering
// functions (iphlpapi.dll) when this system has them, with the service's own engine keeping the
// same rules beside them; by the engine alone where they are missing or not implemented.
//
// The functions are looked up when the driver starts rather than imported: a Windows that lacks
// them must still run the service on the engine, and Wine exports them only under their
// decorated stdcall names.
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/pf.h"
#include "platform/pf_api.h"

#include <windows.h>
// The system's own declarations, only to check below that ours have the same layout.
#include <fltdefs.h>

namespace platform {

namespace fs = std::filesystem;

// The system reads our descriptors and writes our log frames as they are.
static_assert(sizeof(PF_FILTER_DESCRIPTOR) == sizeof(::PF_FILTER_DESCRIPTOR));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, pfatType) ==
              offsetof(::PF_FILTER_DESCRIPTOR, pfatType));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, SrcAddr) == offsetof(::PF_FILTER_DESCRIPTOR, SrcAddr));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, DstMask) == offsetof(::PF_FILTER_DESCRIPTOR, DstMask));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, dwProtocol) ==
              offsetof(::PF_FILTER_DESCRIPTOR, dwProtocol));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, fLateBound) ==
              offsetof(::PF_FILTER_DESCRIPTOR, fLateBound));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, wSrcPort) ==
              offsetof(::PF_FILTER_DESCRIPTOR, wSrcPort));
static_assert(offsetof(PF_FILTER_DESCRIPTOR, wDstPortHighRange) ==
              offsetof(::PF_FILTER_DESCRIPTOR, wDstPortHighRange));
static_assert(sizeof(PFLOGFRAME) == sizeof(::PFLOGFRAME));
static_assert(offsetof(PFLOGFRAME, dwTotalSizeUsed) == offsetof(::PFLOGFRAME, dwTotalSizeUsed));
static_assert(offsetof(PFLOGFRAME, wSizeOfIpHeader) == offsetof(::PFLOGFRAME, wSizeOfIpHeader));
static_assert(offsetof(PFLOGFRAME, dwInterfaceName) == offsetof(::PFLOGFRAME, dwInterfaceName));
static_assert(offsetof(PFLOGFRAME, bPacketData) == offsetof(::PFLOGFRAME, bPacketData));
static_assert(sizeof(PFFORWARD_ACTION) == sizeof(::PFFORWARD_ACTION));
static_assert(kPfErrorNoPfInterface == PFERROR_NO_PF_INTERFACE);
// The system writes our statistics records as they are.
static_assert(sizeof(PF_FILTER_STATS) == sizeof(::PF_FILTER_STATS));
static_assert(offsetof(PF_FILTER_STATS, info) == offsetof(::PF_FILTER_STATS, info));
static_assert(sizeof(PF_INTERFACE_STATS) == sizeof(::PF_INTERFACE_STATS));
static_assert(offsetof(PF_INTERFACE_STATS, dwInDrops) == offsetof(::PF_INTERFACE_STATS, dwInDrops));
static_assert(offsetof(PF_INTERFACE_STATS, dwReserved2) ==
              offsetof(::PF_INTERFACE_STATS, dwReserved2));
static_assert(offsetof(PF_INTERFACE_STATS, liSYN) == offsetof(::PF_INTERFACE_STATS, liSYN));
static_assert(offsetof(PF_INTERFACE_STATS, liTotalLogged) ==
              offsetof(::PF_INTERFACE_STATS, liTotalLogged));
static_assert(offsetof(PF_INTERFACE_STATS, dwLostLogEntries) ==
              offsetof(::PF_INTERFACE_STATS, dwLostLogEntries));
static_assert(offsetof(PF_INTERFACE_STATS, FilterInfo) ==
              offsetof(::PF_INTERFACE_STATS, FilterInfo));

namespace {

// The system's handles are pointers; ours are the engine's 32-bit numbers.
using SysHandle = void*;

// Enumerations and DWORDs are all 4-byte arguments, as the system declares them.
using CreateInterfaceFn = DWORD(WINAPI*)(DWORD, DWORD, DWORD, BOOL, BOOL, SysHandle*);
using InterfaceFn = DWORD(WINAPI*)(SysHandle);
using BindFn = DWORD(WINAPI*)(SysHandle, DWORD, std::uint8_t*);
using AddFiltersFn = DWORD(WINAPI*)(SysHandle, DWORD, PF_FILTER_DESCRIPTOR*, DWORD,
                                    PF_FILTER_DESCRIPTOR*, SysHandle*);
using RemoveFiltersFn = DWORD(WINAPI*)(SysHandle, DWORD, SysHandle*);
using GlobalFn = DWORD(WINAPI*)(SysHandle, DWORD);
using MakeLogFn = DWORD(WINAPI*)(HANDLE);
using SetLogBufferFn = DWORD(WINAPI*)(std::uint8_t*, DWORD, DWORD, DWORD, DWORD*, DWORD*, DWORD*);
using DeleteLogFn = DWORD(WINAPI*)();
using TestPacketFn = DWORD(WINAPI*)(SysHandle, SysHandle, DWORD, std::uint8_t*, PFFORWARD_ACTION*);
using StatisticsFn = DWORD(WINAPI*)(SysHandle, PF_INTERFACE_STATS*, DWORD*, BOOL);

struct SystemApi {
    CreateInterfaceFn createInterface = nullptr;
    InterfaceFn deleteInterface = nullptr;
    BindFn bind = nullptr;
    InterfaceFn unbind = nullptr;
    AddFiltersFn addFilters = nullptr;
    RemoveFiltersFn removeFilters = nullptr;
    GlobalFn addGlobal = nullptr;
    GlobalFn removeGlobal = nullptr;
    MakeLogFn makeLog = nullptr;
    SetLogBufferFn setLogBuffer = nullptr;
    DeleteLogFn deleteLog = nullptr;
    TestPacketFn testPacket = nullptr;
    StatisticsFn statistics = nullptr;  // null where the system lacks it: the others still work
};

std::string ErrorText(Win32Error e) {
    return "Error [" + std::to_string(e) + "] (" + SystemMessageLine(e) + ")";
}

// Looks `name` up under its plain name (Windows) and its stdcall name, _name@bytes (Wine; each
// argument takes 4 bytes on i686, pointers too). False, with `missing` naming it, when neither is
// there.
template <class Fn>
bool Resolve(HMODULE module, const char* name, int arguments, Fn& fn, std::string& missing) {
    FARPROC proc = ::GetProcAddress(module, name);
    if (!proc) {
        std::string decorated = "_" + std::string(name) + "@" + std::to_string(4 * arguments);
        proc = ::GetProcAddress(module, decorated.c_str());
    }
    if (!proc) {
        if (missing.empty()) missing = name;
        return false;
    }
    fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
    return true;
}

// All the functions, or false with `why` saying what is missing. Looked up once; the library
// stays loaded for the life of the process, as the pointers are used until then.
bool LoadSystemApi(SystemApi& api, std::string& why) {
    HMODULE module = ::LoadLibraryA("iphlpapi.dll");
    if (!module) {
        why = "iphlpapi.dll cannot be loaded: " + ErrorText(::GetLastError());
        return false;
    }
    std::string missing;
    bool all = true;
    all &= Resolve(module, "PfCreateInterface", 6, api.createInterface, missing);
    all &= Resolve(module, "PfDeleteInterface", 1, api.deleteInterface, missing);
    all &= Resolve(module, "PfBindInterfaceToIPAddress", 3, api.bind, missing);
    all &= Resolve(module, "PfUnBindInterface", 1, api.unbind, missing);
    all &= Resolve(module, "PfAddFiltersToInterface", 6, api.addFilters, missing);
    all &= Resolve(module, "PfRemoveFilterHandles", 3, api.removeFilters, missing);
    all &= Resolve(module, "PfAddGlobalFilterToInterface", 2, api.addGlobal, missing);
    all &= Resolve(module, "PfRemoveGlobalFilterFromInterface", 2, api.removeGlobal, missing);
    all &= Resolve(module, "PfMakeLog", 1, api.makeLog, missing);
    all &= Resolve(module, "PfSetLogBuffer", 7, api.setLogBuffer, missing);
    all &= Resolve(module, "PfDeleteLog", 0, api.deleteLog, missing);
    all &= Resolve(module, "PfTestPacket", 5, api.testPacket, missing);
    if (!all) why = "iphlpapi.dll has no " + missing;
    // Statistics are not needed to filter: a system without them still enforces the rules.
    std::string noStatistics;
    Resolve(module, "PfGetInterfaceStatistics", 4, api.statistics, noStatistics);
    return all;
}

// What the system holds for one of our interfaces.
struct SystemInterface {
    SysHandle handle = nullptr;
    bool bound = false;
    std::array<std::uint8_t, 4> address{};
    DWORD globals = 0;                                     // bits of the global filters that are on
    std::unordered_map<FILTER_HANDLE, SysHandle> filters;  // ours -> the system's
};

SystemApi gApi;
// Exclusive only to start and stop; while the system is in use every change holds it shared and
// gChangeMutex, so that the system, the engine and the table change together.
std::shared_mutex gBackendMutex;
bool gSystem = false;  // the system's functions enforce the rules
std::mutex gChangeMutex;
std::map<INTERFACE_HANDLE, SystemInterface> gInterfaces;

PacketFilterDriver& Engine() {
    return ProcessPacketFilterDriver();
}

// The system's answer: 0, or its error recorded as the thread's last error.
DWORD System(DWORD result) {
    return result == 0 ? kErrorSuccess : Fail(result);
}

SystemInterface* Find(INTERFACE_HANDLE ours) {
    auto it = gInterfaces.find(ours);
    return it == gInterfaces.end() ? nullptr : &it->second;
}

// Tells the system's handle of an interface given to a test: none for 0.
bool Translate(INTERFACE_HANDLE ours, SysHandle& theirs) {
    theirs = nullptr;
    if (ours == 0) return true;
    SystemInterface* itf = Find(ours);
    if (itf) theirs = itf->handle;
    return itf != nullptr;
}

// The filter log when the system writes it. The system sets a Win32 event of its own; a thread
// passes every signal on to the caller's Event. The log stays with the system until PfDeleteLog,
// even after PfStopDriver, so that the last buffer exchange of a stopping service still returns
// the system's frames.
class SystemLog {
  public:
    bool Active() const { return thread_.joinable(); }

    DWORD Make(Event* target) {
        {
            std::lock_guard lock(targetMutex_);
            target_ = target;
        }
        if (Active()) return kErrorSuccess;  // the system keeps its event: only the target changes
        // Manual reset, as the system expects; the bridge resets it before passing a signal on,
        // so that a signal after the reset is not lost.
        HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!event) return Fail(::GetLastError());
        if (DWORD r = gApi.makeLog(event)) {
            ::CloseHandle(event);
            std::lock_guard lock(targetMutex_);
            target_ = nullptr;
            return Fail(r);
        }
        event_ = event;
        stop_ = false;
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            gApi.deleteLog();
            ::CloseHandle(event_);
            event_ = nullptr;
            std::lock_guard lock(targetMutex_);
            target_ = nullptr;
            return Fail(kErrorNotEnoughMemory);
        }
        return kErrorSuccess;
    }

    DWORD Delete() {
        DWORD r = gApi.deleteLog();
        stop_ = true;
        ::SetEvent(event_);
        thread_.join();
        ::CloseHandle(event_);
        event_ = nullptr;
        std::lock_guard lock(targetMutex_);
        target_ = nullptr;
        return System(r);
    }

  private:
    void Run() {
        while (::WaitForSingleObject(event_, INFINITE) == WAIT_OBJECT_0 && !stop_) {
            ::ResetEvent(event_);
            std::lock_guard lock(targetMutex_);
            if (target_) target_->Set();
        }
    }

    HANDLE event_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex targetMutex_;
    Event* target_ = nullptr;
};

std::mutex gLogMutex;  // the log calls, and the choice between the system's log and the engine's
SystemLog gSystemLog;

bool SystemInUse() {
    std::shared_lock lock(gBackendMutex);
    return gSystem;
}

// The system's packet filtering functions as a backend beside the engine. Additions go to the
// engine first, which checks them and hands out our handles, then to the system; a refusal there
// undoes the engine's part, which cannot fail. Removals go to the system first, so that the
// caller's handles stay good when it refuses. Either way a failed call changes neither. Every
// change holds gChangeMutex, so that the system, the engine and the table change together.
class SystemBackend final : public PacketFilterBackend {
  public:
    DWORD CreateInterface(DWORD dwName, PFFORWARD_ACTION inAction, PFFORWARD_ACTION outAction,
                          bool bUseLog, bool bMustBeUnique,
                          INTERFACE_HANDLE* ppInterface) override {
        return Changing([&](PacketFilterDriver& engine) -> DWORD {
            if (!ppInterface) return Fail(kErrorInvalidParameter);
            INTERFACE_HANDLE ours = 0;
            if (DWORD r = engine.CreateInterface(dwName, inAction, outAction, bUseLog,
                                                 bMustBeUnique, &ours))
                return r;
            SysHandle theirs = nullptr;
            DWORD r = gApi.createInterface(dwName, inAction, outAction, bUseLog ? TRUE : FALSE,
                                           bMustBeUnique ? TRUE : FALSE, &theirs);
            if (r == 0) {
                try {
                    gInterfaces[ours].handle = theirs;
                    *ppInterface = ours;
                    return kErrorSuccess;
                } catch (const std::bad_alloc&) {
                    gApi.deleteInterface(theirs);
                    r = kErrorNotEnoughMemory;
                }
            }
            engine.DeleteInterface(ours);
            return Fail(r);
        });
    }

    DWORD DeleteInterface(INTERFACE_HANDLE hInterface) override {
        return Changing([&](PacketFilterDriver& engine) -> DWORD {
            SystemInterface* itf = Find(hInterface);
            if (!itf) return Fail(kPfErrorNoPfInterface);
            if (DWORD r = gApi.deleteInterface(itf->handle)) return Fail(r);
            gInterfaces.erase(hInterface);
            return engine.DeleteInterface(hInterface);
        });
    }

    DWORD BindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                   const std::uint8_t* IPAddress) override {
        return Changing([&](PacketFilterDriver& engine) -> DWORD {
            SystemInterface* itf = Find(hInterface);
            if (!itf) return Fail(kPfErrorNoPfInterface);
            if (DWORD r = engine.BindInterfaceToIPAddress(hInterface, pfatType, IPAddress))
                return r;
            // The system's argument is not const: it gets a copy of the caller's cell.
            std::array<std::uint8_t, 4> address;
            std::memcpy(address.data(), IPAddress, 4);
            if (DWORD r = gApi.bind(itf->handle, pfatType, address.data())) {
                engine.UnBindInterface(hInterface);
                return Fail(r);
            }
            itf->bound = true;
            itf->address = address;
            return kErrorSuccess;
        });
    }

    DWORD UnBindInterface(INTERFACE_HANDLE hInterface) override {
        return Changing([&](PacketFilterDriver& engine) -> DWORD {
            SystemInterface* itf = Find(hInterface);
            if (!itf) return Fail(kPfErrorNoPfInterface);
            if (!itf->bound) return Fail(kPfErrorNotBound);
            if (DWORD r = gApi.unbind(itf->handle)) return Fail(r);
            itf->bound = false;
            return engine.UnBindInterface(hInterface);
        });
    }

    DWORD AddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                                const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                                const PF_FILTER_DESCRIPTOR* pfiltOut,
                                FILTER_HANDLE* pfHandle) override {
        return Changing([&](PacketFilterDriver& engine) -> DWORD {
            SystemInterface* itf = Find(hInterface);
            if (!itf) return Fail(kPfErrorNoPfInterface);
            if (DWORD r = engine.AddFiltersToInterface(hInterface, cInFilters, pfiltIn, cOutFilters,
                                                       pfiltOut, pfHandle))
                return r;
            // The engine took the counts and pointers; the system reads the descriptors as they
            // are (the layouts are checked above) and does not write them.
            const std::size_t count = std::size_t{cInFilters} + cOutFilters;
            std::vector<SysHandle> theirs;
            DWORD r = kErrorNotEnoughMemory;
            try {
                theirs.resize(count);
                r = gApi.addFilters(itf->handle, cInFilters,
                                    const_cast<PF_FILTER_DESCRIPTOR*>(pfiltIn), cOutFilters,
                                    const_cast<PF_FILTER_DESCRIPTOR*>(pfiltOut), theirs.data());
                if (r == 0) {
                    for (std::size_t i = 0; i < count; ++i)
                        itf->filters.emplace(pfHandle[i], theirs[i]);
                    return kErrorSuccess;
                }
            } catch (const std::bad_alloc&) {
                if (r == 0) {  // the system has them, the table not all
                    for (std::size_t i = 0; i < count; ++i) itf->filters.erase(pfHandle[i]);
                    gApi.removeFilters(itf->handle, static_cast<DWORD>(count), theirs.data());
                    r = kErrorNotEnoughMemory;
                }
            }
            engine.RemoveFilterHandles(hInterface, static_cast<DWORD>(count), pfHandle);
            return Fail(r);
        });
    }

    DWORD RemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                              const FILTER_HANDLE* pvHandles) override {
        return Changing([&](PacketFilterDriver& engine) -> DWORD {
            if (cFilters == 0) return Fail(kPfErrorNoFiltersGiven);
            if (!pvHandles) return Fail(kErrorInvalidParameter);
            SystemInterface* itf = Find(hInterface);
            if (!itf) return Fail(kPfErrorNoPfInterface);
            // Each of the system's handles once, however often the caller names a filter.
            std::vector<SysHandle> theirs;
            std::unordered_set<FILTER_HANDLE> ours;
            for (DWORD i = 0; i < cFilters; ++i) {
                auto it = itf->filters.find(pvHandles[i]);
                if (it == itf->filters.end()) return Fail(kErrorInvalidHandle);
                if (ours.insert(it->first).second) theirs.push_back(it->second);
            }
            if (DWORD r = gApi.removeFilters(itf->handle, static_cast<DWORD>(theirs.size()),
                                             theirs.data()))
                return Fail(r);
            for (FILTER_HANDLE h : ours) itf->filters.erase(h);
            return engine.RemoveFilterHandles(hInterface, cFilters, pvHandles);
        });
    }

    DWORD AddGlobalFilterToInterface(INTERFACE_HANDLE hInterface, GLOBAL_FILTER gfFilter) override {
        return Changing([&](PacketFilterDriver& engine) -> DWORD {
            SystemInterface* itf = Find(hInterface);
            if (!itf) return Fail(kPfErrorNoPfInterface);
            // The engine refuses unknown numbers; one that is on already changes nothing.
            if (DWORD r = engine.AddGlobalFilterToInterface(hInterface, gfFilter)) return r;
            const DWORD bit = DWORD{1} << gfFilter;
            if (itf->globals & bit) return kErrorSuccess;
            if (DWORD r = gApi.addGlobal(itf->handle, gfFilter)) {
                engine.RemoveGlobalFilterFromInterface(hInterface, gfFilter);
                return Fail(r);
            }
            itf->globals |= bit;
            return kErrorSuccess;
        });
    }

    DWORD RemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface,
                                          GLOBAL_FILTER gfFilter) override {
        return Changing([&](PacketFilterDriver& engine) -> DWORD {
            SystemInterface* itf = Find(hInterface);
            if (!itf) return Fail(kPfErrorNoPfInterface);
            const DWORD bit = gfFilter < 32 ? DWORD{1} << gfFilter : 0;
            // Not on (or no such number): the engine gives the error.
            if (!(itf->globals & bit))
                return engine.RemoveGlobalFilterFromInterface(hInterface, gfFilter);
            if (DWORD r = gApi.removeGlobal(itf->handle, gfFilter)) return Fail(r);
            itf->globals &= ~bit;
            return engine.RemoveGlobalFilterFromInterface(hInterface, gfFilter);
        });
    }

    DWORD TestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface, DWORD cBytes,
                     const std::uint8_t* pbPacket, PFFORWARD_ACTION* ppAction) override {
        return Changing([&](PacketFilterDriver&) -> DWORD {
            if (!pbPacket || !ppAction) return Fail(kErrorInvalidParameter);
            SysHandle in = nullptr, out = nullptr;
            if (!Translate(hInInterface, in) || !Translate(hOutInterface, out))
                return Fail(kPfErrorNoPfInterface);
            // The system may not read the packet only: it gets a copy.
            std::vector<std::uint8_t> packet(pbPacket, pbPacket + cBytes);
            return System(gApi.testPacket(in, out, cBytes, packet.data(), ppAction));
        });
    }

    // The system counts the real traffic; the engine beside it sees none.
    DWORD GetInterfaceStatistics(INTERFACE_HANDLE pInterface, PF_INTERFACE_STATS* ppfStats,
                                 DWORD* pdwBufferSize, bool fResetCounters) override {
        return Changing([&](PacketFilterDriver&) -> DWORD {
            if (!pdwBufferSize || (!ppfStats && *pdwBufferSize != 0))
                return Fail(kErrorInvalidParameter);
            SystemInterface* itf = Find(pInterface);
            if (!itf) return Fail(kPfErrorNoPfInterface);
            if (!gApi.statistics) return Fail(kErrorNotSupported);
            return System(gApi.statistics(itf->handle, ppfStats, pdwBufferSize,
                                          fResetCounters ? TRUE : FALSE));
        });
    }

    // The log is the system's from the PfMakeLog made while the system is in use until
    // PfDeleteLog; before and after, the engine's (WithLogBackend says which is asked).
    DWORD MakeLog(Event* hEvent) override {
        if (!hEvent) return Fail(kErrorInvalidParameter);
        return gSystemLog.Make(hEvent);
    }

    DWORD SetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold, DWORD dwEntries,
                       DWORD* pdwLoggedEntries, DWORD* pdwLostEntries,
                       DWORD* pdwSizeUsed) override {
        if (!gSystemLog.Active())
            return Engine().SetLogBuffer(pbBuffer, dwSize, dwThreshold, dwEntries, pdwLoggedEntries,
                                         pdwLostEntries, pdwSizeUsed);
        // Checked here as the engine checks them: the system is never handed a null pointer.
        if (!pbBuffer || !pdwLoggedEntries || !pdwLostEntries || !pdwSizeUsed)
            return Fail(kErrorInvalidParameter);
        if (dwSize < kPfLogMinBufferSize) return Fail(kPfErrorBufferTooSmall);
        return System(gApi.setLogBuffer(pbBuffer, dwSize, dwThreshold, dwEntries, pdwLoggedEntries,
                                        pdwLostEntries, pdwSizeUsed));
    }

    DWORD DeleteLog() override {
        if (gSystemLog.Active()) return gSystemLog.Delete();
        return Engine().DeleteLog();
    }

  private:
    // Runs one change under the change lock; memory that runs out on the way fails the call.
    template <class Change>
    static DWORD Changing(Change change) {
        std::lock_guard lock(gChangeMutex);
        try {
            return change(Engine());
        } catch (const std::bad_alloc&) {
            return Fail(kErrorNotEnoughMemory);
        }
    }
};

SystemBackend gSystemBackend;

}  // namespace

// On Windows the choice is the system's packet filtering functions (PfBackend::kKernel) or the
// engine; nothing in the root takes part in it.
Win32Error PfStartDriver(const fs::path& /*root*/,
                         const std::function<void(const std::string&)>& report,
                         PfBackend* backend) {
    std::unique_lock lock(gBackendMutex);
    if (backend) *backend = PfBackend::kEngine;
    if (gSystem) return Fail(kErrorAlreadyExists);
    const std::string engineDecides =
        ", so the service's own engine decides only the packets sent to it (zpacket).";
    static std::string missing;
    static const bool found = LoadSystemApi(gApi, missing);
    if (!found) {
        report(
            "The host's traffic is not being filtered: the system's packet filtering "
            "functions are missing here (" +
            missing + ")" + engineDecides);
        return kErrorSuccess;
    }
    // Windows may export the functions and still lack the driver behind them (Wine returns 120
    // for every one): one interface made and deleted tells.
    SysHandle probe = nullptr;
    DWORD r = gApi.createInterface(0, PF_ACTION_FORWARD, PF_ACTION_FORWARD, FALSE, FALSE, &probe);
    if (r == 0) r = gApi.deleteInterface(probe);
    if (r != 0) {
        report(
            "The host's traffic is not being filtered: the system's packet filtering "
            "functions are not implemented here (" +
            ErrorText(r) + " from PfCreateInterface)" + engineDecides);
        return kErrorSuccess;
    }
    gSystem = true;
    // The system logs the real traffic; the packets asked about on the packet socket are not.
    Engine().SetDecisionLogging(false);
    if (backend) *backend = PfBackend::kKernel;
    report(
        "Packet filter: the system's packet filtering functions (iphlpapi.dll) enforce the "
        "rules.");
    return kErrorSuccess;
}

// The system holds the filters of this process from the call that makes them, and drops them
// when the process ends: there is no earlier run's set to replace.
Win32Error PfWriteKernelRules(std::string* /*why*/) {
    return kErrorSuccess;
}

Win32Error PfStopDriver(bool removeRules, std::string* why) {
    std::unique_lock lock(gBackendMutex);
    if (!gSystem) return kErrorSuccess;
    Win32Error first = kErrorSuccess;
    if (removeRules) {
        for (auto& [ours, itf] : gInterfaces) {
            DWORD r = gApi.deleteInterface(itf.handle);
            if (r != 0 && first == kErrorSuccess) {
                first = r;
                if (why)
                    *why = "PfDeleteInterface of interface " + std::to_string(ours) +
                           " failed: " + ErrorText(r);
            }
        }
    }
    gInterfaces.clear();
    gSystem = false;
    Engine().SetDecisionLogging(true);
    return first == kErrorSuccess ? kErrorSuccess : Fail(first);
}

// The system's functions while they are in use, with the engine beside them; else the engine.
DWORD pf::WithBackend(const std::function<DWORD(PacketFilterBackend&)>& call) {
    std::shared_lock lock(gBackendMutex);
    if (gSystem) return call(gSystemBackend);
    return call(Engine());
}

// The log goes to the system when it is made while the system is in use, else to the engine.
DWORD pf::WithLogBackend(const std::function<DWORD(PacketFilterBackend&)>& call) {
    std::lock_guard lock(gLogMutex);
    if (gSystemLog.Active() || SystemInUse()) return call(gSystemBackend);
    return call(Engine());
}

}  // namespace platform
