// The driver's packet socket on Windows, which has no Unix datagram sockets: a UDP socket on
// 127.0.0.1 whose port the file driver/packets of the computer root holds as decimal text. The
// datagrams and answers are those of every platform (platform/pf.h).
//
// Any local process may send to a loopback port; the file lies under the computer root, which
// only administrators may change, so a client finds the service's port and no other.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/pf.h"
#include "platform/pf_datagram.h"

#include <mswsock.h>
#include <windows.h>
#include <winsock2.h>
// After windows.h, which it needs.
#include <iphlpapi.h>

namespace platform {

namespace fs = std::filesystem;
using pf::kMaxDatagram;

namespace {

// The most a UDP datagram over IPv4 carries: packets longer than this less the header cannot
// be sent here, where a Unix socket takes them.
constexpr std::size_t kMaxUdpPayload = 65507;
// How long a live endpoint takes at most to answer the probe of a starting one.
constexpr std::chrono::milliseconds kProbeTimeout{500};

// Winsock's numbers are Win32 numbers with texts of their own; those that mean one of ours
// become it.
Win32Error ErrorFromWsa(int wsa) {
    switch (wsa) {
        case 0:
            return kErrorSuccess;
        case WSAECONNRESET:  // the port unreachable: nobody serves it any more
        case WSAECONNREFUSED:
            return kErrorFileNotFound;
        case WSAETIMEDOUT:
            return kErrorTimeout;
        case WSAENOBUFS:
            return kErrorNotEnoughMemory;
        case WSAEACCES:
            return kErrorAccessDenied;
        case WSAEINVAL:
        case WSAEMSGSIZE:
            return kErrorInvalidParameter;
        case WSAEADDRINUSE:
            return kErrorSharingViolation;
        case WSAEINTR:
            return kErrorOperationAborted;
        default:
            return static_cast<Win32Error>(wsa);
    }
}

Win32Error FailFromWsa() {
    return Fail(ErrorFromWsa(::WSAGetLastError()));
}

// Winsock for the life of the process, started by the first user.
Win32Error StartWinsock() {
    static const int result = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result == 0 ? kErrorSuccess : Fail(ErrorFromWsa(result));
}

// Closes the socket when it goes out of scope.
class UniqueSocket {
  public:
    UniqueSocket() = default;
    explicit UniqueSocket(SOCKET s) : s_(s) {}
    ~UniqueSocket() { Reset(); }
    UniqueSocket(UniqueSocket&& other) noexcept : s_(std::exchange(other.s_, INVALID_SOCKET)) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept {
        if (this != &other) {
            Reset();
            s_ = std::exchange(other.s_, INVALID_SOCKET);
        }
        return *this;
    }
    SOCKET Get() const { return s_; }
    void Reset() {
        if (s_ != INVALID_SOCKET) ::closesocket(s_);
        s_ = INVALID_SOCKET;
    }
    explicit operator bool() const { return s_ != INVALID_SOCKET; }

  private:
    SOCKET s_ = INVALID_SOCKET;
};

// A UDP socket that child processes do not inherit.
UniqueSocket DatagramSocket() {
    return UniqueSocket(
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A UDP socket connected to the loopback port: it receives from that port alone, and learns of
// a port nobody serves (WSAECONNRESET).
Win32Error Connect(std::uint16_t port, UniqueSocket& s) {
    if (Win32Error e = StartWinsock()) return e;
    s = DatagramSocket();
    if (!s) return FailFromWsa();
    sockaddr_in to = Loopback(port);
    if (::connect(s.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return FailFromWsa();
    return kErrorSuccess;
}

// Sends the datagram on the connected socket and takes the one-byte answer, waiting at most
// `timeout` (negative: not at all).
Win32Error Exchange(const UniqueSocket& s, std::span<const std::uint8_t> datagram,
                    std::uint8_t& answer, std::chrono::milliseconds timeout) {
    if (::send(s.Get(), reinterpret_cast<const char*>(datagram.data()),
               static_cast<int>(datagram.size()), 0) == SOCKET_ERROR)
        return FailFromWsa();
    const auto ms = std::clamp<std::int64_t>(timeout.count(), 0, INT_MAX);
    timeval wait{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s.Get(), &readable);
    int ready = ::select(0, &readable, nullptr, nullptr, &wait);
    if (ready == SOCKET_ERROR) return FailFromWsa();
    if (ready == 0) return Fail(kErrorTimeout);
    int n = ::recv(s.Get(), reinterpret_cast<char*>(&answer), 1, 0);
    if (n == SOCKET_ERROR) {
        // Someone else's port that answered more than one byte is not an endpoint.
        return ::WSAGetLastError() == WSAEMSGSIZE ? Fail(kErrorInvalidData) : FailFromWsa();
    }
    return n == 1 ? kErrorSuccess : Fail(kErrorInvalidData);
}

// The port in the endpoint file: kErrorFileNotFound without one, kErrorInvalidData when it
// holds no port.
Win32Error ReadPort(const fs::path& path, std::uint16_t& port) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Win32Error e = ::GetLastError();
        return Fail(e == kErrorPathNotFound ? kErrorFileNotFound : e);
    }
    char text[16] = {};
    ::DWORD read = 0;
    BOOL ok = ::ReadFile(file, text, sizeof text - 1, &read, nullptr);
    Win32Error e = ok ? kErrorSuccess : ::GetLastError();
    ::CloseHandle(file);
    if (e) return Fail(e);
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (; i < read && text[i] >= '0' && text[i] <= '9' && value <= 65535; ++i)
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    while (i < read && (text[i] == '\r' || text[i] == '\n' || text[i] == ' ')) ++i;
    if (i == 0 || i != read || value == 0 || value > 65535) return Fail(kErrorInvalidData);
    port = static_cast<std::uint16_t>(value);
    return kErrorSuccess;
}

// Writes the port under a name of its own and moves that over the old file, so that a client
// reads the old port or the new one, never a part.
Win32Error WritePort(const fs::path& path, std::uint16_t port) {
    fs::path fresh = path;
    fresh += "." + std::to_string(::GetCurrentProcessId()) + ".new";
    HANDLE file = ::CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(::GetLastError());
    const std::string text = std::to_string(port) + "\r\n";
    ::DWORD written = 0;
    BOOL ok = ::WriteFile(file, text.data(), static_cast<::DWORD>(text.size()), &written, nullptr);
    Win32Error e = ok ? kErrorSuccess : ::GetLastError();
    ::CloseHandle(file);
    if (!e && !::MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        e = ::GetLastError();
    if (e) {
        ::DeleteFileW(fresh.c_str());
        return Fail(e);
    }
    return kErrorSuccess;
}

// Whether some socket holds the UDP port on the loopback address (or on all addresses). Where
// nobody does, no endpoint serves it: Wine reports no unreachable port to the sender, so without
// this a client would wait its whole timeout on a file that a dead process left. True when the
// system's table cannot be read: the exchange then tells.
bool PortHeld(std::uint16_t port) {
    std::vector<std::uint8_t> buffer(4096);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG size = static_cast<ULONG>(buffer.size());
        auto* table = reinterpret_cast<MIB_UDPTABLE*>(buffer.data());
        ::DWORD r = ::GetUdpTable(table, &size, FALSE);
        if (r == ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(size + 1024);  // room for sockets made in between
            continue;
        }
        if (r != NO_ERROR) return true;
        for (::DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_UDPROW& row = table->table[i];
            const ::DWORD address = ntohl(row.dwLocalAddr);
            if (ntohs(static_cast<u_short>(row.dwLocalPort)) == port &&
                (address == INADDR_LOOPBACK || address == INADDR_ANY))
                return true;
        }
        return false;
    }
    return true;
}

// True when a live endpoint answers at the port in `path`. A port left by a process that is
// gone is held by nobody, or by a socket that does not answer.
bool EndpointAlive(const fs::path& path) {
    std::uint16_t port = 0;
    UniqueSocket s;
    if (ReadPort(path, port) || !PortHeld(port) || Connect(port, s)) return false;
    // Malformed, so any endpoint answers it (and counts it, as it counts every malformed one).
    const std::uint8_t probe[1] = {0xFF};
    std::uint8_t answer = 0;
    return Exchange(s, probe, answer, kProbeTimeout) == kErrorSuccess;
}

Win32Error CreateDirectories(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!ec) return kErrorSuccess;
    // The library reports Win32 numbers, and C library ones where it used the C library.
    return Fail(ec.category() == std::generic_category() ? ErrorFromErrno(ec.value())
                                                         : static_cast<Win32Error>(ec.value()));
}

// A UDP socket on a loopback port that the file driver/packets names.
class WinsockDatagramTransport final : public pf::DatagramTransport {
  public:
    Win32Error Open(const fs::path& root) override {
        if (Win32Error e = StartWinsock()) return e;
        path_ = PacketSocketPath(root);
        if (Win32Error e = CreateDirectories(path_.parent_path())) return e;
        if (EndpointAlive(path_)) return Fail(kErrorSharingViolation);

        socket_ = DatagramSocket();
        if (!socket_) return FailFromWsa();
        // No other socket may take the port beside ours and read what clients send.
        BOOL exclusive = TRUE;
        ::setsockopt(socket_.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
        sockaddr_in self = Loopback(0);
        int length = sizeof self;
        if (::bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
            ::getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&self), &length) != 0)
            return FailFromWsa();
        port_ = ntohs(self.sin_port);
        // A sender that went away before its answer would otherwise fail the next receive.
        BOOL report = FALSE;
        ::DWORD returned = 0;
        ::WSAIoctl(socket_.Get(), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned,
                   nullptr, nullptr);
        readable_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        stop_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!readable_ || !stop_) return Fail(::GetLastError());
        // The socket turns non-blocking here.
        if (::WSAEventSelect(socket_.Get(), readable_, FD_READ) != 0) return FailFromWsa();
        return WritePort(path_, port_);
    }

    // Answers every datagram that waits, then sleeps until another comes or Interrupt.
    void Serve(const Answer& answer) override {
        std::vector<std::uint8_t> buffer(kMaxDatagram + 1);
        HANDLE events[2] = {stop_, readable_};
        for (;;) {
            for (;;) {
                sockaddr_in from{};
                int fromLength = sizeof from;
                int n = ::recvfrom(socket_.Get(), reinterpret_cast<char*>(buffer.data()),
                                   static_cast<int>(buffer.size()), 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (n == SOCKET_ERROR) {
                    int e = ::WSAGetLastError();
                    // An answer that found its sender gone is reported on the next receive.
                    if (e == WSAECONNRESET) continue;
                    if (e != WSAEMSGSIZE) break;  // nothing more waits (or the socket failed)
                    n = static_cast<int>(buffer.size());  // cut short: too long to be a packet
                }
                std::uint8_t reply = answer(buffer.data(), static_cast<std::size_t>(n));
                // The socket does not block: an answer that does not fit now is lost, as a
                // datagram may be.
                ::sendto(socket_.Get(), reinterpret_cast<const char*>(&reply), 1, 0,
                         reinterpret_cast<const sockaddr*>(&from), fromLength);
            }
            if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
            ::ResetEvent(readable_);  // before the receives: a datagram after them sets it again
        }
    }

    void Interrupt() override { ::SetEvent(stop_); }

    void Close() override {
        socket_.Reset();
        for (HANDLE* h : {&readable_, &stop_}) {
            if (*h) ::CloseHandle(*h);
            *h = nullptr;
        }
        // The file is ours to remove while it names our port; another endpoint's stays.
        std::uint16_t inFile = 0;
        if (port_ != 0 && ReadPort(path_, inFile) == kErrorSuccess && inFile == port_)
            ::DeleteFileW(path_.c_str());
        port_ = 0;
    }

  private:
    UniqueSocket socket_;
    HANDLE readable_ = nullptr;  // set by Winsock when a datagram waits
    HANDLE stop_ = nullptr;
    fs::path path_;
    std::uint16_t port_ = 0;
};

}  // namespace

std::unique_ptr<pf::DatagramTransport> pf::MakeDatagramTransport() {
    return std::make_unique<WinsockDatagramTransport>();
}

Win32Error SendRawDatagram(const fs::path& root, std::span<const std::uint8_t> datagram,
                           std::uint8_t& answer, std::chrono::milliseconds timeout) {
    if (datagram.size() > kMaxUdpPayload) return Fail(kErrorInvalidParameter);
    std::uint16_t port = 0;
    if (Win32Error e = ReadPort(PacketSocketPath(root), port)) return e;
    if (!PortHeld(port)) return Fail(kErrorFileNotFound);
    UniqueSocket s;
    if (Win32Error e = Connect(port, s)) return e;
    return Exchange(s, datagram, answer, timeout);
}

}  // namespace platform
