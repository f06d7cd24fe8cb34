// The kernel backend's costs, in network namespaces of this process's own (the machine's rules
// are never touched): writing a large table, one filter added on an address with many filters
// against one with few, and a packet's round trip through rules of 10,000 filters against 10.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "bench/ratio_reporter.h"
#include "platform/netlab.h"
#include "platform/pf.h"
#include "platform/pf/pf_kernel.h"
#include "shared/address.h"
#include "shared/packet_builder.h"

namespace {

using namespace platform;
using namespace zantor;

namespace lab = platform::lab;

// The filter cells a descriptor points to, kept with it.
struct Filter {
    IPAddr cells[4] = {};
    PF_FILTER_DESCRIPTOR d{};
    Filter(IPAddr src, IPAddr srcMask, IPAddr dst, IPAddr dstMask, DWORD protocol,
           std::uint16_t dstLow, std::uint16_t dstHigh) {
        cells[0] = src;
        cells[1] = srcMask;
        cells[2] = dst;
        cells[3] = dstMask;
        auto* c = reinterpret_cast<std::uint8_t*>(cells);
        d = PF_FILTER_DESCRIPTOR{0,        0, PF_IPV4, c,      c + 4, c + 8,  c + 12,
                                 protocol, 0, 0,       dstLow, 0,     dstHigh};
    }
};

// The n-th of a family of distinct filters: TCP from one /24 to one port (a set element), or,
// as `ranges`, from one host to a port range (a rule).
Filter Nth(int n, bool ranges = false) {
    const auto b = static_cast<std::uint8_t>(n / 256 % 256), c = static_cast<std::uint8_t>(n % 256);
    const auto port = static_cast<std::uint16_t>(1000 + n % 50000);
    if (ranges)
        return Filter(MakeIP(172, 20, b, c), MakeIP(255, 255, 255, 255), 0, 0, 6, port,
                      static_cast<std::uint16_t>(port + 3));
    return Filter(MakeIP(172, 16, b, c), MakeIP(255, 255, 255, 255), 0, 0, 6, port, port);
}

struct Backend {
    PacketFilterDriver engine;
    std::unique_ptr<pf::KernelBackend> kernel;
    std::string why;
    Backend() { pf::KernelBackend::Create(engine, {}, &kernel, &why); }
    ~Backend() {
        if (kernel) kernel->RemoveTable(nullptr);
    }
    INTERFACE_HANDLE Interface(const char* address, PFFORWARD_ACTION in, PFFORWARD_ACTION out) {
        INTERFACE_HANDLE h = 0;
        IPAddr ip = StrToIP(address);
        kernel->CreateInterface(0, in, out, true, true, &h);
        kernel->BindInterfaceToIPAddress(h, PF_IPV4, reinterpret_cast<std::uint8_t*>(&ip));
        return h;
    }
    void Fill(INTERFACE_HANDLE h, int count, bool ranges = false, int from = 0) {
        for (int n = from; n < from + count; ++n) {
            Filter f = Nth(n, ranges);
            FILTER_HANDLE fh;
            kernel->AddFiltersToInterface(h, 1, &f.d, 0, nullptr, &fh);
        }
    }
};

// One backend at a time may hold the namespace's table: the one the running benchmark family
// set up, made again when another family comes.
Backend* Fixture(const std::string& family, benchmark::State& state,
                 const std::function<void(Backend&)>& setUp = {}) {
    static std::unique_ptr<Backend> current;
    static std::string owner;
    if (owner != family) {
        current.reset();
        current = std::make_unique<Backend>();
        owner = family;
        if (current->kernel && setUp) setUp(*current);
    }
    if (!current->kernel) {
        state.SkipWithError(current->why.c_str());
        return nullptr;
    }
    return current.get();
}

// Start-up: 256 addresses with 40 filters each, put into the kernel in one transaction. The
// replay's calls build the model first; only the transaction is timed.
void BM_WholeTable256x40(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        // A fresh model each time, as a start-up has.
        Backend* b = Fixture("table" + std::to_string(state.iterations()), state, [](Backend& f) {
            for (int i = 0; i < 256; ++i) {
                const std::string a = "10.100." + std::to_string(i) + ".1";
                INTERFACE_HANDLE h = f.Interface(a.c_str(), PF_ACTION_DROP, PF_ACTION_FORWARD);
                f.Fill(h, 38, false, i * 40);
                f.Fill(h, 2, true, i * 40);  // a few ranges: rules
                f.kernel->AddGlobalFilterToInterface(h, GF_FRAGMENTS);
            }
        });
        if (!b) return;
        state.ResumeTiming();
        std::string why;
        if (b->kernel->WriteTable(&why)) {
            state.SkipWithError(why.c_str());
            return;
        }
    }
}
BENCHMARK(BM_WholeTable256x40)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// One "sif" as the kernel sees it: one filter added on an address that has `state.range(0)`
// filters already (and taken away again, untimed).
// `ranges`: filters the kernel holds as rules (port ranges), which every change costs.
void Sif(benchmark::State& state, bool ranges) {
    static INTERFACE_HANDLE small = 0, large = 0;
    Backend* b = Fixture(ranges ? "sif rules" : "sif", state, [ranges](Backend& f) {
        small = f.Interface("10.50.0.1", PF_ACTION_DROP, PF_ACTION_FORWARD);
        large = f.Interface("10.50.0.2", PF_ACTION_DROP, PF_ACTION_FORWARD);
        f.Fill(small, 10, ranges);
        f.Fill(large, 10000, ranges);
        f.kernel->WriteTable(nullptr);
    });
    if (!b) return;
    const INTERFACE_HANDLE h = state.range(0) > 10 ? large : small;
    int n = 100000;
    for (auto _ : state) {
        Filter f = Nth(n++, ranges);
        FILTER_HANDLE fh;
        if (b->kernel->AddFiltersToInterface(h, 1, &f.d, 0, nullptr, &fh)) {
            state.SkipWithError("the kernel refused the filter");
            return;
        }
        state.PauseTiming();
        b->kernel->RemoveFilterHandles(h, 1, &fh);
        state.ResumeTiming();
    }
}

// One "sif" as the kernel sees it: one filter added on an address that has `state.range(0)`
// filters already (and taken away again, untimed).
void BM_Sif(benchmark::State& state) {
    Sif(state, false);
}
BENCHMARK(BM_Sif)->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SifRule(benchmark::State& state) {
    Sif(state, true);
}
BENCHMARK(BM_SifRule)->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A peer namespace on the far side of a veth pair; this process's namespace is the host.
struct Link {
    std::unique_ptr<lab::Namespace> peer;
    std::unique_ptr<lab::PacketSocket> send, receive;
    std::string error;
    Link() {
        peer = std::make_unique<lab::Namespace>("benchpeer");
        if (!peer->ok()) {
            error = peer->error();
            return;
        }
        const std::string ip = lab::IpProgram();
        for (std::vector<std::string> step :
             {std::vector<std::string>{ip, "link", "add", "vh", "type", "veth", "peer", "name",
                                       "vp", "netns", peer->name()},
              {ip, "addr", "add", "10.66.0.2/24", "dev", "vh"},
              {ip, "link", "set", "vh", "up"}}) {
            if (lab::RunProgram(step, nullptr, &error)) return;
        }
        if (peer->Ip({"addr", "add", "10.66.0.1/24", "dev", "vp"}, &error) ||
            peer->Ip({"link", "set", "vp", "up"}, &error) ||
            lab::PacketSocket::Sender(peer.get(), &send) ||
            lab::PacketSocket::Delivered(peer.get(), kProtocolIcmp, &receive))
            return;
        error.clear();
    }
    // One echo request from the peer and its reply.
    bool RoundTrip(std::uint16_t id) {
        PacketFields f;
        f.protocol = kProtocolIcmp;
        f.src = StrToIP("10.66.0.1");
        f.dst = StrToIP("10.66.0.2");
        f.icmpType = 8;
        f.ipId = id;
        f.payloadSize = 16;
        auto echo = BuildPacket(f);
        echo[24] = static_cast<std::uint8_t>(id >> 8);  // the ICMP id field holds ours
        echo[25] = static_cast<std::uint8_t>(id);
        echo[22] = echo[23] = 0;
        std::uint32_t sum = 0;
        for (std::size_t i = 20; i + 1 < echo.size(); i += 2) sum += echo[i] << 8 | echo[i + 1];
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        echo[22] = static_cast<std::uint8_t>(~sum >> 8);
        echo[23] = static_cast<std::uint8_t>(~sum);
        if (send->Send(echo)) return false;
        std::vector<std::uint8_t> reply;
        while (receive->Receive(reply, std::chrono::seconds(2)) == kErrorSuccess)
            if (reply.size() >= 28 && reply[20] == 0 && reply[24] == echo[24] &&
                reply[25] == echo[25])
                return true;
        return false;
    }
};

// A packet's round trip between the namespaces, through an interface whose input filters,
// `state.range(0)` of them, none matching it, are set elements; 0: no rules at all.
void RoundTrip(benchmark::State& state, bool ranges) {
    static Link link;
    if (!link.error.empty()) {
        state.SkipWithError(link.error.c_str());
        return;
    }
    const int count = static_cast<int>(state.range(0));
    Backend* b = Fixture("round trip " + std::to_string(count) + (ranges ? " rules" : ""), state,
                         [count, ranges](Backend& f) {
                             if (count == 0) return;
                             INTERFACE_HANDLE h =
                                 f.Interface("10.66.0.2", PF_ACTION_FORWARD, PF_ACTION_FORWARD);
                             f.Fill(h, count, ranges);
                             f.kernel->WriteTable(nullptr);
                         });
    if (!b) return;
    std::uint16_t id = 1;
    for (auto _ : state)
        if (!link.RoundTrip(id++)) {
            state.SkipWithError("no echo reply");
            break;
        }
}

void BM_RoundTrip(benchmark::State& state) {
    RoundTrip(state, false);
}
BENCHMARK(BM_RoundTrip)->Arg(0)->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RoundTripRules(benchmark::State& state) {
    RoundTrip(state, true);
}
BENCHMARK(BM_RoundTripRules)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::string why;
    if (!lab::CanMakeNamespaces(&why) || lab::EnterPrivateNamespace(&why)) {
        std::printf("kernel_bench needs network namespaces of its own: %s\n", why.c_str());
        return 0;
    }
    return zantor::bench::RunWithRatios(
        argc, argv,
        {{"BM_Sif/10000/real_time", "BM_Sif/10/real_time"},
         {"BM_SifRule/10000/real_time", "BM_SifRule/10/real_time"},
         {"BM_RoundTrip/10000/real_time", "BM_RoundTrip/10/real_time"},
         {"BM_RoundTripRules/10000/real_time", "BM_RoundTrip/10/real_time"}});
}
