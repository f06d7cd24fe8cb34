// The stored configuration: what the control connection changed, kept in the registry so that a
// restarted service comes back with exactly the filtering it had.
//
// Below HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\ZantorSvc\Parameters each address has
// a key named by its dotted text, with "Filtering", "InDefAction", "OutDefAction", "FRAGMENTS",
// "STRONGHOST" and "FRAGCACHE", and the subkeys InFilters and OutFilters, each with "FiltersCount"
// and one key FilterN per filter holding its thirteen values. Keys numbered at or above the count
// are left-overs and are ignored.
//
// Every write routine returns kErrorSuccess or the registry's error number. Writes made while a
// StoreTransaction lives land together when it commits, or not at all.
#pragma once

#include <bitset>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "shared/filter_model.h"

namespace zantor::service {

inline constexpr std::string_view kParametersKey =
    "\\SYSTEM\\CurrentControlSet\\Services\\ZantorSvc\\Parameters";

enum class StoredDirection { kIn, kOut };

// Groups the writes a command makes: all of them land at Commit, none without it.
class StoreTransaction {
  public:
    StoreTransaction();
    ~StoreTransaction();
    StoreTransaction(const StoreTransaction&) = delete;
    StoreTransaction& operator=(const StoreTransaction&) = delete;
    platform::Win32Error Begin_result() const;
    platform::Win32Error Commit();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Reads filter N into `filter`. False when N is not below the stored count or a value is missing,
// of the wrong type or out of range; `filter` then holds whatever was read before the bad value.
bool LoadStoredFilter(std::string_view addr, StoredDirection dir, int n, FilterRecord& filter);

platform::Win32Error StoreFilterAt(std::string_view addr, StoredDirection dir, int n,
                                   const FilterRecord& filter);
platform::Win32Error AppendStoredFilter(std::string_view addr, StoredDirection dir,
                                        const FilterRecord& filter);
// Removes filter N, moving the later ones down; the last key stays behind the new count.
platform::Win32Error DeleteStoredFilter(std::string_view addr, StoredDirection dir, int n);
platform::Win32Error StoreDefaultActions(std::string_view addr, std::uint32_t inAction,
                                         std::uint32_t outAction);
platform::Win32Error StoreFilteringOn(std::string_view addr);
platform::Win32Error StoreFilteringOff(std::string_view addr);
platform::Win32Error StoreGlobalFilters(std::string_view addr, const std::bitset<256>& set);
// Global flags 0 and both filter counts 0; "Filtering", the actions and the filter keys stay.
platform::Win32Error ResetStoredInterface(std::string_view addr);

// Copies the key `from` below HKEY_LOCAL_MACHINE, with its values and every key below it, into
// the key `to` (created where missing; what it held already stays beside the copy). A `from`
// that does not exist copies nothing. Inside a StoreTransaction the copy lands whole or not at
// all.
platform::Win32Error CopyStoredKey(std::string_view from, std::string_view to);

// Deletes the key below HKEY_LOCAL_MACHINE with everything below it; a key that is not there is
// no failure.
platform::Win32Error DeleteStoredKey(std::string_view path);

// Replays the stored configuration of every listed address through the command handlers, without
// recording it again. Runs at start-up before the control pipe exists. True when the store was
// read whole: nothing failed but values that are missing or of another type.
bool ProcessRegistry();

// The last-known-good copy of the stored configuration, beside the store's own files.
inline constexpr std::string_view kLastKnownGoodFile = "HKLM.LastKnownGood.db";

// Runs before the replay. A store that cannot be opened or read whole is moved aside (kept, its
// name carrying the time) and the last-known-good copy takes its place, or an empty store when
// there is none; the service log and standard output say what was damaged, where it went and
// which configuration is now in force. False when the store could not be checked (busy, no
// access): it is then left alone, and no copy of it is kept.
bool CheckStoredConfiguration();

// Takes the last-known-good copy of the store as it is now; a failure is logged, and the older
// copy stays.
void SaveLastKnownGood();

// "-secure": restricts the Parameters key's store on this or the named computer to the service's
// account, printing what it does.
void SecureParametersKey(std::string_view computer);

}  // namespace zantor::service
