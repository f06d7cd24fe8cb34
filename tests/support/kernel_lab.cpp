#include "tests/support/kernel_lab.h"

#include <chrono>

#include "shared/address.h"
#include "shared/packet_builder.h"

namespace zantor::test {

namespace lab = platform::lab;

namespace {

constexpr int kSentinelLink = KernelLab::kLinks;
constexpr std::uint16_t kSentinelPort = 9;
constexpr std::chrono::seconds kSentinelWait{5};

std::string Device(char side, int link) {
    return std::string(1, side) + std::to_string(link);
}

std::string MacText(const std::array<std::uint8_t, 6>& mac) {
    static const char* const hex = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : mac) {
        if (!text.empty()) text += ':';
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return text;
}

std::vector<std::uint8_t> Sentinel(const std::string& src, const std::string& dst,
                                   std::uint16_t id) {
    PacketFields f;
    f.protocol = kProtocolUdp;
    f.src = StrToIP(src);
    f.dst = StrToIP(dst);
    f.srcPort = kSentinelPort;
    f.dstPort = kSentinelPort;
    f.ipId = id;
    f.payloadSize = 4;
    return BuildPacket(f);
}

bool IsSentinel(const std::vector<std::uint8_t>& p, std::uint16_t id) {
    return p.size() >= 28 && p[9] == kProtocolUdp && (p[4] << 8 | p[5]) == id &&
           (p[20] << 8 | p[21]) == kSentinelPort && (p[22] << 8 | p[23]) == kSentinelPort;
}

}  // namespace

KernelLab::KernelLab() {
    std::string why;
    if (!lab::CanMakeNamespaces(&why)) {
        unprivileged_ = error_ = why;
        return;
    }
    host_ = std::make_unique<lab::Namespace>("host");
    peer_ = std::make_unique<lab::Namespace>("peer");
    if (!host_->ok() || !peer_->ok()) {
        error_ = host_->ok() ? peer_->error() : host_->error();
        return;
    }
    auto step = [&](platform::Win32Error e) {
        if (e && error_.empty()) error_ = why.empty() ? "lab set-up failed" : why;
        return e == platform::kErrorSuccess;
    };
    // Packets come from made-up sources on every link: the reverse-path check must not judge.
    std::vector<std::string> devices{"all", "default"};
    for (int link = 0; link <= kSentinelLink; ++link) {
        if (!step(lab::Link(*host_, Device('s', link), *peer_, Device('p', link), &why))) return;
        const std::string net = "10.77." + std::to_string(link) + ".";
        if (!step(host_->Ip({"addr", "add", net + "2/24", "dev", Device('s', link)}, &why)) ||
            !step(host_->Ip({"addr", "add", net + "9/24", "dev", Device('s', link)}, &why)) ||
            !step(peer_->Ip({"addr", "add", net + "1/24", "dev", Device('p', link)}, &why)))
            return;
        devices.push_back(Device('s', link));
    }
    why = "setting the host's kernel parameters";
    for (const auto& device : devices)
        if (!step(host_->SetSysctl("net.ipv4.conf." + device + ".rp_filter", "0"))) return;
    if (!step(host_->SetSysctl("net.ipv4.icmp_echo_ignore_all", "1"))) return;
    if (!step(host_->Ip({"route", "add", "default", "via", PeerAddress(0)}, &why))) return;

    for (int link = 0; link <= kSentinelLink; ++link) {
        std::array<std::uint8_t, 6> hostMac{}, peerMac{};
        if (!step(lab::HardwareAddress(*host_, Device('s', link), hostMac)) ||
            !step(lab::HardwareAddress(*peer_, Device('p', link), peerMac)))
            return;
        // Known neighbours: no packet of a test waits for an address resolution.
        if (!step(host_->Ip({"neigh", "replace", PeerAddress(link), "lladdr", MacText(peerMac),
                             "dev", Device('s', link), "nud", "permanent"},
                            &why)))
            return;
        std::unique_ptr<lab::PacketSocket> socket;
        if (!step(lab::PacketSocket::OnDevice(peer_.get(), Device('p', link), hostMac, &socket)))
            return;
        links_.push_back(std::move(socket));
    }
    for (std::uint8_t protocol : kLabProtocols) {
        std::unique_ptr<lab::PacketSocket> s;
        if (!step(lab::PacketSocket::Delivered(host_.get(), protocol, &s))) return;
        delivered_.push_back(std::move(s));
    }
    if (!step(lab::PacketSocket::Sender(host_.get(), &hostSender_))) return;
    Flush(&error_);
}

platform::Win32Error KernelLab::SendIn(int link, const std::vector<std::uint8_t>& packet) {
    return links_.at(static_cast<std::size_t>(link))->Send(packet);
}

platform::Win32Error KernelLab::SendOut(const std::vector<std::uint8_t>& packet) {
    return hostSender_->Send(packet);
}

std::vector<KernelLab::Arrival> KernelLab::Flush(std::string* error) {
    lab::PinnedThread pinned;
    const std::uint16_t id = static_cast<std::uint16_t>(0xF000 | (++sentinel_ & 0x0FFF));
    const std::string near = BoundAddress(kSentinelLink), far = PeerAddress(kSentinelLink);
    std::vector<Arrival> arrivals;
    auto fail = [&](const std::string& what) {
        if (error) *error = what;
        return std::vector<Arrival>{};
    };
    if (SendIn(kSentinelLink, Sentinel(far, near, id)) || SendOut(Sentinel(near, far, id)))
        return fail("a sentinel could not be sent");

    // Everything sent before a sentinel has been dealt with once the sentinel is through.
    auto waitFor = [&](lab::PacketSocket& socket, bool output) {
        const auto end = std::chrono::steady_clock::now() + kSentinelWait;
        std::vector<std::uint8_t> p;
        while (std::chrono::steady_clock::now() < end) {
            if (socket.Receive(p, std::chrono::milliseconds(100))) continue;
            if (IsSentinel(p, id)) return true;
            arrivals.push_back({output, p});
        }
        return false;
    };
    const std::size_t udp = 2;  // kLabProtocols[2]
    if (!waitFor(*delivered_[udp], false)) return fail("the input sentinel did not arrive");
    if (!waitFor(*links_[kSentinelLink], true)) return fail("the output sentinel did not arrive");
    std::vector<std::uint8_t> p;
    for (std::size_t i = 0; i < delivered_.size(); ++i)
        while (delivered_[i]->Receive(p, std::chrono::milliseconds(0)) == platform::kErrorSuccess)
            if (!IsSentinel(p, id)) arrivals.push_back({false, p});
    for (auto& link : links_)
        while (link->Receive(p, std::chrono::milliseconds(0)) == platform::kErrorSuccess)
            if (!IsSentinel(p, id)) arrivals.push_back({true, p});
    return arrivals;
}

std::string KernelLab::ListTable() const {
    std::string out;
    if (host_->Exec({"/usr/sbin/nft", "list", "table", "ip", "zantor"}, &out)) return {};
    return out;
}

}  // namespace zantor::test
