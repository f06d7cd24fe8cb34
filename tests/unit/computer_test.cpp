#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/computer.h"
#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "tests/unit/temp_root.h"

using namespace platform;
namespace fs = std::filesystem;

TEST(Computer, LocalNamesInAnyCase) {
    EXPECT_TRUE(IsLocalComputerName(""));
    EXPECT_TRUE(IsLocalComputerName("."));
    EXPECT_TRUE(IsLocalComputerName("LocalHost"));
    EXPECT_TRUE(IsLocalComputerName("\\\\."));
    EXPECT_FALSE(IsLocalComputerName("PC1"));
}

TEST(Computer, RootsOfLocalAndNetworkComputers) {
    zantor::test::TempRoot local;
    zantor::test::TempDir network;
    fs::create_directories(network.path() / "pc1");
    setenv("ZANTOR_NETWORK", network.path().c_str(), 1);

    fs::path root;
    ASSERT_EQ(ComputerRoot(".", root), kErrorSuccess);
    EXPECT_EQ(root, local.path());
    ASSERT_EQ(ComputerRoot("PC1", root), kErrorSuccess);
    EXPECT_EQ(root, network.path() / "pc1");
    ASSERT_EQ(ComputerRoot("\\\\Pc1", root), kErrorSuccess);
    EXPECT_EQ(ComputerRoot("PC2", root), kErrorBadNetPath);
    EXPECT_EQ(GetLastError(), kErrorBadNetPath);
    EXPECT_EQ(ComputerRoot("../pc1", root), kErrorInvalidName);
    unsetenv("ZANTOR_NETWORK");
    EXPECT_EQ(ComputerRoot("PC1", root), kErrorBadNetPath);
}

TEST(Computer, PipeAndFileNames) {
    zantor::test::TempRoot local;
    zantor::test::TempDir network;
    fs::create_directories(network.path() / "PC1");
    setenv("ZANTOR_NETWORK", network.path().c_str(), 1);

    fs::path p;
    ASSERT_EQ(ResolvePipeName("\\\\.\\Pipe\\qzw2kflt", p), kErrorSuccess);
    EXPECT_EQ(p, local.path() / "pipe" / "qzw2kflt");
    ASSERT_EQ(ResolvePipeName("\\\\pc1\\PIPE\\qzw2kflt", p), kErrorSuccess);
    EXPECT_EQ(p, network.path() / "PC1" / "pipe" / "qzw2kflt");
    EXPECT_EQ(ResolvePipeName("\\\\nowhere\\Pipe\\x", p), kErrorBadNetPath);
    EXPECT_EQ(ResolvePipeName("\\\\.\\Pipe\\..", p), kErrorInvalidName);
    EXPECT_EQ(ResolvePipeName("\\\\.\\Mail\\x", p), kErrorInvalidName);
    EXPECT_EQ(ResolvePipeName("qzw2kflt", p), kErrorInvalidName);

    ASSERT_EQ(ResolveFilePath("\\\\PC1\\ADMIN$\\system32\\ZantorSvc.Exe", p), kErrorSuccess);
    EXPECT_EQ(p, network.path() / "PC1" / "system32" / "ZantorSvc.Exe");
    ASSERT_EQ(ResolveFilePath("%SystemRoot%\\system32\\ZantorSvc.Exe", p), kErrorSuccess);
    EXPECT_EQ(p, local.path() / "system32" / "ZantorSvc.Exe");
    EXPECT_EQ(ResolveFilePath("\\\\PC1\\C$\\x", p), kErrorBadNetPath);
    // Doubled and forward separators stay below the share; the empty name is this computer.
    ASSERT_EQ(ResolveFilePath("\\\\PC1\\ADMIN$\\\\etc/\\passwd", p), kErrorSuccess);
    EXPECT_EQ(p, network.path() / "PC1" / "etc" / "passwd");
    ASSERT_EQ(ResolveFilePath("\\\\\\ADMIN$\\system32\\ZantorSvc.Log", p), kErrorSuccess);
    EXPECT_EQ(p, local.path() / "system32" / "ZantorSvc.Log");
    ASSERT_EQ(ResolvePipeName("\\\\\\Pipe\\qzw2kflt", p), kErrorSuccess);
    EXPECT_EQ(p, local.path() / "pipe" / "qzw2kflt");
    EXPECT_EQ(ResolveFilePath("%SystemRoot%\\..\\x", p), kErrorInvalidName);
    ASSERT_EQ(ResolveFilePath("/usr/bin/x", p), kErrorSuccess);
    EXPECT_EQ(p, fs::path("/usr/bin/x"));
    unsetenv("ZANTOR_NETWORK");
}

TEST(Computer, NamesAreHostNamesOrSshDestinations) {
    for (const char* name : {"", ".", "PC1", "\\\\PC1", "web-1.example.com", "admin@web1", "db_2",
                             "10.0.0.5", "[fe80::1]", "fe80::1"})
        EXPECT_EQ(CheckComputerName(name), kErrorSuccess) << name;
    for (const std::string& name :
         {std::string(".."), std::string("a..b"), std::string(".hidden"), std::string("PC1\\x"),
          std::string("PC1/x"), std::string("\\tmp\\x"), std::string("/tmp/x"),
          std::string("\\\\\\tmp"), std::string("-oProxyCommand=x"), std::string("PC1 x"),
          std::string("PC1\tx"), std::string("PC1\nx"), std::string("PC1\x1b[2J"),
          std::string("PC1\0x", 5), std::string("PC1\x7f"), std::string("caf\xc3\xa9"),
          std::string("%SystemRoot%"), std::string("PC1$"), std::string(256, 'a')}) {
        SetLastError(kErrorSuccess);
        EXPECT_EQ(CheckComputerName(name), kErrorInvalidName) << name;
        EXPECT_EQ(GetLastError(), kErrorInvalidName);
    }
    EXPECT_EQ(CheckComputerName(std::string(255, 'a')), kErrorSuccess);
}

namespace {

// Every file below `dir` with its contents, and every directory: what a test compares before
// and after to prove that nothing was touched.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        files[entry.path().string()] =
            entry.is_directory() ? std::string("<dir>") : zantor::test::ReadFile(entry.path());
    return files;
}

void Put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::string Backslashed(const fs::path& path) {
    std::string text = path.string();
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

}  // namespace

// A hostile computer name, given to every operation that takes one, in the forms the console and
// zadmin build from it, fails with a bad name or an unknown computer and touches nothing: not the
// files beside the network, not an absolute path of the machine, not the computers themselves.
TEST(Computer, HostileNamesReachNothingThroughAnyPort) {
    zantor::test::TempDir sandbox;
    const fs::path local = sandbox.path() / "local", network = sandbox.path() / "net",
                   victim = sandbox.path() / "victim";
    setenv("ZANTOR_ROOT", local.c_str(), 1);
    setenv("ZANTOR_NETWORK", network.c_str(), 1);
    for (const fs::path& root : {local, network / "PC1", victim, victim / "ADMIN$"})
        Put(root / "system32" / "ZantorSvc.Log", "log of " + root.string() + "\r\n");
    Put(victim / "ZantorSvc.Log", "victim\r\n");
    const fs::path program = sandbox.path() / "src" / "ZantorSvc";
    Put(program, "program");
    const auto before = Snapshot(sandbox.path());

    const std::string abs = victim.string();
    const std::vector<std::string> names = {
        "..",
        "..\\victim",
        "../victim",
        "PC1\\ADMIN$\\..\\..\\victim",
        "PC1\\ADMIN$\\..\\..\\victim\\ADMIN$",
        "PC1/../../victim",
        "PC1\\..\\..",
        "\\" + Backslashed(victim),
        "\\\\\\" + Backslashed(victim),
        abs,
        Backslashed(victim).substr(1),
        "-oProxyCommand=touch " + abs + "/x",
        "PC1\\ADMIN$\\system32\\..\\..\\..\\victim\\ZantorSvc.Log\\x",
        "PC1\r\nx",
        "PC1\x1b]0;owned\x07",
        std::string(4096, 'A'),
        "%SystemRoot%\\..\\victim",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        auto refused = [](Win32Error e) { return e == kErrorInvalidName || e == kErrorBadNetPath; };
        const std::string share = "\\\\" + name + "\\ADMIN$\\system32\\";
        std::unique_ptr<Pipe> pipe;
        EXPECT_TRUE(refused(OpenPipe("\\\\" + name + "\\Pipe\\qzw2kflt", &pipe)));
        std::string text;
        EXPECT_FALSE(ReadFileContents((share + "ZantorSvc.Log").c_str(), text, 1 << 20));
        EXPECT_TRUE(refused(GetLastError()));
        EXPECT_FALSE(DeleteFileA((share + "ZantorSvc.Log").c_str()));
        EXPECT_TRUE(refused(GetLastError()));
        EXPECT_FALSE(CopyFileA(program.c_str(), (share + "ZantorSvc").c_str(), false));
        EXPECT_TRUE(refused(GetLastError()));
        EXPECT_FALSE(ReplaceFileContents((share + "Zantor.INI").c_str(), "[SYSTEM]\r\n"));
        EXPECT_TRUE(refused(GetLastError()));
        EXPECT_EQ(OpenSCManagerA(name.c_str(), nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
        EXPECT_TRUE(refused(GetLastError()));
        HKEY key = nullptr;
        EXPECT_TRUE(refused(RegConnectRegistryA(name, HKEY_LOCAL_MACHINE, &key)));
        fs::path root;
        EXPECT_TRUE(refused(ComputerRoot(name, root)));
    }
    EXPECT_EQ(Snapshot(sandbox.path()), before);
    unsetenv("ZANTOR_NETWORK");
    unsetenv("ZANTOR_ROOT");
}
