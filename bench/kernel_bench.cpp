// The kernel backend's costs, in network namespaces of this process's own (the machine's rules
// are never touched): writing a large table, one filter added on an address with many filters
// against one with few, a packet's round trip through rules of 10,000 filters against 10, and
// TCP bulk throughput to an address with 10,000 filters against the same without the table, and
// the same with the anti-lockout rules in the table, for other traffic and for an SSH session;
// what counting costs: the throughput with the counters against the same table without them, and
// one read of an address's statistics with 1,000 and 10,000 filters.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "platform/linux/pf/pf_kernel.h"
#include "platform/pf.h"
#include "shared/address.h"
#include "shared/packet_builder.h"
#include "tests/support/netlab.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/pf_test_util.h"

namespace {

using namespace platform;
using namespace zantor;
using zantor::test::Descriptor;
using zantor::test::FilterFields;

namespace lab = platform::lab;

std::string Dotted(int a, int b, int c, int d) {
    return IPToStr(MakeIP(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                          static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)));
}

// The n-th of a family of distinct filters: TCP from one host to one port (a set element), or,
// as `ranges`, to a range of four ports (a rule).
FilterFields Nth(int n, bool ranges = false) {
    const auto port = static_cast<std::uint16_t>(1000 + n % 50000);
    return {.src = Dotted(172, ranges ? 20 : 16, n / 256 % 256, n % 256),
            .srcMask = "255.255.255.255",
            .protocol = 6,
            .dstLow = port,
            .dstHigh = static_cast<std::uint16_t>(ranges ? port + 3 : port)};
}

struct Backend {
    PacketFilterDriver engine;
    std::unique_ptr<pf::KernelBackend> kernel;
    std::string why;
    // `sshdPorts`: the anti-lockout rules for these ports; none leaves them out.
    // `counters`: off only to measure what the counters cost.
    explicit Backend(std::vector<std::uint16_t> sshdPorts = {}, bool counters = true) {
        pf::KernelBackend::Options options;
        options.antiLockoutPorts = std::move(sshdPorts);
        options.counters = counters;
        pf::KernelBackend::Create(engine, options, &kernel, &why);
    }
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
        for (int n = from; n < from + count; ++n) Add(h, PacketDirection::kInput, Nth(n, ranges));
    }
    void Add(INTERFACE_HANDLE h, PacketDirection direction, const FilterFields& fields) {
        Descriptor f(fields);
        FILTER_HANDLE fh;
        if (direction == PacketDirection::kInput)
            kernel->AddFiltersToInterface(h, 1, f.get(), 0, nullptr, &fh);
        else
            kernel->AddFiltersToInterface(h, 0, nullptr, 1, f.get(), &fh);
    }
};

// One backend at a time may hold the namespace's table: the one the running benchmark family
// set up, made again when another family comes.
std::unique_ptr<Backend> current;
std::string owner;

Backend* Fixture(const std::string& family, benchmark::State& state,
                 const std::function<void(Backend&)>& setUp = {},
                 std::vector<std::uint16_t> sshdPorts = {}) {
    if (owner != family) {
        current.reset();
        current = std::make_unique<Backend>(std::move(sshdPorts));
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
        Descriptor f(Nth(n++, ranges));
        FILTER_HANDLE fh;
        if (b->kernel->AddFiltersToInterface(h, 1, f.get(), 0, nullptr, &fh)) {
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

// A peer namespace on the far side of a veth pair; this process's namespace is the host, with
// the address kHost.
constexpr const char* kHost = "10.66.0.2";

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
            peer->Ip({"link", "set", "vp", "up"}, &error))
            return;
        if (lab::PacketSocket::Sender(peer.get(), &send) ||
            lab::PacketSocket::Delivered(peer.get(), kProtocolIcmp, &receive)) {
            error = "no raw sockets in the peer namespace";
            return;
        }
        // From here on the peer lives only as long as this process, however it ends.
        peer->Unname(&error);
    }
    // One echo request from the peer and its reply.
    bool RoundTrip(std::uint16_t id) {
        PacketFields f;
        f.protocol = kProtocolIcmp;
        f.src = StrToIP("10.66.0.1");
        f.dst = StrToIP(kHost);
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
Link& TheLink() {
    static Link link;
    return link;
}

void RoundTrip(benchmark::State& state, bool ranges, bool antiLockout = false) {
    Link& link = TheLink();
    if (!link.error.empty()) {
        state.SkipWithError(link.error.c_str());
        return;
    }
    const int count = static_cast<int>(state.range(0));
    Backend* b = Fixture(
        "round trip " + std::to_string(count) + (ranges ? " rules" : "") +
            (antiLockout ? " anti-lockout" : ""),
        state,
        [count, ranges](Backend& f) {
            if (count == 0) return;
            INTERFACE_HANDLE h = f.Interface(kHost, PF_ACTION_FORWARD, PF_ACTION_FORWARD);
            f.Fill(h, count, ranges);
            f.kernel->WriteTable(nullptr);
        },
        antiLockout ? std::vector<std::uint16_t>{22} : std::vector<std::uint16_t>{});
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

// The same with the anti-lockout rules for port 22 in the table: the echo is no SSH packet, so
// this is what they and connection tracking cost all other traffic.
void BM_RoundTripAntiLockout(benchmark::State& state) {
    RoundTrip(state, false, true);
}
BENCHMARK(BM_RoundTripAntiLockout)->Arg(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// TCP bulk throughput from the peer to a receiver at kHost, the address the filters are bound to.

constexpr std::uint16_t kBulkPort = 5201;
constexpr auto kWindow = std::chrono::milliseconds(250);
// After a change of the table the kernel still frees and resizes in the background; a host's
// table changes seldom, so the windows begin once that is done.
constexpr auto kSettle = std::chrono::milliseconds(100);
constexpr auto kStall = std::chrono::seconds(3);  // the longest wait of a connection

// kHost set up as a real host's address is: input default drop, output default forward, fragment
// and strong-host checks on, 10,000 filters. Most are set elements: 8,740 input (hosts and
// networks to single ports, trusted hosts, No-SYN replies from servers' ports, ICMP echo) and
// 300 output. 960 are rules: 861 input (port ranges, No-SYN from a range of source ports, ICMP
// type ranges) and 99 output. The benchmark's flow is let in either as most services are, by a
// set element (the peer's network to the port), or at worst by a port range (a rule, added
// last), so that each of its segments passes every set lookup of the input before a rule lets it
// in; its acknowledgements match no output filter and pass the output's whole layout.
void FillLikeAHost(Backend& f, bool flowByRule) {
    const INTERFACE_HANDLE h = f.Interface(kHost, PF_ACTION_DROP, PF_ACTION_FORWARD);
    const auto in = PacketDirection::kInput, out = PacketDirection::kOutput;
    const std::uint16_t services[] = {22, 25, 80, 110, 143, 443, 993, 3306, 5432, 8080};
    auto host = [](int stem, int n) { return Dotted(172, stem, n / 256 % 256, n % 256); };
    auto port = [](int n) { return static_cast<std::uint16_t>(n); };
    auto add = [&](PacketDirection d, int count, const std::function<FilterFields(int)>& make) {
        for (int n = 0; n < count; ++n) f.Add(h, d, make(n));
    };
    const char* one = "255.255.255.255";
    const char* net24 = "255.255.255.0";
    // Set elements.
    add(in, 3600, [](int n) { return Nth(n); });
    add(in, 2000, [&](int n) {
        return FilterFields{.src = Dotted(10, 100 + n / 256, n % 256, 0),
                            .srcMask = net24,
                            .protocol = 6,
                            .dstLow = services[n % 10],
                            .dstHigh = services[n % 10]};
    });
    add(in, 1600, [&](int n) {
        return FilterFields{.src = host(17, n),
                            .srcMask = one,
                            .protocol = 17,
                            .dstLow = port(53 + n % 600),
                            .dstHigh = port(53 + n % 600)};
    });
    add(in, 1000, [&](int n) { return FilterFields{.src = host(18, n), .srcMask = one}; });
    add(in, 500, [&](int n) {
        return FilterFields{.src = host(19, n),
                            .srcMask = one,
                            .protocol = 6,
                            .srcLow = port(n % 2 ? 443 : 80),
                            .srcHigh = port(n % 2 ? 443 : 80),
                            .flags = FD_FLAGS_NOSYN};
    });
    add(in, 40, [&](int n) {
        return FilterFields{
            .src = Dotted(100, 64 + n, 0, 0), .srcMask = "255.255.0.0", .protocol = 1, .srcLow = 8};
    });
    add(out, 250, [&](int n) {
        return FilterFields{.dst = host(21, n),
                            .dstMask = one,
                            .protocol = 6,
                            .dstLow = services[n % 10],
                            .dstHigh = services[n % 10]};
    });
    add(out, 50, [&](int n) {
        return FilterFields{.protocol = 17, .dstLow = port(2000 + n), .dstHigh = port(2000 + n)};
    });
    // Rules.
    add(in, 500, [](int n) { return Nth(n, true); });
    add(in, 200, [&](int n) {
        return FilterFields{.src = Dotted(10, 150 + n / 256, n % 256, 0),
                            .srcMask = net24,
                            .protocol = 17,
                            .dstLow = port(16384 + n * 100),
                            .dstHigh = port(16483 + n * 100)};
    });
    add(in, 150, [&](int n) {
        return FilterFields{.src = host(22, n),
                            .srcMask = one,
                            .protocol = 6,
                            .srcLow = 1024,
                            .srcHigh = 65535,
                            .flags = FD_FLAGS_NOSYN};
    });
    add(in, 10, [&](int n) {
        return FilterFields{.src = Dotted(100, 120 + n, 0, 0),
                            .srcMask = "255.255.0.0",
                            .protocol = 1,
                            .srcLow = 3,
                            .srcHigh = 5,
                            .dstLow = 255};
    });
    add(out, 99, [&](int n) {
        return FilterFields{.dst = Dotted(10, 120, n, 0),
                            .dstMask = net24,
                            .protocol = 6,
                            .dstLow = 6000,
                            .dstHigh = 6063};
    });
    add(in, 1, [&](int) {
        return FilterFields{
            .src = "10.66.0.0",
            .srcMask = net24,
            .protocol = 6,
            .dstLow = static_cast<std::uint16_t>(kBulkPort - (flowByRule ? 1 : 0)),
            .dstHigh = static_cast<std::uint16_t>(kBulkPort + (flowByRule ? 8 : 0))};
    });
    f.kernel->AddGlobalFilterToInterface(h, GF_FRAGMENTS);
    f.kernel->AddGlobalFilterToInterface(h, GF_STRONGHOST);
}

// A TCP flow from the peer to kHost that runs until stopped. Filters are stateless, so the one
// connection meets whatever table the kernel holds at each moment, and no window pays for a
// handshake.
class BulkFlow {
  public:
    Win32Error Start(Link& link, std::string& why) {
        static std::unique_ptr<lab::StreamSocket> listener;
        if (!listener)
            if (Win32Error e = lab::StreamSocket::Listen(nullptr, kHost, kBulkPort, &listener)) {
                why = "cannot listen on the host";
                return e;
            }
        sender_ = std::thread([this, &link] {
            std::unique_ptr<lab::StreamSocket> c;
            sent_ = lab::StreamSocket::Connect(link.peer.get(), kHost, kBulkPort, kStall, &c);
            const std::vector<std::uint8_t> chunk(128 << 10, 0x5A);
            for (std::size_t n = 0; !sent_ && !stop_;) sent_ = c->Send(chunk, &n);
            if (c) c->StopSending();
        });
        std::unique_ptr<lab::StreamSocket> c;
        if ((got_ = listener->Accept(kStall, &c))) return Stop(why);
        receiver_ = std::thread([this, c = std::move(c)] {
            std::vector<std::uint8_t> buffer(256 << 10);
            for (std::size_t n = 1; !got_ && n != 0; received_ += n) got_ = c->Receive(buffer, &n);
        });
        return kErrorSuccess;
    }

    std::uint64_t Received() const { return received_; }
    // Whether the flow still runs: a broken one fails the rounds that come after.
    bool Running() const { return !sent_ && !got_; }

    Win32Error Stop(std::string& why) {
        stop_ = true;
        if (sender_.joinable()) sender_.join();
        if (receiver_.joinable()) receiver_.join();
        if (!sent_ && !got_) return kErrorSuccess;
        why = "the TCP flow broke off (" + std::string(sent_ ? "sending" : "receiving") +
              ", error " + std::to_string(sent_ ? sent_ : got_) + ")";
        return sent_ ? sent_ : got_;
    }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> received_{0};
    std::atomic<Win32Error> sent_{kErrorSuccess}, got_{kErrorSuccess};
    std::thread sender_, receiver_;
};

// Each iteration is a round: one window of the flow without the table ("bare") and one with the
// host's table ("filtered"), in an order that turns each round, so that a drift of the shared
// machine's load weighs on both alike. The table is removed or written before each window,
// outside it. The ratio of each round is printed at the end with its spread.
// Argument 0: the flow is let in by a set element; 1: by the last rule; 2: by a set element, with
// the anti-lockout rules for port 22 in the table (what they cost other traffic, connection
// tracking included); 3: the same rules for the flow's own port, so that it passes as an
// established SSH session does.
void BM_TcpThroughput(benchmark::State& state) {
    Link& link = TheLink();
    if (!link.error.empty()) {
        state.SkipWithError(link.error.c_str());
        return;
    }
    const int variant = static_cast<int>(state.range(0));
    const bool byRule = variant == 1;
    static const char* const kFlows[] = {"a set element", "the last rule",
                                         "a set element, anti-lockout on",
                                         "the anti-lockout rule (an SSH session)"};
    std::vector<std::uint16_t> sshd;
    if (variant == 2) sshd = {22};
    if (variant == 3) sshd = {kBulkPort};
    Backend* b = Fixture(
        std::string("throughput ") + kFlows[variant], state,
        [byRule](Backend& f) { FillLikeAHost(f, byRule); }, std::move(sshd));
    if (!b) return;
    std::string why;
    BulkFlow flow;
    if (flow.Start(link, why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    double bytes[2] = {}, seconds[2] = {};  // bare, filtered
    std::vector<double> ratios;
    for (auto _ : state) {
        const bool tableFirst = ratios.size() % 2 == 1;
        double rate[2] = {};
        for (bool table : {tableFirst, !tableFirst}) {
            if (table ? b->kernel->WriteTable(&why) : b->kernel->RemoveTable(&why)) break;
            std::this_thread::sleep_for(kSettle);
            const auto from = std::chrono::steady_clock::now();
            const std::uint64_t before = flow.Received();
            std::this_thread::sleep_for(kWindow);
            const auto got = static_cast<double>(flow.Received() - before);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - from;
            bytes[table] += got;
            seconds[table] += took.count();
            rate[table] = got / took.count();
        }
        if (!why.empty() || !flow.Running()) break;
        ratios.push_back(rate[1] / rate[0]);
    }
    if (flow.Stop(why) || !why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    state.counters["bare_bytes/s"] = bytes[0] / seconds[0];
    state.counters["filtered_bytes/s"] = bytes[1] / seconds[1];
    zantor::bench::RecordRounds(
        std::string("BM_TcpThroughput filtered / bare, flow let in by ") + kFlows[variant],
        std::move(ratios));
}
BENCHMARK(BM_TcpThroughput)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The whole table of the host's 10,000 filters as the backend writes it, with its counters or
// without them. Only the model is built (nothing reaches the kernel), so both are made in turn.
std::string HostTable(bool counters, bool flowByRule) {
    Backend b({}, counters);
    if (!b.kernel) return {};
    FillLikeAHost(b, flowByRule);
    std::string text = b.kernel->TableText();
    b.kernel.reset();  // nothing to remove: it never wrote the table
    return text;
}

// What the counters cost the traffic: rounds of one window of the flow through the host's table
// with its counters and one through the same table without them, in turns, written whole with
// nft before each window (outside it). Argument 0: the flow is let in by a set element (its
// element counts it); 1: by the last rule (its rule counts it).
void BM_TcpThroughputCounters(benchmark::State& state) {
    Link& link = TheLink();
    if (!link.error.empty()) {
        state.SkipWithError(link.error.c_str());
        return;
    }
    const bool byRule = state.range(0) == 1;
    // Another family's backend holds the namespace's table; its own is replaced by ours.
    static zantor::test::TempDir dir;
    const std::string paths[2] = {(dir.path() / "without.nft").string(),
                                  (dir.path() / "with.nft").string()};
    current.reset();  // the family before this one lets the namespace's table go
    owner.clear();
    for (bool counters : {false, true}) {
        const std::string text = HostTable(counters, byRule);
        if (text.empty()) {
            state.SkipWithError("the kernel backend could not be made");
            return;
        }
        std::ofstream(paths[counters]) << text;
    }
    std::string why;
    BulkFlow flow;
    if (flow.Start(link, why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    double bytes[2] = {}, seconds[2] = {};  // without, with
    std::vector<double> ratios;
    for (auto _ : state) {
        const bool withFirst = ratios.size() % 2 == 1;
        double rate[2] = {};
        for (bool counters : {withFirst, !withFirst}) {
            if (lab::RunProgram({"/usr/sbin/nft", "-f", paths[counters]}, nullptr, &why)) break;
            std::this_thread::sleep_for(kSettle);
            const auto from = std::chrono::steady_clock::now();
            const std::uint64_t before = flow.Received();
            std::this_thread::sleep_for(kWindow);
            const auto got = static_cast<double>(flow.Received() - before);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - from;
            bytes[counters] += got;
            seconds[counters] += took.count();
            rate[counters] = got / took.count();
        }
        if (!why.empty() || !flow.Running()) break;
        ratios.push_back(rate[1] / rate[0]);
    }
    lab::RunProgram({"/usr/sbin/nft", "delete table ip zantor"}, nullptr, nullptr);
    if (flow.Stop(why) || !why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    state.counters["without_bytes/s"] = bytes[0] / seconds[0];
    state.counters["with_bytes/s"] = bytes[1] / seconds[1];
    zantor::bench::RecordRounds(
        std::string("BM_TcpThroughputCounters with / without counters, flow let in by ") +
            (byRule ? "the last rule" : "a set element"),
        std::move(ratios));
}
BENCHMARK(BM_TcpThroughputCounters)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One read of an address's statistics, as the console's statistics window asks for it every
// 200 ms and zadmin once: the address has `state.range(0)` filters (nine in ten set elements,
// the rest rules), and the table is the kernel's. "share_of_a_core_at_5Hz" is the part of one
// core that five reads a second take.
void BM_Statistics(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    static INTERFACE_HANDLE h = 0;
    Backend* b = Fixture("statistics " + std::to_string(count), state, [count](Backend& f) {
        h = f.Interface("10.60.0.1", PF_ACTION_DROP, PF_ACTION_FORWARD);
        f.Fill(h, count - count / 10);
        f.Fill(h, count / 10, true, count);
        f.kernel->AddGlobalFilterToInterface(h, GF_FRAGMENTS);
        f.kernel->WriteTable(nullptr);
    });
    if (!b) return;
    DWORD size = 0;
    std::vector<std::uint64_t> buffer(pf::InterfaceStatisticsSize(count) / 8 + 1);
    const auto from = std::chrono::steady_clock::now();
    for (auto _ : state) {
        size = static_cast<DWORD>(buffer.size() * 8);
        if (b->kernel->GetInterfaceStatistics(
                h, reinterpret_cast<PF_INTERFACE_STATS*>(buffer.data()), &size, false)) {
            state.SkipWithError("the statistics could not be read");
            return;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - from;
    state.counters["share_of_a_core_at_5Hz"] =
        5.0 * took.count() / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Statistics)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

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
         {"BM_RoundTripRules/10000/real_time", "BM_RoundTrip/10/real_time"},
         {"BM_RoundTripAntiLockout/10000/real_time", "BM_RoundTrip/10000/real_time"},
         {"BM_Statistics/10000/real_time", "BM_Statistics/1000/real_time"}});
}
