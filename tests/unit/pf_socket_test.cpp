// The packet socket: verdicts over a real socket, malformed datagrams, stale and live socket
// files, long paths.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/unit/pf_test_util.h"
#include "tests/unit/temp_root.h"

using namespace platform;
using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

class PfSocket : public ::testing::Test {
  protected:
    PfSocket() {
        EXPECT_EQ(driver.CreateInterface(0, PF_ACTION_DROP, PF_ACTION_FORWARD, false, true, &itf),
                  0u);
        EXPECT_EQ(driver.BindInterfaceToIPAddress(itf, PF_IPV4,
                                                  reinterpret_cast<const std::uint8_t*>(&local)),
                  0u);
        Descriptor web({.protocol = 6, .dstLow = 80});
        FILTER_HANDLE h;
        EXPECT_EQ(driver.AddFiltersToInterface(itf, 1, web.get(), 0, nullptr, &h), 0u);
    }
    PFFORWARD_ACTION Send(const fs::path& root, PacketDirection direction, IPAddr at,
                          const std::vector<std::uint8_t>& packet) {
        PFFORWARD_ACTION v = PF_ACTION_FORWARD;
        EXPECT_EQ(SendTestPacket(root, direction, at, packet, v), 0u);
        return v;
    }
    std::uint8_t Raw(const std::vector<std::uint8_t>& datagram) {
        std::uint8_t answer = 0xFF;
        EXPECT_EQ(SendRawDatagram(dir.path(), datagram, answer), 0u);
        return answer;
    }

    PacketFilterDriver driver{Untimed()};
    PacketEndpoint endpoint{driver};
    INTERFACE_HANDLE itf = 0;
    IPAddr local = MakeIP(10, 0, 0, 5);
    TempDir dir;
};

TEST_F(PfSocket, VerdictsComeBackOverTheSocket) {
    ASSERT_EQ(endpoint.Start(dir.path()), 0u);
    auto web = Tcp("192.168.1.1", 40000, "10.0.0.5", 80);
    EXPECT_EQ(Send(dir.path(), PacketDirection::kInput, local, web), PF_ACTION_FORWARD);
    EXPECT_EQ(
        Send(dir.path(), PacketDirection::kInput, local, Tcp("192.168.1.1", 1, "10.0.0.5", 22)),
        PF_ACTION_DROP);
    EXPECT_EQ(Send(dir.path(), PacketDirection::kOutput, local, Tcp("10.0.0.5", 1, "1.1.1.1", 22)),
              PF_ACTION_FORWARD);
    EXPECT_EQ(Send(dir.path(), PacketDirection::kInput, MakeIP(10, 0, 0, 6), web),
              PF_ACTION_FORWARD);
    PacketFields big;
    big.dst = local;
    big.dstPort = 80;
    big.payloadSize = 65535;
    EXPECT_EQ(Send(dir.path(), PacketDirection::kInput, local, BuildPacket(big)),
              PF_ACTION_FORWARD);
    EXPECT_EQ(fs::status(PacketSocketPath(dir.path())).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

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
    EXPECT_EQ(Raw(std::vector<std::uint8_t>(5 + 65536, 0)), 1) << "too long";
    EXPECT_EQ(endpoint.MalformedDatagrams(), 4u);
    EXPECT_EQ(Raw(header), 1);
    EXPECT_EQ(Raw(with(header, {0x45, 0, 0})), 1);
    EXPECT_EQ(driver.GetStatistics().malformed, 2u);
    EXPECT_EQ(Raw(with(header, web)), 0) << "still serving";

    endpoint.Stop();
    EXPECT_FALSE(fs::exists(PacketSocketPath(dir.path())));
    PFFORWARD_ACTION v;
    EXPECT_EQ(SendTestPacket(dir.path(), PacketDirection::kInput, local, web, v),
              kErrorFileNotFound);
}

TEST_F(PfSocket, StaleFilesGiveWayLiveEndpointsDoNot) {
    fs::path socket = PacketSocketPath(dir.path());
    ASSERT_EQ(endpoint.Start(dir.path()), 0u);
    EXPECT_EQ(endpoint.Start(dir.path()), kErrorAlreadyExists);
    PacketFilterDriver otherDriver{Untimed()};
    PacketEndpoint other(otherDriver);
    EXPECT_EQ(other.Start(dir.path()), kErrorSharingViolation);

    // Moving the file away before the stop leaves a socket file that nobody serves.
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

TEST_F(PfSocket, LongRootPaths) {
    fs::path root = dir.path() / std::string(120, 'r');
    ASSERT_GT(PacketSocketPath(root).string().size(), 108u);
    ASSERT_EQ(endpoint.Start(root), 0u);
    EXPECT_EQ(Send(root, PacketDirection::kInput, local, Tcp("1.1.1.1", 1, "10.0.0.5", 22)),
              PF_ACTION_DROP);
}

TEST(PfSocketProcess, StartAndStopTheProcessEndpoint) {
    TempDir root;
    ASSERT_EQ(StartPacketEndpoint(root.path()), 0u);
    EXPECT_EQ(StartPacketEndpoint(root.path()), kErrorAlreadyExists);
    PFFORWARD_ACTION v = PF_ACTION_DROP;
    EXPECT_EQ(SendTestPacket(root.path(), PacketDirection::kInput, MakeIP(10, 99, 0, 1),
                             Tcp("1.1.1.1", 1, "10.99.0.1", 22), v),
              0u);
    EXPECT_EQ(v, PF_ACTION_FORWARD);
    StopPacketEndpoint();
    StopPacketEndpoint();
}

}  // namespace
