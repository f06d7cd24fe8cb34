#include "service/config_store.h"

#include <ctime>
#include <optional>
#include <vector>

#include "platform/registry.h"
#include "service/handlers.h"
#include "service/interfaces.h"
#include "service/service_log.h"
#include "shared/error_text.h"
#include "shared/text.h"

namespace zantor::service {

using platform::HKEY;
using platform::Win32Error;

namespace {

// An open registry key, closed when it goes out of scope.
class Key {
  public:
    Key() = default;
    ~Key() {
        if (key_) platform::RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    // Opens `path` below `parent`, creating what is missing.
    Win32Error Create(HKEY parent, std::string_view path) {
        return platform::RegCreateKeyExA(parent, path, &key_);
    }
    // Opens `path` below `parent` if it exists.
    Win32Error Open(HKEY parent, std::string_view path) {
        return platform::RegOpenKeyExA(parent, path, &key_);
    }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

std::string AddressPath(std::string_view addr) {
    return std::string(kParametersKey) + "\\" + std::string(addr);
}

std::string DirectionPath(std::string_view addr, StoredDirection dir) {
    return AddressPath(addr) + (dir == StoredDirection::kIn ? "\\InFilters" : "\\OutFilters");
}

std::string FilterKeyName(int n) {
    return "Filter" + std::to_string(n);
}

// Opens (creates) a key below HKEY_LOCAL_MACHINE.
Win32Error OpenMachineKey(std::string_view path, Key& key) {
    return key.Create(platform::HKEY_LOCAL_MACHINE, path);
}

// The first failure of the store itself (not a missing value or one of another type) that the
// replay met: such a replay did not read the store whole.
Win32Error gReplayStoreError = platform::kErrorSuccess;

Win32Error Seen(Win32Error e) {
    if (e != platform::kErrorSuccess && e != platform::kErrorFileNotFound &&
        e != platform::kErrorUnsupportedType && gReplayStoreError == platform::kErrorSuccess)
        gReplayStoreError = e;
    return e;
}

// The stored count of a direction key; a value that cannot be read, or a negative one, counts
// as 0.
int CountOf(HKEY dirKey) {
    std::int32_t count = 0;
    if (platform::RegQueryDword(dirKey, "FiltersCount", &count) != platform::kErrorSuccess ||
        count < 0)
        return 0;
    return count;
}

// Reads the thirteen values of one filter key, stopping at the first that is missing, of another
// type or out of range.
bool ReadFilterValues(HKEY key, FilterRecord& f) {
    auto dword = [&](const char* name, std::uint32_t& field) {
        std::int32_t v = 0;
        if (Seen(platform::RegQueryDword(key, name, &v)) != platform::kErrorSuccess || v < 0)
            return false;
        field = static_cast<std::uint32_t>(v);
        return true;
    };
    auto address = [&](const char* name, IPAddr& field) {
        std::string text;
        if (Seen(platform::RegQueryString(key, name, &text)) != platform::kErrorSuccess)
            return false;
        try {
            field = StrToIP(text);
        } catch (const ConvertError&) {
            return false;
        }
        return true;
    };
    auto port = [&](const char* name, std::uint16_t& field) {
        std::int32_t v = 0;
        if (Seen(platform::RegQueryDword(key, name, &v)) != platform::kErrorSuccess || v < 0 ||
            v > 65535)
            return false;
        field = static_cast<std::uint16_t>(v);
        return true;
    };
    return dword("wFilterFlags", f.dwFilterFlags) && dword("dwRule", f.dwRule) &&
           dword("pfatType", f.pfatType) && address("SrcAddr", f.SrcAddr) &&
           address("SrcMask", f.SrcMask) && address("DstAddr", f.DstAddr) &&
           address("DstMask", f.DstMask) && dword("dwProtocol", f.dwProtocol) &&
           dword("fLateBound", f.fLateBound) && port("wSrcPort", f.wSrcPort) &&
           port("wDstPort", f.wDstPort) && port("wSrcPortHighRange", f.wSrcPortHighRange) &&
           port("wDstPortHighRange", f.wDstPortHighRange);
}

enum class Loaded { kWhole, kIncomplete, kMissing };

// Reads filter N of a direction key whose stored count is `count`. A key that does not exist is
// not created: a damaged count must not make a reader create keys by the million.
Loaded LoadFilterBelow(HKEY dirKey, int count, int n, FilterRecord& filter) {
    if (n >= count) return Loaded::kMissing;
    Key key;
    if (Seen(key.Open(dirKey, FilterKeyName(n)))) return Loaded::kMissing;
    return ReadFilterValues(key.get(), filter) ? Loaded::kWhole : Loaded::kIncomplete;
}

Win32Error WriteFilterValues(HKEY key, const FilterRecord& f) {
    using platform::RegSetDword;
    using platform::RegSetString;
    Win32Error e = RegSetDword(key, "wFilterFlags", f.dwFilterFlags);
    if (!e) e = RegSetDword(key, "dwRule", f.dwRule);
    if (!e) e = RegSetDword(key, "pfatType", f.pfatType);
    if (!e) e = RegSetString(key, "SrcAddr", IPToStr(f.SrcAddr));
    if (!e) e = RegSetString(key, "SrcMask", IPToStr(f.SrcMask));
    if (!e) e = RegSetString(key, "DstAddr", IPToStr(f.DstAddr));
    if (!e) e = RegSetString(key, "DstMask", IPToStr(f.DstMask));
    if (!e) e = RegSetDword(key, "dwProtocol", f.dwProtocol);
    if (!e) e = RegSetDword(key, "fLateBound", f.fLateBound);
    if (!e) e = RegSetDword(key, "wSrcPort", f.wSrcPort);
    if (!e) e = RegSetDword(key, "wDstPort", f.wDstPort);
    if (!e) e = RegSetDword(key, "wSrcPortHighRange", f.wSrcPortHighRange);
    if (!e) e = RegSetDword(key, "wDstPortHighRange", f.wDstPortHighRange);
    return e;
}

Win32Error StoreFilterBelow(HKEY dirKey, int n, const FilterRecord& filter) {
    Key key;
    if (Win32Error e = key.Create(dirKey, FilterKeyName(n))) return e;
    return WriteFilterValues(key.get(), filter);
}

// Writes DWORD values into the address key, in order, stopping at the first failure.
Win32Error StoreAddressValues(std::string_view addr,
                              std::initializer_list<std::pair<const char*, std::uint32_t>> values) {
    Key key;
    if (Win32Error e = OpenMachineKey(AddressPath(addr), key)) return e;
    for (const auto& [name, value] : values)
        if (Win32Error e = platform::RegSetDword(key.get(), name, value)) return e;
    return platform::kErrorSuccess;
}

}  // namespace

struct StoreTransaction::Impl {
    platform::RegTransaction tx{platform::HKEY_LOCAL_MACHINE};
};

StoreTransaction::StoreTransaction() : impl_(std::make_unique<Impl>()) {}
StoreTransaction::~StoreTransaction() = default;
Win32Error StoreTransaction::Begin_result() const {
    return impl_->tx.Begin_result();
}
Win32Error StoreTransaction::Commit() {
    return impl_->tx.Commit();
}

bool LoadStoredFilter(std::string_view addr, StoredDirection dir, int n, FilterRecord& filter) {
    Key dirKey;
    if (OpenMachineKey(DirectionPath(addr, dir), dirKey)) return false;
    return LoadFilterBelow(dirKey.get(), CountOf(dirKey.get()), n, filter) == Loaded::kWhole;
}

Win32Error StoreFilterAt(std::string_view addr, StoredDirection dir, int n,
                         const FilterRecord& filter) {
    Key dirKey;
    if (Win32Error e = OpenMachineKey(DirectionPath(addr, dir), dirKey)) return e;
    return StoreFilterBelow(dirKey.get(), n, filter);
}

Win32Error AppendStoredFilter(std::string_view addr, StoredDirection dir,
                              const FilterRecord& filter) {
    Key dirKey;
    if (Win32Error e = OpenMachineKey(DirectionPath(addr, dir), dirKey)) return e;
    const int n = CountOf(dirKey.get());
    if (Win32Error e = StoreFilterBelow(dirKey.get(), n, filter)) return e;
    return platform::RegSetDword(dirKey.get(), "FiltersCount", static_cast<std::uint32_t>(n) + 1);
}

namespace {

// Every value of one key into another, in their order.
Win32Error CopyValues(HKEY from, HKEY to) {
    for (platform::DWORD i = 0;; ++i) {
        std::string name, data;
        platform::DWORD type = platform::REG_NONE;
        Win32Error e = platform::RegEnumValueA(from, i, &name, &type, &data);
        if (e == platform::kErrorNoMoreItems) return platform::kErrorSuccess;
        if (!e) e = platform::RegSetValueExA(to, name, type, data);
        if (e) return e;
    }
}

// Moves the filter keys from N + 1 on down by one, in place of key N, until a key is missing
// or the count is reached. The keys are renamed, so a removal costs one statement per later
// filter instead of thirteen values rewritten. The last key moved is left behind as well, with
// the values it had: keys beyond the count are kept as they were.
Win32Error MoveFiltersDown(HKEY dirKey, int count, int n) {
    {
        Key next;
        if (n + 1 >= count || next.Open(dirKey, FilterKeyName(n + 1)))
            return platform::kErrorSuccess;  // nothing stands behind filter N
    }
    Win32Error e = platform::RegDeleteTreeA(dirKey, FilterKeyName(n));
    if (e && e != platform::kErrorFileNotFound) return e;
    constexpr int kBatch = 4096;  // a damaged count must not make one huge list
    int moved = 0;
    std::vector<platform::RegKeyRename> renames;
    for (int from = n + 1; from < count;) {
        renames.clear();
        for (int j = from; j < count && renames.size() < kBatch; ++j)
            renames.push_back({FilterKeyName(j), FilterKeyName(j - 1)});
        std::size_t done = 0;
        if ((e = platform::RegRenameKeys(dirKey, renames, &done))) return e;
        moved += static_cast<int>(done);
        if (done < renames.size()) break;
        from += static_cast<int>(done);
    }
    Key last, copy;
    if ((e = last.Open(dirKey, FilterKeyName(n + moved - 1)))) return e;
    if ((e = copy.Create(dirKey, FilterKeyName(n + moved)))) return e;
    return CopyValues(last.get(), copy.get());
}

// Every value and subkey of `from` into `to`, key by key down the tree.
Win32Error CopyTree(HKEY from, HKEY to) {
    if (Win32Error e = CopyValues(from, to)) return e;
    std::vector<std::string> names;
    if (Win32Error e = platform::RegListSubkeys(from, &names)) return e;
    for (const std::string& name : names) {
        Key child, copy;
        if (Win32Error e = child.Open(from, name)) return e;
        if (Win32Error e = copy.Create(to, name)) return e;
        if (Win32Error e = CopyTree(child.get(), copy.get())) return e;
    }
    return platform::kErrorSuccess;
}

}  // namespace

Win32Error CopyStoredKey(std::string_view from, std::string_view to) {
    Key source, target;
    if (Win32Error e = target.Create(platform::HKEY_LOCAL_MACHINE, to)) return e;
    Win32Error e = source.Open(platform::HKEY_LOCAL_MACHINE, from);
    if (e == platform::kErrorFileNotFound) return platform::kErrorSuccess;
    if (e) return e;
    return CopyTree(source.get(), target.get());
}

Win32Error DeleteStoredKey(std::string_view path) {
    const std::size_t cut = path.find_last_of('\\');
    const std::string_view parentPath = path.substr(0, cut == std::string_view::npos ? 0 : cut);
    const std::string_view name = cut == std::string_view::npos ? path : path.substr(cut + 1);
    Key parent;
    Win32Error e = parent.Open(platform::HKEY_LOCAL_MACHINE, parentPath);
    if (e == platform::kErrorFileNotFound) return platform::kErrorSuccess;
    if (!e) e = platform::RegDeleteTreeA(parent.get(), name);
    return e == platform::kErrorFileNotFound ? platform::kErrorSuccess : e;
}

Win32Error DeleteStoredFilter(std::string_view addr, StoredDirection dir, int n) {
    Key dirKey;
    if (Win32Error e = OpenMachineKey(DirectionPath(addr, dir), dirKey)) return e;
    const int count = CountOf(dirKey.get());
    if (n >= count) return platform::kErrorSuccess;
    if (Win32Error e = MoveFiltersDown(dirKey.get(), count, n)) return e;
    return platform::RegSetDword(dirKey.get(), "FiltersCount",
                                 static_cast<std::uint32_t>(count - 1));
}

Win32Error StoreDefaultActions(std::string_view addr, std::uint32_t inAction,
                               std::uint32_t outAction) {
    return StoreAddressValues(addr, {{"InDefAction", inAction}, {"OutDefAction", outAction}});
}

Win32Error StoreFilteringOn(std::string_view addr) {
    return StoreAddressValues(addr, {{"Filtering", 1}});
}

Win32Error StoreFilteringOff(std::string_view addr) {
    return StoreAddressValues(addr, {{"Filtering", 0}});
}

Win32Error StoreGlobalFilters(std::string_view addr, const std::bitset<256>& set) {
    return StoreAddressValues(addr, {{"FRAGMENTS", set.test(2) ? 1u : 0u},
                                     {"STRONGHOST", set.test(8) ? 1u : 0u},
                                     {"FRAGCACHE", set.test(9) ? 1u : 0u}});
}

Win32Error ResetStoredInterface(std::string_view addr) {
    if (Win32Error e =
            StoreAddressValues(addr, {{"FRAGMENTS", 0}, {"STRONGHOST", 0}, {"FRAGCACHE", 0}}))
        return e;
    for (StoredDirection dir : {StoredDirection::kIn, StoredDirection::kOut}) {
        Key dirKey;
        if (Win32Error e = OpenMachineKey(DirectionPath(addr, dir), dirKey)) return e;
        if (Win32Error e = platform::RegSetDword(dirKey.get(), "FiltersCount", 0)) return e;
    }
    return platform::kErrorSuccess;
}

namespace {

// Replays the stored filters of one direction. False when the direction's key or its count cannot
// be read.
bool ReplayFilters(HKEY addrKey, const std::string& addr, StoredDirection dir,
                   FilterRecord& record) {
    const char* word = dir == StoredDirection::kIn ? "in" : "out";
    Key dirKey;
    if (Seen(dirKey.Create(addrKey, dir == StoredDirection::kIn ? "InFilters" : "OutFilters")))
        return false;
    std::int32_t count = 0;
    if (Seen(platform::RegQueryDword(dirKey.get(), "FiltersCount", &count))) return false;
    for (int n = 0; n < count; ++n) {
        switch (LoadFilterBelow(dirKey.get(), count, n, record)) {
            case Loaded::kWhole:
                SetInterfaceFilter(addr + " " + word + " " + FilterToStr(record), false);
                break;
            case Loaded::kIncomplete:
                // A filter that cannot be read whole would install values nobody configured.
                ServiceLog("Stored filter " + std::to_string(n) + " of " + addr + " " + word +
                           " cannot be read whole; skipped.");
                break;
            case Loaded::kMissing:
                // A count beyond the stored keys (a damaged record) ends the list here.
                ServiceLog("Stored filters " + std::to_string(n) + " to " +
                           std::to_string(count - 1) + " of " + addr + " " + word +
                           " are missing; skipped.");
                return true;
        }
    }
    return true;
}

bool ReplayAddress(const std::string& addr, FilterRecord& record) {
    Key addrKey;
    if (Seen(OpenMachineKey(AddressPath(addr), addrKey))) return false;
    std::int32_t filtering = 0, inAction = 0, outAction = 0;
    if (Seen(platform::RegQueryDword(addrKey.get(), "Filtering", &filtering))) return false;
    if (filtering <= 0) return true;
    if (Seen(platform::RegQueryDword(addrKey.get(), "InDefAction", &inAction)) ||
        Seen(platform::RegQueryDword(addrKey.get(), "OutDefAction", &outAction)))
        return false;
    StartFiltering(addr + " " + std::to_string(inAction) + " " + std::to_string(outAction), false);

    constexpr std::pair<const char*, int> kFlags[] = {
        {"FRAGMENTS", 2}, {"STRONGHOST", 8}, {"FRAGCACHE", 9}};
    for (const auto& [name, number] : kFlags) {
        std::int32_t on = 0;
        if (Seen(platform::RegQueryDword(addrKey.get(), name, &on)) == platform::kErrorSuccess &&
            on != 0)
            SetInterfaceGlobalFilter(addr + " " + std::to_string(number), false);
    }
    // Input filters that cannot be listed are skipped quietly; output filters that cannot be
    // listed mean the address's record is incomplete.
    ReplayFilters(addrKey.get(), addr, StoredDirection::kIn, record);
    return ReplayFilters(addrKey.get(), addr, StoredDirection::kOut, record);
}

}  // namespace

bool ProcessRegistry() {
    // One group for the whole replay: it only creates keys, and reading inside one transaction
    // saves the store a lock per value, which is most of the start-up time of a large record.
    gReplayStoreError = platform::kErrorSuccess;
    StoreTransaction tx;
    Seen(tx.Begin_result());
    FilterRecord record;
    for (std::size_t i = 0; i < InterfaceList.size(); ++i) {
        const std::string addr = IPToStr(InterfaceList[i].Addr);
        bool complete = false;
        try {
            complete = ReplayAddress(addr, record);
        } catch (const std::exception&) {
            complete = false;
        }
        if (!complete) ServiceLog("Failed to get all data for interface " + addr);
    }
    Seen(tx.Commit());
    if (gReplayStoreError) {
        ServiceLog("Error [" + std::to_string(gReplayStoreError) +
                   "] while reading the stored configuration (" + SysErrorText(gReplayStoreError) +
                   "); the last-known-good copy is kept as it was.");
        return false;
    }
    return true;
}

namespace {

// Lines about the store's health go to the service log and to standard output, in every mode:
// they are what an administrator needs to see first.
void Tell(const std::string& line) {
    PrintLine(line);
    ServiceLog(line);
}

// "HKLM-damaged-20240131-235959.db", local time: the moved-aside store tells when it was found.
std::string DamagedStoreName(int attempt) {
    const std::tm local = LocalTimeNow().value_or(std::tm{});
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = "HKLM-damaged-";
    name += stamp;
    if (attempt > 0) (name += '-') += std::to_string(attempt);
    return name + ".db";
}

}  // namespace

bool CheckStoredConfiguration() {
    std::string problem;
    Win32Error e = platform::RegCheckHive(platform::HKEY_LOCAL_MACHINE, &problem);
    if (e == platform::kErrorSuccess) return true;
    if (e != platform::kErrorBadDb) {
        Tell("Error [" + std::to_string(e) + "] while checking the stored configuration (" +
             SysErrorText(e) + ")" + (problem.empty() ? "" : ": " + problem));
        return false;
    }
    Tell("The stored configuration is damaged: " + problem + ".");
    std::string movedTo;
    bool fromCopy = true;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string aside = DamagedStoreName(attempt);
        e = platform::RegReplaceKeyA(platform::HKEY_LOCAL_MACHINE, kLastKnownGoodFile, aside,
                                     &movedTo);
        if (e == platform::kErrorFileNotFound) {
            fromCopy = false;
            e = platform::RegReplaceKeyA(platform::HKEY_LOCAL_MACHINE, "", aside, &movedTo);
        }
        if (e != platform::kErrorAlreadyExists) break;
    }
    if (e) {
        Tell("Error [" + std::to_string(e) + "] while moving the damaged store aside (" +
             SysErrorText(e) + "); it is left where it is.");
        return false;
    }
    Tell("The damaged store was moved to " + movedTo + ", where it is kept.");
    Tell(fromCopy ? "The last-known-good configuration (" + std::string(kLastKnownGoodFile) +
                        ") is now in force; changes are recorded in a new store."
                  : "There is no last-known-good configuration: the service starts with none, "
                    "and changes are recorded in a new store.");
    return true;
}

void SaveLastKnownGood() {
    if (Win32Error e = platform::RegSaveKeyA(platform::HKEY_LOCAL_MACHINE, kLastKnownGoodFile))
        Tell("Error [" + std::to_string(e) + "] while saving the last-known-good configuration (" +
             SysErrorText(e) + "); the older copy is kept.");
}

void SecureParametersKey(std::string_view computer) {
    PrintLine("Updating registry security ...");
    HKEY machine = platform::HKEY_LOCAL_MACHINE;
    HKEY remote = nullptr;
    if (!computer.empty()) {
        if (platform::RegConnectRegistryA("\\\\" + std::string(computer),
                                          platform::HKEY_LOCAL_MACHINE, &remote)) {
            const auto e = platform::GetLastError();
            PrintLine("Error [" + std::to_string(e) + "] while trying connect to registry.(" +
                      SysErrorText(e) + ")");
            return;
        }
        machine = remote;
    }
    Key key;
    if (key.Create(machine, "\\SYSTEM\\CurrentControlSet\\Services\\ZantorSvc\\Parameters")) {
        const auto e = platform::GetLastError();
        PrintLine("Error [" + std::to_string(e) + "] while trying create registry key.(" +
                  SysErrorText(e) + ")");
    } else if (Win32Error e = platform::RegSecureKey(key.get())) {
        PrintLine("Error [" + std::to_string(e) + "] while trying set registry key security.(" +
                  SysErrorText(e) + ")");
    }
    if (remote) platform::RegCloseKey(remote);
}

}  // namespace zantor::service
