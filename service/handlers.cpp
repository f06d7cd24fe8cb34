#include "service/handlers.h"

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

void ProcessingLine(std::string_view prefix, std::string_view args) {
    std::string line(prefix);
    line += args;
    line += ')';
    ConsoleLine(line);
    ServiceLog(line);
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

}  // namespace

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
