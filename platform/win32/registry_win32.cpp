// The registry port on Windows: the system's own registry through advapi32.
//
// Windows keeps its hives itself: it writes and checks them, and keeps the last-known-good control
// set and backups of the hives. So RegCheckHive finds every hive sound, RegSaveKeyA succeeds
// without writing a file, and RegReplaceKeyA is not supported (kErrorNotSupported).
//
// Grouped writes. No registry transactions exist that every supported Windows and Wine offer, so a
// RegTransaction is a lock and an undo journal:
//   - Every call of ours on a hive holds the hive's lock while it runs: a process-local mutex,
//     then a named mutex shared by all our processes on the computer. HKLM's mutex lives in the
//     global namespace, so the service in session 0 and a console in a user's session wait for
//     each other; HKCU's in the session's own. A remote computer's hive has the local mutex only.
//     A transaction holds the lock from its construction to Commit or destruction. Another
//     process waits up to two seconds for it (then kErrorSharingViolation); programs that are not
//     ours do not wait at all.
//   - Before each write of a kGroupedWrites transaction, how to undo it goes to an in-memory
//     journal: a value's old type and bytes or its absence, the first key a create made, a copy
//     of a deleted tree (values, subkeys and each key's DACL; RegSaveKey needs a privilege we may
//     not hold, so the tree is walked), a rename's inverse. Destruction without Commit applies
//     the journal backwards; Commit flushes the hive and drops it. RegSecureKey is not undone.
//   - A process killed inside a transaction leaves the writes it made so far: without kernel
//     transactions there is no crash atomicity.
//   - A kReadSnapshot holds the lock as well: our writers in other processes wait instead of
//     going on beside it, and it sees the hive as it is.
//
// Every key is opened in the 64-bit view (KEY_WOW64_64KEY), so the 32-bit and the 64-bit builds
// see the same keys. Journal entries name keys by their paths below the hive's root, in UTF-16 as
// the system stores them, so they write back exactly what was there; a handle's path follows the
// renames made through this port.
#include "platform/registry.h"
#include "platform/registry_names.h"

#include "platform/computer.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace {

// The system's predefined keys, taken while their names are still windows.h's macros.
::HKEY SystemLocalMachine() {
    return HKEY_LOCAL_MACHINE;
}
::HKEY SystemCurrentUser() {
    return HKEY_CURRENT_USER;
}

}  // namespace

// From here on these names are ours (platform/registry.h).
#undef HKEY_LOCAL_MACHINE
#undef HKEY_CURRENT_USER

namespace platform {

namespace detail {

// A value or a key's whole tree as the system stores it.
struct ValueCopy {
    std::wstring name;
    ::DWORD type = REG_NONE;
    std::string data;
};

struct TreeCopy {
    std::string security;  // the key's DACL, a self-relative security descriptor
    std::vector<ValueCopy> values;
    std::vector<std::pair<std::wstring, TreeCopy>> children;
};

// How to undo one write; `key`, `parent` are paths below the hive's root.
struct UndoValue {
    std::wstring key;
    ValueCopy value;
    bool existed = false;
};
struct UndoCreate {
    std::wstring key;
};
struct UndoDelete {
    std::wstring key;
    TreeCopy tree;
};
struct UndoRename {
    std::wstring parent, from, to;
};
using Undo = std::variant<UndoValue, UndoCreate, UndoDelete, UndoRename>;

// Another process's transaction is waited for this long.
constexpr ::DWORD kWaitForOtherProcess = 2000;

struct RegHive {
    RegHive(::HKEY rootKey, bool ownsRootKey, ::HANDLE namedLock)
        : root(rootKey), ownsRoot(ownsRootKey), processLock(namedLock) {}
    ~RegHive() {
        if (ownsRoot) ::RegCloseKey(root);
        if (processLock) ::CloseHandle(processLock);
    }
    RegHive(const RegHive&) = delete;
    RegHive& operator=(const RegHive&) = delete;

    // Both mutexes are recursive for their owning thread, so a transaction's own calls go through.
    Win32Error Lock() {
        mutex.lock();
        if (!processLock) return kErrorSuccess;
        switch (::WaitForSingleObject(processLock, kWaitForOtherProcess)) {
            case WAIT_OBJECT_0:
            case WAIT_ABANDONED:  // a process died holding it; what it wrote stays
                return kErrorSuccess;
            case WAIT_TIMEOUT:
                mutex.unlock();
                return kErrorSharingViolation;
            default: {
                const Win32Error e = ::GetLastError();
                mutex.unlock();
                return e;
            }
        }
    }

    void Unlock() {
        if (processLock) ::ReleaseMutex(processLock);
        mutex.unlock();
    }

    // While the lock is held, an open transaction is the calling thread's own.
    bool Journaling() const { return transaction && !snapshot; }

    const ::HKEY root;
    const bool ownsRoot;
    const ::HANDLE processLock;  // null: this process's threads only
    std::recursive_mutex mutex;
    bool transaction = false;
    bool snapshot = false;
    std::vector<Undo> journal;
};

}  // namespace detail

}  // namespace platform

struct platform::RegKeyObject {
    ::HKEY key = nullptr;
    bool owned = false;  // the hive's root is the hive's
    std::shared_ptr<detail::RegHive> hive;
    std::wstring path;  // below the hive's root; changed by renames, under the hive's lock

    RegKeyObject() = default;
    RegKeyObject(const RegKeyObject&) = delete;
    RegKeyObject& operator=(const RegKeyObject&) = delete;
    ~RegKeyObject() {
        if (owned) ::RegCloseKey(key);
    }
};

namespace platform {

namespace {

using detail::RegHive;
using detail::TreeCopy;
using detail::ValueCopy;

// The predefined keys' addresses are our HKEY values for them; their contents are not used.
constinit RegKeyObject gLocalMachine;
constinit RegKeyObject gCurrentUser;

constexpr ::REGSAM kView = KEY_WOW64_64KEY;
// A name buffer that holds any value name, also as multibyte text.
constexpr std::size_t kNameBuffer = 2 * (reg::kMaxValueName + 1);

// Opened handles are odd numbers, never an object's address and never handed out twice, so a
// closed or invented handle is a failed look-up. The tables are never destroyed, so a thread
// still using the registry while the process exits finds them intact.
struct Tables {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<RegKeyObject>> handles;
    std::uintptr_t nextHandle = 1;
    std::map<std::string, std::weak_ptr<RegHive>> remoteHives;  // by upper-case computer name
};

Tables& T() {
    static Tables* tables = new Tables;
    return *tables;
}

HKEY AddHandle(std::shared_ptr<RegKeyObject> key) {
    Tables& t = T();
    std::lock_guard lock(t.mutex);
    std::uintptr_t id = t.nextHandle;
    while (t.handles.count(id)) id += 2;  // only after the numbers wrapped
    t.nextHandle = id + 2;
    t.handles.emplace(id, std::move(key));
    return reinterpret_cast<HKEY>(id);
}

// The mutex our processes share for a local hive. HKLM's admits SYSTEM and the administrators; a
// process that may not open it (a user's, reading HKLM) goes without it, as its writes to HKLM
// would be refused anyway.
::HANDLE NamedLock(const char* name, bool adminsOnly) {
    ::PSECURITY_DESCRIPTOR sd = nullptr;
    ::SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (adminsOnly && ::ConvertStringSecurityDescriptorToSecurityDescriptorA(
                          "D:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &sd, nullptr))
        attributes.lpSecurityDescriptor = sd;
    ::HANDLE mutex = ::CreateMutexA(&attributes, FALSE, name);
    if (!mutex && ::GetLastError() == ERROR_ACCESS_DENIED)
        mutex = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
    if (sd) ::LocalFree(sd);
    return mutex;
}

// The handle object of a local hive's root, made once and kept for the life of the process.
std::shared_ptr<RegKeyObject> MakeLocalRoot(bool machine) {
    auto root = std::make_shared<RegKeyObject>();
    root->key = machine ? SystemLocalMachine() : SystemCurrentUser();
    root->hive =
        std::make_shared<RegHive>(root->key, false,
                                  machine ? NamedLock("Global\\ZantorRegistry-HKLM", true)
                                          : NamedLock("Local\\ZantorRegistry-HKCU", false));
    return root;
}

const std::shared_ptr<RegKeyObject>& LocalRoot(HKEY predefined) {
    static auto* machine = new std::shared_ptr<RegKeyObject>(MakeLocalRoot(true));
    static auto* user = new std::shared_ptr<RegKeyObject>(MakeLocalRoot(false));
    return predefined == &gLocalMachine ? *machine : *user;
}

bool IsPredefined(HKEY key) {
    return key == &gLocalMachine || key == &gCurrentUser;
}

Win32Error Resolve(HKEY hKey, std::shared_ptr<RegKeyObject>* out) {
    if (IsPredefined(hKey)) {
        *out = LocalRoot(hKey);
        return kErrorSuccess;
    }
    Tables& t = T();
    std::lock_guard lock(t.mutex);
    auto it = t.handles.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == t.handles.end()) return kErrorInvalidHandle;
    *out = it->second;
    return kErrorSuccess;
}

// A native key that closes itself.
class NativeKey {
  public:
    NativeKey() = default;
    ~NativeKey() {
        if (key_) ::RegCloseKey(key_);
    }
    NativeKey(const NativeKey&) = delete;
    NativeKey& operator=(const NativeKey&) = delete;
    ::HKEY* out() { return &key_; }
    operator ::HKEY() const { return key_; }

  private:
    ::HKEY key_ = nullptr;
};

// Text of the system's ANSI code page in UTF-16, as the system turns it for the ...A functions.
std::wstring Wide(std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
    return wide;
}

// The registry's own comparison of names: letter case ignored.
bool SameName(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring JoinPath(std::wstring path, const std::vector<std::wstring>& names,
                      std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!path.empty()) path += L'\\';
        path += names[i];
    }
    return path;
}

std::wstring JoinPath(const std::wstring& path, const std::vector<std::wstring>& names) {
    return JoinPath(path, names, names.size());
}

// Opens (with `create`: makes) `path` below `key` with every right, or for reading when that is
// all the caller may do. "" opens `key` itself again.
Win32Error OpenNative(::HKEY key, const std::wstring& path, bool create, ::HKEY* out,
                      bool* created = nullptr) {
    for (const ::REGSAM access : {::REGSAM{KEY_ALL_ACCESS}, ::REGSAM{KEY_READ}}) {
        ::DWORD disposition = REG_OPENED_EXISTING_KEY;
        const ::LSTATUS e = create && !path.empty()
                                ? ::RegCreateKeyExW(key, path.c_str(), 0, nullptr, 0,
                                                    access | kView, nullptr, out, &disposition)
                                : ::RegOpenKeyExW(key, path.c_str(), 0, access | kView, out);
        if (created) *created = disposition == REG_CREATED_NEW_KEY;
        if (e != ERROR_ACCESS_DENIED) return static_cast<Win32Error>(e);
    }
    return kErrorAccessDenied;
}

// Runs `query(buffer, &size)` until the buffer is large enough: a value may grow between calls.
// With `data` null the query gets no buffer, only the size.
template <class Query>
Win32Error ReadBytes(std::string* data, Query&& query) {
    std::string buffer(data ? 256 : 0, '\0');
    for (;;) {
        ::DWORD size = static_cast<::DWORD>(buffer.size());
        const ::LSTATUS e =
            query(buffer.empty() ? nullptr : reinterpret_cast<::BYTE*>(buffer.data()), &size);
        if (data && (e == ERROR_MORE_DATA || e == ERROR_INSUFFICIENT_BUFFER)) {
            buffer.resize(std::max<std::size_t>(size, 2 * buffer.size()));
            continue;
        }
        if (e != ERROR_SUCCESS) return static_cast<Win32Error>(e);
        if (data) {
            buffer.resize(std::min<std::size_t>(size, buffer.size()));
            *data = std::move(buffer);
        }
        return kErrorSuccess;
    }
}

// The ...A functions for the caller's 8-bit text, the ...W ones for exact copies.
template <class Char>
Win32Error QueryValue(::HKEY key, const std::basic_string<Char>& name, ::DWORD* type,
                      std::string* data) {
    return ReadBytes(data, [&](::BYTE* bytes, ::DWORD* size) {
        if constexpr (std::is_same_v<Char, char>)
            return ::RegQueryValueExA(key, name.c_str(), nullptr, type, bytes, size);
        else
            return ::RegQueryValueExW(key, name.c_str(), nullptr, type, bytes, size);
    });
}

template <class Char>
Win32Error ValueAt(::HKEY key, ::DWORD index, std::basic_string<Char>* name, ::DWORD* type,
                   std::string* data) {
    std::basic_string<Char> buffer(kNameBuffer, Char());
    ::DWORD length = 0;
    const Win32Error e = ReadBytes(data, [&](::BYTE* bytes, ::DWORD* size) {
        length = static_cast<::DWORD>(buffer.size());
        if constexpr (std::is_same_v<Char, char>)
            return ::RegEnumValueA(key, index, buffer.data(), &length, nullptr, type, bytes, size);
        else
            return ::RegEnumValueW(key, index, buffer.data(), &length, nullptr, type, bytes, size);
    });
    if (e == kErrorSuccess && name) *name = buffer.substr(0, length);
    return e;
}

// The subkeys' names in the system's order.
template <class Char>
Win32Error SubkeyNames(::HKEY key, std::vector<std::basic_string<Char>>* names) {
    names->clear();
    std::basic_string<Char> buffer(4 * (reg::kMaxKeyName + 1), Char());
    for (::DWORD index = 0;; ++index) {
        ::DWORD length = static_cast<::DWORD>(buffer.size());
        ::LSTATUS e;
        if constexpr (std::is_same_v<Char, char>)
            e = ::RegEnumKeyExA(key, index, buffer.data(), &length, nullptr, nullptr, nullptr,
                                nullptr);
        else
            e = ::RegEnumKeyExW(key, index, buffer.data(), &length, nullptr, nullptr, nullptr,
                                nullptr);
        if (e == ERROR_NO_MORE_ITEMS) return kErrorSuccess;
        if (e != ERROR_SUCCESS) return static_cast<Win32Error>(e);
        names->emplace_back(buffer.data(), length);
    }
}

// Our order: ASCII letter case ignored (the system's own sorts '_' and a few more after letters).
Win32Error SortedSubkeys(::HKEY key, std::vector<std::string>* names) {
    if (Win32Error e = SubkeyNames(key, names)) return e;
    auto lower = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 'A' && u <= 'Z' ? u + ('a' - 'A') : u;
    };
    std::sort(names->begin(), names->end(), [&](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [&](char x, char y) { return lower(x) < lower(y); });
    });
    return kErrorSuccess;
}

Win32Error CopyTree(::HKEY key, TreeCopy* tree) {
    Win32Error e = ReadBytes(&tree->security, [&](::BYTE* bytes, ::DWORD* size) {
        return ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, bytes, size);
    });
    for (::DWORD index = 0; e == kErrorSuccess; ++index) {
        ValueCopy value;
        e = ValueAt(key, index, &value.name, &value.type, &value.data);
        if (e == kErrorNoMoreItems) {
            e = kErrorSuccess;
            break;
        }
        if (e == kErrorSuccess) tree->values.push_back(std::move(value));
    }
    std::vector<std::wstring> names;
    if (e == kErrorSuccess) e = SubkeyNames(key, &names);
    for (std::size_t i = 0; i < names.size() && e == kErrorSuccess; ++i) {
        NativeKey child;
        tree->children.emplace_back(names[i], TreeCopy{});
        e = OpenNative(key, names[i], false, child.out());
        if (e == kErrorSuccess) e = CopyTree(child, &tree->children.back().second);
    }
    return e;
}

Win32Error CopyTreeAt(::HKEY base, const std::wstring& path, TreeCopy* tree) {
    NativeKey key;
    Win32Error e = OpenNative(base, path, false, key.out());
    return e ? e : CopyTree(key, tree);
}

Win32Error SetValue(::HKEY key, const ValueCopy& value) {
    return static_cast<Win32Error>(::RegSetValueExW(
        key, value.name.c_str(), 0, value.type, reinterpret_cast<const ::BYTE*>(value.data.data()),
        static_cast<::DWORD>(value.data.size())));
}

// Writes a copy into `key`, over what is there. The DACL goes first, so that the subkeys made
// below inherit from it as they did. Goes on after a failure and returns the first one.
Win32Error WriteTree(::HKEY key, const TreeCopy& tree) {
    Win32Error first = kErrorSuccess;
    auto note = [&](Win32Error e) {
        if (first == kErrorSuccess) first = e;
    };
    if (!tree.security.empty())
        note(static_cast<Win32Error>(::RegSetKeySecurity(
            key, DACL_SECURITY_INFORMATION,
            const_cast<char*>(tree.security.data()))));  // the call only reads it
    for (const ValueCopy& value : tree.values) note(SetValue(key, value));
    for (const auto& [name, child] : tree.children) {
        NativeKey sub;
        const Win32Error e = OpenNative(key, name, true, sub.out());
        note(e ? e : WriteTree(sub, child));
    }
    return first;
}

Win32Error WriteTreeAt(::HKEY base, const std::wstring& path, const TreeCopy& tree) {
    NativeKey key;
    Win32Error e = OpenNative(base, path, true, key.out());
    return e ? e : WriteTree(key, tree);
}

// Deletes the key at `path` below `base` with everything below it. With "" the key's values and
// subkeys go and the key stays.
Win32Error DeleteTreeAt(::HKEY base, const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    NativeKey parentKey, key;
    Win32Error e = kErrorSuccess;
    if (slash != std::wstring::npos)
        e = OpenNative(base, path.substr(0, slash), false, parentKey.out());
    const ::HKEY parent = slash == std::wstring::npos ? base : parentKey;
    if (e == kErrorSuccess) e = OpenNative(parent, name, false, key.out());
    // RegDeleteTree's own opens would leave the 64-bit view, so it only empties a key we opened.
    if (e == kErrorSuccess) e = static_cast<Win32Error>(::RegDeleteTreeW(key, nullptr));
    if (e == kErrorSuccess && !path.empty())
        e = static_cast<Win32Error>(::RegDeleteKeyExW(parent, name.c_str(), kView, 0));
    return e;
}

// Handles below parent\from are below parent\to now (called under the hive's lock).
void MovePaths(const RegHive& hive, const std::wstring& parent, const std::wstring& from,
               const std::wstring& to) {
    const std::wstring oldPrefix = JoinPath(parent, {from}), newPrefix = JoinPath(parent, {to});
    Tables& t = T();
    std::lock_guard lock(t.mutex);
    for (auto& [id, key] : t.handles) {
        std::wstring& path = key->path;
        if (key->hive.get() != &hive || path.size() < oldPrefix.size()) continue;
        if (path.size() > oldPrefix.size() && path[oldPrefix.size()] != L'\\') continue;
        if (!SameName(std::wstring_view(path).substr(0, oldPrefix.size()), oldPrefix)) continue;
        path.replace(0, oldPrefix.size(), newPrefix);
    }
}

// A rename by copy: for systems without RegRenameKey. The copy keeps each key's DACL; handles
// into the old key see it deleted. A change of letter case only goes through a temporary name,
// as the copy would otherwise land on the key itself.
Win32Error CopyRename(::HKEY parent, const std::wstring& from, const std::wstring& to) {
    if (SameName(from, to)) {
        const std::wstring temporary = L"~ZantorRename-" + to.substr(0, reg::kMaxKeyName - 14);
        Win32Error e = CopyRename(parent, from, temporary);
        return e ? e : CopyRename(parent, temporary, to);
    }
    TreeCopy tree;
    if (Win32Error e = CopyTreeAt(parent, from, &tree)) return e;
    NativeKey target;
    bool created = false;
    if (Win32Error e = OpenNative(parent, to, true, target.out(), &created)) return e;
    if (!created) return kErrorAlreadyExists;
    Win32Error e = WriteTree(target, tree);
    if (e == kErrorSuccess) e = DeleteTreeAt(parent, from);
    if (e != kErrorSuccess) DeleteTreeAt(parent, to);
    return e;
}

using RenameKeyFunction = ::LSTATUS(WINAPI*)(::HKEY, ::LPCWSTR, ::LPCWSTR);

// RegRenameKey, where it can be trusted. It is looked up at run time, as Windows 7's advapi32 may
// not have it. Wine 8's leaves the parent's index of subkeys out of order: later look-ups find the
// wrong key, and deleting the parent brought the wineserver down.
RenameKeyFunction SystemRenameKey() {
    if (::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version")) return nullptr;
    return reinterpret_cast<RenameKeyFunction>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleA("advapi32.dll"), "RegRenameKey")));
}

Win32Error RenameSubkey(::HKEY parent, const std::wstring& from, const std::wstring& to) {
    static const RenameKeyFunction renameKey = SystemRenameKey();
    if (renameKey) {
        const ::LSTATUS e = renameKey(parent, from.c_str(), to.c_str());
        if (e != ERROR_CALL_NOT_IMPLEMENTED && e != ERROR_NOT_SUPPORTED)
            return static_cast<Win32Error>(e);
    }
    return CopyRename(parent, from, to);
}

// Applies one journal entry, as well as it can: nothing is left to report to.
struct UndoStep {
    RegHive& hive;

    void operator()(const detail::UndoValue& undo) const {
        NativeKey key;
        if (OpenNative(hive.root, undo.key, false, key.out())) return;
        if (undo.existed)
            SetValue(key, undo.value);
        else
            ::RegDeleteValueW(key, undo.value.name.c_str());
    }
    void operator()(const detail::UndoCreate& undo) const { DeleteTreeAt(hive.root, undo.key); }
    void operator()(const detail::UndoDelete& undo) const {
        WriteTreeAt(hive.root, undo.key, undo.tree);
    }
    void operator()(const detail::UndoRename& undo) const {
        NativeKey parent;
        if (OpenNative(hive.root, undo.parent, false, parent.out())) return;
        if (RenameSubkey(parent, undo.to, undo.from) == kErrorSuccess)
            MovePaths(hive, undo.parent, undo.to, undo.from);
    }
};

void RollBack(RegHive& hive) {
    for (auto it = hive.journal.rbegin(); it != hive.journal.rend(); ++it)
        std::visit(UndoStep{hive}, *it);
    hive.journal.clear();
}

// Notes how to undo a write of the value `name` of `key`.
Win32Error JournalValue(RegHive& hive, const RegKeyObject& key, const std::string& name) {
    detail::UndoValue undo{key.path, {Wide(name), REG_NONE, {}}, true};
    Win32Error e = QueryValue(key.key, undo.value.name, &undo.value.type, &undo.value.data);
    if (e == kErrorFileNotFound) {
        undo.existed = false;
        e = kErrorSuccess;
    }
    if (e == kErrorSuccess) hive.journal.push_back(std::move(undo));
    return e;
}

class HiveLock {
  public:
    explicit HiveLock(RegHive& hive) : hive_(hive), result_(hive.Lock()) {}
    ~HiveLock() {
        if (result_ == kErrorSuccess) hive_.Unlock();
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    Win32Error result() const { return result_; }

  private:
    RegHive& hive_;
    const Win32Error result_;
};

enum class Access { kRead, kWrite };

// Runs `op(key, hive)` on the key behind hKey with its hive locked; a failure is also the
// thread's last error. A snapshot's thread may only read.
template <class Op>
Win32Error OnKey(HKEY hKey, Access access, Op&& op) {
    std::shared_ptr<RegKeyObject> key;
    Win32Error e = Resolve(hKey, &key);
    if (e == kErrorSuccess) {
        RegHive& hive = *key->hive;
        HiveLock lock(hive);
        e = lock.result();
        if (e == kErrorSuccess && access == Access::kWrite && hive.transaction && hive.snapshot)
            e = kErrorAccessDenied;
        if (e == kErrorSuccess) e = op(*key, hive);
    }
    return e ? Fail(e) : kErrorSuccess;
}

// Makes the keys of the path one at a time, so that the first one made can be noted for undo.
Win32Error CreateJournaled(RegHive& hive, const RegKeyObject& key,
                           const std::vector<std::wstring>& names, ::HKEY* out) {
    NativeKey current;
    ::HKEY at = key.key;
    bool noted = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        NativeKey next;
        bool created = false;
        if (Win32Error e = OpenNative(at, names[i], true, next.out(), &created)) return e;
        if (created && !noted) {
            hive.journal.push_back(detail::UndoCreate{JoinPath(key.path, names, i + 1)});
            noted = true;
        }
        std::swap(*current.out(), *next.out());
        at = current;
    }
    std::swap(*out, *current.out());
    return kErrorSuccess;
}

// Opens (and with `create` makes) the key at `path` below hKey and hands out a new handle to it.
Win32Error OpenPath(HKEY hKey, std::string_view path, bool create, HKEY* result) {
    if (!result) return Fail(kErrorInvalidParameter);
    std::vector<std::wstring> names;
    if (Win32Error e = reg::SplitPath(path, &names, Wide)) return Fail(e);
    auto opened = std::make_shared<RegKeyObject>();
    Win32Error e =
        OnKey(hKey, create ? Access::kWrite : Access::kRead, [&](RegKeyObject& key, RegHive& hive) {
            opened->hive = key.hive;
            opened->path = JoinPath(key.path, names);
            if (create && !names.empty() && hive.Journaling())
                return CreateJournaled(hive, key, names, &opened->key);
            return OpenNative(key.key, JoinPath({}, names), create, &opened->key);
        });
    if (e) return e;
    opened->owned = true;
    *result = AddHandle(std::move(opened));
    return kErrorSuccess;
}

// The hive of a remote computer's HKLM, shared by every handle into it within the process.
Win32Error RemoteHive(std::string_view computer, std::shared_ptr<RegHive>* hive) {
    std::string name(computer);
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    Tables& t = T();
    {
        std::lock_guard lock(t.mutex);
        auto it = t.remoteHives.find(name);
        if (it != t.remoteHives.end() && (*hive = it->second.lock())) return kErrorSuccess;
    }
    ::HKEY root = nullptr;
    const std::string unc = "\\\\" + name;
    if (const ::LSTATUS e = ::RegConnectRegistryA(unc.c_str(), SystemLocalMachine(), &root))
        return static_cast<Win32Error>(e);
    auto made = std::make_shared<RegHive>(root, true, nullptr);
    std::lock_guard lock(t.mutex);
    std::weak_ptr<RegHive>& slot = t.remoteHives[name];
    *hive = slot.lock();  // another thread may have connected meanwhile
    if (!*hive) slot = *hive = made;
    return kErrorSuccess;
}

}  // namespace

const HKEY HKEY_LOCAL_MACHINE = &gLocalMachine;
const HKEY HKEY_CURRENT_USER = &gCurrentUser;

Win32Error RegConnectRegistryA(std::string_view machineName, HKEY hKey, HKEY* phkResult) {
    if (!phkResult) return Fail(kErrorInvalidParameter);
    if (!IsPredefined(hKey)) return Fail(kErrorInvalidHandle);
    if (Win32Error e = CheckComputerName(machineName)) return Fail(e);
    auto root = std::make_shared<RegKeyObject>();
    if (IsLocalComputerName(machineName)) {
        root->key = LocalRoot(hKey)->key;
        root->hive = LocalRoot(hKey)->hive;
    } else {
        // The system offers a remote computer's users' hives under HKEY_USERS only.
        if (hKey == HKEY_CURRENT_USER) return Fail(kErrorInvalidHandle);
        while (machineName.starts_with('\\')) machineName.remove_prefix(1);
        if (Win32Error e = RemoteHive(machineName, &root->hive)) return Fail(e);
        root->key = root->hive->root;
    }
    *phkResult = AddHandle(std::move(root));
    return kErrorSuccess;
}

Win32Error RegCreateKeyExA(HKEY hKey, std::string_view subKey, HKEY* phkResult) {
    return OpenPath(hKey, subKey, true, phkResult);
}

Win32Error RegOpenKeyExA(HKEY hKey, std::string_view subKey, HKEY* phkResult) {
    return OpenPath(hKey, subKey, false, phkResult);
}

Win32Error RegCloseKey(HKEY hKey) {
    if (IsPredefined(hKey)) return kErrorSuccess;
    std::shared_ptr<RegKeyObject> last;  // the system's handle closes outside the table's lock
    Tables& t = T();
    std::lock_guard lock(t.mutex);
    auto it = t.handles.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == t.handles.end()) return Fail(kErrorInvalidHandle);
    last = std::move(it->second);
    t.handles.erase(it);
    return kErrorSuccess;
}

Win32Error RegQueryValueExA(HKEY hKey, std::string_view valueName, DWORD* type, std::string* data) {
    if (!reg::ValidValueName(valueName)) return Fail(kErrorInvalidParameter);
    const std::string name(valueName);
    return OnKey(hKey, Access::kRead, [&](RegKeyObject& key, RegHive&) {
        ::DWORD t = REG_NONE;
        Win32Error e = QueryValue(key.key, name, &t, data);
        if (e == kErrorSuccess && type) *type = t;
        return e;
    });
}

namespace {}  // namespace

Win32Error RegSetValueExA(HKEY hKey, std::string_view valueName, DWORD type,
                          std::string_view data) {
    if (!reg::ValidValueName(valueName) || !reg::ValidData(type, data))
        return Fail(kErrorInvalidParameter);
    const std::string name(valueName);
    return OnKey(hKey, Access::kWrite, [&](RegKeyObject& key, RegHive& hive) {
        if (hive.Journaling())
            if (Win32Error e = JournalValue(hive, key, name)) return e;
        static const ::BYTE kNoBytes = 0;
        const ::BYTE* bytes =
            data.empty() ? &kNoBytes : reinterpret_cast<const ::BYTE*>(data.data());
        return static_cast<Win32Error>(::RegSetValueExA(key.key, name.c_str(), 0, type, bytes,
                                                        static_cast<::DWORD>(data.size())));
    });
}

Win32Error RegSetString(HKEY hKey, std::string_view valueName, std::string_view value) {
    // With its terminating NUL, as Windows programs write strings and read them back.
    std::string data(value);
    data.push_back('\0');
    return RegSetValueExA(hKey, valueName, REG_SZ, data);
}

Win32Error RegDeleteValueA(HKEY hKey, std::string_view valueName) {
    if (!reg::ValidValueName(valueName)) return Fail(kErrorInvalidParameter);
    const std::string name(valueName);
    return OnKey(hKey, Access::kWrite, [&](RegKeyObject& key, RegHive& hive) {
        if (hive.Journaling())
            if (Win32Error e = JournalValue(hive, key, name)) return e;
        return static_cast<Win32Error>(::RegDeleteValueA(key.key, name.c_str()));
    });
}

Win32Error RegDeleteTreeA(HKEY hKey, std::string_view subKey) {
    std::vector<std::wstring> names;
    if (Win32Error e = reg::SplitPath(subKey, &names, Wide)) return Fail(e);
    const std::wstring path = JoinPath({}, names);
    return OnKey(hKey, Access::kWrite, [&](RegKeyObject& key, RegHive& hive) {
        if (hive.Journaling()) {
            detail::UndoDelete undo{JoinPath(key.path, names), {}};
            if (Win32Error e = CopyTreeAt(key.key, path, &undo.tree)) return e;
            hive.journal.push_back(std::move(undo));
        }
        return DeleteTreeAt(key.key, path);
    });
}

Win32Error RegRenameKeys(HKEY hKey, const std::vector<RegKeyRename>& renames,
                         std::size_t* renamed) {
    if (!renamed) return Fail(kErrorInvalidParameter);
    *renamed = 0;
    for (const RegKeyRename& r : renames)
        if (!reg::ValidKeyName(r.from) || !reg::ValidKeyName(r.to))
            return Fail(kErrorInvalidParameter);
    return OnKey(hKey, Access::kWrite, [&](RegKeyObject& key, RegHive& hive) {
        // The renames are played on the list of names first: they run up to the first missing
        // key, and a name that is taken at its turn refuses them all before any is made.
        std::vector<std::wstring> names;
        if (Win32Error e = SubkeyNames(key.key, &names)) return e;
        std::vector<std::pair<std::wstring, std::wstring>> moves;
        for (const RegKeyRename& r : renames) {
            std::wstring from = Wide(r.from), to = Wide(r.to);
            auto named = [&](const std::wstring& name) {
                return std::find_if(names.begin(), names.end(),
                                    [&](const std::wstring& n) { return SameName(n, name); });
            };
            auto source = named(from);
            if (source == names.end()) break;
            auto target = named(to);
            if (target != names.end() && target != source) return kErrorAlreadyExists;
            *source = to;
            moves.emplace_back(std::move(from), std::move(to));
        }
        for (std::size_t i = 0; i < moves.size(); ++i) {
            if (Win32Error e = RenameSubkey(key.key, moves[i].first, moves[i].second)) {
                while (i-- > 0) RenameSubkey(key.key, moves[i].second, moves[i].first);
                return e;
            }
        }
        for (const auto& [from, to] : moves) {
            if (hive.Journaling()) hive.journal.push_back(detail::UndoRename{key.path, from, to});
            MovePaths(hive, key.path, from, to);
        }
        *renamed = moves.size();
        return kErrorSuccess;
    });
}

Win32Error RegEnumKeyExA(HKEY hKey, DWORD index, std::string* name) {
    return OnKey(hKey, Access::kRead, [&](RegKeyObject& key, RegHive&) {
        std::vector<std::string> names;
        if (Win32Error e = SortedSubkeys(key.key, &names)) return e;
        if (index >= names.size()) return kErrorNoMoreItems;
        if (name) *name = std::move(names[index]);
        return kErrorSuccess;
    });
}

Win32Error RegListSubkeys(HKEY hKey, std::vector<std::string>* names) {
    if (!names) return Fail(kErrorInvalidParameter);
    return OnKey(hKey, Access::kRead,
                 [&](RegKeyObject& key, RegHive&) { return SortedSubkeys(key.key, names); });
}

Win32Error RegEnumValueA(HKEY hKey, DWORD index, std::string* name, DWORD* type,
                         std::string* data) {
    return OnKey(hKey, Access::kRead, [&](RegKeyObject& key, RegHive&) {
        ::DWORD t = REG_NONE;
        Win32Error e = ValueAt(key.key, index, name, &t, data);
        if (e == kErrorSuccess && type) *type = t;
        return e;
    });
}

Win32Error RegSecureKey(HKEY hKey) {
    return OnKey(hKey, Access::kWrite, [&](RegKeyObject& key, RegHive&) {
        ::PSECURITY_DESCRIPTOR sd = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(
                "D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)", SDDL_REVISION_1, &sd, nullptr))
            return static_cast<Win32Error>(::GetLastError());
        ::PACL dacl = nullptr;
        ::BOOL present = FALSE, defaulted = FALSE;
        Win32Error e = kErrorSuccess;
        if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted))
            e = static_cast<Win32Error>(::GetLastError());
        // SetSecurityInfo, unlike RegSetKeySecurity, also carries the inheritable entries down
        // to the subkeys that exist already. Wine's leaves the DACL unprotected (and does not
        // carry anything down), so the key's own DACL is then set as it is meant to be.
        if (e == kErrorSuccess)
            e = static_cast<Win32Error>(
                ::SetSecurityInfo(key.key, SE_REGISTRY_KEY,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr));
        if (e == kErrorSuccess)
            e = static_cast<Win32Error>(
                ::RegSetKeySecurity(key.key, DACL_SECURITY_INFORMATION, sd));
        ::LocalFree(sd);
        return e;
    });
}

// Windows keeps, checks and backs up its hives itself (see the top of this file).

Win32Error RegCheckHive(HKEY predefinedKey, std::string* problem) {
    if (problem) problem->clear();
    return IsPredefined(predefinedKey) ? kErrorSuccess : Fail(kErrorInvalidHandle);
}

Win32Error RegSaveKeyA(HKEY predefinedKey, std::string_view) {
    return IsPredefined(predefinedKey) ? kErrorSuccess : Fail(kErrorInvalidHandle);
}

Win32Error RegReplaceKeyA(HKEY predefinedKey, std::string_view, std::string_view,
                          std::string* movedTo) {
    if (movedTo) movedTo->clear();
    return Fail(IsPredefined(predefinedKey) ? kErrorNotSupported : kErrorInvalidHandle);
}

RegTransaction::RegTransaction(HKEY anyKeyOfTheHive, Kind kind) {
    std::shared_ptr<RegKeyObject> key;
    begin_ = Resolve(anyKeyOfTheHive, &key);
    if (begin_ == kErrorSuccess) begin_ = key->hive->Lock();
    if (begin_ == kErrorSuccess) {
        RegHive& hive = *key->hive;
        if (!hive.transaction) {
            hive.transaction = true;
            hive.snapshot = kind == Kind::kReadSnapshot;
            hive.journal.clear();
            hive_ = key->hive;
            open_ = true;
            return;
        }
        hive.Unlock();
        begin_ = kErrorNotSupported;  // this thread has one open on the hive
    }
    Fail(begin_);
}

RegTransaction::~RegTransaction() {
    if (open_) Finish();
}

Win32Error RegTransaction::Commit() {
    if (!open_) return Fail(begin_ ? begin_ : kErrorInvalidFunction);
    Win32Error e = kErrorSuccess;
    if (!hive_->snapshot) {
        e = static_cast<Win32Error>(::RegFlushKey(hive_->root));
        hive_->journal.clear();
    }
    Finish();
    return e ? Fail(e) : kErrorSuccess;
}

void RegTransaction::Finish() {
    RollBack(*hive_);
    hive_->transaction = false;
    hive_->snapshot = false;
    open_ = false;
    hive_->Unlock();
}

}  // namespace platform
