// One hive of the registry as an SQLite database: the store behind platform/registry.h.
//
// Tables: keys(id, parent, name) with the root key as id 1, and vals(seq, key, name, type, data)
// where seq keeps the creation order. Names carry the NOCASE collation, which makes lookups,
// uniqueness and the enumeration order ignore ASCII letter case while the stored text keeps it.
// Key ids are random 62-bit numbers, never handed out twice, so a handle that remembers a key's
// id can tell "deleted" from "some other key created later" without any bookkeeping (a key
// created by a rolled-back transaction is gone too, and its id with it).
//
// A hive is shared by every handle into it within the process; all its methods expect the caller
// to hold `mutex`.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

namespace platform::detail {

using KeyId = std::int64_t;
inline constexpr KeyId kRootKey = 1;

// Whether a commit waits for the disk (synchronous=FULL, the default) or only for the operating
// system (NORMAL). Applies to hives opened afterwards; the benchmark compares the two.
void SetCommitsReachDisk(bool full);

// RegCheckHive for the hive file `file`, read through a connection of its own that changes
// nothing in the file.
Win32Error CheckHiveFile(const std::filesystem::path& file, std::string* problem);

struct RegHive {
    // Opens (creating when missing) the hive stored in `file`.
    static Win32Error Open(const std::filesystem::path& file, std::shared_ptr<RegHive>* hive);
    ~RegHive();

    // Writes a copy of the whole hive, as one state, into `target` (which must not be in use),
    // and checks that the copy reads back whole.
    Win32Error SaveTo(const std::filesystem::path& target);

    // True while `file` is still the file this hive has open.
    bool StillAt(const std::filesystem::path& path) const;

    // kErrorSuccess when the key exists, kErrorKeyDeleted when not.
    Win32Error CheckKey(KeyId key);
    // The child key called `name`; kErrorFileNotFound when there is none.
    Win32Error FindChild(KeyId parent, std::string_view name, KeyId* child);
    Win32Error AddChild(KeyId parent, std::string_view name, KeyId* child);
    Win32Error QueryValue(KeyId key, std::string_view name, DWORD* type, std::string* data);
    Win32Error SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data);
    Win32Error DeleteValue(KeyId key, std::string_view name);
    // Renames children in order until one is missing (see RegRenameKeys).
    Win32Error RenameChildren(KeyId parent, const std::vector<RegKeyRename>& renames,
                              std::size_t* renamed);
    // Deletes the key's values and every key below it, and the key itself unless `keepKey`.
    Win32Error DeleteTree(KeyId key, bool keepKey);
    Win32Error EnumKey(KeyId key, DWORD index, std::string* name);
    // Every child's name, in EnumKey's order, from one query.
    Win32Error ListKeys(KeyId key, std::vector<std::string>* names);
    Win32Error EnumValue(KeyId key, DWORD index, std::string* name, DWORD* type, std::string* data);

    // Runs `body` as one change that lands whole: its own store transaction, or a savepoint
    // inside the open RegTransaction.
    template <class Body>
    Win32Error Write(Body&& body) {
        if (Win32Error e = BeginWrite()) return e;
        return EndWrite(body());
    }

    // Runs `body` on one state of the store. A read transaction of its own also spares every
    // statement taking and dropping the file locks.
    template <class Body>
    Win32Error Read(Body&& body) {
        if (inTransaction_) return body();
        if (Win32Error e = Exec("BEGIN")) return e;
        Win32Error result = body();
        if (Exec("COMMIT") != kErrorSuccess) Exec("ROLLBACK");
        return result;
    }

    // With `snapshot`, the transaction only reads: it begins deferred, which in WAL mode reads
    // one state of the file without holding off other processes' writes, and writes are refused.
    Win32Error BeginTransaction(bool snapshot);
    Win32Error EndTransaction(bool commit);
    bool InTransaction() const { return inTransaction_; }

    // A RegTransaction holds this for its whole life, so it is recursive.
    std::recursive_mutex mutex;
    const std::filesystem::path file;

  private:
    class Statement;
    explicit RegHive(std::filesystem::path path) : file(std::move(path)) {}
    Win32Error Exec(const char* sql);
    Win32Error Error(int rc) const;
    Win32Error InitSchema();
    sqlite3_stmt* Prepared(const char* sql);
    // True (and noted in transactionLost_) once the open RegTransaction is gone.
    bool TransactionLost();
    Win32Error BeginWrite();
    Win32Error EndWrite(Win32Error result);

    sqlite3* db_ = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
    std::uint64_t device_ = 0, inode_ = 0;
    std::mt19937_64 ids_{std::random_device{}()};
    bool inTransaction_ = false;
    bool snapshot_ = false;
    // The first failure that lost the open RegTransaction's writes; later writes report it.
    Win32Error transactionLost_ = kErrorSuccess;
};

}  // namespace platform::detail
