// What both platforms' packet sockets share: the datagram's form, the endpoint's life, the
// process-wide endpoint, and a test packet's way there and back (the transport and
// SendRawDatagram are each platform's).
#include "platform/pf_datagram.h"

#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
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

struct PacketEndpoint::Impl {
    explicit Impl(PacketFilterDriver& d) : driver(d), transport(pf::MakeDatagramTransport()) {}

    PacketFilterDriver& driver;
    std::unique_ptr<pf::DatagramTransport> transport;
    std::mutex mutex;  // Start and Stop
    std::thread thread;
    std::atomic<std::uint64_t> malformed{0};

    void Serve() {
        transport->Serve([this](const std::uint8_t* data, std::size_t size) {
            return pf::AnswerDatagram(driver, data, size, malformed);
        });
    }
};

PacketEndpoint::PacketEndpoint(PacketFilterDriver& driver)
    : impl_(std::make_unique<Impl>(driver)) {}

PacketEndpoint::~PacketEndpoint() {
    Stop();
}

Win32Error PacketEndpoint::Start(const std::filesystem::path& root) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->thread.joinable()) return Fail(kErrorAlreadyExists);
    if (Win32Error e = impl_->transport->Open(root)) {
        // What the close meets on its way must not take the place of the open's error.
        impl_->transport->Close();
        return Fail(e);
    }
    try {
        impl_->thread = std::thread([this] { impl_->Serve(); });
    } catch (const std::system_error&) {
        impl_->transport->Close();
        return Fail(kErrorNotEnoughMemory);
    }
    return kErrorSuccess;
}

void PacketEndpoint::Stop() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->thread.joinable()) return;
    impl_->transport->Interrupt();
    impl_->thread.join();
    impl_->transport->Close();
}

std::uint64_t PacketEndpoint::MalformedDatagrams() const {
    return impl_->malformed.load();
}

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
