// The registry: hierarchical keys holding typed values, with the Windows registry's vocabulary.
//
// Keys are addressed by backslash paths below an open key. Key and value names are compared
// without regard to ASCII letter case and keep the case they were created with. A value has a
// type and bytes: REG_DWORD is 4 little-endian bytes, REG_SZ and REG_EXPAND_SZ are 8-bit text
// without a terminating NUL, every other type is stored as the bytes given. The value with the
// empty name is the key's default value.
//
// Two hives exist per computer: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER. On Linux each is one
// transactional database file in the computer root's registry/ directory (HKLM.db, HKCU.db),
// created on first use. Every write lands whole or not at all, also when the process is killed
// in the middle of it, and a write has reached the disk when its call (or the Commit of its
// RegTransaction) returns. Several processes may use one hive at once; a call waits up to two
// seconds for another process's write to finish and then fails with kErrorSharingViolation.
//
// Handles: an HKEY from RegCreateKeyExA, RegOpenKeyExA or RegConnectRegistryA is owned by the
// caller and released with RegCloseKey. Handles are looked up in a table, so a closed or made-up
// handle fails with kErrorInvalidHandle instead of reaching memory. A handle whose key was deleted
// (by anyone, by a rolled-back transaction too) fails with kErrorKeyDeleted; closing it succeeds.
// The predefined keys are never closed (RegCloseKey accepts and ignores them) and always mean the
// local computer's hives, as ZANTOR_ROOT names that computer at the time of each call.
//
// Threads: every call may come from any thread. Calls on one hive are serialised; calls on
// different hives run side by side.
//
// Errors: every function returns kErrorSuccess or a Win32 number, which it also records as the
// thread's last error (platform::Fail). Names: a key name is 1 to 255 characters without a
// backslash or a control character; a value name is at most 16383 characters without NUL, CR or
// LF; a path has at most 512 keys. Other names fail with kErrorInvalidParameter.
//
// On Windows (win32/registry_win32.cpp) the hives are the system's own. Strings are written with
// their terminating NUL, as Windows programs write them, and RegQueryValueExA returns them with
// it. A RegTransaction holds a named mutex of the hive that all of our calls take, so our writers
// in other processes wait for it (at most two seconds, then kErrorSharingViolation), and keeps an
// undo journal that a destruction without Commit plays back; a killed process leaves the writes
// made so far, as the system offers no transactions that every Windows has. The system checks its
// hives and keeps its own last-known-good control set: RegCheckHive and RegSaveKeyA succeed doing
// nothing, and RegReplaceKeyA fails with kErrorNotSupported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform {

using DWORD = std::uint32_t;

struct RegKeyObject;
using HKEY = RegKeyObject*;  // opaque; nullptr is never a valid key

extern const HKEY HKEY_LOCAL_MACHINE;
extern const HKEY HKEY_CURRENT_USER;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

// A handle to the root of `hKey`'s hive on the computer `machineName` ("\\PC1", "PC1", and for
// the local computer "", "." or its name). A remote computer offers HKEY_LOCAL_MACHINE only;
// HKEY_CURRENT_USER there fails with kErrorInvalidHandle. An unknown computer fails with
// kErrorBadNetPath. The caller closes *phkResult.
Win32Error RegConnectRegistryA(std::string_view machineName, HKEY hKey, HKEY* phkResult);

// Opens the key `subKey` below hKey, creating every missing key of the path first. A leading and
// a trailing backslash are ignored; "" opens hKey itself again as a new handle.
Win32Error RegCreateKeyExA(HKEY hKey, std::string_view subKey, HKEY* phkResult);

// Opens an existing key; kErrorFileNotFound when any key of the path is missing.
Win32Error RegOpenKeyExA(HKEY hKey, std::string_view subKey, HKEY* phkResult);

Win32Error RegCloseKey(HKEY hKey);

// The type and bytes of a value; either pointer may be null. kErrorFileNotFound when missing.
Win32Error RegQueryValueExA(HKEY hKey, std::string_view valueName, DWORD* type, std::string* data);

// A REG_DWORD read as a signed number. kErrorFileNotFound when missing, kErrorUnsupportedType
// for a value of another type.
Win32Error RegQueryDword(HKEY hKey, std::string_view valueName, std::int32_t* value);

// A REG_SZ or REG_EXPAND_SZ (not expanded), without the NUL bytes that end its data when it was
// written with its terminator, as Windows tools write strings. kErrorFileNotFound when missing,
// kErrorUnsupportedType for a value of another type.
Win32Error RegQueryString(HKEY hKey, std::string_view valueName, std::string* value);

// Creates or replaces a value. REG_DWORD data must be 4 bytes, any data at most 16 MiB
// (kErrorInvalidParameter).
// Replacing keeps the value's name as first written and its place in the enumeration.
Win32Error RegSetValueExA(HKEY hKey, std::string_view valueName, DWORD type, std::string_view data);
Win32Error RegSetDword(HKEY hKey, std::string_view valueName, DWORD value);
Win32Error RegSetString(HKEY hKey, std::string_view valueName, std::string_view value);

// kErrorFileNotFound when the value is missing.
Win32Error RegDeleteValueA(HKEY hKey, std::string_view valueName);

// Deletes the key `subKey` with all its values and every key below it (kErrorFileNotFound when
// missing). With "" the values and subkeys of hKey go and hKey itself stays.
Win32Error RegDeleteTreeA(HKEY hKey, std::string_view subKey);

// One rename of RegRenameKeys: the subkey called `from` is called `to` afterwards.
struct RegKeyRename {
    std::string from;
    std::string to;
};

// Renames subkeys of hKey (key names, not paths), pair after pair in order, as one write; each
// key keeps its values and subkeys. The pairs stop at the first whose subkey does not exist:
// *renamed counts those renamed before it. A `to` that another subkey has already fails the call
// with kErrorAlreadyExists, and then nothing is renamed. One statement per key, so a numbered run
// of keys moves down far faster than by rewriting their values.
Win32Error RegRenameKeys(HKEY hKey, const std::vector<RegKeyRename>& renames, std::size_t* renamed);

// The name of subkey number `index`: subkeys come in name order, letter case ignored.
// kErrorNoMoreItems past the last one.
Win32Error RegEnumKeyExA(HKEY hKey, DWORD index, std::string* name);

// The names of all subkeys at once, in RegEnumKeyExA's order. One read of the store however many
// there are, where walking them by index costs a walk up to the index each time.
Win32Error RegListSubkeys(HKEY hKey, std::vector<std::string>* names);

// Value number `index`: values come in the order they were first created. Any out-pointer may be
// null. kErrorNoMoreItems past the last one.
Win32Error RegEnumValueA(HKEY hKey, DWORD index, std::string* name, DWORD* type, std::string* data);

// Restricts the store that holds hKey's hive to the current (service) account: on Linux the
// hive's files and their directory become owner-only. Files created later by the store take the
// database file's permissions, so the restriction stays.
Win32Error RegSecureKey(HKEY hKey);

// Whole hives, for keeping a configuration that survives a damaged store. File names without a
// directory are files beside the hive's own (the computer root's registry/ directory); other names
// are Windows paths (platform/computer.h). These work on the local computer's hives only:
// `predefinedKey` is HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER.

// Reads the whole hive, as its store keeps it, to tell whether it can be used. kErrorSuccess for
// a sound hive and for one that does not exist yet. kErrorBadDb when it is damaged: its file is
// not a store of ours, cannot be read whole, or is gone while its write-ahead file was left;
// *problem then says what the store reported (its own error number and text). Any other error
// (the store busy for too long, no access) says nothing about damage.
Win32Error RegCheckHive(HKEY predefinedKey, std::string* problem);

// Saves a copy of the whole hive, as one consistent state, into `fileName`. The older copy is
// replaced only by a complete copy that reads back whole.
Win32Error RegSaveKeyA(HKEY predefinedKey, std::string_view fileName);

// Moves the hive's files (the database and its write-ahead files) to `oldFileName`, keeping them,
// and puts a copy of `newFileName` in their place; with an empty `newFileName` the hive starts
// empty. *movedTo is where the database file now is (its write-ahead file, when the database was
// gone). kErrorSharingViolation while handles into
// the hive are open in this process; kErrorAlreadyExists when `oldFileName` exists.
Win32Error RegReplaceKeyA(HKEY predefinedKey, std::string_view newFileName,
                          std::string_view oldFileName, std::string* movedTo);

namespace detail {
struct RegHive;
}

// Grouped writes. While a RegTransaction lives, every write that its thread makes through any key
// of the same hive is part of it, and other threads' calls on that hive wait until it ends.
// Commit() lands all of the writes at once, durably, or none of them; destruction without a
// successful Commit rolls them back. If the store gives up a write in the middle, the group is
// lost: that write and every later one fail, and Commit returns the first failure.
//
// A snapshot (Kind::kReadSnapshot) is a transaction for reading only: its thread's reads all see
// the hive as it was when the snapshot began, while other processes go on writing to it (they are
// not held off, and their writes are not seen). Writes on its thread fail with kErrorAccessDenied.
// Its Commit ends it, and fails when the store could not keep the snapshot to the end.
//
// One transaction per hive and thread at a time (a second one's Begin_result is
// kErrorNotSupported). Construct, use and destroy it on one thread, and do not wait inside it for
// another thread that uses the same hive.
class RegTransaction {
  public:
    enum class Kind { kGroupedWrites, kReadSnapshot };

    explicit RegTransaction(HKEY anyKeyOfTheHive, Kind kind = Kind::kGroupedWrites);
    ~RegTransaction();
    RegTransaction(const RegTransaction&) = delete;
    RegTransaction& operator=(const RegTransaction&) = delete;

    // kErrorSuccess when the transaction is open; otherwise why it could not begin (the handle's
    // error, or kErrorSharingViolation when another process held the hive too long).
    Win32Error Begin_result() const { return begin_; }

    // Lands the group. After it the transaction is over, whatever the result; a second Commit
    // fails with kErrorInvalidFunction.
    Win32Error Commit();

  private:
    void Finish();

    std::shared_ptr<detail::RegHive> hive_;
    Win32Error begin_;
    bool open_ = false;
};

}  // namespace platform
