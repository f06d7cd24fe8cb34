#include "service/handlers.h"

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "platform/pf.h"
#include "service/config_store.h"
#include "service/service_log.h"
#include "service/service_state.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::service {

namespace {

// The global filters the service knows, in the order they are applied and stored.
constexpr platform::GLOBAL_FILTER kGlobalFilters[] = {
    platform::GF_FRAGMENTS, platform::GF_STRONGHOST, platform::GF_FRAGCACHE};

bool IsKnownGlobalFilter(std::int32_t number) {
    for (auto gf : kGlobalFilters)
        if (static_cast<std::int32_t>(gf) == number) return true;
    return false;
}

template <class T>
T Result(T result) {
    ConsoleLine("Result " + std::to_string(result));
    return result;
}

enum class Direction { kIn, kOut };

// "in" or "out"; any other word would send the lists one way and the stored configuration the
// other, so it is refused like a word that does not convert.
Direction DirectionWord(std::string_view args) {
    std::string_view word = GetWord(args, 2);
    if (word == "in") return Direction::kIn;
    if (word == "out") return Direction::kOut;
    throw ConvertError("'" + std::string(word) + "' is not a direction (in or out)");
}

std::vector<RFilterEntry>& Filters(RInterface& iface, Direction d) {
    return d == Direction::kIn ? iface.InFilters : iface.OutFilters;
}

platform::DWORD AddFilter(RInterface& iface, Direction d, FilterRecord& filter,
                          platform::FILTER_HANDLE* handle) {
    platform::PF_FILTER_DESCRIPTOR descriptor = filter.Descriptor();
    return d == Direction::kIn ? platform::PfAddFiltersToInterface(iface.PfHandle, 1, &descriptor,
                                                                   0, nullptr, handle)
                               : platform::PfAddFiltersToInterface(iface.PfHandle, 0, nullptr, 1,
                                                                   &descriptor, handle);
}

StoredDirection Stored(Direction d) {
    return d == Direction::kIn ? StoredDirection::kIn : StoredDirection::kOut;
}

// The failure reply of the commands whose non-negative results all read as success.
constexpr std::int32_t kNotRecorded = -5;

// Records a change: the writes of `store` land together or not at all. Nothing is written when
// the change is not to be recorded. A failure is logged; the caller then undoes its change, so
// that the running and the stored configuration never differ.
template <class F>
platform::Win32Error Record(bool persist, const RInterface& iface, F&& store) {
    if (!persist) return platform::kErrorSuccess;
    StoreTransaction tx;
    platform::Win32Error e = tx.Begin_result();
    if (!e) e = store(IPToStr(iface.Addr));
    if (!e) e = tx.Commit();
    if (e) {
        std::string line = "Error [" + std::to_string(e) +
                           "] while recording the configuration of " + IPToStr(iface.Addr) + " (" +
                           SysErrorText(e) + ")";
        ConsoleLine(line);
        ServiceLog(line);
    }
    return e;
}

// Creates the platform interface of an address with its default actions and binds it; on
// success the record is active.
platform::DWORD Activate(RInterface& iface, platform::DWORD inAction, platform::DWORD outAction) {
    platform::INTERFACE_HANDLE handle = 0;
    platform::DWORD r = platform::PfCreateInterface(
        0, static_cast<platform::PFFORWARD_ACTION>(inAction),
        static_cast<platform::PFFORWARD_ACTION>(outAction), true, true, &handle);
    if (r != 0) return r;
    r = platform::PfBindInterfaceToIPAddress(handle, platform::PF_IPV4,
                                             reinterpret_cast<const std::uint8_t*>(&iface.Addr));
    if (r != 0) {
        ConsoleLine("Error [" + std::to_string(platform::GetLastError()) +
                    "] In PfBindInterfaceToIPAddress(" + std::to_string(handle) + ",0," +
                    IPToStr(iface.Addr) + ") (" + SysErrorText(r) + ")");
        // An interface that filters nothing is not left behind in the driver.
        platform::PfDeleteInterface(handle);
        return r;
    }
    iface.Active = true;
    iface.PfHandle = handle;
    iface.CountsSince = static_cast<std::int64_t>(std::time(nullptr));
    iface.InDefAction = inAction;
    iface.OutDefAction = outAction;
    return 0;
}

// Unbinds and deletes the platform interface; on success the record is inactive and keeps its
// filters and global filters for the next start.
platform::DWORD Deactivate(RInterface& iface) {
    if (platform::DWORD r = platform::PfUnBindInterface(iface.PfHandle)) return r;
    if (platform::DWORD r = platform::PfDeleteInterface(iface.PfHandle)) return r;
    iface.Active = false;
    iface.PfHandle = 0;
    iface.InDefAction = 0;
    iface.OutDefAction = 0;
    return 0;
}

// "ADDR in|out FIRST COUNT", as "gfl" and "gfs" take it: a direction, and a run of its list's
// rows that an answer covers. Words that do not convert throw ConvertError.
struct Rows {
    Direction d;
    std::size_t first, wanted;
    // Where the run ends in a list of `size` rows, taking at most `most`: at `first` when it is
    // at or past the end.
    std::size_t End(std::size_t size, std::size_t most) const {
        return first >= size ? first : first + std::min({wanted, most, size - first});
    }
};
Rows ReadRows(std::string_view args) {
    const Direction d = DirectionWord(args);
    const auto first = static_cast<std::size_t>(StrToNonNegative(GetWord(args, 3)));
    return {d, first, static_cast<std::size_t>(StrToNonNegative(GetWord(args, 4)))};
}

}  // namespace

void ProcessingLine(std::string_view prefix, std::string_view args) {
    std::string line(prefix);
    line += args;
    line += ')';
    ConsoleLine(line);
    ServiceLog(line);
}

RInterface* FindInterface(std::string_view args) {
    const IPAddr addr = StrToIP(GetWord(args, 1));
    for (RInterface& iface : InterfaceList)
        if (iface.Addr == addr) return &iface;
    return nullptr;
}

std::int32_t StartFiltering(std::string_view args, bool persist) {
    ProcessingLine("Processing StartFiltering(", args);
    const auto inAction = static_cast<platform::DWORD>(StrToNonNegative(GetWord(args, 2)));
    const auto outAction = static_cast<platform::DWORD>(StrToNonNegative(GetWord(args, 3)));
    RInterface* iface = FindInterface(args);
    if (!iface) return Result(-1);
    if (iface->Active) return Result(-2);
    if (platform::DWORD r = Activate(*iface, inAction, outAction))
        return Result(static_cast<std::int32_t>(r));
    if (platform::Win32Error e = Record(persist, *iface, [&](const std::string& addr) {
            platform::Win32Error w = StoreFilteringOn(addr);
            return w ? w : StoreDefaultActions(addr, inAction, outAction);
        })) {
        Deactivate(*iface);
        return Result(static_cast<std::int32_t>(e));
    }
    const std::int32_t result = RebindFilters(GetWord(args, 1));
    ServiceLog("Succefull (" + std::to_string(result) + ").");
    return Result(result);
}

std::int32_t StopFiltering(std::string_view args, bool persist) {
    ProcessingLine("Processing StoptFiltering(", args);
    RInterface* iface = FindInterface(args);
    if (!iface) return Result(-1);
    if (!iface->Active) return Result(-2);
    const platform::DWORD inAction = iface->InDefAction, outAction = iface->OutDefAction;
    if (platform::DWORD r = Deactivate(*iface)) return Result(static_cast<std::int32_t>(r));
    if (platform::Win32Error e = Record(persist, *iface, StoreFilteringOff)) {
        // Filtering goes on as the stored configuration says.
        if (Activate(*iface, inAction, outAction) == 0) RebindFilters(GetWord(args, 1));
        return Result(static_cast<std::int32_t>(e));
    }
    ServiceLog("Succefull.");
    return Result(0);
}

std::int32_t RebindFilters(std::string_view addrText) {
    ProcessingLine("Processing RebindFilters(", addrText);
    RInterface* iface = FindInterface(addrText);
    if (!iface) return -1;
    if (!iface->Active) return -2;
    for (Direction d : {Direction::kIn, Direction::kOut})
        for (RFilterEntry& entry : Filters(*iface, d))
            AddFilter(*iface, d, entry.Filter, &entry.FilterHandle);
    // The global filters are part of what the address had, so the new interface enforces them
    // too; one the platform no longer takes leaves the set, which reports only what is in force.
    for (auto gf : kGlobalFilters) {
        if (iface->GlobalFilters.test(gf) &&
            platform::PfAddGlobalFilterToInterface(iface->PfHandle, gf) != 0)
            iface->GlobalFilters.reset(gf);
    }
    ServiceLog("Succefull.");
    return 0;
}

std::int64_t SetInterfaceFilter(std::string_view args, bool persist) {
    ProcessingLine("Processing AddFilter(", args);
    RInterface* iface = FindInterface(args);
    if (!iface) return Result<std::int64_t>(-1);
    if (!iface->Active) return Result<std::int64_t>(-2);
    FilterRecord filter = ParseFilterWords(args, 3);
    const Direction d = DirectionWord(args);
    auto& list = Filters(*iface, d);
    for (const RFilterEntry& entry : list)
        if (SameFilter(filter, entry.Filter)) return Result<std::int64_t>(-3);

    platform::FILTER_HANDLE handle = 0;
    if (platform::DWORD r = AddFilter(*iface, d, filter, &handle)) {
        ConsoleLine("Error " + std::to_string(r) + " in PfAddFiltersToInterface. (" +
                    SysErrorText(r) + ")");
        return -4;
    }
    if (Record(persist, *iface, [&](const std::string& addr) {
            return AppendStoredFilter(addr, Stored(d), filter);
        })) {
        platform::PfRemoveFilterHandles(iface->PfHandle, 1, &handle);
        return Result<std::int64_t>(kNotRecorded);
    }
    list.push_back(RFilterEntry{filter, handle});
    ServiceLog("Succefull.");
    return handle;
}

std::string GetInterfaceFilter(std::string_view args) {
    ProcessingLine("Processing GetFilter(", args);
    const std::int32_t position = StrToNonNegative(GetWord(args, 3));
    const Direction d = DirectionWord(args);
    auto result = [](std::string text) {
        ConsoleLine("Result " + text);
        return text;
    };
    RInterface* iface = FindInterface(args);
    if (!iface) return result("-4");
    if (!iface->Active) return result("-1");
    const auto& list = Filters(*iface, d);
    if (static_cast<std::size_t>(position) >= list.size())
        return result(d == Direction::kIn ? "-2" : "-3");
    std::string text = FilterToStr(list[static_cast<std::size_t>(position)].Filter);
    ServiceLog("Succefull.");
    return result(text);
}

std::string GetInterfaceFilters(std::string_view args) {
    ProcessingLine("Processing GetFilters(", args);
    const Rows rows = ReadRows(args);
    RInterface* iface = FindInterface(args);
    if (!iface || !iface->Active) {
        const std::string code = iface ? "-1" : "-4";
        ConsoleLine("Result " + code);
        return code;
    }
    const auto& list = Filters(*iface, rows.d);
    const std::size_t first = rows.first, end = rows.End(list.size(), kMaxFilterTexts);
    std::string reply = "0 " + std::to_string(end - first);
    reply.reserve(reply.size() + (end - first) * 64);
    for (std::size_t row = first; row < end; ++row) (reply += ' ') += FilterToStr(list[row].Filter);
    ServiceLog("Succefull.");
    ConsoleLine("Result 0 " + std::to_string(end - first) + " filters");
    return reply;
}

std::int64_t RemInterfaceFilter(std::string_view args, bool persist) {
    ProcessingLine("Processing RemFilter(", args);
    const std::int32_t position = StrToNonNegative(GetWord(args, 3));
    const Direction d = DirectionWord(args);
    RInterface* iface = FindInterface(args);
    if (!iface) return Result<std::int64_t>(-4);
    if (!iface->Active) return Result<std::int64_t>(-1);
    auto& list = Filters(*iface, d);
    if (static_cast<std::size_t>(position) >= list.size())
        return Result<std::int64_t>(d == Direction::kIn ? -2 : -3);
    auto entry = list.begin() + position;
    const platform::DWORD r =
        platform::PfRemoveFilterHandles(iface->PfHandle, 1, &entry->FilterHandle);
    // A filter the platform kept stays stored as well.
    if (r != 0) return Result<std::int64_t>(r);
    if (Record(persist, *iface, [&](const std::string& addr) {
            return DeleteStoredFilter(addr, Stored(d), position);
        })) {
        AddFilter(*iface, d, entry->Filter, &entry->FilterHandle);
        return Result<std::int64_t>(kNotRecorded);
    }
    list.erase(entry);
    ServiceLog("Succefull.");
    return Result<std::int64_t>(0);
}

std::int64_t DropFilters(std::string_view addrText, bool persist) {
    ProcessingLine("Processing DropFilters(", addrText);
    RInterface* iface = FindInterface(addrText);
    if (!iface) return Result<std::int64_t>(-4);
    if (iface->Active) return Result<std::int64_t>(-1);
    // No platform call: an inactive address has no platform interface.
    if (platform::Win32Error e = Record(persist, *iface, ResetStoredInterface))
        return Result<std::int64_t>(e);
    iface->InFilters.clear();
    iface->OutFilters.clear();
    iface->GlobalFilters.reset();
    ServiceLog("Successful.");
    return Result<std::int64_t>(0);
}

namespace {

// The platform's statistics of an address's interface, read with one call: the buffer is made
// large enough for the filters the service knows of, and again only when the platform has more.
class PlatformStatistics {
  public:
    platform::DWORD Read(const RInterface& iface) {
        platform::DWORD size = static_cast<platform::DWORD>(std::min<std::uint64_t>(
            platform::pf::InterfaceStatisticsSize(iface.InFilters.size() + iface.OutFilters.size()),
            0xFFFFFFFFu));
        for (int tries = 0; tries < 3; ++tries) {
            if (buffer_.size() * sizeof(std::uint64_t) < size)
                buffer_.resize((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
            platform::DWORD given =
                static_cast<platform::DWORD>(buffer_.size() * sizeof(std::uint64_t));
            const platform::DWORD r =
                platform::PfGetInterfaceStatistics(iface.PfHandle, Stats(), &given, false);
            if (r != platform::kErrorInsufficientBuffer && r != platform::kPfErrorBufferTooSmall)
                return r;
            // Filters came between the size and the read: the size it now needs.
            size = given;
        }
        return platform::kErrorInsufficientBuffer;
    }

    const platform::PF_INTERFACE_STATS& Record() { return *Stats(); }
    // Filter i of the record: the input filters first, then the output ones.
    const platform::PF_FILTER_STATS& Filter(std::size_t i) { return Stats()->FilterInfo[i]; }

  private:
    platform::PF_INTERFACE_STATS* Stats() {
        return reinterpret_cast<platform::PF_INTERFACE_STATS*>(buffer_.data());
    }
    std::vector<std::uint64_t> buffer_;  // 8-aligned, as the record's 64-bit fields need
};

// Only the connection thread answers commands: one buffer serves every read.
PlatformStatistics& Statistics() {
    static PlatformStatistics statistics;
    return statistics;
}

// A platform failure as the statistics commands answer it.
std::string PlatformFailure(platform::DWORD r) {
    ConsoleLine("Error " + std::to_string(r) + " in PfGetInterfaceStatistics. (" + SysErrorText(r) +
                ")");
    return std::to_string(r);
}

// The statistics commands only read, and a window asks them five times a second: they are told
// on standard output in console mode, as every command is, but kept out of the service log,
// which would otherwise grow by thousands of lines an hour while one watches.
void ReadingLine(std::string_view prefix, std::string_view args) {
    ConsoleLine(std::string(prefix) + std::string(args) + ")");
}

}  // namespace

std::string GetInterfaceStatistics(std::string_view args) {
    ReadingLine("Processing GetInterfaceStatistics(", args);
    RInterface* iface = FindInterface(args);
    if (!iface) return "-1";
    if (!iface->Active) return "-2";
    PlatformStatistics& statistics = Statistics();
    if (platform::DWORD r = statistics.Read(*iface)) return PlatformFailure(r);
    const platform::PF_INTERFACE_STATS& s = statistics.Record();
    std::string reply = "0";
    for (const std::uint64_t value :
         {static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(s.pvDriverContext)),
          std::uint64_t{s.dwFlags}, std::uint64_t{s.dwInDrops}, std::uint64_t{s.dwOutDrops},
          std::uint64_t{s.eaInAction}, std::uint64_t{s.eaOutAction},
          std::uint64_t{s.dwNumInFilters}, std::uint64_t{s.dwNumOutFilters},
          std::uint64_t{s.dwFrag}, std::uint64_t{s.dwSpoof}, std::uint64_t{s.dwReserved1},
          std::uint64_t{s.dwReserved2}, static_cast<std::uint64_t>(s.liSYN),
          static_cast<std::uint64_t>(s.liTotalLogged), std::uint64_t{s.dwLostLogEntries},
          static_cast<std::uint64_t>(iface->CountsSince)})
        (reply += ' ') += std::to_string(value);
    return reply;
}

std::string GetFilterStatistics(std::string_view args) {
    ReadingLine("Processing GetFilterStatistics(", args);
    const Rows rows = ReadRows(args);
    const Direction d = rows.d;
    RInterface* iface = FindInterface(args);
    if (!iface) return "-4";
    if (!iface->Active) return "-1";
    PlatformStatistics& statistics = Statistics();
    if (platform::DWORD r = statistics.Read(*iface)) return PlatformFailure(r);
    const platform::PF_INTERFACE_STATS& s = statistics.Record();
    // The platform's filters of this direction, in the order it keeps them.
    const std::size_t base = d == Direction::kIn ? 0 : s.dwNumInFilters;
    const std::size_t count = d == Direction::kIn ? s.dwNumInFilters : s.dwNumOutFilters;
    const auto& list = Filters(*iface, d);
    const std::size_t first = rows.first, end = rows.End(list.size(), kMaxFilterCounts);
    // The platform keeps its filters in the order they were added, which is the list's unless a
    // filter was put back after a failed removal: a row whose filter is not in its place is
    // looked up by its text.
    std::unordered_map<std::string, std::uint32_t> byText;
    auto countOf = [&](std::size_t row) -> std::string {
        const FilterRecord& filter = list[row].Filter;
        if (row < count) {
            const platform::PF_FILTER_STATS& f = statistics.Filter(base + row);
            if (SameFilter(FilterRecord::FromDescriptor(f.info), filter))
                return std::to_string(f.dwNumPacketsFiltered);
        }
        if (byText.empty())
            for (std::size_t i = 0; i < count; ++i) {
                const platform::PF_FILTER_STATS& f = statistics.Filter(base + i);
                FilterRecord known = FilterRecord::FromDescriptor(f.info);
                known.fLateBound = 0;
                byText.emplace(FilterToStr(known), f.dwNumPacketsFiltered);
            }
        FilterRecord key = filter;
        key.fLateBound = 0;
        const auto found = byText.find(FilterToStr(key));
        return found == byText.end() ? std::string("-") : std::to_string(found->second);
    };
    std::string reply = "0 " + std::to_string(end - first);
    for (std::size_t row = first; row < end; ++row) (reply += ' ') += countOf(row);
    return reply;
}

std::int32_t GetInterfaceGlobalFilter(std::string_view args) {
    ProcessingLine("Processing GetGlobaFilters(", args);
    RInterface* iface = FindInterface(args);
    if (!iface) return Result(-1);
    if (!iface->Active) return Result(-2);
    const auto value = static_cast<std::int32_t>(iface->GlobalFiltersValue());
    ServiceLog("Succefull (" + std::to_string(value) + ").");
    return Result(value);
}

std::int32_t SetInterfaceGlobalFilter(std::string_view args, bool persist) {
    ProcessingLine("Processing SetGlobaFilters(", args);
    RInterface* iface = FindInterface(args);
    if (!iface) return Result(-1);
    if (!iface->Active) return Result(-2);
    const std::int32_t number = StrToNonNegative(GetWord(args, 2));
    const auto gf = static_cast<platform::GLOBAL_FILTER>(number);
    const platform::DWORD r = platform::PfAddGlobalFilterToInterface(iface->PfHandle, gf);
    const auto before = iface->GlobalFilters;
    // Only a check the platform took is reported as in force.
    if (r == 0 && IsKnownGlobalFilter(number)) iface->GlobalFilters.set(gf);
    if (Record(persist, *iface, [&](const std::string& addr) {
            return StoreGlobalFilters(addr, iface->GlobalFilters);
        })) {
        if (r == 0) platform::PfRemoveGlobalFilterFromInterface(iface->PfHandle, gf);
        iface->GlobalFilters = before;
        return Result(kNotRecorded);
    }
    // Success is told only once the change is recorded: an undone change never reads as done.
    if (r == 0) ServiceLog("Succefull (0).");
    return Result(static_cast<std::int32_t>(r));
}

std::int32_t RemInterfaceGlobalFilter(std::string_view args) {
    ProcessingLine("Processing RemGlobaFilters(", args);
    RInterface* iface = FindInterface(args);
    if (!iface) return Result(-1);
    if (!iface->Active) return Result(-2);
    const std::int32_t number = StrToNonNegative(GetWord(args, 2));
    const auto gf = static_cast<platform::GLOBAL_FILTER>(number);
    const platform::DWORD r = platform::PfRemoveGlobalFilterFromInterface(iface->PfHandle, gf);
    const auto before = iface->GlobalFilters;
    // Whatever the platform says, the number leaves the set; the set is always recorded.
    if (IsKnownGlobalFilter(number)) iface->GlobalFilters.reset(gf);
    if (Record(true, *iface, [&](const std::string& addr) {
            return StoreGlobalFilters(addr, iface->GlobalFilters);
        })) {
        if (r == 0) platform::PfAddGlobalFilterToInterface(iface->PfHandle, gf);
        iface->GlobalFilters = before;
        return Result(kNotRecorded);
    }
    // Success is told only once the change is recorded: an undone change never reads as done.
    if (r == 0) ServiceLog("Succefull (0).");
    return Result(static_cast<std::int32_t>(r));
}

}  // namespace zantor::service
