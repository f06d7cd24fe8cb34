// The packet socket's contract, on every system: verdicts over the system's transport, malformed
// datagrams, stale places and live endpoints, long roots, and the process-wide endpoint. Built
// into the Linux tests and the Windows tests alike; what only one transport does is tested beside
// it (tests/unit/pf_socket_test.cpp, tests/win32/pf_win32_test.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/packet_socket_fixture.h"

using namespace platform;
using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

TEST_F(PacketSocket, VerdictsComeBackOverTheSocket) {
    PFFORWARD_ACTION v;
    EXPECT_EQ(SendTestPacket(dir.path(), PacketDirection::kInput, local, web, v),
              kErrorFileNotFound)
        << "no driver folder yet";
    ASSERT_EQ(endpoint.Start(dir.path()), 0u);
    EXPECT_EQ(Send(dir.path(), PacketDirection::kInput, local, web), PF_ACTION_FORWARD);
    EXPECT_EQ(
        Send(dir.path(), PacketDirection::kInput, local, Tcp("192.168.1.1", 1, "10.0.0.5", 22)),
        PF_ACTION_DROP);
    EXPECT_EQ(Send(dir.path(), PacketDirection::kOutput, local, Tcp("10.0.0.5", 1, "1.1.1.1", 22)),
              PF_ACTION_FORWARD);
    EXPECT_EQ(Send(dir.path(), PacketDirection::kInput, MakeIP(10, 0, 0, 6), web),
              PF_ACTION_FORWARD);

    // Malformed datagrams are answered "dropped" and counted; an unreadable packet inside a good
    // datagram is the driver's to count.
    std::vector<std::uint8_t> header = {0, 10, 0, 0, 5};
    auto with = [&](std::vector<std::uint8_t> d, const std::vector<std::uint8_t>& tail) {
        d.insert(d.end(), tail.begin(), tail.end());
        return d;
    };
    EXPECT_EQ(Raw({}), 1);
    EXPECT_EQ(Raw({0, 10, 0, 0}), 1);
    EXPECT_EQ(Raw(with({2, 10, 0, 0, 5}, web)), 1) << "direction 2";
    EXPECT_EQ(endpoint.MalformedDatagrams(), 3u);
    EXPECT_EQ(Raw(header), 1);
    EXPECT_EQ(Raw(with(header, {0x45, 0, 0})), 1);
    EXPECT_EQ(driver.GetStatistics().malformed, 2u);
    EXPECT_EQ(Raw(with(header, web)), 0) << "still serving";

    endpoint.Stop();
    EXPECT_FALSE(fs::exists(PacketSocketPath(dir.path())));
    EXPECT_EQ(SendTestPacket(dir.path(), PacketDirection::kInput, local, web, v),
              kErrorFileNotFound);
    endpoint.Stop();
    ASSERT_EQ(endpoint.Start(dir.path()), 0u) << "restartable";
    EXPECT_EQ(Send(dir.path(), PacketDirection::kInput, local, Tcp("1.1.1.1", 1, "10.0.0.5", 22)),
              PF_ACTION_DROP);
}

TEST_F(PacketSocket, StaleFilesGiveWayLiveEndpointsDoNot) {
    fs::path socket = PacketSocketPath(dir.path());
    ASSERT_EQ(endpoint.Start(dir.path()), 0u);
    EXPECT_EQ(endpoint.Start(dir.path()), kErrorAlreadyExists);
    PacketFilterDriver otherDriver{Untimed()};
    PacketEndpoint other(otherDriver);
    EXPECT_EQ(other.Start(dir.path()), kErrorSharingViolation);

    // Moving the file away before the stop leaves a file that nobody serves.
    fs::rename(socket, dir.path() / "driver" / "kept");
    endpoint.Stop();
    fs::rename(dir.path() / "driver" / "kept", socket);
    PFFORWARD_ACTION v;
    EXPECT_EQ(SendTestPacket(dir.path(), PacketDirection::kInput, local, {}, v),
              kErrorFileNotFound);
    ASSERT_EQ(other.Start(dir.path()), 0u);
    EXPECT_EQ(Send(dir.path(), PacketDirection::kInput, local, Tcp("1.1.1.1", 1, "10.0.0.5", 22)),
              PF_ACTION_FORWARD)
        << "served by the other driver, which has no interfaces";
    other.Stop();
    ASSERT_EQ(endpoint.Start(dir.path()), 0u) << "restartable";
}

// Longer than a Unix socket's address holds.
TEST_F(PacketSocket, LongRootPaths) {
    fs::path root = dir.path() / std::string(120, 'r');
    ASSERT_GT(PacketSocketPath(root).string().size(), 108u);
    ASSERT_EQ(endpoint.Start(root), 0u);
    EXPECT_EQ(Send(root, PacketDirection::kInput, local, Tcp("1.1.1.1", 1, "10.0.0.5", 22)),
              PF_ACTION_DROP);
}

TEST(PacketSocketProcess, TheProcessEndpointServesTheProcessDriver) {
    TempDir root;
    ASSERT_EQ(StartPacketEndpoint(root.path()), 0u);
    EXPECT_EQ(StartPacketEndpoint(root.path()), kErrorAlreadyExists);
    PFFORWARD_ACTION v = PF_ACTION_DROP;
    EXPECT_EQ(SendTestPacket(root.path(), PacketDirection::kInput, MakeIP(10, 99, 0, 1),
                             Tcp("1.1.1.1", 1, "10.99.0.1", 22), v),
              0u);
    EXPECT_EQ(v, PF_ACTION_FORWARD) << "no interface has the address";
    StopPacketEndpoint();
    StopPacketEndpoint();
    EXPECT_FALSE(fs::exists(PacketSocketPath(root.path())));
}

}  // namespace
