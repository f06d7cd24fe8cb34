// The packet filter engine: interfaces, decisions, fragment state and the filter log.
#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/pf.h"
#include "platform/pf_index.h"
#include "platform/pf_packet.h"

namespace platform {

using namespace pf;
using Clock = std::chrono::steady_clock;

namespace {

constexpr DWORD GlobalBit(GLOBAL_FILTER g) {
    return DWORD{1} << g;
}
constexpr DWORD kKnownGlobals =
    GlobalBit(GF_FRAGMENTS) | GlobalBit(GF_STRONGHOST) | GlobalBit(GF_FRAGCACHE);
// A datagram cut into more pieces than this is treated as an attack by fragment checking.
constexpr std::size_t kMaxFragmentsPerDatagram = 128;
constexpr std::size_t kMaxDatagram = 65535;
// More filters than this in one call is taken for a bad count.
constexpr std::uint64_t kMaxFiltersPerCall = 1u << 20;

// A reader-writer lock whose readers spread over several cache lines, so that decisions on
// different cores do not fight over one reader count, and whose readers pay one atomic addition
// each way. Writers (changes of the configuration, which are rare) raise a flag, then wait until
// every shard has no reader; a reader that meets the flag steps back and waits for the writer.
class ShardedSharedMutex {
  public:
    void lock() {
        writerMutex_.lock();
        writing_.store(true, std::memory_order_seq_cst);
        for (Shard& s : shards_)
            while (s.readers.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    }
    void unlock() {
        writing_.store(false, std::memory_order_seq_cst);
        writerMutex_.unlock();
    }
    void lock_shared() {
        Shard& s = shards_[MyShard()];
        for (;;) {
            s.readers.fetch_add(1, std::memory_order_seq_cst);
            if (!writing_.load(std::memory_order_seq_cst)) return;
            s.readers.fetch_sub(1, std::memory_order_seq_cst);
            // The writer holds its mutex for as long as it writes.
            std::lock_guard wait(writerMutex_);
        }
    }
    void unlock_shared() { shards_[MyShard()].readers.fetch_sub(1, std::memory_order_release); }

  private:
    static constexpr std::size_t kShards = 8;
    struct alignas(64) Shard {
        std::atomic<std::uint32_t> readers{0};
    };
    static std::size_t MyShard() {
        static std::atomic<std::size_t> next{0};
        thread_local std::size_t shard = next++ % kShards;
        return shard;
    }
    std::array<Shard, kShards> shards_;
    std::atomic<bool> writing_{false};
    std::mutex writerMutex_;
};

// The bound interfaces by address: a sorted array, which a decision searches faster than a
// hash table for the few addresses a computer has.
struct Interface;
class AddressMap {
    template <class Entries>
    static auto Lower(Entries& entries, std::uint32_t address) {
        return std::lower_bound(entries.begin(), entries.end(), address,
                                [](const auto& e, std::uint32_t a) { return e.first < a; });
    }

  public:
    std::size_t count(std::uint32_t address) const { return Find(address) ? 1 : 0; }
    void emplace(std::uint32_t address, Interface* itf) {
        entries_.insert(Lower(entries_, address), {address, itf});
    }
    void erase(std::uint32_t address) {
        auto it = Lower(entries_, address);
        if (it != entries_.end() && it->first == address) entries_.erase(it);
    }
    Interface* Find(std::uint32_t address) const {
        auto it = Lower(entries_, address);
        return it != entries_.end() && it->first == address ? it->second : nullptr;
    }

  private:
    std::vector<std::pair<std::uint32_t, Interface*>> entries_;
};

struct Verdict {
    PFFORWARD_ACTION action = PF_ACTION_FORWARD;
    PFFRAMETYPE frame = PFFT_FILTER;
    DWORD rule = 0;
    const Rule* match = nullptr;  // the filter that decided; null for the default or a check
    bool followed = false;        // a later fragment that follows its first: counted already
};

struct FragmentKey {
    std::uint32_t src;
    std::uint32_t dst;
    std::uint16_t id;
    std::uint8_t protocol;
    std::uint8_t direction;
    bool operator==(const FragmentKey&) const = default;
};

struct FragmentKeyHash {
    std::size_t operator()(const FragmentKey& k) const {
        std::uint64_t h = (std::uint64_t{k.src} << 32 | k.dst) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(
            h ^
            (std::uint64_t{k.id} << 16 | k.protocol << 8 | k.direction) * 0xC2B2AE3D27D4EB4FULL);
    }
};

// What the driver remembers of one fragmented datagram.
struct FragmentEntry {
    Clock::time_point expires;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pieces;  // [begin, end) seen
    bool decided = false;                                         // the first fragment was decided
    Verdict verdict;
};

// Datagrams in arrival order; every entry lives equally long, so the oldest expires first.
class FragmentTable {
  public:
    FragmentEntry* Find(const FragmentKey& key, Clock::time_point now) {
        auto it = entries_.find(key);
        if (it == entries_.end() || it->second.expires <= now) return nullptr;
        return &it->second;
    }

    FragmentEntry& Get(const FragmentKey& key, Clock::time_point now, std::size_t capacity,
                       Clock::duration lifetime) {
        Expire(now);
        if (auto it = entries_.find(key); it != entries_.end()) return it->second;
        while (!order_.empty() && entries_.size() >= std::max<std::size_t>(capacity, 1))
            PopOldest();
        order_.push_back(key);
        FragmentEntry& e = entries_[key];
        e.expires = now + lifetime;
        return e;
    }

  private:
    void Expire(Clock::time_point now) {
        while (!order_.empty() && entries_.at(order_.front()).expires <= now) PopOldest();
    }
    void PopOldest() {
        entries_.erase(order_.front());
        order_.pop_front();
    }

    std::unordered_map<FragmentKey, FragmentEntry, FragmentKeyHash> entries_;
    std::deque<FragmentKey> order_;
};

struct Interface : InterfaceRecord {
    FilterIndex filters[2];
    struct FilterRef {
        std::uint8_t direction = 0;
        FilterIndex::RuleId id = 0;
        std::uint64_t order = 0;       // its place among the filters of its direction
        FilterStatistics description;  // the filter as added, for the statistics
        std::atomic<std::uint64_t> hits{0};
    };
    // Nodes stay where they are, so the rules point at their counts.
    std::unordered_map<FILTER_HANDLE, FilterRef> filterHandles;
    std::map<std::uint64_t, FILTER_HANDLE> order[2];  // the filters in the order they were added
    std::uint64_t nextOrder = 0;
    std::atomic<std::uint64_t> drops[2] = {0, 0};  // by the default action, per direction
    std::atomic<std::uint64_t> fragmentDrops{0}, spoofDrops{0};
    std::mutex fragmentMutex;  // decisions share the driver's lock but change this table
    FragmentTable fragments;

    void RemoveFilter(std::unordered_map<FILTER_HANDLE, FilterRef>::iterator it) {
        filters[it->second.direction].Remove(it->second.id);
        order[it->second.direction].erase(it->second.order);
        filterHandles.erase(it);
    }
    void ClearCounts() {
        for (auto& [h, ref] : filterHandles) ref.hits = 0;
        drops[0] = drops[1] = 0;
        fragmentDrops = spoofDrops = 0;
    }
};

FilterStatistics Describe(const PF_FILTER_DESCRIPTOR& d, PacketDirection direction) {
    FilterStatistics f;
    f.direction = direction;
    f.info = d;
    f.info.SrcAddr = f.info.SrcMask = f.info.DstAddr = f.info.DstMask = nullptr;
    const std::uint8_t* cells[4] = {d.SrcAddr, d.SrcMask, d.DstAddr, d.DstMask};
    for (int i = 0; i < 4; ++i) std::memcpy(&f.addresses[i], cells[i], 4);
    return f;
}

// The bytes of the fixed part before the filters' records.
constexpr std::size_t kStatisticsHead = offsetof(PF_INTERFACE_STATS, FilterInfo);
constexpr std::size_t kStatisticsCells = 4 * 4;  // a filter's four address cells

// Stateless signs of a bad fragment.
bool IsBadFragment(const Packet& p) {
    std::size_t payload = p.PayloadLength();
    if (p.moreFragments && (payload == 0 || payload % 8 != 0)) return true;
    if (p.headerLength + p.fragmentOffset + payload > kMaxDatagram) return true;
    if (p.fragmentOffset == 0 && payload < TransportHeaderSize(p.protocol)) return true;
    return p.protocol == kProtoTcp && p.fragmentOffset == 8;  // would rewrite the TCP flags
}

// False when the piece partly overlaps one seen before (an exact repeat is a retransmission)
// or the datagram has too many pieces. `keep` records it.
bool AcceptPiece(FragmentEntry& e, const Packet& p, bool keep) {
    std::uint32_t begin = p.fragmentOffset;
    std::uint32_t end = begin + static_cast<std::uint32_t>(p.PayloadLength());
    for (const auto& [b, en] : e.pieces) {
        if (b == begin && en == end) return true;
        if (begin < en && b < end) return false;
    }
    if (e.pieces.size() >= kMaxFragmentsPerDatagram) return false;
    if (keep) e.pieces.emplace_back(begin, end);
    return true;
}

std::int64_t FileTimeNow() {
    // 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
    constexpr std::int64_t kEpochDifference = 116444736000000000LL;
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return kEpochDifference +
           std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

DWORD RoundUp8(DWORD n) {
    return (n + 7) & ~DWORD{7};
}

}  // namespace

struct PacketFilterDriver::Impl {
    explicit Impl(Options o) : options(std::move(o)) {
        if (!options.clock) options.clock = [] { return Clock::now(); };
        if (options.logTimerThread) timer = std::thread([this] { TimerLoop(); });
    }
    ~Impl() {
        {
            std::lock_guard lock(logMutex);
            stopping = true;
        }
        logWake.notify_all();
        if (timer.joinable()) timer.join();
    }

    Options options;

    ShardedSharedMutex mutex;
    std::unordered_map<INTERFACE_HANDLE, std::unique_ptr<Interface>> interfaces;
    AddressMap byAddress;
    INTERFACE_HANDLE nextInterface = 1;
    FILTER_HANDLE nextFilter = 1;
    std::atomic<std::uint64_t> malformed{0};
    std::atomic<bool> logDecisions{true};

    std::mutex logMutex;
    std::condition_variable logWake;
    bool logMade = false;
    Event* logEvent = nullptr;
    std::uint8_t* logBuffer = nullptr;
    DWORD logSize = 0, logByteThreshold = 0, logEntryThreshold = 0;
    DWORD logged = 0, lost = 0, used = 0;
    // Frames written and lost per interface name, for the statistics.
    struct LogCounts {
        std::uint64_t logged = 0, lost = 0;
    };
    std::unordered_map<DWORD, LogCounts> logCounts;
    bool overflowed = false;  // a frame did not fit: the later ones are lost too, in order
    std::optional<Clock::time_point> pendingSince;  // first frame not yet signalled
    bool stopping = false;
    std::thread timer;

    Interface* Find(INTERFACE_HANDLE h) const {
        auto it = interfaces.find(h);
        return it == interfaces.end() ? nullptr : it->second.get();
    }

    // The next handle of a counter that is not 0 and not in use.
    template <class InUse>
    static std::uint32_t NextHandle(std::uint32_t& counter, InUse inUse) {
        for (;;) {
            std::uint32_t h = counter++;
            if (h != 0 && !inUse(h)) return h;
        }
    }

    FILTER_HANDLE NextFilterHandle() {
        return NextHandle(nextFilter, [this](FILTER_HANDLE h) {
            for (const auto& [_, itf] : interfaces)
                if (itf->filterHandles.count(h)) return true;
            return false;
        });
    }

    DWORD ChangeGlobals(INTERFACE_HANDLE h, GLOBAL_FILTER g, bool on) {
        std::unique_lock lock(mutex);
        Interface* itf = Find(h);
        if (!itf) return Fail(kPfErrorNoPfInterface);
        if (g >= 32 || (kKnownGlobals & GlobalBit(g)) == 0)
            return Fail(kPfErrorGlobalFilterNotSupported);
        if (on) {
            itf->globals |= GlobalBit(g);
        } else {
            if (!itf->Has(g)) return Fail(kErrorNotFound);
            itf->globals &= ~GlobalBit(g);
        }
        return kErrorSuccess;
    }

    static Verdict FilterVerdict(const Interface& itf, int d, const Packet& p) {
        PFFORWARD_ACTION def = itf.actions[d];
        const Rule* match = itf.filters[d].FindMatch(p);
        if (!match) return Verdict{def, PFFT_FILTER, 0};
        PFFORWARD_ACTION flipped = def == PF_ACTION_FORWARD ? PF_ACTION_DROP : PF_ACTION_FORWARD;
        return Verdict{flipped, PFFT_FILTER, match->ruleNumber, match};
    }

    // A real packet's decision in the interface's counts: the filter that matched, else a drop
    // by the default action or by a global filter.
    static void Count(Interface& itf, PacketDirection direction, const Verdict& v) {
        if (v.followed) return;
        if (v.match) {
            if (v.match->hits) v.match->hits->fetch_add(1, std::memory_order_relaxed);
        } else if (v.action == PF_ACTION_DROP) {
            std::atomic<std::uint64_t>& count = v.frame == PFFT_FRAG ? itf.fragmentDrops
                                                : v.frame == PFFT_SPOOF
                                                    ? itf.spoofDrops
                                                    : itf.drops[static_cast<int>(direction)];
            count.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // The interface's statistics; the caller holds the driver's lock.
    void Collect(const Interface& itf, InterfaceStatistics& s) {
        s.record = itf;
        s.inDrops = itf.drops[0].load(std::memory_order_relaxed);
        s.outDrops = itf.drops[1].load(std::memory_order_relaxed);
        s.fragments = itf.fragmentDrops.load(std::memory_order_relaxed);
        s.spoofs = itf.spoofDrops.load(std::memory_order_relaxed);
        s.inFilters = itf.order[0].size();
        s.filters.reserve(itf.order[0].size() + itf.order[1].size());
        for (const auto& order : itf.order)
            for (const auto& [at, h] : order) {
                const Interface::FilterRef& ref = itf.filterHandles.at(h);
                s.filters.push_back(ref.description);
                s.filters.back().packets = ref.hits.load(std::memory_order_relaxed);
            }
        std::lock_guard lock(logMutex);
        auto it = logCounts.find(itf.LogName());
        if (it != logCounts.end()) {
            s.logged = it->second.logged;
            s.lost = it->second.lost;
        }
    }

    // The counts of `s` taken off the interface's; the caller holds the driver's lock.
    void Subtract(Interface& itf, const InterfaceStatistics& s, bool logOnly) {
        if (!logOnly) {
            itf.drops[0] -= s.inDrops;
            itf.drops[1] -= s.outDrops;
            itf.fragmentDrops -= s.fragments;
            itf.spoofDrops -= s.spoofs;
            for (const FilterStatistics& f : s.filters) {
                auto it = itf.filterHandles.find(f.handle);
                if (it != itf.filterHandles.end()) it->second.hits -= f.packets;
            }
        }
        std::lock_guard lock(logMutex);
        auto it = logCounts.find(itf.LogName());
        if (it != logCounts.end()) {
            it->second.logged -= std::min(it->second.logged, s.logged);
            it->second.lost -= std::min(it->second.lost, s.lost);
        }
    }

    void ForgetLogCounts(const Interface& itf) {
        std::lock_guard lock(logMutex);
        logCounts.erase(itf.LogName());
    }

    // `record`: a real packet, whose fragments are remembered; a test only reads that state.
    Verdict Decide(Interface& itf, PacketDirection direction, const Packet& p, bool record) {
        int d = static_cast<int>(direction);
        if (direction == PacketDirection::kInput && itf.Has(GF_STRONGHOST) && itf.bound &&
            p.dst != itf.address)
            return Verdict{PF_ACTION_DROP, PFFT_SPOOF, 0};
        if (p.IsFragment() && (itf.Has(GF_FRAGMENTS) || itf.Has(GF_FRAGCACHE)))
            return DecideFragment(itf, d, p, record);
        // Kept apart from the fragment path, so that the common case returns in registers.
        return FilterVerdict(itf, d, p);
    }

    Verdict DecideFragment(Interface& itf, int d, const Packet& p, bool record) {
        bool check = itf.Has(GF_FRAGMENTS), cache = itf.Has(GF_FRAGCACHE);
        if (check && IsBadFragment(p)) return Verdict{PF_ACTION_DROP, PFFT_FRAG, 0};
        std::lock_guard lock(itf.fragmentMutex);
        FragmentKey key{p.src, p.dst, p.id, p.protocol, static_cast<std::uint8_t>(d)};
        Clock::time_point now = options.clock();
        // Checking needs every piece; the cache only needs what the first fragment decided.
        bool keep = record && (check || p.fragmentOffset == 0);
        FragmentEntry* entry = keep ? &itf.fragments.Get(key, now, options.fragmentCacheCapacity,
                                                         options.fragmentLifetime)
                                    : itf.fragments.Find(key, now);
        if (check && entry && !AcceptPiece(*entry, p, keep))
            return Verdict{PF_ACTION_DROP, PFFT_FRAG, 0};
        if (cache && p.fragmentOffset != 0 && entry && entry->decided) {
            Verdict followed = entry->verdict;
            followed.followed = true;
            return followed;
        }
        Verdict v = FilterVerdict(itf, d, p);
        if (cache && p.fragmentOffset == 0 && entry && record) {
            entry->decided = true;
            entry->verdict = v;
            entry->verdict.match = nullptr;  // the filter may be gone when the rest arrives
        }
        return v;
    }

    void ClearCounts() {
        logged = lost = used = 0;
        overflowed = false;
        pendingSince.reset();
    }

    void Signal() {
        if (logEvent) logEvent->Set();
        pendingSince.reset();
    }

    // `bytes` holds the IP header (`headerLength` bytes) and at least the logged part of the
    // `payloadLength` bytes after it.
    void WriteFrame(DWORD interfaceName, PFFRAMETYPE frame, DWORD rule, const std::uint8_t* bytes,
                    std::size_t headerLength, std::size_t payloadLength) {
        std::lock_guard lock(logMutex);
        if (!logBuffer) return;
        std::size_t extra = std::min<std::size_t>(payloadLength, kPfLogMaxAdditionalData);
        std::size_t data = headerLength + extra;
        DWORD size = static_cast<DWORD>(kPfLogFrameHeaderSize + data);
        LogCounts* counts = nullptr;
        try {
            counts = &logCounts[interfaceName];
        } catch (const std::bad_alloc&) {
            // The frame is still written; only the interface's statistics miss it.
        }
        if (overflowed || size > logSize - used) {
            // A smaller frame after one that did not fit would put the log out of order.
            overflowed = true;
            ++lost;
            if (counts) ++counts->lost;
            Signal();
            return;
        }
        // The padding that keeps the next frame 8-aligned may be cut at the buffer's end.
        DWORD total = std::min(RoundUp8(size), logSize - used);
        PFLOGFRAME head{};
        head.Timestamp = FileTimeNow();
        head.pfeTypeOfFrame = frame;
        head.dwTotalSizeUsed = total;
        head.dwFilterRule = rule;
        head.wSizeOfAdditionalData = static_cast<std::uint16_t>(extra);
        head.wSizeOfIpHeader = static_cast<std::uint16_t>(headerLength);
        head.dwInterfaceName = interfaceName;
        std::uint8_t* at = logBuffer + used;
        std::memcpy(at, &head, kPfLogFrameHeaderSize);
        std::memcpy(at + kPfLogFrameHeaderSize, bytes, data);
        std::memset(at + kPfLogFrameHeaderSize + data, 0, total - kPfLogFrameHeaderSize - data);
        used += total;
        ++logged;
        if (counts) ++counts->logged;
        bool full = logSize - used < kPfLogMinBufferSize;
        if (logged >= logEntryThreshold || used >= logByteThreshold || full) {
            Signal();
        } else if (!pendingSince) {
            pendingSince = options.clock();
            logWake.notify_all();
        }
    }

    void CheckTimerLocked() {
        if (pendingSince && options.clock() - *pendingSince >= options.logFlushDelay) Signal();
    }

    void TimerLoop() {
        std::unique_lock lock(logMutex);
        while (!stopping) {
            if (!pendingSince) {
                logWake.wait(lock);
            } else {
                auto left = *pendingSince + options.logFlushDelay - options.clock();
                if (left > Clock::duration::zero()) logWake.wait_for(lock, left);
            }
            if (!stopping) CheckTimerLocked();
        }
    }
};

PacketFilterDriver::PacketFilterDriver() : PacketFilterDriver(Options{}) {}

PacketFilterDriver::PacketFilterDriver(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

PacketFilterDriver::~PacketFilterDriver() = default;

DWORD PacketFilterDriver::CreateInterface(DWORD dwName, PFFORWARD_ACTION inAction,
                                          PFFORWARD_ACTION outAction, bool bUseLog,
                                          bool /*bMustBeUnique*/, INTERFACE_HANDLE* ppInterface) {
    auto valid = [](PFFORWARD_ACTION a) { return a == PF_ACTION_FORWARD || a == PF_ACTION_DROP; };
    if (!ppInterface || !valid(inAction) || !valid(outAction)) return Fail(kErrorInvalidParameter);
    std::unique_lock lock(impl_->mutex);
    try {
        auto itf = std::make_unique<Interface>();
        itf->handle = Impl::NextHandle(
            impl_->nextInterface, [this](INTERFACE_HANDLE h) { return impl_->Find(h) != nullptr; });
        itf->name = dwName;
        itf->actions[0] = inAction;
        itf->actions[1] = outAction;
        itf->useLog = bUseLog;
        INTERFACE_HANDLE handle = itf->handle;
        impl_->interfaces.emplace(handle, std::move(itf));
        *ppInterface = handle;
    } catch (const std::bad_alloc&) {
        return Fail(kErrorNotEnoughMemory);
    }
    return kErrorSuccess;
}

DWORD PacketFilterDriver::DeleteInterface(INTERFACE_HANDLE hInterface) {
    std::unique_lock lock(impl_->mutex);
    Interface* itf = impl_->Find(hInterface);
    if (!itf) return Fail(kPfErrorNoPfInterface);
    if (itf->bound) impl_->byAddress.erase(itf->address);
    impl_->ForgetLogCounts(*itf);
    impl_->interfaces.erase(hInterface);
    return kErrorSuccess;
}

DWORD PacketFilterDriver::BindInterfaceToIPAddress(INTERFACE_HANDLE hInterface,
                                                   PFADDRESSTYPE pfatType,
                                                   const std::uint8_t* IPAddress) {
    if (!IPAddress) return Fail(kErrorInvalidParameter);
    if (pfatType != PF_IPV4) return Fail(kErrorNotSupported);
    std::uint32_t address;
    std::memcpy(&address, IPAddress, 4);
    std::unique_lock lock(impl_->mutex);
    Interface* itf = impl_->Find(hInterface);
    if (!itf) return Fail(kPfErrorNoPfInterface);
    if (itf->bound) return Fail(kPfErrorAlreadyBound);
    if (impl_->byAddress.count(address)) return Fail(kErrorAlreadyExists);
    itf->bound = true;
    itf->address = address;
    impl_->byAddress.emplace(address, itf);
    return kErrorSuccess;
}

DWORD PacketFilterDriver::UnBindInterface(INTERFACE_HANDLE hInterface) {
    std::unique_lock lock(impl_->mutex);
    Interface* itf = impl_->Find(hInterface);
    if (!itf) return Fail(kPfErrorNoPfInterface);
    if (!itf->bound) return Fail(kPfErrorNotBound);
    impl_->byAddress.erase(itf->address);
    itf->bound = false;
    itf->address = 0;
    // Filtering on the address has ended: its counts start again from zero.
    itf->ClearCounts();
    impl_->ForgetLogCounts(*itf);
    return kErrorSuccess;
}

DWORD PacketFilterDriver::AddFiltersToInterface(INTERFACE_HANDLE hInterface, DWORD cInFilters,
                                                const PF_FILTER_DESCRIPTOR* pfiltIn,
                                                DWORD cOutFilters,
                                                const PF_FILTER_DESCRIPTOR* pfiltOut,
                                                FILTER_HANDLE* pfHandle) {
    if (cInFilters == 0 && cOutFilters == 0) return Fail(kPfErrorNoFiltersGiven);
    std::uint64_t count = std::uint64_t{cInFilters} + cOutFilters;
    if ((cInFilters && !pfiltIn) || (cOutFilters && !pfiltOut) || !pfHandle ||
        count > kMaxFiltersPerCall)
        return Fail(kErrorInvalidParameter);
    std::vector<Rule> rules(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const PF_FILTER_DESCRIPTOR& d = i < cInFilters ? pfiltIn[i] : pfiltOut[i - cInFilters];
        if (Win32Error e = CompileRule(d, rules[i])) return Fail(e);
    }
    std::unique_lock lock(impl_->mutex);
    Interface* itf = impl_->Find(hInterface);
    if (!itf) return Fail(kPfErrorNoPfInterface);
    std::size_t added = 0;
    try {
        for (; added < count; ++added) {
            const bool in = added < cInFilters;
            const std::uint8_t d = in ? 0 : 1;
            FILTER_HANDLE h = impl_->NextFilterHandle();
            auto it = itf->filterHandles.try_emplace(h).first;
            Interface::FilterRef& ref = it->second;
            try {
                ref.direction = d;
                ref.order = itf->nextOrder++;
                ref.description = Describe(in ? pfiltIn[added] : pfiltOut[added - cInFilters],
                                           static_cast<PacketDirection>(d));
                ref.description.handle = h;
                rules[added].hits = &ref.hits;
                ref.id = itf->filters[d].Add(rules[added]);
                try {
                    itf->order[d].emplace(ref.order, h);
                } catch (...) {
                    itf->filters[d].Remove(ref.id);
                    throw;
                }
            } catch (...) {
                itf->filterHandles.erase(it);
                throw;
            }
            pfHandle[added] = h;
        }
    } catch (const std::bad_alloc&) {
        // All or nothing: take back the filters that went in.
        for (std::size_t i = 0; i < added; ++i)
            itf->RemoveFilter(itf->filterHandles.find(pfHandle[i]));
        return Fail(kErrorNotEnoughMemory);
    }
    return kErrorSuccess;
}

DWORD PacketFilterDriver::RemoveFilterHandles(INTERFACE_HANDLE hInterface, DWORD cFilters,
                                              const FILTER_HANDLE* pvHandles) {
    if (cFilters == 0) return Fail(kPfErrorNoFiltersGiven);
    if (!pvHandles) return Fail(kErrorInvalidParameter);
    std::unique_lock lock(impl_->mutex);
    Interface* itf = impl_->Find(hInterface);
    if (!itf) return Fail(kPfErrorNoPfInterface);
    for (DWORD i = 0; i < cFilters; ++i)
        if (!itf->filterHandles.count(pvHandles[i])) return Fail(kErrorInvalidHandle);
    for (DWORD i = 0; i < cFilters; ++i) {
        auto it = itf->filterHandles.find(pvHandles[i]);
        if (it == itf->filterHandles.end()) continue;  // named twice in the list
        itf->RemoveFilter(it);
    }
    return kErrorSuccess;
}

DWORD PacketFilterDriver::AddGlobalFilterToInterface(INTERFACE_HANDLE hInterface,
                                                     GLOBAL_FILTER gfFilter) {
    return impl_->ChangeGlobals(hInterface, gfFilter, true);
}

DWORD PacketFilterDriver::RemoveGlobalFilterFromInterface(INTERFACE_HANDLE hInterface,
                                                          GLOBAL_FILTER gfFilter) {
    return impl_->ChangeGlobals(hInterface, gfFilter, false);
}

DWORD PacketFilterDriver::MakeLog(Event* hEvent) {
    if (!hEvent) return Fail(kErrorInvalidParameter);
    std::lock_guard lock(impl_->logMutex);
    impl_->logMade = true;
    impl_->logEvent = hEvent;
    return kErrorSuccess;
}

DWORD PacketFilterDriver::SetLogBuffer(std::uint8_t* pbBuffer, DWORD dwSize, DWORD dwThreshold,
                                       DWORD dwEntries, DWORD* pdwLoggedEntries,
                                       DWORD* pdwLostEntries, DWORD* pdwSizeUsed) {
    if (!pbBuffer || !pdwLoggedEntries || !pdwLostEntries || !pdwSizeUsed)
        return Fail(kErrorInvalidParameter);
    if (dwSize < kPfLogMinBufferSize) return Fail(kPfErrorBufferTooSmall);
    std::lock_guard lock(impl_->logMutex);
    if (!impl_->logMade) return Fail(kPfErrorLogNotSetUp);
    *pdwLoggedEntries = impl_->logged;
    *pdwLostEntries = impl_->lost;
    *pdwSizeUsed = impl_->used;
    impl_->logBuffer = pbBuffer;
    impl_->logSize = dwSize;
    impl_->logByteThreshold = dwThreshold;
    impl_->logEntryThreshold = dwEntries;
    impl_->ClearCounts();
    return kErrorSuccess;
}

DWORD PacketFilterDriver::DeleteLog() {
    std::lock_guard lock(impl_->logMutex);
    if (!impl_->logMade) return Fail(kPfErrorLogNotSetUp);
    impl_->logMade = false;
    impl_->logEvent = nullptr;
    impl_->logBuffer = nullptr;
    impl_->ClearCounts();
    return kErrorSuccess;
}

DWORD PacketFilterDriver::TestPacket(INTERFACE_HANDLE hInInterface, INTERFACE_HANDLE hOutInterface,
                                     DWORD cBytes, const std::uint8_t* pbPacket,
                                     PFFORWARD_ACTION* ppAction) {
    if (!pbPacket || !ppAction) return Fail(kErrorInvalidParameter);
    std::shared_lock lock(impl_->mutex);
    Interface* in = hInInterface ? impl_->Find(hInInterface) : nullptr;
    Interface* out = hOutInterface ? impl_->Find(hOutInterface) : nullptr;
    if ((hInInterface && !in) || (hOutInterface && !out)) return Fail(kPfErrorNoPfInterface);
    Packet p;
    if (!ParsePacket({pbPacket, cBytes}, p)) {
        ++impl_->malformed;
        *ppAction = PF_ACTION_DROP;
        return kErrorSuccess;
    }
    PFFORWARD_ACTION action = PF_ACTION_FORWARD;
    if (in) action = impl_->Decide(*in, PacketDirection::kInput, p, false).action;
    if (out && action == PF_ACTION_FORWARD)
        action = impl_->Decide(*out, PacketDirection::kOutput, p, false).action;
    *ppAction = action;
    return kErrorSuccess;
}

bool PacketFilterDriver::ReadInterface(INTERFACE_HANDLE hInterface, InterfaceRecord* record) const {
    std::shared_lock lock(impl_->mutex);
    const Interface* itf = impl_->Find(hInterface);
    if (itf) *record = *itf;
    return itf != nullptr;
}

PFFORWARD_ACTION PacketFilterDriver::DecidePacket(PacketDirection direction,
                                                  std::uint32_t localAddr,
                                                  std::span<const std::uint8_t> packet) {
    Packet p;
    if (!ParsePacket(packet, p)) {
        ++impl_->malformed;
        return PF_ACTION_DROP;
    }
    std::shared_lock lock(impl_->mutex);
    Interface* bound = impl_->byAddress.Find(localAddr);
    if (!bound) return PF_ACTION_FORWARD;
    Interface& itf = *bound;
    try {
        Verdict v = impl_->Decide(itf, direction, p, true);
        if (!impl_->logDecisions) return v.action;
        Impl::Count(itf, direction, v);
        if (v.action == PF_ACTION_DROP && itf.useLog)
            impl_->WriteFrame(itf.LogName(), v.frame, v.rule, p.bytes, p.headerLength,
                              p.PayloadLength());
        return v.action;
    } catch (const std::bad_alloc&) {
        return PF_ACTION_DROP;  // no memory for the fragment state: fail closed
    }
}

void PacketFilterDriver::SetDecisionLogging(bool on) {
    impl_->logDecisions = on;
}

void PacketFilterDriver::LogDrop(DWORD interfaceName, PFFRAMETYPE frameType, DWORD rule,
                                 std::span<const std::uint8_t> packet) {
    if (packet.size() < kIpHeaderMin || packet[0] >> 4 != 4) return;
    std::size_t headerLength = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    std::size_t length = static_cast<std::size_t>(packet[2] << 8 | packet[3]);
    if (headerLength < kIpHeaderMin || headerLength > length || headerLength > packet.size())
        return;
    // The copy may end before the packet does: what it holds is logged, never more.
    std::size_t payload = std::min(length, packet.size()) - headerLength;
    impl_->WriteFrame(interfaceName, frameType, rule, packet.data(), headerLength, payload);
}

void PacketFilterDriver::CheckLogTimer() {
    std::lock_guard lock(impl_->logMutex);
    impl_->CheckTimerLocked();
}

DWORD PacketFilterDriver::GetInterfaceStatistics(INTERFACE_HANDLE pInterface,
                                                 PF_INTERFACE_STATS* ppfStats, DWORD* pdwBufferSize,
                                                 bool fResetCounters) {
    if (!pdwBufferSize || (!ppfStats && *pdwBufferSize != 0)) return Fail(kErrorInvalidParameter);
    // Shared: decisions go on while the counts are read; changes wait.
    std::shared_lock lock(impl_->mutex);
    Interface* itf = impl_->Find(pInterface);
    if (!itf) return Fail(kPfErrorNoPfInterface);
    InterfaceStatistics s;
    try {
        impl_->Collect(*itf, s);
    } catch (const std::bad_alloc&) {
        return Fail(kErrorNotEnoughMemory);
    }
    if (DWORD r = WriteInterfaceStatistics(s, ppfStats, pdwBufferSize)) return r;
    if (fResetCounters) impl_->Subtract(*itf, s, false);
    return kErrorSuccess;
}

bool PacketFilterDriver::ReadStatistics(INTERFACE_HANDLE hInterface, InterfaceStatistics* s) const {
    std::shared_lock lock(impl_->mutex);
    const Interface* itf = impl_->Find(hInterface);
    if (itf) impl_->Collect(*itf, *s);
    return itf != nullptr;
}

void PacketFilterDriver::SubtractStatistics(const InterfaceStatistics& s, bool logOnly) {
    std::shared_lock lock(impl_->mutex);
    if (Interface* itf = impl_->Find(s.record.handle)) impl_->Subtract(*itf, s, logOnly);
}

std::uint64_t pf::InterfaceStatisticsSize(std::size_t filters) {
    return kStatisticsHead + std::uint64_t{filters} * (sizeof(PF_FILTER_STATS) + kStatisticsCells);
}

DWORD pf::WriteInterfaceStatistics(const InterfaceStatistics& s, PF_INTERFACE_STATS* ppfStats,
                                   DWORD* pdwBufferSize) {
    const DWORD size = *pdwBufferSize;
    if (size < sizeof(PF_INTERFACE_STATS)) {
        *pdwBufferSize = sizeof(PF_INTERFACE_STATS);
        return Fail(kPfErrorBufferTooSmall);
    }
    const bool withFilters = size != sizeof(PF_INTERFACE_STATS);
    const std::uint64_t need = InterfaceStatisticsSize(s.filters.size());
    if (withFilters && need > size) {
        if (need > 0xFFFFFFFFu) return Fail(kErrorNotEnoughMemory);
        *pdwBufferSize = static_cast<DWORD>(need);
        return Fail(kErrorInsufficientBuffer);
    }
    PF_INTERFACE_STATS head{};
    head.eaInAction = s.record.actions[0];
    head.eaOutAction = s.record.actions[1];
    head.dwInDrops = static_cast<DWORD>(s.inDrops);
    head.dwOutDrops = static_cast<DWORD>(s.outDrops);
    head.dwNumInFilters = static_cast<DWORD>(s.inFilters);
    head.dwNumOutFilters = static_cast<DWORD>(s.filters.size() - s.inFilters);
    head.dwFrag = static_cast<DWORD>(s.fragments);
    head.dwSpoof = static_cast<DWORD>(s.spoofs);
    head.liTotalLogged = static_cast<std::int64_t>(s.logged);
    head.dwLostLogEntries = static_cast<DWORD>(s.lost);
    // The caller's buffer is bytes: records are copied in, never assumed aligned there.
    auto* bytes = reinterpret_cast<std::uint8_t*>(ppfStats);
    std::memcpy(bytes, &head, kStatisticsHead);
    if (!withFilters) return kErrorSuccess;
    std::uint8_t* cells = bytes + kStatisticsHead + s.filters.size() * sizeof(PF_FILTER_STATS);
    for (std::size_t i = 0; i < s.filters.size(); ++i) {
        const FilterStatistics& f = s.filters[i];
        PF_FILTER_STATS record{};
        record.dwNumPacketsFiltered = static_cast<DWORD>(f.packets);
        record.info = f.info;
        std::uint8_t** pointers[4] = {&record.info.SrcAddr, &record.info.SrcMask,
                                      &record.info.DstAddr, &record.info.DstMask};
        for (int c = 0; c < 4; ++c, cells += 4) {
            std::memcpy(cells, &f.addresses[c], 4);
            *pointers[c] = cells;
        }
        std::memcpy(bytes + kStatisticsHead + i * sizeof(PF_FILTER_STATS), &record, sizeof record);
    }
    *pdwBufferSize = static_cast<DWORD>(need);
    return kErrorSuccess;
}

PacketFilterDriver::Statistics PacketFilterDriver::GetStatistics() const {
    Statistics s;
    s.malformed = impl_->malformed.load();
    return s;
}

}  // namespace platform
