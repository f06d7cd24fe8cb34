#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/computer.h"
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
    EXPECT_EQ(ComputerRoot("../pc1", root), kErrorBadNetPath);
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
    ASSERT_EQ(ResolveFilePath("/usr/bin/x", p), kErrorSuccess);
    EXPECT_EQ(p, fs::path("/usr/bin/x"));
    unsetenv("ZANTOR_NETWORK");
}
