// The registry port on the system's registry: rolled-back groups of writes, renames with their
// contents, handles, and what Windows does differently from the Linux store. Every case works
// below a key of its own process, HKEY_CURRENT_USER\Software\ZantorTest-<pid>, deleted at its end.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

::HKEY SystemCurrentUser() {
    return HKEY_CURRENT_USER;
}

}  // namespace

// The port's own names from here on.
#undef HKEY_LOCAL_MACHINE
#undef HKEY_CURRENT_USER

namespace {

using namespace platform;
// Ours, not windows.h's.
using HKEY = platform::HKEY;
using DWORD = platform::DWORD;

class Key {
  public:
    Key() = default;
    ~Key() { reset(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &h_; }
    operator HKEY() const { return h_; }
    void reset() {
        if (h_) RegCloseKey(h_);
        h_ = nullptr;
    }

  private:
    HKEY h_ = nullptr;
};

// The whole tree below `key` as text: subkeys in enumeration order, values in theirs.
std::string Dump(HKEY key, const std::string& indent = "") {
    std::string out;
    std::string name, data;
    DWORD type = 0;
    for (DWORD i = 0; RegEnumValueA(key, i, &name, &type, &data) == kErrorSuccess; ++i) {
        out += indent + name + " " + std::to_string(type) + " ";
        for (unsigned char c : data) out += std::to_string(c) + ",";
        out += "\n";
    }
    std::vector<std::string> names;
    EXPECT_EQ(RegListSubkeys(key, &names), kErrorSuccess);
    for (const std::string& sub : names) {
        Key child;
        EXPECT_EQ(RegOpenKeyExA(key, sub, child.out()), kErrorSuccess) << sub;
        out += indent + "[" + sub + "]\n" + Dump(child, indent + "  ");
    }
    return out;
}

class Win32Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = "Software\\ZantorTest-" + std::to_string(::GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, base_, root_.out()), kErrorSuccess);
    }
    void TearDown() override {
        root_.reset();
        EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, base_), kErrorSuccess);
    }

    // Gives the key at `sub` a protected DACL of one entry, which no key made below the test's
    // root would have by inheritance.
    void Protect(const std::string& sub, const char* sddl = "D:P(A;OICI;KA;;;WD)") {
        ::PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                           &sd, nullptr));
        ::HKEY key = nullptr;
        ASSERT_EQ(::RegOpenKeyExA(SystemCurrentUser(), (base_ + "\\" + sub).c_str(), 0,
                                  READ_CONTROL | WRITE_DAC, &key),
                  ERROR_SUCCESS);
        EXPECT_EQ(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
        ::RegCloseKey(key);
        ::LocalFree(sd);
    }

    // The number of entries of the key's DACL when it is protected, else -1.
    int ProtectedAces(const std::string& sub) {
        ::HKEY key = nullptr;
        if (::RegOpenKeyExA(SystemCurrentUser(), (base_ + "\\" + sub).c_str(), 0, READ_CONTROL,
                            &key) != ERROR_SUCCESS)
            return -2;
        ::PACL dacl = nullptr;
        ::PSECURITY_DESCRIPTOR sd = nullptr;
        int aces = -1;
        if (::GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &sd) == ERROR_SUCCESS) {
            ::SECURITY_DESCRIPTOR_CONTROL control = 0;
            ::DWORD revision = 0;
            ::GetSecurityDescriptorControl(sd, &control, &revision);
            if ((control & SE_DACL_PROTECTED) && dacl) aces = dacl->AceCount;
            ::LocalFree(sd);
        }
        ::RegCloseKey(key);
        return aces;
    }

    std::string base_;
    Key root_;
};

TEST_F(Win32Registry, RollbackUndoesValuesCreatedKeysDeletedTreesAndRenames) {
    ASSERT_EQ(RegSetDword(root_, "Keep", 1), kErrorSuccess);
    ASSERT_EQ(RegSetString(root_, "Change", "old"), kErrorSuccess);
    ASSERT_EQ(RegSetValueExA(root_, "Later", REG_BINARY, std::string("\0\x01", 2)), kErrorSuccess);
    {
        Key deep, emptied;
        ASSERT_EQ(RegCreateKeyExA(root_, "Old\\Deep", deep.out()), kErrorSuccess);
        ASSERT_EQ(RegSetValueExA(deep, "Bin", REG_BINARY, std::string("\0\xff\0", 3)), 0u);
        ASSERT_EQ(RegSetValueExA(deep, "Exp", REG_EXPAND_SZ, "%SystemRoot%"), kErrorSuccess);
        ASSERT_EQ(RegCreateKeyExA(root_, "Emptied\\Child", emptied.out()), kErrorSuccess);
        ASSERT_EQ(RegSetString(emptied, "", "default"), kErrorSuccess);
        Key ren;
        ASSERT_EQ(RegCreateKeyExA(root_, "Ren", ren.out()), kErrorSuccess);
    }
    Protect("Old\\Deep");
    const std::string before = Dump(root_);

    Key made;
    {
        RegTransaction group(root_);
        ASSERT_EQ(group.Begin_result(), kErrorSuccess);
        EXPECT_EQ(RegSetString(root_, "Change", "new"), kErrorSuccess);
        EXPECT_EQ(RegSetDword(root_, "Added", 7), kErrorSuccess);
        EXPECT_EQ(RegDeleteValueA(root_, "Keep"), kErrorSuccess);
        EXPECT_EQ(RegCreateKeyExA(root_, "New\\Deeper\\Deepest", made.out()), kErrorSuccess);
        EXPECT_EQ(RegSetDword(made, "Inside", 1), kErrorSuccess);
        // Through the predefined key and a path: the same hive, the same group.
        EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, base_ + "\\Old"), kErrorSuccess);
        Key emptied;
        ASSERT_EQ(RegOpenKeyExA(root_, "Emptied", emptied.out()), kErrorSuccess);
        EXPECT_EQ(RegDeleteTreeA(emptied, ""), kErrorSuccess);
        std::size_t renamed = 0;
        EXPECT_EQ(RegRenameKeys(root_, {{"Ren", "Renamed"}}, &renamed), kErrorSuccess);
        EXPECT_EQ(renamed, 1u);
        // A value written again after the first write keeps the oldest state for the undo.
        EXPECT_EQ(RegSetValueExA(root_, "Later", REG_DWORD, std::string(4, '\x05')), 0u);
        EXPECT_EQ(RegDeleteValueA(root_, "Later"), kErrorSuccess);
        EXPECT_NE(Dump(root_), before);
    }
    EXPECT_EQ(Dump(root_), before);
    EXPECT_EQ(ProtectedAces("Old\\Deep"), 1);
    // The key the group made is gone, and so is what its handle pointed at.
    EXPECT_EQ(RegSetDword(made, "Inside", 2), kErrorKeyDeleted);
    EXPECT_EQ(platform::GetLastError(), kErrorKeyDeleted);
}

TEST_F(Win32Registry, CommitKeepsTheGroupAndEndsIt) {
    {
        RegTransaction group(root_);
        ASSERT_EQ(group.Begin_result(), kErrorSuccess);
        // One group per hive and thread, whichever key names the hive.
        RegTransaction second(HKEY_CURRENT_USER);
        EXPECT_EQ(second.Begin_result(), kErrorNotSupported);
        EXPECT_EQ(second.Commit(), kErrorNotSupported);
        EXPECT_EQ(RegSetDword(root_, "Kept", 3), kErrorSuccess);
        Key sub;
        EXPECT_EQ(RegCreateKeyExA(root_, "Sub", sub.out()), kErrorSuccess);
        EXPECT_EQ(group.Commit(), kErrorSuccess);
        EXPECT_EQ(group.Commit(), kErrorInvalidFunction);
    }
    std::int32_t kept = 0;
    EXPECT_EQ(RegQueryDword(root_, "Kept", &kept), kErrorSuccess);
    EXPECT_EQ(kept, 3);
    Key sub;
    EXPECT_EQ(RegOpenKeyExA(root_, "Sub", sub.out()), kErrorSuccess);
    RegTransaction next(root_);
    EXPECT_EQ(next.Begin_result(), kErrorSuccess);
}

TEST_F(Win32Registry, SnapshotReadsAndRefusesWritesOnItsThread) {
    ASSERT_EQ(RegSetDword(root_, "V", 1), kErrorSuccess);
    {
        RegTransaction snapshot(root_, RegTransaction::Kind::kReadSnapshot);
        ASSERT_EQ(snapshot.Begin_result(), kErrorSuccess);
        std::int32_t v = 0;
        EXPECT_EQ(RegQueryDword(root_, "V", &v), kErrorSuccess);
        EXPECT_EQ(RegSetDword(root_, "V", 2), kErrorAccessDenied);
        Key k;
        EXPECT_EQ(RegCreateKeyExA(root_, "K", k.out()), kErrorAccessDenied);
        EXPECT_EQ(RegDeleteTreeA(root_, ""), kErrorAccessDenied);
        EXPECT_EQ(RegSecureKey(root_), kErrorAccessDenied);
        EXPECT_EQ(snapshot.Commit(), kErrorSuccess);
        EXPECT_EQ(RegSetDword(root_, "V", 2), kErrorSuccess);
    }
}

TEST_F(Win32Registry, OtherThreadsWaitForTheGroup) {
    std::thread writer;
    std::atomic<bool> wrote{false};
    {
        RegTransaction group(root_);
        ASSERT_EQ(group.Begin_result(), kErrorSuccess);
        writer = std::thread([&] {
            EXPECT_EQ(RegSetDword(root_, "FromThread", 1), kErrorSuccess);
            wrote = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(wrote);
        EXPECT_EQ(RegSetDword(root_, "FromGroup", 1), kErrorSuccess);
    }  // rolled back: only the other thread's value stays
    writer.join();
    EXPECT_TRUE(wrote);
    EXPECT_EQ(RegQueryValueExA(root_, "FromThread", nullptr, nullptr), kErrorSuccess);
    EXPECT_EQ(RegQueryValueExA(root_, "FromGroup", nullptr, nullptr), kErrorFileNotFound);
}

TEST_F(Win32Registry, RenamesMoveKeysWithValuesSubkeysAndDacl) {
    for (const char* name : {"0", "1", "2", "3"}) {
        Key k, child;
        ASSERT_EQ(RegCreateKeyExA(root_, name, k.out()), kErrorSuccess);
        ASSERT_EQ(RegSetString(k, "Was", name), kErrorSuccess);
        ASSERT_EQ(RegCreateKeyExA(k, "Child", child.out()), kErrorSuccess);
        ASSERT_EQ(RegSetValueExA(child, "Bin", REG_BINARY, std::string("\0\x02", 2)), 0u);
    }
    Protect("3");
    Key three;
    ASSERT_EQ(RegOpenKeyExA(root_, "3", three.out()), kErrorSuccess);
    const std::string threeBefore = Dump(three);

    // A numbered run moves down; the pairs stop at the first key that is missing.
    ASSERT_EQ(RegDeleteTreeA(root_, "0"), kErrorSuccess);
    std::size_t renamed = 99;
    ASSERT_EQ(RegRenameKeys(root_, {{"1", "0"}, {"2", "1"}, {"3", "2"}, {"9", "8"}, {"0", "7"}},
                            &renamed),
              kErrorSuccess);
    EXPECT_EQ(renamed, 3u);
    std::vector<std::string> names;
    ASSERT_EQ(RegListSubkeys(root_, &names), kErrorSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"0", "1", "2"}));
    Key two;
    ASSERT_EQ(RegOpenKeyExA(root_, "2", two.out()), kErrorSuccess);
    EXPECT_EQ(Dump(two), threeBefore);
    EXPECT_EQ(ProtectedAces("2"), 1);

    // A name taken at its turn refuses every pair, also the ones before it; one freed by an
    // earlier pair is not taken.
    EXPECT_EQ(RegRenameKeys(root_, {{"0", "5"}, {"1", "2"}}, &renamed), kErrorAlreadyExists);
    EXPECT_EQ(renamed, 0u);
    EXPECT_EQ(RegRenameKeys(root_, {{"2", "5"}, {"1", "2"}, {"0", "a"}}, &renamed), 0u);
    EXPECT_EQ(renamed, 3u);
    // Letter case alone.
    EXPECT_EQ(RegRenameKeys(root_, {{"a", "A"}}, &renamed), kErrorSuccess);
    ASSERT_EQ(RegListSubkeys(root_, &names), kErrorSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"2", "5", "A"}));
    Key a;
    ASSERT_EQ(RegOpenKeyExA(root_, "A", a.out()), kErrorSuccess);
    std::string was;
    EXPECT_EQ(RegQueryString(a, "Was", &was), kErrorSuccess);
    EXPECT_EQ(was, "1");
}

TEST_F(Win32Registry, UndoFindsAKeyByItsNameAfterARename) {
    Key inner;
    ASSERT_EQ(RegCreateKeyExA(root_, "Src\\Inner", inner.out()), kErrorSuccess);
    ASSERT_EQ(RegSetDword(inner, "V", 1), kErrorSuccess);
    std::size_t renamed = 0;
    ASSERT_EQ(RegRenameKeys(root_, {{"Src", "Dst"}}, &renamed), kErrorSuccess);
    if (RegSetDword(inner, "V", 1) == kErrorKeyDeleted)
        GTEST_SKIP() << "renamed by copying: the old handle's key is gone";
    {
        RegTransaction group(root_);
        ASSERT_EQ(group.Begin_result(), kErrorSuccess);
        EXPECT_EQ(RegSetDword(inner, "V", 2), kErrorSuccess);
    }
    Key src;
    EXPECT_EQ(RegOpenKeyExA(root_, "Src", src.out()), kErrorFileNotFound);
    std::int32_t v = 0;
    EXPECT_EQ(RegQueryDword(inner, "V", &v), kErrorSuccess);
    EXPECT_EQ(v, 1);
}

TEST_F(Win32Registry, PredefinedKeysStayAndBadHandlesFailCleanly) {
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), kErrorSuccess);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), kErrorSuccess);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), kErrorSuccess);
    Key again;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, base_, again.out()), kErrorSuccess);

    HKEY closed = nullptr;
    ASSERT_EQ(RegOpenKeyExA(root_, "", &closed), kErrorSuccess);
    ASSERT_EQ(RegCloseKey(closed), kErrorSuccess);
    int local = 0;
    for (HKEY bad : {closed, HKEY{}, reinterpret_cast<HKEY>(std::uintptr_t{0x1235}),
                     reinterpret_cast<HKEY>(&local)}) {
        std::string s;
        EXPECT_EQ(RegQueryString(bad, "", &s), kErrorInvalidHandle);
        EXPECT_EQ(RegSetDword(bad, "V", 1), kErrorInvalidHandle);
        EXPECT_EQ(platform::GetLastError(), kErrorInvalidHandle);
        EXPECT_EQ(RegEnumKeyExA(bad, 0, &s), kErrorInvalidHandle);
        EXPECT_EQ(RegCloseKey(bad), kErrorInvalidHandle);
        RegTransaction group(bad);
        EXPECT_EQ(group.Begin_result(), kErrorInvalidHandle);
    }
}

TEST_F(Win32Registry, StringsAreWrittenWithTheirTerminatorAndReadWithout) {
    ASSERT_EQ(RegSetString(root_, "S", "text"), kErrorSuccess);
    DWORD type = 0;
    std::string raw, text;
    ASSERT_EQ(RegQueryValueExA(root_, "S", &type, &raw), kErrorSuccess);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(raw, std::string("text\0", 5));
    EXPECT_EQ(RegQueryString(root_, "S", &text), kErrorSuccess);
    EXPECT_EQ(text, "text");

    ASSERT_EQ(RegSetString(root_, "Empty", ""), kErrorSuccess);
    EXPECT_EQ(RegQueryString(root_, "Empty", &text), kErrorSuccess);
    EXPECT_EQ(text, "");
    ASSERT_EQ(RegSetValueExA(root_, "Bare", REG_EXPAND_SZ, "%x%"), kErrorSuccess);
    EXPECT_EQ(RegQueryString(root_, "Bare", &text), kErrorSuccess);
    EXPECT_EQ(text, "%x%");
    ASSERT_EQ(RegSetValueExA(root_, "Twice", REG_SZ, std::string("ab\0\0", 4)), kErrorSuccess);
    EXPECT_EQ(RegQueryString(root_, "Twice", &text), kErrorSuccess);
    EXPECT_EQ(text, "ab");

    ASSERT_EQ(RegSetDword(root_, "D", 1), kErrorSuccess);
    EXPECT_EQ(RegQueryString(root_, "D", &text), kErrorUnsupportedType);
    EXPECT_EQ(RegQueryString(root_, "Missing", &text), kErrorFileNotFound);
}

TEST_F(Win32Registry, ComputersAndTheirHives) {
    HKEY h = nullptr;
    // The system offers another computer's users under HKEY_USERS only.
    EXPECT_EQ(RegConnectRegistryA("OTHERPC", HKEY_CURRENT_USER, &h), kErrorInvalidHandle);
    EXPECT_EQ(RegConnectRegistryA("\\\\OTHERPC", HKEY_CURRENT_USER, &h), kErrorInvalidHandle);
    EXPECT_EQ(RegConnectRegistryA("bad/name", HKEY_LOCAL_MACHINE, &h), kErrorInvalidName);
    EXPECT_EQ(RegConnectRegistryA(".", root_, &h), kErrorInvalidHandle);
    EXPECT_EQ(RegConnectRegistryA(".", HKEY_LOCAL_MACHINE, nullptr), kErrorInvalidParameter);

    Key local;
    ASSERT_EQ(RegConnectRegistryA(".", HKEY_CURRENT_USER, local.out()), kErrorSuccess);
    Key viaLocal;
    EXPECT_EQ(RegOpenKeyExA(local, base_, viaLocal.out()), kErrorSuccess);
    // The connection is the local hive: a group on one is a group on the other.
    RegTransaction group(local);
    ASSERT_EQ(group.Begin_result(), kErrorSuccess);
    RegTransaction second(root_);
    EXPECT_EQ(second.Begin_result(), kErrorNotSupported);
}

TEST_F(Win32Registry, SubkeysComeInAsciiOrderIgnoringCase) {
    for (const char* name : {"b", "_x", "A", "C"}) {
        Key k;
        ASSERT_EQ(RegCreateKeyExA(root_, name, k.out()), kErrorSuccess);
    }
    // The system sorts '_' after the letters; our order puts it before them.
    const std::vector<std::string> expected{"_x", "A", "b", "C"};
    std::vector<std::string> names;
    ASSERT_EQ(RegListSubkeys(root_, &names), kErrorSuccess);
    EXPECT_EQ(names, expected);
    for (DWORD i = 0; i < expected.size(); ++i) {
        std::string name;
        EXPECT_EQ(RegEnumKeyExA(root_, i, &name), kErrorSuccess);
        EXPECT_EQ(name, expected[i]);
    }
    std::string name;
    EXPECT_EQ(RegEnumKeyExA(root_, 4, &name), kErrorNoMoreItems);
}

TEST_F(Win32Registry, BadNamesAndDataAreRefused) {
    Key k;
    EXPECT_EQ(RegCreateKeyExA(root_, std::string(256, 'k'), k.out()), kErrorInvalidParameter);
    EXPECT_EQ(RegCreateKeyExA(root_, "a\\\\b", k.out()), kErrorInvalidParameter);
    EXPECT_EQ(RegCreateKeyExA(root_, "a\x01", k.out()), kErrorInvalidParameter);
    EXPECT_EQ(RegOpenKeyExA(root_, "a", nullptr), kErrorInvalidParameter);
    EXPECT_EQ(RegSetDword(root_, "a\nb", 1), kErrorInvalidParameter);
    EXPECT_EQ(RegSetValueExA(root_, "d", REG_DWORD, "abc"), kErrorInvalidParameter);
    std::size_t renamed = 0;
    EXPECT_EQ(RegRenameKeys(root_, {{"a", "b\\c"}}, &renamed), kErrorInvalidParameter);
    EXPECT_EQ(RegDeleteTreeA(root_, "Missing"), kErrorFileNotFound);
    std::vector<std::string> names;
    EXPECT_EQ(RegListSubkeys(root_, &names), kErrorSuccess);
    EXPECT_TRUE(names.empty());
}

TEST_F(Win32Registry, SecureKeyProtectsTheKey) {
    Key secured, child;
    ASSERT_EQ(RegCreateKeyExA(root_, "Secured\\Child", child.out()), kErrorSuccess);
    ASSERT_EQ(RegOpenKeyExA(root_, "Secured", secured.out()), kErrorSuccess);
    ASSERT_EQ(RegSecureKey(secured), kErrorSuccess);
    EXPECT_EQ(ProtectedAces("Secured"), 2);
    // As their owner the test may still open them up again, so that they can be deleted.
    Protect("Secured\\Child");
    Protect("Secured");
}

TEST_F(Win32Registry, HiveUpkeepIsTheSystems) {
    std::string problem = "stale";
    EXPECT_EQ(RegCheckHive(HKEY_LOCAL_MACHINE, &problem), kErrorSuccess);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(RegSaveKeyA(HKEY_CURRENT_USER, "backup.hiv"), kErrorSuccess);
    std::string movedTo;
    EXPECT_EQ(RegReplaceKeyA(HKEY_LOCAL_MACHINE, "new.hiv", "old.hiv", &movedTo),
              kErrorNotSupported);
    EXPECT_EQ(RegCheckHive(root_, &problem), kErrorInvalidHandle);
    EXPECT_EQ(RegSaveKeyA(root_, "backup.hiv"), kErrorInvalidHandle);
}

}  // namespace
