// A packet endpoint over an engine with one interface, on every system: bound to 10.0.0.5, it
// drops input but to TCP port 80 and forwards output. The socket's contract
// (tests/contract/packet_socket_test.cpp) and each transport's own tests start from it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include "platform/pf.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/pf_test_util.h"

namespace zantor::test {

class PacketSocket : public ::testing::Test {
  protected:
    PacketSocket() {
        using namespace platform;
        EXPECT_EQ(driver.CreateInterface(0, PF_ACTION_DROP, PF_ACTION_FORWARD, false, true, &itf),
                  0u);
        EXPECT_EQ(driver.BindInterfaceToIPAddress(itf, PF_IPV4,
                                                  reinterpret_cast<const std::uint8_t*>(&local)),
                  0u);
        Descriptor toWeb({.protocol = 6, .dstLow = 80});
        FILTER_HANDLE h;
        EXPECT_EQ(driver.AddFiltersToInterface(itf, 1, toWeb.get(), 0, nullptr, &h), 0u);
    }

    // The verdict on a packet sent to the endpoint of `root`, which must answer.
    platform::PFFORWARD_ACTION Send(const std::filesystem::path& root,
                                    platform::PacketDirection direction, IPAddr at,
                                    const std::vector<std::uint8_t>& packet) {
        platform::PFFORWARD_ACTION v = platform::PF_ACTION_FORWARD;
        EXPECT_EQ(platform::SendTestPacket(root, direction, at, packet, v), 0u);
        return v;
    }
    // An input packet to 10.0.0.5 sent to this test's endpoint, with the call's own result.
    platform::Win32Error Send(const std::vector<std::uint8_t>& packet,
                              platform::PFFORWARD_ACTION& v,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return platform::SendTestPacket(dir.path(), platform::PacketDirection::kInput, local,
                                        packet, v, timeout);
    }
    platform::PFFORWARD_ACTION Verdict(const std::vector<std::uint8_t>& packet) {
        return Send(dir.path(), platform::PacketDirection::kInput, local, packet);
    }
    // The answer byte to a datagram as it is.
    std::uint8_t Raw(const std::vector<std::uint8_t>& datagram) {
        std::uint8_t answer = 0xFF;
        EXPECT_EQ(platform::SendRawDatagram(dir.path(), datagram, answer), 0u);
        return answer;
    }
    std::filesystem::path File() const { return platform::PacketSocketPath(dir.path()); }

    TempDir dir;  // outlives the endpoint, which removes its place in it
    platform::PacketFilterDriver driver{Untimed()};
    platform::PacketEndpoint endpoint{driver};
    platform::INTERFACE_HANDLE itf = 0;
    IPAddr local = MakeIP(10, 0, 0, 5);
    std::vector<std::uint8_t> web = Tcp("1.1.1.1", 4000, "10.0.0.5", 80);
    std::vector<std::uint8_t> ssh = Tcp("1.1.1.1", 4000, "10.0.0.5", 22);
};

}  // namespace zantor::test
