#include "platform/linux/pf/pf_kernel.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <nftables/libnftables.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/linux/pf/pf_counters.h"
#include "platform/linux/pf/pf_nflog.h"
#include "platform/linux/pf/pf_ruleset.h"
#include "platform/linux/unix_socket.h"

namespace platform::pf {

namespace {

// Abstract socket names belong to the network namespace, so this one says "this namespace's
// table is taken" and goes away with its process, however that ends.
constexpr std::string_view kHolderName = "zantor-kernel-table";

std::string FirstLine(const char* text) {
    if (!text) return {};
    std::string_view all(text);
    return std::string(all.substr(0, all.find('\n')));
}

// An nft context that keeps its output and errors to itself.
struct NftContext {
    nft_ctx* ctx = nft_ctx_new(NFT_CTX_DEFAULT);
    NftContext() {
        if (!ctx) return;
        nft_ctx_buffer_output(ctx);
        nft_ctx_buffer_error(ctx);
    }
    ~NftContext() {
        if (ctx) nft_ctx_free(ctx);
    }
    NftContext(const NftContext&) = delete;
    NftContext& operator=(const NftContext&) = delete;

    // True when the kernel committed the whole buffer; otherwise `error` has what nft said.
    bool Run(const std::string& commands, std::string& error) {
        if (!ctx) {
            error = "libnftables could not make a context";
            return false;
        }
        if (nft_run_cmd_from_buffer(ctx, commands.c_str()) == 0) return true;
        error = FirstLine(nft_ctx_get_error_buffer(ctx));
        if (error.empty()) error = "the kernel refused the transaction";
        return false;
    }
};

// The index of the device that holds `address`, or 0.
std::uint32_t DeviceOf(std::uint32_t address) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return 0;
    std::uint32_t device = 0;
    for (ifaddrs* it = list; it && device == 0; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        if (reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr == address)
            device = ::if_nametoindex(it->ifa_name);
    }
    ::freeifaddrs(list);
    return device;
}

Win32Error HoldNamespace(posix::UniqueFd& holder, std::string* why) {
    holder = posix::UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!holder) return FailFromErrno();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, kHolderName.data(), kHolderName.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + kHolderName.size());
    if (::bind(holder.Get(), reinterpret_cast<sockaddr*>(&address), length) == 0)
        return kErrorSuccess;
    const int err = errno;
    holder.Reset();
    if (err == EADDRINUSE) {
        if (why) *why = "another process holds the table ip zantor of this network namespace";
        return Fail(kErrorSharingViolation);
    }
    if (why) *why = std::string("socket: ") + std::strerror(err);
    return Fail(ErrorFromErrno(err));
}

}  // namespace

struct KernelBackend::Impl {
    Impl(PacketFilterDriver& e, Options o, std::uint16_t group)
        : engine(e),
          options(std::move(o)),
          ruleset(group, options.antiLockoutPorts, options.counters),
          logGroup(group) {}

    PacketFilterDriver& engine;
    Options options;
    std::mutex mutex;  // changes: the engine, the model and the kernel move together
    NftContext nft;
    KernelRuleset ruleset;
    std::uint16_t logGroup;
    bool live = false;  // the kernel holds the model; changes go to it
    posix::UniqueFd holder;
    std::unique_ptr<NflogReader> log;
    CounterReader counters;
    // Per interface, what its counters held at its last reset read (counter name: packets).
    std::map<INTERFACE_HANDLE, std::unordered_map<std::string, std::uint64_t>> baselines;

    void Report(const std::string& line) {
        if (options.report) options.report(line);
    }

    // The global filters of the engine's record, which the caller has just changed there.
    void SetGlobals(INTERFACE_HANDLE h, std::string& commands, KernelRuleset::Journal& journal) {
        InterfaceRecord record;
        engine.ReadInterface(h, &record);
        ruleset.SetGlobals(record, commands, journal);
    }

    // Sends one change; on a refusal the model is put back and the caller undoes the engine.
    bool Apply(std::string& commands, KernelRuleset::Journal& journal) {
        if (!live || commands.empty()) return true;
        if (options.beforeChange) options.beforeChange(commands);
        std::string error;
        if (nft.Run(commands, error)) return true;
        journal.Revert();
        Report("The kernel refused a change of its rules (" + error + ").");
        return false;
    }
};

KernelBackend::KernelBackend(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

KernelBackend::~KernelBackend() {
    // The log first: its thread writes into the engine.
    impl_->log.reset();
}

Win32Error KernelBackend::CheckRight(std::string* why) {
    NftContext nft;
    if (!nft.ctx) {
        if (why) *why = "libnftables could not make a context";
        return Fail(kErrorNotEnoughMemory);
    }
    nft_ctx_set_dry_run(nft.ctx, true);
    std::string error;
    if (nft.Run(std::string("add table ip ") + kKernelTable + "\n", error)) return kErrorSuccess;
    if (why) *why = error;
    return Fail(error.find("not permitted") != std::string::npos ? kErrorAccessDenied
                                                                 : kErrorNotSupported);
}

Win32Error KernelBackend::Create(PacketFilterDriver& engine, Options options,
                                 std::unique_ptr<KernelBackend>* backend, std::string* why) {
    posix::UniqueFd holder;
    if (Win32Error e = HoldNamespace(holder, why)) return e;
    std::unique_ptr<NflogReader> log;
    std::string logWhy;
    auto sink = [&engine](std::string_view prefix, std::span<const std::uint8_t> packet) {
        DWORD name = 0, rule = 0;
        PFFRAMETYPE type = PFFT_FILTER;
        if (ParseLogPrefix(prefix, name, type, rule)) engine.LogDrop(name, type, rule, packet);
    };
    Win32Error logError =
        NflogReader::Open(options.firstLogGroup, options.logGroupsToTry, sink, &log, &logWhy);
    const std::uint16_t group = log ? log->group() : options.firstLogGroup;
    auto impl = std::make_unique<Impl>(engine, std::move(options), group);
    if (!impl->nft.ctx) {
        if (why) *why = "libnftables could not make a context";
        return Fail(kErrorNotEnoughMemory);
    }
    if (Win32Error e = impl->counters.Open(why)) return e;
    if (logError)
        impl->Report("Error [" + std::to_string(logError) + "] in the kernel's filter log (" +
                     logWhy + "): the packets it drops are not logged.");
    impl->holder = std::move(holder);
    impl->log = std::move(log);
    // Real packets are logged by the kernel; what the packet socket asks about is not traffic.
    engine.SetDecisionLogging(false);
    backend->reset(new KernelBackend(std::move(impl)));
    return kErrorSuccess;
}

Win32Error KernelBackend::WriteTable(std::string* why) {
    std::lock_guard lock(impl_->mutex);
    std::string commands = impl_->ruleset.WholeTable();
    std::string error;
    if (!impl_->nft.Run(commands, error)) {
        if (why) *why = error;
        return Fail(kPfErrorKernelRefused);
    }
    impl_->live = true;
    impl_->baselines.clear();  // the new table's counters start from zero
    return kErrorSuccess;
}

Win32Error KernelBackend::RemoveTable(std::string* why) {
    std::lock_guard lock(impl_->mutex);
    std::string error;
    if (!impl_->nft.Run(KernelRuleset::RemoveTable(), error)) {
        if (why) *why = error;
        return Fail(kPfErrorKernelRefused);
    }
    impl_->live = false;
    impl_->baselines.clear();
    return kErrorSuccess;
}

std::string KernelBackend::TableText() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ruleset.WholeTable();
}

std::uint16_t KernelBackend::LogGroup() const {
    return impl_->logGroup;
}

DWORD KernelBackend::CreateInterface(DWORD dwName, PFFORWARD_ACTION inAction,
                                     PFFORWARD_ACTION outAction, bool bUseLog, bool bMustBeUnique,
                                     INTERFACE_HANDLE* ppInterface) {
    std::lock_guard lock(impl_->mutex);
    if (DWORD r = impl_->engine.CreateInterface(dwName, inAction, outAction, bUseLog, bMustBeUnique,
                                                ppInterface))
        return r;
    InterfaceRecord record;
    impl_->engine.ReadInterface(*ppInterface, &record);
    KernelRuleset::Journal journal;  // nothing reaches the kernel before the bind
    impl_->ruleset.CreateInterface(record, journal);
    return kErrorSuccess;
}

DWORD KernelBackend::DeleteInterface(INTERFACE_HANDLE hInterface) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->ruleset.HasInterface(hInterface)) {
        std::string commands;
        KernelRuleset::Journal journal;
        impl_->ruleset.DeleteInterface(hInterface, commands, journal);
        if (!impl_->Apply(commands, journal)) return Fail(kPfErrorKernelRefused);
    }
    impl_->baselines.erase(hInterface);
    return impl_->engine.DeleteInterface(hInterface);
}

DWORD KernelBackend::BindInterfaceToIPAddress(INTERFACE_HANDLE hInterface, PFADDRESSTYPE pfatType,
                                              const std::uint8_t* IPAddress) {
    std::lock_guard lock(impl_->mutex);
    if (DWORD r = impl_->engine.BindInterfaceToIPAddress(hInterface, pfatType, IPAddress)) return r;
    InterfaceRecord record;
    impl_->engine.ReadInterface(hInterface, &record);
    std::string commands;
    KernelRuleset::Journal journal;
    impl_->ruleset.Bind(record, DeviceOf(record.address), commands, journal);
    if (!impl_->Apply(commands, journal)) {
        impl_->engine.UnBindInterface(hInterface);
        return Fail(kPfErrorKernelRefused);
    }
    return kErrorSuccess;
}

DWORD KernelBackend::UnBindInterface(INTERFACE_HANDLE hInterface) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->ruleset.IsBound(hInterface)) {
        std::string commands;
        KernelRuleset::Journal journal;
        impl_->ruleset.Unbind(hInterface, commands, journal);
        if (!impl_->Apply(commands, journal)) return Fail(kPfErrorKernelRefused);
    }
    impl_->baselines.erase(hInterface);  // its counters are gone with its rules
    return impl_->engine.UnBindInterface(hInterface);
}

DWORD KernelBackend::AddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                                           const PF_FILTER_DESCRIPTOR* pfiltIn, DWORD cOutFilters,
                                           const PF_FILTER_DESCRIPTOR* pfiltOut,
                                           FILTER_HANDLE* pfHandle) {
    std::lock_guard lock(impl_->mutex);
    if (DWORD r = impl_->engine.AddFiltersToInterface(hInterface, cInFilters, pfiltIn, cOutFilters,
                                                      pfiltOut, pfHandle))
        return r;
    std::string commands;
    KernelRuleset::Journal journal;
    const std::size_t count = std::size_t{cInFilters} + cOutFilters;
    for (std::size_t i = 0; i < count; ++i) {
        const bool in = i < cInFilters;
        Rule rule;
        CompileRule(in ? pfiltIn[i] : pfiltOut[i - cInFilters], rule);  // the engine took it
        impl_->ruleset.AddFilter(hInterface,
                                 in ? PacketDirection::kInput : PacketDirection::kOutput,
                                 pfHandle[i], rule, commands, journal);
    }
    if (!impl_->Apply(commands, journal)) {
        impl_->engine.RemoveFilterHandles(hInterface, static_cast<DWORD>(count), pfHandle);
        return Fail(kPfErrorKernelRefused);
    }
    return kErrorSuccess;
}

DWORD KernelBackend::RemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                                         const FILTER_HANDLE* pvHandles) {
    std::lock_guard lock(impl_->mutex);
    if (cFilters != 0 && pvHandles &&
        impl_->ruleset.HasFilters(hInterface, {pvHandles, cFilters})) {
        std::string commands, why;
        KernelRuleset::Journal journal;
        // The handles of the rules that go, so that the rules beside them keep their counts.
        std::map<std::string, std::uint64_t> handles;
        bool known = false;
        if (impl_->live && impl_->ruleset.RemovesRules(hInterface, {pvHandles, cFilters})) {
            std::unordered_map<std::string, CounterReader::Rule> rules;
            known = impl_->counters.ReadRules(kKernelTable, rules, &why) == kErrorSuccess;
            for (const auto& [comment, rule] : rules) handles[comment] = rule.handle;
        }
        impl_->ruleset.RemoveFilters(hInterface, {pvHandles, cFilters}, commands, journal,
                                     known ? &handles : nullptr);
        if (!impl_->Apply(commands, journal)) return Fail(kPfErrorKernelRefused);
    }
    return impl_->engine.RemoveFilterHandles(hInterface, cFilters, pvHandles);
}

DWORD KernelBackend::AddGlobalFilterToInterface(INTERFACE_HANDLE hInterface,
                                                GLOBAL_FILTER gfFilter) {
    std::lock_guard lock(impl_->mutex);
    if (DWORD r = impl_->engine.AddGlobalFilterToInterface(hInterface, gfFilter)) return r;
    // One that was on already changes nothing here, so a refusal never turns it off.
    std::string commands;
    KernelRuleset::Journal journal;
    impl_->SetGlobals(hInterface, commands, journal);
    if (!impl_->Apply(commands, journal)) {
        impl_->engine.RemoveGlobalFilterFromInterface(hInterface, gfFilter);
        return Fail(kPfErrorKernelRefused);
    }
    return kErrorSuccess;
}

DWORD KernelBackend::RemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface,
                                                     GLOBAL_FILTER gfFilter) {
    std::lock_guard lock(impl_->mutex);
    if (DWORD r = impl_->engine.RemoveGlobalFilterFromInterface(hInterface, gfFilter)) return r;
    // The cache turned off: the address is decided at prerouting as well before it leaves the
    // input hook, so that no packet on its way between the two meets neither.
    std::string bridge =
        gfFilter == GF_FRAGCACHE ? impl_->ruleset.InputAtPreroutingText(hInterface, true) : "";
    std::string back =
        bridge.empty() ? "" : impl_->ruleset.InputAtPreroutingText(hInterface, false);
    KernelRuleset::Journal none;
    if (!impl_->Apply(bridge, none)) {
        impl_->engine.AddGlobalFilterToInterface(hInterface, gfFilter);
        return Fail(kPfErrorKernelRefused);
    }
    std::string commands;
    KernelRuleset::Journal journal;
    impl_->SetGlobals(hInterface, commands, journal);
    if (!impl_->Apply(commands, journal)) {
        impl_->Apply(back, none);
        impl_->engine.AddGlobalFilterToInterface(hInterface, gfFilter);
        return Fail(kPfErrorKernelRefused);
    }
    return kErrorSuccess;
}

DWORD KernelBackend::MakeLog(Event* hEvent) {
    return impl_->engine.MakeLog(hEvent);
}

DWORD KernelBackend::SetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold,
                                  DWORD dwEntries, DWORD* pdwLoggedEntries, DWORD* pdwLostEntries,
                                  DWORD* pdwSizeUsed) {
    return impl_->engine.SetLogBuffer(pbBuffer, dwSize, dwThreshold, dwEntries, pdwLoggedEntries,
                                      pdwLostEntries, pdwSizeUsed);
}

DWORD KernelBackend::DeleteLog() {
    return impl_->engine.DeleteLog();
}

DWORD KernelBackend::TestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface,
                                DWORD cBytes, const std::uint8_t* pbPacket,
                                PFFORWARD_ACTION* ppAction) {
    return impl_->engine.TestPacket(hInInterface, hOutInterface, cBytes, pbPacket, ppAction);
}

DWORD KernelBackend::GetInterfaceStatistics(INTERFACE_HANDLE pInterface,
                                            PF_INTERFACE_STATS* ppfStats, DWORD* pdwBufferSize,
                                            bool fResetCounters) {
    if (!pdwBufferSize || (!ppfStats && *pdwBufferSize != 0)) return Fail(kErrorInvalidParameter);
    // Under the change lock: the engine's filters, the model's counter names and the kernel's
    // counters are of the same configuration.
    std::lock_guard lock(impl_->mutex);
    InterfaceStatistics s;
    std::unordered_map<std::string, std::uint64_t> packets;
    try {
        if (!impl_->engine.ReadStatistics(pInterface, &s)) return Fail(kPfErrorNoPfInterface);
        // The engine counts no packets while the kernel decides; what it gave is the log's.
        for (FilterStatistics& f : s.filters) f.packets = 0;
        const KernelRuleset::InterfaceCounters own = impl_->ruleset.CountersOf(pInterface);
        if (!impl_->live || own.inDrops.empty()) {
            // Nothing of it in the kernel (not bound, or the table not written yet): no packets.
            if (DWORD r = WriteInterfaceStatistics(s, ppfStats, pdwBufferSize)) return r;
            if (fResetCounters) impl_->engine.SubtractStatistics(s, true);
            return kErrorSuccess;
        }
        // The counter objects of the table, then the elements of this interface's sets, each
        // set once. No change runs meanwhile (this backend alone changes the table, and holds
        // the change lock), so the reads are of one configuration.
        std::string why;
        std::vector<KernelRuleset::FilterCounter> where;
        where.reserve(s.filters.size());
        for (const FilterStatistics& f : s.filters)
            where.push_back(impl_->ruleset.CounterOf(pInterface, f.handle));
        Win32Error e = impl_->counters.Read(kKernelTable, packets, &why);
        std::unordered_map<std::string, CounterReader::Rule> rules;
        if (!e) e = impl_->counters.ReadRules(kKernelTable, rules, &why);
        for (const auto& [comment, rule] : rules) packets["rule " + comment] = rule.packets;
        std::unordered_map<std::string, std::unordered_map<std::string, std::uint64_t>> elements;
        for (const auto& w : where) {
            if (e || w.set.empty() || elements.count(w.set)) continue;
            e = impl_->counters.ReadElements(kKernelTable, w.set, w.type, elements[w.set], &why);
        }
        if (e) {
            impl_->Report("Error [" + std::to_string(e) + "] reading the kernel's counters (" +
                          why + ").");
            return Fail(e);
        }
        // An element's count is kept under its set's name and key, beside the objects'.
        for (auto& [set, keys] : elements)
            for (auto& [key, count] : keys) packets[set + " " + key] = count;
        auto keyOf = [](const KernelRuleset::FilterCounter& w) {
            if (!w.set.empty()) return w.set + " " + w.element;
            return w.counter.empty() ? w.counter : "rule " + w.counter;
        };
        auto& base = impl_->baselines[pInterface];
        auto count = [&](const std::string& name) -> std::uint64_t {
            auto it = packets.find(name);
            if (it == packets.end()) return 0;
            auto b = base.find(name);
            return b == base.end() ? it->second : it->second - std::min(it->second, b->second);
        };
        s.inDrops = count(own.inDrops);
        s.outDrops = count(own.outDrops);
        s.fragments = count(own.fragments);
        s.spoofs = count(own.spoofs);
        for (std::size_t i = 0; i < s.filters.size(); ++i)
            if (const std::string n = keyOf(where[i]); !n.empty()) s.filters[i].packets = count(n);
        if (DWORD r = WriteInterfaceStatistics(s, ppfStats, pdwBufferSize)) return r;
        if (fResetCounters) {
            // Counters that went away with their filters leave no baseline behind.
            std::unordered_map<std::string, std::uint64_t> next;
            for (const std::string& name : {own.inDrops, own.outDrops, own.fragments, own.spoofs})
                if (auto it = packets.find(name); it != packets.end()) next[name] = it->second;
            for (const auto& w : where)
                if (auto it = packets.find(keyOf(w)); it != packets.end())
                    next[it->first] = it->second;
            base = std::move(next);
        }
    } catch (const std::bad_alloc&) {
        return Fail(kErrorNotEnoughMemory);
    }
    if (fResetCounters) impl_->engine.SubtractStatistics(s, true);
    return kErrorSuccess;
}

}  // namespace platform::pf
