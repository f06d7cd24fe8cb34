// The registry port on Linux: handles, paths and computers over the SQLite hives of reg_hive.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/computer.h"
#include "platform/linux/reg_hive.h"
#include "platform/registry.h"
#include "platform/registry_names.h"

struct platform::RegKeyObject {
    const char* hiveFile;
};

namespace platform {

namespace {

using detail::KeyId;
using detail::RegHive;

// The predefined keys are real objects, so their addresses are constants and never collide with
// the numbers that stand for opened handles.
RegKeyObject gLocalMachine{"HKLM.db"};
RegKeyObject gCurrentUser{"HKCU.db"};

struct OpenKey {
    std::shared_ptr<RegHive> hive;
    KeyId key = 0;
};

// Opened handles are numbers, not pointers: a closed or invented handle is a failed lookup.
// There is one hive object (one database connection) per file and process. The tables are never
// destroyed, so a thread still using the registry while the process exits finds them intact.
struct Tables {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, OpenKey> handles;
    std::uintptr_t nextHandle = 0x1000;
    std::map<std::filesystem::path, std::shared_ptr<RegHive>> hives;
};

Tables& T() {
    static Tables* tables = new Tables;
    return *tables;
}

HKEY AddHandle(OpenKey key) {
    Tables& t = T();
    std::lock_guard lock(t.mutex);
    std::uintptr_t id = t.nextHandle;
    t.nextHandle += 4;
    t.handles.emplace(id, std::move(key));
    return reinterpret_cast<HKEY>(id);
}

// The hive stored in `file`, opened once and kept while the file is the same one (a test that
// removes its computer root and makes another at the same place gets a fresh hive).
Win32Error HiveAt(const std::filesystem::path& file, std::shared_ptr<RegHive>* hive) {
    Tables& t = T();
    std::lock_guard lock(t.mutex);
    for (auto it = t.hives.begin(); it != t.hives.end();) {
        if (it->second->StillAt(it->first))
            ++it;
        else
            it = t.hives.erase(it);  // handles into it keep it alive
    }
    if (auto it = t.hives.find(file); it != t.hives.end()) {
        *hive = it->second;
        return kErrorSuccess;
    }
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path().parent_path(), ec);
    if (ec) return ErrorFromErrno(ec.value());
    if (::mkdir(file.parent_path().c_str(), 0700) != 0 && errno != EEXIST)
        return ErrorFromErrno(errno);
    if (Win32Error e = RegHive::Open(file, hive)) return e;
    t.hives.emplace(file, *hive);
    return kErrorSuccess;
}

std::filesystem::path HiveFile(const std::filesystem::path& root, HKEY predefined) {
    return root / "registry" / predefined->hiveFile;
}

Win32Error Resolve(HKEY hKey, OpenKey* out) {
    Tables& t = T();
    if (hKey == &gLocalMachine || hKey == &gCurrentUser) {
        out->key = detail::kRootKey;
        return HiveAt(HiveFile(LocalComputerRoot(), hKey), &out->hive);
    }
    std::lock_guard lock(t.mutex);
    auto it = t.handles.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == t.handles.end()) return kErrorInvalidHandle;
    *out = it->second;
    return kErrorSuccess;
}

enum class Access { kRead, kWrite };

// Runs `op(hive, key)` on the live key that `open` names, with its hive locked, as one read or
// one write of the store (the key's check included). `op` may move `key` to another key.
template <class Op>
Win32Error WithKey(OpenKey& open, Access access, Op&& op) {
    RegHive& h = *open.hive;
    std::lock_guard lock(h.mutex);
    auto body = [&] {
        Win32Error e = h.CheckKey(open.key);
        return e ? e : op(h, open.key);
    };
    return access == Access::kWrite ? h.Write(body) : h.Read(body);
}

// Runs `op(hive, key)` on the live key behind hKey; a failure is also the thread's last error.
template <class Op>
Win32Error OnKey(HKEY hKey, Access access, Op&& op) {
    OpenKey open;
    Win32Error e = Resolve(hKey, &open);
    if (e == kErrorSuccess) e = WithKey(open, access, op);
    return e ? Fail(e) : kErrorSuccess;
}

// Opens (and with `create` makes) the key at `path` below hKey and hands out a new handle to it.
Win32Error OpenPath(HKEY hKey, std::string_view path, bool create, HKEY* result) {
    if (!result) return Fail(kErrorInvalidParameter);
    std::vector<std::string_view> names;
    OpenKey open;
    Win32Error e = reg::SplitPath(path, &names, [](std::string_view n) { return n; });
    if (e == kErrorSuccess) e = Resolve(hKey, &open);
    if (e == kErrorSuccess) {
        e = WithKey(open, create ? Access::kWrite : Access::kRead, [&](RegHive& h, KeyId& key) {
            for (std::string_view name : names) {
                KeyId child = 0;
                Win32Error err = h.FindChild(key, name, &child);
                if (err == kErrorFileNotFound && create) err = h.AddChild(key, name, &child);
                if (err) return err;
                key = child;
            }
            return kErrorSuccess;
        });
    }
    if (e) return Fail(e);
    *result = AddHandle(std::move(open));
    return kErrorSuccess;
}

}  // namespace

const HKEY HKEY_LOCAL_MACHINE = &gLocalMachine;
const HKEY HKEY_CURRENT_USER = &gCurrentUser;

Win32Error RegConnectRegistryA(std::string_view machineName, HKEY hKey, HKEY* phkResult) {
    if (!phkResult) return Fail(kErrorInvalidParameter);
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_CURRENT_USER) return Fail(kErrorInvalidHandle);
    Computer computer;
    if (Win32Error e = FindComputer(machineName, computer)) return Fail(e);
    if (computer.kind == ComputerKind::kRemote) {
        // The hive is a database file of the service's: it is opened where it lives, never
        // across a network.
        Fail(kErrorNotSupported);
        SetLastErrorDetail("The registry of " + computer.destination +
                           ", a host reached over SSH, cannot be opened from here; run the tool on "
                           "the host itself (ssh " +
                           computer.destination + ").");
        return kErrorNotSupported;
    }
    const std::filesystem::path& root = computer.root;
    if (hKey == HKEY_CURRENT_USER && !IsLocalComputerName(machineName))
        return Fail(kErrorInvalidHandle);
    OpenKey open{nullptr, detail::kRootKey};
    if (Win32Error e = HiveAt(HiveFile(root, hKey), &open.hive)) return Fail(e);
    *phkResult = AddHandle(std::move(open));
    return kErrorSuccess;
}

Win32Error RegCreateKeyExA(HKEY hKey, std::string_view subKey, HKEY* phkResult) {
    return OpenPath(hKey, subKey, true, phkResult);
}

Win32Error RegOpenKeyExA(HKEY hKey, std::string_view subKey, HKEY* phkResult) {
    return OpenPath(hKey, subKey, false, phkResult);
}

Win32Error RegCloseKey(HKEY hKey) {
    Tables& t = T();
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) return kErrorSuccess;
    std::shared_ptr<RegHive> last;  // a hive that goes with its last handle closes unlocked
    std::lock_guard lock(t.mutex);
    auto it = t.handles.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == t.handles.end()) return Fail(kErrorInvalidHandle);
    last = std::move(it->second.hive);
    t.handles.erase(it);
    return kErrorSuccess;
}

Win32Error RegQueryValueExA(HKEY hKey, std::string_view valueName, DWORD* type, std::string* data) {
    if (!reg::ValidValueName(valueName)) return Fail(kErrorInvalidParameter);
    return OnKey(hKey, Access::kRead,
                 [&](RegHive& h, KeyId key) { return h.QueryValue(key, valueName, type, data); });
}

Win32Error RegSetValueExA(HKEY hKey, std::string_view valueName, DWORD type,
                          std::string_view data) {
    if (!reg::ValidValueName(valueName) || !reg::ValidData(type, data))
        return Fail(kErrorInvalidParameter);
    return OnKey(hKey, Access::kWrite,
                 [&](RegHive& h, KeyId key) { return h.SetValue(key, valueName, type, data); });
}

Win32Error RegSetString(HKEY hKey, std::string_view valueName, std::string_view value) {
    return RegSetValueExA(hKey, valueName, REG_SZ, value);
}

Win32Error RegDeleteValueA(HKEY hKey, std::string_view valueName) {
    if (!reg::ValidValueName(valueName)) return Fail(kErrorInvalidParameter);
    return OnKey(hKey, Access::kWrite,
                 [&](RegHive& h, KeyId key) { return h.DeleteValue(key, valueName); });
}

Win32Error RegDeleteTreeA(HKEY hKey, std::string_view subKey) {
    std::vector<std::string_view> names;
    if (Win32Error e = reg::SplitPath(subKey, &names, [](std::string_view n) { return n; }))
        return Fail(e);
    return OnKey(hKey, Access::kWrite, [&](RegHive& h, KeyId key) {
        for (std::string_view name : names)
            if (Win32Error e = h.FindChild(key, name, &key)) return e;
        return h.DeleteTree(key, names.empty());
    });
}

Win32Error RegRenameKeys(HKEY hKey, const std::vector<RegKeyRename>& renames,
                         std::size_t* renamed) {
    if (!renamed) return Fail(kErrorInvalidParameter);
    *renamed = 0;
    for (const RegKeyRename& r : renames)
        if (!reg::ValidKeyName(r.from) || !reg::ValidKeyName(r.to))
            return Fail(kErrorInvalidParameter);
    std::size_t done = 0;
    Win32Error e = OnKey(hKey, Access::kWrite, [&](RegHive& h, KeyId key) {
        return h.RenameChildren(key, renames, &done);
    });
    if (!e) *renamed = done;
    return e;
}

Win32Error RegEnumKeyExA(HKEY hKey, DWORD index, std::string* name) {
    return OnKey(hKey, Access::kRead,
                 [&](RegHive& h, KeyId key) { return h.EnumKey(key, index, name); });
}

Win32Error RegListSubkeys(HKEY hKey, std::vector<std::string>* names) {
    if (!names) return Fail(kErrorInvalidParameter);
    return OnKey(hKey, Access::kRead,
                 [&](RegHive& h, KeyId key) { return h.ListKeys(key, names); });
}

Win32Error RegEnumValueA(HKEY hKey, DWORD index, std::string* name, DWORD* type,
                         std::string* data) {
    return OnKey(hKey, Access::kRead,
                 [&](RegHive& h, KeyId key) { return h.EnumValue(key, index, name, type, data); });
}

Win32Error RegSecureKey(HKEY hKey) {
    OpenKey open;
    if (Win32Error e = Resolve(hKey, &open)) return Fail(e);
    std::lock_guard lock(open.hive->mutex);
    const std::filesystem::path& file = open.hive->file;
    if (::chmod(file.parent_path().c_str(), 0700) != 0) return FailFromErrno();
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string path = file.string() + suffix;
        if (::chmod(path.c_str(), 0600) != 0 && errno != ENOENT) return FailFromErrno();
    }
    return kErrorSuccess;
}

namespace {

// The local hive file of a predefined key.
Win32Error LocalHiveFile(HKEY predefinedKey, std::filesystem::path* file) {
    if (predefinedKey != HKEY_LOCAL_MACHINE && predefinedKey != HKEY_CURRENT_USER)
        return kErrorInvalidHandle;
    *file = HiveFile(LocalComputerRoot(), predefinedKey);
    return kErrorSuccess;
}

// A bare file name lies beside the hive's own files; anything else is a Windows path.
Win32Error HiveSideFile(const std::filesystem::path& hiveFile, std::string_view name,
                        std::filesystem::path* path) {
    if (name.empty()) return kErrorInvalidParameter;
    if (name.find_first_of("\\/:") == std::string_view::npos) {
        *path = hiveFile.parent_path() / std::string(name);
        return kErrorSuccess;
    }
    return ResolveFilePath(name, *path);
}

void RemoveSideFiles(const std::filesystem::path& db) {
    std::error_code ec;
    for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(db.string() + suffix, ec);
}

}  // namespace

Win32Error RegCheckHive(HKEY predefinedKey, std::string* problem) {
    std::filesystem::path file;
    if (Win32Error e = LocalHiveFile(predefinedKey, &file)) return Fail(e);
    std::string text;
    Win32Error e = detail::CheckHiveFile(file, &text);
    if (problem) *problem = e ? file.string() + ": " + text : std::string();
    return e ? Fail(e) : kErrorSuccess;
}

Win32Error RegSaveKeyA(HKEY predefinedKey, std::string_view fileName) {
    std::filesystem::path file, target;
    Win32Error e = LocalHiveFile(predefinedKey, &file);
    if (!e) e = HiveSideFile(file, fileName, &target);
    std::shared_ptr<RegHive> hive;
    if (!e) e = HiveAt(file, &hive);
    if (e) return Fail(e);
    const std::filesystem::path partial = target.string() + ".partial";
    {
        std::lock_guard lock(hive->mutex);
        // The copy would hold this thread's writes that are not committed yet.
        if (hive->InTransaction()) return Fail(kErrorNotSupported);
        e = hive->SaveTo(partial);
    }
    RemoveSideFiles(partial);
    std::error_code ec;
    if (!e) {
        std::filesystem::rename(partial, target, ec);
        if (ec) e = ErrorFromErrno(ec.value());
    }
    if (e) {
        std::filesystem::remove(partial, ec);
        return Fail(e);
    }
    RemoveSideFiles(target);
    // The copy is as private as the hive it copies (RegSecureKey).
    struct stat hiveStat {};
    if (::stat(file.c_str(), &hiveStat) == 0) ::chmod(target.c_str(), hiveStat.st_mode & 07777);
    return kErrorSuccess;
}

Win32Error RegReplaceKeyA(HKEY predefinedKey, std::string_view newFileName,
                          std::string_view oldFileName, std::string* movedTo) {
    namespace fs = std::filesystem;
    fs::path file, oldFile, newFile;
    Win32Error e = LocalHiveFile(predefinedKey, &file);
    if (!e) e = HiveSideFile(file, oldFileName, &oldFile);
    if (!e && !newFileName.empty()) e = HiveSideFile(file, newFileName, &newFile);
    if (e) return Fail(e);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(oldFile, ec))) return Fail(kErrorAlreadyExists);
    if (!newFile.empty() && !fs::is_regular_file(newFile, ec)) return Fail(kErrorFileNotFound);

    Tables& t = T();
    std::lock_guard lock(t.mutex);
    if (auto it = t.hives.find(file); it != t.hives.end()) {
        if (it->second.use_count() > 1) return Fail(kErrorSharingViolation);
        t.hives.erase(it);  // its connection closes, leaving the files as they are
    }
    // The database first: a crash after it leaves a write-ahead file without its database,
    // which the next check takes for damage and moves aside as well.
    std::string first;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const fs::path from = file.string() + suffix;
        if (!fs::exists(fs::symlink_status(from, ec))) continue;
        fs::rename(from, oldFile.string() + suffix, ec);
        if (ec) return Fail(ErrorFromErrno(ec.value()));
        if (first.empty()) first = oldFile.string() + suffix;
    }
    if (movedTo) *movedTo = first.empty() ? oldFile.string() : first;
    if (newFile.empty()) return kErrorSuccess;
    const fs::path partial = file.string() + ".partial";
    fs::copy_file(newFile, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(partial, file, ec);
    if (ec) {
        const Win32Error copyError = ErrorFromErrno(ec.value());
        fs::remove(partial, ec);
        return Fail(copyError);
    }
    return kErrorSuccess;
}

RegTransaction::RegTransaction(HKEY anyKeyOfTheHive, Kind kind) {
    OpenKey open;
    begin_ = Resolve(anyKeyOfTheHive, &open);
    if (begin_ == kErrorSuccess) {
        open.hive->mutex.lock();
        begin_ = open.hive->BeginTransaction(kind == Kind::kReadSnapshot);
        if (begin_ == kErrorSuccess) {
            hive_ = std::move(open.hive);
            open_ = true;
            return;
        }
        open.hive->mutex.unlock();
    }
    Fail(begin_);
}

RegTransaction::~RegTransaction() {
    if (open_) Finish();
}

Win32Error RegTransaction::Commit() {
    if (!open_) return Fail(begin_ ? begin_ : kErrorInvalidFunction);
    Win32Error e = hive_->EndTransaction(true);
    Finish();
    return e ? Fail(e) : kErrorSuccess;
}

void RegTransaction::Finish() {
    if (hive_->InTransaction()) hive_->EndTransaction(false);
    open_ = false;
    hive_->mutex.unlock();
}

}  // namespace platform
