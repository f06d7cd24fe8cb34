// The registry when its store fails underneath a RegTransaction: a file system that refuses reads
// on demand stands in for a failing disk.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "tests/unit/temp_root.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// A file system that behaves as the default one, except that reads fail while gFailReads is set.
// Files keep the default file system's layout; only their read method is replaced. The default
// file system gives different kinds of file different methods, so each set gets its own copy.
std::atomic<bool> gFailReads{false};
sqlite3_vfs* gBase = nullptr;
sqlite3_vfs gFaulty{};
struct Methods {
    const sqlite3_io_methods* base = nullptr;
    sqlite3_io_methods faulty{};
};
std::array<Methods, 8> gMethods;

int FaultyRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    if (gFailReads) return SQLITE_IOERR_READ;
    for (const Methods& m : gMethods)
        if (&m.faulty == file->pMethods) return m.base->xRead(file, buffer, amount, offset);
    return SQLITE_IOERR_READ;
}

int FaultyOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    int rc = gBase->xOpen(gBase, name, file, flags, outFlags);
    if (rc != SQLITE_OK || !file->pMethods) return rc;
    for (Methods& m : gMethods) {
        if (m.base && m.base != file->pMethods) continue;
        if (!m.base) {
            m.base = file->pMethods;
            m.faulty = *file->pMethods;
            m.faulty.xRead = FaultyRead;
        }
        file->pMethods = &m.faulty;
        return rc;
    }
    return rc;  // more kinds than expected: that file just never fails
}

// The faulty file system is the default while it lives, so hives opened meanwhile use it.
class FaultyFileSystem {
  public:
    FaultyFileSystem() {
        gBase = sqlite3_vfs_find(nullptr);
        gFaulty = *gBase;
        gFaulty.zName = "zantor-faulty";
        gFaulty.xOpen = FaultyOpen;
        sqlite3_vfs_register(&gFaulty, 1);
    }
    ~FaultyFileSystem() {
        gFailReads = false;
        sqlite3_vfs_unregister(&gFaulty);
        sqlite3_vfs_register(gBase, 1);
    }
};

}  // namespace

TEST(RegistryStoreFaults, WritesAfterTheStoreDroppedTheGroupAreRefused) {
    FaultyFileSystem faulty;
    zantor::test::TempRoot root;
    zantor::test::TempDir network;
    setenv("ZANTOR_NETWORK", network.path().c_str(), 1);

    // Values large enough that reading one touches pages of the file nothing else has read.
    HKEY data = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Data", &data), kErrorSuccess);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(RegSetValueExA(data, std::string("V").append(std::to_string(i)), REG_BINARY,
                                 std::string(20000, static_cast<char>('a' + i))),
                  kErrorSuccess);
    RegCloseKey(data);
    // A copy as another computer's hive: opened afresh, nothing of it is in memory yet.
    fs::create_directories(network.path() / "PC1" / "registry");
    for (const char* file : {"HKLM.db", "HKLM.db-wal"})
        fs::copy_file(root.path() / "registry" / file, network.path() / "PC1" / "registry" / file);

    HKEY remote = nullptr;
    ASSERT_EQ(RegConnectRegistryA("PC1", HKEY_LOCAL_MACHINE, &remote), kErrorSuccess);
    ASSERT_EQ(RegOpenKeyExA(remote, "Data", &data), kErrorSuccess);
    {
        RegTransaction group(remote);
        ASSERT_EQ(group.Begin_result(), kErrorSuccess);
        ASSERT_EQ(RegSetDword(data, "Before", 1), kErrorSuccess);
        gFailReads = true;
        std::string bytes;
        EXPECT_NE(RegQueryValueExA(data, "V3", nullptr, &bytes), kErrorSuccess);
        gFailReads = false;
        // The store has rolled the group back: nothing more may land as if it were still open.
        EXPECT_EQ(RegSetDword(data, "After", 2), kErrorRegistryIoFailed);
        EXPECT_EQ(group.Commit(), kErrorRegistryIoFailed);
    }
    for (const char* name : {"Before", "After"}) {
        std::string bytes;
        EXPECT_EQ(RegQueryValueExA(data, name, nullptr, &bytes), kErrorFileNotFound) << name;
    }
    std::string bytes;
    EXPECT_EQ(RegQueryValueExA(data, "V3", nullptr, &bytes), kErrorSuccess);
    EXPECT_EQ(bytes, std::string(20000, 'd'));
    RegCloseKey(data);
    RegCloseKey(remote);
    unsetenv("ZANTOR_NETWORK");
}
