// The packet filter driver's Windows port: which backend filters (under Wine the system's
// functions are not implemented, so the engine stands in and says so), the Pf calls reaching the
// engine, the filter log's event, and the packet endpoint's UDP port behind driver/packets with
// its dead and live files. What every system's packet socket does is
// tests/contract/packet_socket_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/pf.h"
#include "tests/support/packet_socket_fixture.h"
#include "tests/unit/pf_test_util.h"

#include <windows.h>
#include <winsock2.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace platform;
using namespace zantor;
using namespace zantor::test;
// Names the system's headers declare too: ours are meant.
using platform::DWORD;
using platform::GetLastError;

bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

const std::uint8_t* Addr(const IPAddr& ip) {
    return reinterpret_cast<const std::uint8_t*>(&ip);
}

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A UDP socket on a loopback port of its own that never answers: a port held by someone else.
class SilentPort {
  public:
    SilentPort() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        s_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof a;
        ::bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
    }
    ~SilentPort() { Close(); }
    void Close() {
        if (s_ != INVALID_SOCKET) ::closesocket(s_);
        s_ = INVALID_SOCKET;
    }
    std::uint16_t port() const { return port_; }

  private:
    SOCKET s_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
};

// Under Wine the system's functions are exported (by their decorated names) and answer 120, so
// the engine is chosen, with a line that says the host is not filtered and why. On a Windows
// where they work the system's functions are chosen (PfBackend::kKernel) and the line says so.
// Nothing in the root takes part: a driver/backend that Linux refuses is not read.
TEST(Win32PfDriver, ChoosesTheBackendAndSaysWhichFilters) {
    TempDir dir;
    WriteText(dir.path() / "driver" / "backend", "neither\n");
    std::vector<std::string> lines;
    auto report = [&](const std::string& line) { lines.push_back(line); };
    PfBackend backend = PfBackend::kKernel;
    ASSERT_EQ(PfStartDriver(dir.path(), report, &backend), 0u);
    ASSERT_EQ(lines.size(), 1u);
    if (UnderWine()) {
        EXPECT_EQ(backend, PfBackend::kEngine);
        EXPECT_NE(lines[0].find("The host's traffic is not being filtered"), std::string::npos)
            << lines[0];
        EXPECT_NE(lines[0].find("Error [120]"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("engine"), std::string::npos) << lines[0];
        // The engine alone is not a start: another one chooses again.
        EXPECT_EQ(PfStartDriver(dir.path(), report, &backend), 0u);
    } else if (backend == PfBackend::kKernel) {
        EXPECT_NE(lines[0].find("iphlpapi.dll) enforce the rules"), std::string::npos) << lines[0];
        EXPECT_EQ(PfStartDriver(dir.path(), report, &backend), kErrorAlreadyExists);
    } else {
        // A Windows without the functions, or whose probe failed (no right to filter, say).
        EXPECT_NE(lines[0].find("The host's traffic is not being filtered"), std::string::npos)
            << lines[0];
    }
    std::string why;
    EXPECT_EQ(PfWriteKernelRules(&why), 0u) << "the system holds each change at once";
    EXPECT_EQ(PfStopDriver(true, &why), 0u) << why;
    EXPECT_EQ(PfStopDriver(true, &why), 0u) << "stopped already";
}

// Every Pf call reaches the engine, which keeps the rules whichever backend filters: the test
// packets and the packet endpoint answer alike. Errors are the contract's, and the thread's last
// error.
TEST(Win32PfDriver, CallsReachTheEngineWithTheirErrors) {
    TempDir dir;
    PfBackend backend;
    ASSERT_EQ(PfStartDriver(
                  dir.path(), [](const std::string&) {}, &backend),
              0u);
    const IPAddr ip = MakeIP(10, 78, 0, 1);
    INTERFACE_HANDLE itf = 0;
    ASSERT_EQ(PfCreateInterface(0x78, PF_ACTION_DROP, PF_ACTION_FORWARD, false, true, &itf), 0u);
    ASSERT_EQ(PfBindInterfaceToIPAddress(itf, PF_IPV4, Addr(ip)), 0u);
    Descriptor web({.protocol = 6, .dstLow = 80});
    Descriptor dns({.protocol = 17, .dstLow = 53});
    const PF_FILTER_DESCRIPTOR in[2] = {*web.get(), *dns.get()};
    FILTER_HANDLE h[2] = {};
    ASSERT_EQ(PfAddFiltersToInterface(itf, 2, in, 0, nullptr, h), 0u);
    ASSERT_EQ(PfAddGlobalFilterToInterface(itf, GF_FRAGMENTS), 0u);
    EXPECT_EQ(PfAddGlobalFilterToInterface(itf, GF_FRAGMENTS), 0u) << "on again: no change";

    auto verdict = [&](const std::vector<std::uint8_t>& p) {
        PFFORWARD_ACTION a = PF_ACTION_DROP;
        EXPECT_EQ(PfTestPacket(itf, 0, static_cast<DWORD>(p.size()), p.data(), &a), 0u);
        EXPECT_EQ(ProcessPacketFilterDriver().DecidePacket(PacketDirection::kInput, ip, p), a)
            << "the engine decides as the test does";
        return a;
    };
    auto webPacket = Tcp("1.1.1.1", 4000, "10.78.0.1", 80);
    EXPECT_EQ(verdict(webPacket), PF_ACTION_FORWARD);
    EXPECT_EQ(verdict(Udp("1.1.1.1", 4000, "10.78.0.1", 53)), PF_ACTION_FORWARD);
    EXPECT_EQ(verdict(Tcp("1.1.1.1", 4000, "10.78.0.1", 22)), PF_ACTION_DROP);

    // Refusals change nothing.
    INTERFACE_HANDLE other = 0;
    ASSERT_EQ(PfCreateInterface(0, PF_ACTION_FORWARD, PF_ACTION_FORWARD, false, true, &other), 0u);
    EXPECT_EQ(PfBindInterfaceToIPAddress(other, PF_IPV4, Addr(ip)), kErrorAlreadyExists);
    EXPECT_EQ(PfBindInterfaceToIPAddress(itf, PF_IPV4, Addr(ip)), kPfErrorAlreadyBound);
    EXPECT_EQ(PfUnBindInterface(other), kPfErrorNotBound);
    EXPECT_EQ(GetLastError(), kPfErrorNotBound);
    EXPECT_EQ(
        PfCreateInterface(0, static_cast<PFFORWARD_ACTION>(2), PF_ACTION_DROP, false, true, &other),
        kErrorInvalidParameter);
    EXPECT_EQ(PfCreateInterface(0, PF_ACTION_DROP, PF_ACTION_DROP, false, true, nullptr),
              kErrorInvalidParameter);
    EXPECT_EQ(
        PfTestPacket(0xDEAD, 0, static_cast<DWORD>(webPacket.size()), webPacket.data(), nullptr),
        kErrorInvalidParameter);
    PFFORWARD_ACTION a;
    EXPECT_EQ(PfTestPacket(0xDEAD, 0, static_cast<DWORD>(webPacket.size()), webPacket.data(), &a),
              kPfErrorNoPfInterface);
    const FILTER_HANDLE mixed[2] = {h[0], 0xDEAD};
    EXPECT_EQ(PfRemoveFilterHandles(itf, 2, mixed), kErrorInvalidHandle);
    EXPECT_EQ(PfRemoveFilterHandles(itf, 0, h), kPfErrorNoFiltersGiven);
    EXPECT_EQ(PfRemoveGlobalFilterFromInterface(itf, GF_STRONGHOST), kErrorNotFound);
    EXPECT_EQ(PfAddGlobalFilterToInterface(itf, static_cast<GLOBAL_FILTER>(3)),
              kPfErrorGlobalFilterNotSupported);
    EXPECT_EQ(verdict(webPacket), PF_ACTION_FORWARD) << "the filter survived the refusals";

    // A handle named twice is removed once.
    const FILTER_HANDLE twice[2] = {h[0], h[0]};
    ASSERT_EQ(PfRemoveFilterHandles(itf, 2, twice), 0u);
    EXPECT_EQ(verdict(webPacket), PF_ACTION_DROP);
    EXPECT_EQ(PfRemoveFilterHandles(itf, 1, h), kErrorInvalidHandle) << "gone";
    ASSERT_EQ(PfRemoveGlobalFilterFromInterface(itf, GF_FRAGMENTS), 0u);
    ASSERT_EQ(PfUnBindInterface(itf), 0u);
    ASSERT_EQ(PfDeleteInterface(itf), 0u);
    ASSERT_EQ(PfDeleteInterface(other), 0u);
    EXPECT_EQ(PfDeleteInterface(itf), kPfErrorNoPfInterface);
    EXPECT_EQ(ProcessPacketFilterDriver().DecidePacket(PacketDirection::kInput, ip, webPacket),
              PF_ACTION_FORWARD)
        << "nothing bound to the address any more";
    EXPECT_EQ(PfStopDriver(true), 0u);
}

// The filter log with the engine: the event the caller owns is set once a dropped packet's frame
// has waited the flush delay, and the buffer exchange hands back that buffer's counts. (With the
// system's functions a thread passes the system's Win32 event on to the same Event; Wine cannot
// make a log, so that bridge runs on Windows only.)
TEST(Win32PfDriver, TheLogEventComesWithTheEngine) {
    TempDir dir;
    Event event;
    alignas(8) static std::uint8_t first[4096], second[4096];
    DWORD logged = 9, lost = 9, used = 9;
    EXPECT_EQ(PfSetLogBuffer(first, sizeof first, 4000, 100, &logged, &lost, &used),
              kPfErrorLogNotSetUp);
    EXPECT_EQ(PfMakeLog(nullptr), kErrorInvalidParameter);
    ASSERT_EQ(PfMakeLog(&event), 0u);
    EXPECT_EQ(PfSetLogBuffer(first, kPfLogMinBufferSize - 1, 4000, 100, &logged, &lost, &used),
              kPfErrorBufferTooSmall);
    ASSERT_EQ(PfSetLogBuffer(first, sizeof first, 4000, 100, &logged, &lost, &used), 0u);
    EXPECT_EQ(logged + lost + used, 0u) << "no buffer was lent before";

    const IPAddr ip = MakeIP(10, 78, 0, 2);
    INTERFACE_HANDLE itf = 0;
    ASSERT_EQ(PfCreateInterface(0x4C4F47, PF_ACTION_DROP, PF_ACTION_FORWARD, true, true, &itf), 0u);
    ASSERT_EQ(PfBindInterfaceToIPAddress(itf, PF_IPV4, Addr(ip)), 0u);
    ASSERT_EQ(StartPacketEndpoint(dir.path()), 0u);
    PFFORWARD_ACTION verdict = PF_ACTION_FORWARD;
    ASSERT_EQ(SendTestPacket(dir.path(), PacketDirection::kInput, ip,
                             Tcp("1.1.1.1", 4000, "10.78.0.2", 22), verdict),
              0u);
    EXPECT_EQ(verdict, PF_ACTION_DROP);
    EXPECT_TRUE(event.Wait(5s)) << "the frame waited the flush delay";

    ASSERT_EQ(PfSetLogBuffer(second, sizeof second, 4000, 100, &logged, &lost, &used), 0u);
    EXPECT_EQ(logged, 1u);
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(used, kPfLogFrameHeaderSize + 40) << "IP and TCP headers, 8-aligned";
    PFLOGFRAME frame;
    std::memcpy(&frame, first, sizeof frame);
    EXPECT_EQ(frame.pfeTypeOfFrame, PFFT_FILTER);
    EXPECT_EQ(frame.dwInterfaceName, 0x4C4F47u);
    EXPECT_EQ(frame.wSizeOfIpHeader, 20u);

    StopPacketEndpoint();
    ASSERT_EQ(PfDeleteInterface(itf), 0u);
    ASSERT_EQ(PfDeleteLog(), 0u);
    EXPECT_EQ(PfDeleteLog(), kPfErrorLogNotSetUp);
    EXPECT_EQ(PfSetLogBuffer(first, sizeof first, 4000, 100, &logged, &lost, &used),
              kPfErrorLogNotSetUp);
}

using Win32PacketEndpoint = PacketSocket;

TEST_F(Win32PacketEndpoint, AnswersOverTheLoopbackPortItsFileNames) {
    ASSERT_EQ(endpoint.Start(dir.path()), 0u);
    const std::string text = ReadFile(File());
    const unsigned long port = std::stoul(text);
    EXPECT_GT(port, 0u);
    EXPECT_LT(port, 65536u);
    EXPECT_EQ(std::to_string(port) + "\r\n", text);
    EXPECT_EQ(Verdict(web), PF_ACTION_FORWARD);

    // Where Linux takes any IPv4 packet, a UDP datagram holds at most 65,507 bytes.
    PFFORWARD_ACTION v;
    std::uint8_t answer;
    EXPECT_EQ(SendRawDatagram(dir.path(), std::vector<std::uint8_t>(65508), answer),
              kErrorInvalidParameter);
    EXPECT_EQ(Send(std::vector<std::uint8_t>(65503), v), kErrorInvalidParameter);
    EXPECT_EQ(Raw(std::vector<std::uint8_t>(65507)), 1) << "the largest datagram is answered";

    PacketFilterDriver otherDriver{Untimed()};
    PacketEndpoint other(otherDriver);
    EXPECT_EQ(other.Start(dir.path()), kErrorSharingViolation) << "this one answers";
    EXPECT_EQ(ReadFile(File()), text) << "and keeps its file";

    const auto before = std::chrono::steady_clock::now();
    endpoint.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "the receiver ends promptly";
}

// A file whose port nobody answers on was left by a process that is gone: clients learn that no
// endpoint is there, and a starting endpoint replaces it. A stopping endpoint removes only a file
// that still names its own port.
TEST_F(Win32PacketEndpoint, DeadFilesAreReplaced) {
    PFFORWARD_ACTION v;
    {
        SilentPort freed;
        freed.Close();
        WriteText(File(), std::to_string(freed.port()) + "\r\n");
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(web, v), kErrorFileNotFound) << "a port nobody holds";
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "told without waiting";
        ASSERT_EQ(endpoint.Start(dir.path()), 0u);
        EXPECT_NE(ReadFile(File()), std::to_string(freed.port()) + "\r\n");
        EXPECT_EQ(Verdict(ssh), PF_ACTION_DROP);
        endpoint.Stop();
    }
    {
        SilentPort silent;  // held, as by a hung process or another program
        WriteText(File(), std::to_string(silent.port()));
        EXPECT_EQ(Send(web, v, 200ms), kErrorTimeout);
        ASSERT_EQ(endpoint.Start(dir.path()), 0u);
        EXPECT_EQ(Verdict(web), PF_ACTION_FORWARD);
        endpoint.Stop();
    }
    for (const char* junk : {"", "port", "70000", "0", "12x"}) {
        WriteText(File(), junk);
        EXPECT_EQ(Send(web, v), kErrorInvalidData) << '"' << junk << '"';
        ASSERT_EQ(endpoint.Start(dir.path()), 0u) << '"' << junk << '"';
        EXPECT_EQ(Verdict(web), PF_ACTION_FORWARD);
        endpoint.Stop();
    }
    ASSERT_EQ(endpoint.Start(dir.path()), 0u);
    WriteText(File(), "1\r\n");  // another endpoint's now
    endpoint.Stop();
    EXPECT_EQ(ReadFile(File()), "1\r\n");
}

}  // namespace
