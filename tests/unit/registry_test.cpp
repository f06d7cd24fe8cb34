#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/temp_root.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// A key handle that closes itself; tests assert on the open's result separately.
class Key {
  public:
    Key() = default;
    ~Key() {
        if (h_) RegCloseKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &h_; }
    operator HKEY() const { return h_; }

  private:
    HKEY h_ = nullptr;
};

class Registry : public ::testing::Test {
  protected:
    zantor::test::TempRoot root_;
};

std::int32_t Dword(HKEY key, std::string_view name) {
    std::int32_t v = -12345;
    EXPECT_EQ(RegQueryDword(key, name, &v), kErrorSuccess) << name;
    return v;
}

}  // namespace

TEST_F(Registry, ValuesKeepTheirTypesAndBytes) {
    Key k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\SYSTEM\\Svc\\Parameters\\", k.out()), 0u);
    ASSERT_EQ(RegSetDword(k, "Neg", 0xfffffffe), 0u);
    ASSERT_EQ(RegSetString(k, "Addr", "10.0.0.5"), 0u);
    ASSERT_EQ(RegSetValueExA(k, "Exp", REG_EXPAND_SZ, "%SystemRoot%"), 0u);
    ASSERT_EQ(RegSetValueExA(k, "Bin", REG_BINARY, std::string("\0\x01\xff", 3)), 0u);
    ASSERT_EQ(RegSetString(k, "", "default"), 0u);

    EXPECT_EQ(Dword(k, "Neg"), -2);
    DWORD type = 0;
    std::string data;
    ASSERT_EQ(RegQueryValueExA(k, "neg", &type, &data), 0u);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(data, std::string("\xfe\xff\xff\xff", 4));
    ASSERT_EQ(RegQueryValueExA(k, "Bin", &type, &data), 0u);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data, std::string("\0\x01\xff", 3));

    std::string s;
    ASSERT_EQ(RegQueryString(k, "Addr", &s), 0u);
    EXPECT_EQ(s, "10.0.0.5");
    ASSERT_EQ(RegQueryString(k, "EXP", &s), 0u);
    EXPECT_EQ(s, "%SystemRoot%");
    ASSERT_EQ(RegQueryString(k, "", &s), 0u);
    EXPECT_EQ(s, "default");

    // Replacing a value changes its type as well.
    ASSERT_EQ(RegSetString(k, "Neg", "now text"), 0u);
    std::int32_t v = 7;
    EXPECT_EQ(RegQueryDword(k, "Neg", &v), kErrorUnsupportedType);
    EXPECT_EQ(v, 7);
}

TEST_F(Registry, MissingValuesAndWrongTypesFailReads) {
    Key k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A", k.out()), 0u);
    ASSERT_EQ(RegSetDword(k, "D", 1), 0u);
    ASSERT_EQ(RegSetString(k, "S", "x"), 0u);
    ASSERT_EQ(RegSetValueExA(k, "B", REG_BINARY, "abcd"), 0u);
    std::int32_t i = 0;
    std::string s;
    struct Case {
        const char* name;
        bool asDword;
        Win32Error expected;
    };
    for (const Case& c :
         {Case{"Missing", true, kErrorFileNotFound}, Case{"Missing", false, kErrorFileNotFound},
          Case{"S", true, kErrorUnsupportedType}, Case{"B", true, kErrorUnsupportedType},
          Case{"D", false, kErrorUnsupportedType}, Case{"B", false, kErrorUnsupportedType}}) {
        SetLastError(0);
        Win32Error e = c.asDword ? RegQueryDword(k, c.name, &i) : RegQueryString(k, c.name, &s);
        EXPECT_EQ(e, c.expected) << c.name << (c.asDword ? " as dword" : " as string");
        EXPECT_EQ(GetLastError(), c.expected);
    }
    EXPECT_EQ(RegQueryValueExA(k, "Missing", nullptr, nullptr), kErrorFileNotFound);
    EXPECT_EQ(RegDeleteValueA(k, "Missing"), kErrorFileNotFound);
    EXPECT_EQ(RegSetValueExA(k, "D", REG_DWORD, "abc"), kErrorInvalidParameter);
    EXPECT_EQ(Dword(k, "D"), 1);
}

TEST_F(Registry, NamesIgnoreLetterCaseAndKeepTheFirstOne) {
    Key a, b;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Velmar\\Zantor", a.out()), 0u);
    ASSERT_EQ(RegSetDword(a, "CompsCount", 1), 0u);
    ASSERT_EQ(RegSetString(a, "Comp0", "srv1"), 0u);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\velmar\\ZANTOR", b.out()), 0u);
    ASSERT_EQ(RegSetDword(b, "COMPSCOUNT", 2), 0u);
    EXPECT_EQ(Dword(a, "compscount"), 2);

    std::string name;
    ASSERT_EQ(RegEnumValueA(a, 0, &name, nullptr, nullptr), 0u);
    EXPECT_EQ(name, "CompsCount");  // the replaced value keeps its name and its place
    Key soft;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software", soft.out()), 0u);
    ASSERT_EQ(RegEnumKeyExA(soft, 0, &name), 0u);
    EXPECT_EQ(name, "Velmar");
    // The two hives are apart.
    Key none;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", none.out()), kErrorFileNotFound);
}

TEST_F(Registry, EnumerationOrders) {
    Key k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "E", k.out()), 0u);
    for (const char* sub : {"b", "Filter10", "A", "filter2", "C"}) {
        Key s;
        ASSERT_EQ(RegCreateKeyExA(k, sub, s.out()), 0u);
    }
    for (const char* value : {"zeta", "Alpha", "mid"}) ASSERT_EQ(RegSetDword(k, value, 0), 0u);

    std::vector<std::string> keys, values;
    std::string name;
    for (DWORD i = 0; RegEnumKeyExA(k, i, &name) == kErrorSuccess; ++i) keys.push_back(name);
    for (DWORD i = 0; RegEnumValueA(k, i, &name, nullptr, nullptr) == 0; ++i)
        values.push_back(name);
    EXPECT_EQ(keys, (std::vector<std::string>{"A", "b", "C", "Filter10", "filter2"}));
    std::vector<std::string> listed{"left over"};
    ASSERT_EQ(RegListSubkeys(k, &listed), kErrorSuccess);
    EXPECT_EQ(listed, keys);
    EXPECT_EQ(values, (std::vector<std::string>{"zeta", "Alpha", "mid"}));
    EXPECT_EQ(RegEnumKeyExA(k, 5, &name), kErrorNoMoreItems);
    EXPECT_EQ(RegEnumValueA(k, 3, &name, nullptr, nullptr), kErrorNoMoreItems);
    EXPECT_EQ(GetLastError(), kErrorNoMoreItems);
}

TEST_F(Registry, BadNamesAndHandlesFail) {
    Key k;
    using namespace std::literals;
    for (std::string_view bad : {"a\\\\b"sv, "\\\\a"sv, "a\\b\\\\"sv, "a\0b"sv, "tab\there"sv}) {
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, bad, k.out()), kErrorInvalidParameter) << bad;
    }
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, std::string(256, 'k'), k.out()),
              kErrorInvalidParameter);
    // Every call that takes a value name checks it, before looking for the value.
    for (const std::string& bad : {"line\nbreak"s, "cr\r"s, "a\0b"s, std::string(16384, 'v')}) {
        std::string data;
        EXPECT_EQ(RegSetDword(HKEY_LOCAL_MACHINE, bad, 1), kErrorInvalidParameter);
        EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, bad, nullptr, &data),
                  kErrorInvalidParameter);
        EXPECT_EQ(RegDeleteValueA(HKEY_LOCAL_MACHINE, bad), kErrorInvalidParameter);
        EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    }
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nowhere\\Deeper", k.out()), kErrorFileNotFound);

    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "K", &h), 0u);
    ASSERT_EQ(RegCloseKey(h), 0u);
    auto garbage = reinterpret_cast<HKEY>(std::uintptr_t{0xdeadbeef});
    for (HKEY bad : {h, static_cast<HKEY>(nullptr), garbage}) {
        EXPECT_EQ(RegSetDword(bad, "x", 1), kErrorInvalidHandle);
        EXPECT_EQ(RegCloseKey(bad), kErrorInvalidHandle);
        EXPECT_EQ(RegTransaction(bad).Begin_result(), kErrorInvalidHandle);
    }
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), kErrorSuccess);
    EXPECT_EQ(RegSetDword(HKEY_LOCAL_MACHINE, "StillUsable", 1), kErrorSuccess);
}

TEST_F(Registry, DeleteTreeAndDeletedKeysUnderOpenHandles) {
    Key top, deep, sibling, again, reopened;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "P\\10.0.0.5\\InFilters\\Filter0", deep.out()),
              0u);
    ASSERT_EQ(RegSetDword(deep, "dwRule", 1), 0u);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "P\\10.0.0.6", sibling.out()), 0u);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P", top.out()), 0u);

    EXPECT_EQ(RegDeleteTreeA(top, "Missing"), kErrorFileNotFound);
    ASSERT_EQ(RegDeleteTreeA(top, "10.0.0.5"), 0u);
    std::string name;
    std::int32_t v = 0;
    EXPECT_EQ(RegQueryDword(deep, "dwRule", &v), kErrorKeyDeleted);
    EXPECT_EQ(RegSetDword(deep, "dwRule", 2), kErrorKeyDeleted);
    EXPECT_EQ(RegCreateKeyExA(deep, "Below", again.out()), kErrorKeyDeleted);
    EXPECT_EQ(RegEnumValueA(deep, 0, &name, nullptr, nullptr), kErrorKeyDeleted);
    EXPECT_EQ(RegDeleteTreeA(deep, ""), kErrorKeyDeleted);

    // A new key of the same name is another key: the old handle stays dead.
    ASSERT_EQ(RegCreateKeyExA(top, "10.0.0.5\\InFilters\\Filter0", reopened.out()), 0u);
    EXPECT_EQ(RegQueryDword(reopened, "dwRule", &v), kErrorFileNotFound);
    EXPECT_EQ(RegSetDword(deep, "dwRule", 2), kErrorKeyDeleted);

    // "" empties the key and keeps it.
    ASSERT_EQ(RegSetDword(top, "Value", 1), 0u);
    ASSERT_EQ(RegDeleteTreeA(top, ""), 0u);
    EXPECT_EQ(RegEnumKeyExA(top, 0, &name), kErrorNoMoreItems);
    EXPECT_EQ(RegEnumValueA(top, 0, &name, nullptr, nullptr), kErrorNoMoreItems);
    EXPECT_EQ(RegSetDword(top, "Value", 1), 0u);
    EXPECT_EQ(RegSetDword(sibling, "x", 1), kErrorKeyDeleted);
    HKEY dead = deep;
    EXPECT_EQ(RegCloseKey(dead), kErrorSuccess);
    *deep.out() = nullptr;
}

TEST_F(Registry, GroupedWritesLandWholeOrNotAtAll) {
    Key params;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Params\\InFilters", params.out()), 0u);
    ASSERT_EQ(RegSetDword(params, "FiltersCount", 0), 0u);
    Key kept, dropped;
    {
        RegTransaction t(HKEY_LOCAL_MACHINE);
        ASSERT_EQ(t.Begin_result(), 0u);
        ASSERT_EQ(RegCreateKeyExA(params, "Filter0", kept.out()), 0u);
        ASSERT_EQ(RegSetDword(kept, "dwRule", 5), 0u);
        ASSERT_EQ(RegSetDword(params, "FiltersCount", 1), 0u);
        EXPECT_EQ(Dword(params, "FiltersCount"), 1);  // its own thread sees its writes
        EXPECT_EQ(RegTransaction(params).Begin_result(), kErrorNotSupported);
        ASSERT_EQ(t.Commit(), 0u);
        EXPECT_EQ(t.Commit(), kErrorInvalidFunction);
    }
    {
        RegTransaction t(params);
        ASSERT_EQ(t.Begin_result(), 0u);
        ASSERT_EQ(RegCreateKeyExA(params, "Filter1", dropped.out()), 0u);
        ASSERT_EQ(RegSetDword(dropped, "dwRule", 6), 0u);
        ASSERT_EQ(RegSetDword(params, "FiltersCount", 2), 0u);
        ASSERT_EQ(RegDeleteTreeA(params, "Filter0"), 0u);
        // A failing write inside leaves the rest of the group alone.
        EXPECT_EQ(RegDeleteValueA(params, "NoSuchValue"), kErrorFileNotFound);
    }  // rolled back
    EXPECT_EQ(Dword(params, "FiltersCount"), 1);
    EXPECT_EQ(Dword(kept, "dwRule"), 5);
    std::int32_t v = 0;
    EXPECT_EQ(RegQueryDword(dropped, "dwRule", &v), kErrorKeyDeleted);
    Key gone;
    EXPECT_EQ(RegOpenKeyExA(params, "Filter1", gone.out()), kErrorFileNotFound);
}

TEST_F(Registry, ThreadsSeeOtherThreadsGroupsWhole) {
    constexpr int kWriters = 3, kRounds = 39;
    std::atomic<int> torn{0}, failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            Key k;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "T\\W" + std::to_string(w), k.out()))
                ++failures;
            for (int i = 1; i <= kRounds; ++i) {
                RegTransaction t(HKEY_LOCAL_MACHINE);
                for (const char* name : {"a", "b", "c"})
                    if (RegSetDword(k, name, static_cast<DWORD>(i))) ++failures;
                if (i % 3 != 0 && t.Commit()) ++failures;  // every third group rolls back
            }
        });
    }
    std::thread reader([&] {
        while (!done) {
            for (int w = 0; w < kWriters; ++w) {
                Key k;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "T\\W" + std::to_string(w), k.out()))
                    continue;
                // Its own group holds the others off for the three reads.
                RegTransaction snapshot(HKEY_LOCAL_MACHINE);
                std::int32_t a = 0, b = 0, c = 0;
                if (RegQueryDword(k, "a", &a) || RegQueryDword(k, "b", &b) ||
                    RegQueryDword(k, "c", &c))
                    continue;  // not written yet
                if (a != b || b != c) ++torn;
            }
        }
    });
    for (auto& t : writers) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(torn, 0);
    for (int w = 0; w < kWriters; ++w) {
        Key k;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "T\\W" + std::to_string(w), k.out()), 0u);
        EXPECT_EQ(Dword(k, "c"), kRounds - 1);  // the last round was rolled back
    }
}

TEST_F(Registry, RemoteComputersByName) {
    zantor::test::TempDir network;
    fs::create_directories(network.path() / "PC1");
    setenv("ZANTOR_NETWORK", network.path().c_str(), 1);
    Key remote, sameRemote, local, user, k;
    ASSERT_EQ(RegConnectRegistryA("\\\\PC1", HKEY_LOCAL_MACHINE, remote.out()), 0u);
    ASSERT_EQ(RegSetDword(remote, "Where", 1), 0u);
    ASSERT_EQ(RegConnectRegistryA("pc1", HKEY_LOCAL_MACHINE, sameRemote.out()), 0u);
    EXPECT_EQ(Dword(sameRemote, "where"), 1);
    EXPECT_TRUE(fs::exists(network.path() / "PC1" / "registry" / "HKLM.db"));

    std::int32_t v = 0;
    EXPECT_EQ(RegQueryDword(HKEY_LOCAL_MACHINE, "Where", &v), kErrorFileNotFound);
    ASSERT_EQ(RegConnectRegistryA(".", HKEY_LOCAL_MACHINE, local.out()), 0u);
    ASSERT_EQ(RegSetDword(local, "Here", 2), 0u);
    EXPECT_EQ(Dword(HKEY_LOCAL_MACHINE, "Here"), 2);
    EXPECT_EQ(RegConnectRegistryA("", HKEY_CURRENT_USER, user.out()), 0u);

    EXPECT_EQ(RegConnectRegistryA("PC1", HKEY_CURRENT_USER, k.out()), kErrorInvalidHandle);
    // PC2 is no computer of the network: a host reached over SSH, whose registry is not opened
    // from here.
    EXPECT_EQ(RegConnectRegistryA("PC2", HKEY_LOCAL_MACHINE, k.out()), kErrorNotSupported);
    EXPECT_EQ(RegConnectRegistryA("PC1", remote, k.out()), kErrorInvalidHandle);
    unsetenv("ZANTOR_NETWORK");
}

TEST_F(Registry, SecureKeyLeavesTheFilesOwnerOnly) {
    Key k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "S", k.out()), 0u);
    ASSERT_EQ(RegSetDword(k, "v", 1), 0u);
    fs::path dir = root_.path() / "registry";
    fs::permissions(dir, fs::perms::all);
    fs::permissions(dir / "HKLM.db", fs::perms::all);
    ASSERT_EQ(RegSecureKey(k), 0u);
    ASSERT_EQ(RegSetDword(k, "v", 2), 0u);  // still usable
    int checked = 0;
    for (const fs::path& p : {dir, dir / "HKLM.db", dir / "HKLM.db-wal", dir / "HKLM.db-shm"}) {
        if (!fs::exists(p)) continue;
        ++checked;
        auto perms = fs::status(p).permissions();
        EXPECT_EQ(perms & (fs::perms::group_all | fs::perms::others_all), fs::perms::none) << p;
    }
    EXPECT_GE(checked, 2);
}

TEST_F(Registry, AFileThatIsNoHiveIsAnError) {
    fs::create_directories(root_.path() / "registry");
    std::ofstream(root_.path() / "registry" / "HKLM.db") << "not a database, just some text";
    Key k;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A", k.out()), kErrorBadDb);
    EXPECT_EQ(RegTransaction(HKEY_LOCAL_MACHINE).Begin_result(), kErrorBadDb);
    EXPECT_EQ(RegSetDword(HKEY_CURRENT_USER, "fine", 1), kErrorSuccess);
}

TEST_F(Registry, RenamedKeysKeepTheirValuesAndStopAtTheFirstMissingOne) {
    Key list, held;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "List", list.out()), 0u);
    for (const char* name : {"F1", "F2", "F4"}) {
        Key k;
        ASSERT_EQ(RegCreateKeyExA(list, name, k.out()), 0u);
        ASSERT_EQ(RegSetString(k, "Name", name), 0u);
    }
    ASSERT_EQ(RegOpenKeyExA(list, "F2", held.out()), 0u);
    std::size_t renamed = 99;
    EXPECT_EQ(
        RegRenameKeys(list, {{"F1", "F0"}, {"F2", "F1"}, {"F3", "F2"}, {"F4", "F3"}}, &renamed),
        0u);
    EXPECT_EQ(renamed, 2u) << "F3 is missing: F4 stays";
    std::vector<std::string> names;
    ASSERT_EQ(RegListSubkeys(list, &names), 0u);
    EXPECT_EQ(names, (std::vector<std::string>{"F0", "F1", "F4"}));
    std::string value;
    EXPECT_EQ(RegQueryString(held, "Name", &value), 0u) << "a handle goes with its key";
    EXPECT_EQ(value, "F2");

    // A name that is taken fails the whole call.
    EXPECT_EQ(RegRenameKeys(list, {{"F0", "X"}, {"F1", "F4"}}, &renamed), kErrorAlreadyExists);
    EXPECT_EQ(renamed, 0u);
    ASSERT_EQ(RegListSubkeys(list, &names), 0u);
    EXPECT_EQ(names, (std::vector<std::string>{"F0", "F1", "F4"}));
    EXPECT_EQ(RegRenameKeys(list, {{"F0", "a\\b"}}, &renamed), kErrorInvalidParameter);
}

TEST_F(Registry, StringsWrittenWithTheirNulReadWithoutIt) {
    Key k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "S", k.out()), 0u);
    ASSERT_EQ(RegSetValueExA(k, "Sz", REG_SZ, std::string("10.0.0.1\0", 9)), 0u);
    ASSERT_EQ(RegSetValueExA(k, "Expand", REG_EXPAND_SZ, std::string("%x%\0\0", 5)), 0u);
    ASSERT_EQ(RegSetValueExA(k, "Inner", REG_SZ, std::string("a\0b", 3)), 0u);
    std::string s;
    ASSERT_EQ(RegQueryString(k, "Sz", &s), 0u);
    EXPECT_EQ(s, "10.0.0.1");
    ASSERT_EQ(RegQueryString(k, "Expand", &s), 0u);
    EXPECT_EQ(s, "%x%");
    ASSERT_EQ(RegQueryString(k, "Inner", &s), 0u);
    EXPECT_EQ(s, std::string("a\0b", 3)) << "only the end is the terminator";
}

TEST_F(Registry, ASavedHiveReplacesADamagedOneWhichIsKeptAside) {
    const fs::path dir = root_.path() / "registry";
    {
        Key k;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Kept", k.out()), 0u);
        ASSERT_EQ(RegSetDword(k, "V", 7), 0u);
        std::string problem = "unchanged";
        EXPECT_EQ(RegCheckHive(HKEY_LOCAL_MACHINE, &problem), 0u);
        EXPECT_EQ(problem, "");
        ASSERT_EQ(RegSaveKeyA(HKEY_LOCAL_MACHINE, "copy.db"), 0u);
        ASSERT_EQ(RegSetDword(k, "V", 8), 0u);
        // Open handles hold the hive: it cannot be replaced under them.
        std::string moved;
        EXPECT_EQ(RegReplaceKeyA(HKEY_LOCAL_MACHINE, "copy.db", "old.db", &moved),
                  kErrorSharingViolation);
    }
    std::ofstream(dir / "HKLM.db", std::ios::binary | std::ios::in | std::ios::out)
        << "not a database at all";
    std::string problem;
    EXPECT_EQ(RegCheckHive(HKEY_LOCAL_MACHINE, &problem), kErrorBadDb);
    EXPECT_NE(problem.find("HKLM.db: SQLite error 26"), std::string::npos) << problem;

    std::string moved;
    ASSERT_EQ(RegReplaceKeyA(HKEY_LOCAL_MACHINE, "copy.db", "old.db", &moved), 0u);
    EXPECT_EQ(moved, (dir / "old.db").string());
    EXPECT_TRUE(fs::exists(dir / "old.db"));
    EXPECT_EQ(RegReplaceKeyA(HKEY_LOCAL_MACHINE, "", "old.db", &moved), kErrorAlreadyExists);
    EXPECT_EQ(RegCheckHive(HKEY_LOCAL_MACHINE, &problem), 0u);
    Key k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Kept", k.out()), 0u);
    std::int32_t v = 0;
    ASSERT_EQ(RegQueryDword(k, "V", &v), 0u);
    EXPECT_EQ(v, 7) << "the saved state";
    EXPECT_EQ(RegCheckHive(HKEY_CURRENT_USER, &problem), 0u) << "a hive never made is sound";
}
