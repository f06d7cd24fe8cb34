// zpacket: builds one IPv4 packet, hands it to the packet filter driver of a computer and prints
// the verdict. Exit code 0 forwarded, 1 dropped, 2 an error.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/computer.h"
#include "platform/errors.h"
#include "platform/pf.h"
#include "shared/address.h"
#include "shared/packet_builder.h"
#include "shared/text.h"

namespace {

using platform::Win32Error;

constexpr const char* kUsage = R"(Usage: zpacket [options]
Sends one IPv4 packet to the packet filter driver of a computer and prints its verdict:
"forwarded" (exit code 0) or "dropped" (exit code 1). Errors print the Win32 error number and
its text and exit with 2.

  --computer NAME       the computer: ".", "localhost" or empty for this one (ZANTOR_ROOT),
                        any other name is a computer of ZANTOR_NETWORK
  --in, --out           the packet is received on (default) or sent from the local address
  --direction in|out    the same
  --local ADDR          the local address; by default the destination of an input packet and
                        the source of an output packet
  --proto P             tcp (default), udp, icmp or a protocol number 0..255
  --src ADDR            source address
  --dst ADDR            destination address
  --sport N, --dport N  source and destination port (TCP, UDP)
  --syn --ack --fin --rst --psh --urg
                        TCP flags; without any, a TCP packet carries SYN
  --flags LIST          TCP flags as letters F S R P A U, e.g. S,A
  --icmp-type N         ICMP type (default 8, echo request)
  --icmp-code N         ICMP code (default 0)
  --ip-id N             IP identification (default 0)
  --frag-offset N       fragment offset in 8-byte units, as in the header; above 0 the packet
                        carries no transport header
  --more-fragments      set the more-fragments flag
  --dont-fragment       set the don't-fragment flag
  --ttl N               time to live (default 64)
  --payload N           bytes of data after the transport header (default 0)
  --hex BYTES           send these bytes (hex digits, spaces allowed) instead of building a
                        packet; --local is then required
  --timeout MS          how long to wait for the verdict (default 5000)
  --help                this text

Values follow their option as the next argument or after "=".
Example: zpacket --computer PC1 --in --src 192.168.1.7 --dst 10.0.0.5 --dport 80 --syn
)";

struct UsageError {
    std::string detail;
};

int Report(Win32Error code, const std::string& detail) {
    std::string text = platform::FormatSystemMessage(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::fprintf(stderr, "zpacket: Error [%u] %s (%s)\n", code, text.c_str(), detail.c_str());
    return 2;
}

template <class T>
T Number(std::string_view option, std::string_view text, unsigned long max) {
    unsigned long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > max)
        throw UsageError{std::string(option) + ": '" + std::string(text) +
                         "' is not a number from 0 to " + std::to_string(max)};
    return static_cast<T>(value);
}

zantor::IPAddr Address(std::string_view option, std::string_view text) {
    try {
        return zantor::StrToIP(text);
    } catch (const zantor::ConvertError&) {
        throw UsageError{std::string(option) + ": '" + std::string(text) + "' is not an address"};
    }
}

std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') continue;
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0) throw UsageError{"--hex: '" + std::string(1, c) + "' is not a hex digit"};
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw UsageError{"--hex: an odd number of hex digits"};
    return bytes;
}

struct Options {
    std::string computer = ".";
    platform::PacketDirection direction = platform::PacketDirection::kInput;
    std::optional<zantor::IPAddr> local;
    zantor::PacketSpec spec;
    bool flagsGiven = false;
    std::optional<std::vector<std::uint8_t>> raw;
    unsigned timeoutMs = 5000;
    bool help = false;
};

Options Parse(int argc, char** argv) {
    Options o;
    o.spec.protocol = zantor::kProtocolTcp;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i], value;
        bool hasValue = false;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto next = [&]() -> std::string_view {
            if (hasValue) return value;
            if (i + 1 >= argc) throw UsageError{std::string(arg) + " needs a value"};
            return argv[++i];
        };
        auto flag = [&](std::uint8_t f) {
            o.spec.tcpFlags |= f;
            o.flagsGiven = true;
        };
        if (arg == "--help" || arg == "-h")
            o.help = true;
        else if (arg == "--computer")
            o.computer = next();
        else if (arg == "--in")
            o.direction = platform::PacketDirection::kInput;
        else if (arg == "--out")
            o.direction = platform::PacketDirection::kOutput;
        else if (arg == "--direction") {
            std::string_view d = next();
            if (d != "in" && d != "out") throw UsageError{"--direction: 'in' or 'out'"};
            o.direction =
                d == "in" ? platform::PacketDirection::kInput : platform::PacketDirection::kOutput;
        } else if (arg == "--local")
            o.local = Address(arg, next());
        else if (arg == "--proto") {
            std::string_view p = next();
            o.spec.protocol = p == "tcp"    ? zantor::kProtocolTcp
                              : p == "udp"  ? zantor::kProtocolUdp
                              : p == "icmp" ? zantor::kProtocolIcmp
                                            : Number<std::uint8_t>(arg, p, 255);
        } else if (arg == "--src")
            o.spec.src = Address(arg, next());
        else if (arg == "--dst")
            o.spec.dst = Address(arg, next());
        else if (arg == "--sport")
            o.spec.srcPort = Number<std::uint16_t>(arg, next(), 65535);
        else if (arg == "--dport")
            o.spec.dstPort = Number<std::uint16_t>(arg, next(), 65535);
        else if (arg == "--syn")
            flag(zantor::kTcpSyn);
        else if (arg == "--ack")
            flag(zantor::kTcpAck);
        else if (arg == "--fin")
            flag(zantor::kTcpFin);
        else if (arg == "--rst")
            flag(zantor::kTcpRst);
        else if (arg == "--psh")
            flag(zantor::kTcpPsh);
        else if (arg == "--urg")
            flag(zantor::kTcpUrg);
        else if (arg == "--flags") {
            std::uint8_t f;
            std::string_view text = next();
            if (!zantor::ParseTcpFlags(text, f))
                throw UsageError{"--flags: '" + std::string(text) + "' is not F S R P A U"};
            flag(f);
        } else if (arg == "--icmp-type")
            o.spec.icmpType = Number<std::uint8_t>(arg, next(), 255);
        else if (arg == "--icmp-code")
            o.spec.icmpCode = Number<std::uint8_t>(arg, next(), 255);
        else if (arg == "--ip-id")
            o.spec.ipId = Number<std::uint16_t>(arg, next(), 65535);
        else if (arg == "--frag-offset")
            o.spec.fragmentOffset = Number<std::uint16_t>(arg, next(), 8191);
        else if (arg == "--more-fragments")
            o.spec.moreFragments = true;
        else if (arg == "--dont-fragment")
            o.spec.dontFragment = true;
        else if (arg == "--ttl")
            o.spec.ttl = Number<std::uint8_t>(arg, next(), 255);
        else if (arg == "--payload")
            o.spec.payloadSize = Number<std::size_t>(arg, next(), 65515);
        else if (arg == "--hex")
            o.raw = Hex(next());
        else if (arg == "--timeout")
            o.timeoutMs = Number<unsigned>(arg, next(), 600000);
        else
            throw UsageError{"unknown option '" + std::string(arg) + "'; see zpacket --help"};
    }
    if (!o.flagsGiven) o.spec.tcpFlags = zantor::kTcpSyn;
    if (!o.local && !o.raw)
        o.local = o.direction == platform::PacketDirection::kInput ? o.spec.dst : o.spec.src;
    if (!o.local) throw UsageError{"--hex needs --local"};
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        o = Parse(argc, argv);
    } catch (const UsageError& e) {
        return Report(platform::kErrorInvalidParameter, e.detail);
    }
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::filesystem::path root;
    if (Win32Error e = platform::ComputerRoot(o.computer, root))
        return Report(e, "computer '" + o.computer + "'");
    std::vector<std::uint8_t> packet = o.raw ? *o.raw : zantor::BuildPacket(o.spec);
    platform::PFFORWARD_ACTION verdict;
    if (Win32Error e = platform::SendTestPacket(root, o.direction, *o.local, packet, verdict,
                                                std::chrono::milliseconds(o.timeoutMs)))
        return Report(e, "sending to " + platform::PacketSocketPath(root).string());
    bool forwarded = verdict == platform::PF_ACTION_FORWARD;
    std::puts(forwarded ? "forwarded" : "dropped");
    return forwarded ? 0 : 1;
}
