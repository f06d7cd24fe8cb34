// What both platforms' packet sockets share: the datagram's form, the process-wide endpoint, and
// a test packet's way there and back (SendRawDatagram is each platform's).
#include "platform/pf/pf_datagram.h"

#include <cstring>
#include <vector>

namespace platform {

namespace pf {

std::uint8_t AnswerDatagram(PacketFilterDriver& driver, const std::uint8_t* data, std::size_t size,
                            std::atomic<std::uint64_t>& malformed) {
    if (size < kDatagramHeader || size > kMaxDatagram || data[0] > 1) {
        ++malformed;
        return kAnswerDrop;
    }
    std::uint32_t local;
    std::memcpy(&local, data + 1, 4);
    const auto direction = static_cast<PacketDirection>(data[0]);
    const PFFORWARD_ACTION action =
        driver.DecidePacket(direction, local, {data + kDatagramHeader, size - kDatagramHeader});
    return action == PF_ACTION_FORWARD ? kAnswerForward : kAnswerDrop;
}

}  // namespace pf

namespace {

PacketEndpoint& ProcessEndpoint() {
    static PacketEndpoint endpoint(ProcessPacketFilterDriver());
    return endpoint;
}

}  // namespace

Win32Error StartPacketEndpoint(const std::filesystem::path& root) {
    return ProcessEndpoint().Start(root);
}

void StopPacketEndpoint() {
    ProcessEndpoint().Stop();
}

Win32Error SendTestPacket(const std::filesystem::path& root, PacketDirection direction,
                          std::uint32_t localAddr, std::span<const std::uint8_t> packet,
                          PFFORWARD_ACTION& verdict, std::chrono::milliseconds timeout) {
    if (packet.size() > pf::kMaxDatagram - pf::kDatagramHeader) return Fail(kErrorInvalidParameter);
    std::vector<std::uint8_t> datagram(pf::kDatagramHeader + packet.size());
    datagram[0] = static_cast<std::uint8_t>(direction);
    std::memcpy(datagram.data() + 1, &localAddr, 4);
    if (!packet.empty())
        std::memcpy(datagram.data() + pf::kDatagramHeader, packet.data(), packet.size());
    std::uint8_t answer = pf::kAnswerDrop;
    if (Win32Error e = SendRawDatagram(root, datagram, answer, timeout)) return e;
    verdict = answer == pf::kAnswerForward ? PF_ACTION_FORWARD : PF_ACTION_DROP;
    return kErrorSuccess;
}

}  // namespace platform
