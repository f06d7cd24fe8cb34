// The packet socket on Linux: a Unix datagram socket that only its owner may use and that takes
// any IPv4 packet. What every system's socket does is tests/contract/packet_socket_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "tests/support/packet_socket_fixture.h"

using namespace platform;
using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

TEST_F(PacketSocket, OwnerOnlyAndAnyIPv4Packet) {
    ASSERT_EQ(endpoint.Start(dir.path()), 0u);
    PacketFields big;
    big.dst = local;
    big.dstPort = 80;
    big.payloadSize = 65535;
    EXPECT_EQ(Send(dir.path(), PacketDirection::kInput, local, BuildPacket(big)),
              PF_ACTION_FORWARD);
    EXPECT_EQ(fs::status(PacketSocketPath(dir.path())).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    // A datagram longer than any IPv4 packet is malformed.
    EXPECT_EQ(Raw(std::vector<std::uint8_t>(5 + 65536, 0)), 1) << "too long";
    EXPECT_EQ(endpoint.MalformedDatagrams(), 1u);
}

}  // namespace
