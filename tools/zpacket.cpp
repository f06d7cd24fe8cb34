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
    const std::string text = platform::SystemMessageLine(code);
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
    zantor::PacketFields fields;
    bool flagsGiven = false;
    std::optional<std::vector<std::uint8_t>> raw;
    unsigned timeoutMs = 5000;
    bool help = false;

    void AddFlags(std::uint8_t flags) {
        fields.tcpFlags |= flags;
        flagsGiven = true;
    }
};

using View = std::string_view;
using platform::PacketDirection;

struct OptionRow {
    const char* name;
    bool takesValue;
    void (*apply)(Options& o, View option, View value);
};

const OptionRow kOptions[] = {
    {"--help", false, [](Options& o, View, View) { o.help = true; }},
    {"--computer", true, [](Options& o, View, View v) { o.computer = v; }},
    {"--in", false, [](Options& o, View, View) { o.direction = PacketDirection::kInput; }},
    {"--out", false, [](Options& o, View, View) { o.direction = PacketDirection::kOutput; }},
    {"--direction", true,
     [](Options& o, View, View v) {
         if (v != "in" && v != "out") throw UsageError{"--direction: 'in' or 'out'"};
         o.direction = v == "in" ? PacketDirection::kInput : PacketDirection::kOutput;
     }},
    {"--local", true, [](Options& o, View opt, View v) { o.local = Address(opt, v); }},
    {"--proto", true,
     [](Options& o, View opt, View v) {
         o.fields.protocol = v == "tcp"    ? zantor::kProtocolTcp
                             : v == "udp"  ? zantor::kProtocolUdp
                             : v == "icmp" ? zantor::kProtocolIcmp
                                           : Number<std::uint8_t>(opt, v, 255);
     }},
    {"--src", true, [](Options& o, View opt, View v) { o.fields.src = Address(opt, v); }},
    {"--dst", true, [](Options& o, View opt, View v) { o.fields.dst = Address(opt, v); }},
    {"--sport", true,
     [](Options& o, View opt, View v) { o.fields.srcPort = Number<std::uint16_t>(opt, v, 65535); }},
    {"--dport", true,
     [](Options& o, View opt, View v) { o.fields.dstPort = Number<std::uint16_t>(opt, v, 65535); }},
    {"--syn", false, [](Options& o, View, View) { o.AddFlags(zantor::kTcpSyn); }},
    {"--ack", false, [](Options& o, View, View) { o.AddFlags(zantor::kTcpAck); }},
    {"--fin", false, [](Options& o, View, View) { o.AddFlags(zantor::kTcpFin); }},
    {"--rst", false, [](Options& o, View, View) { o.AddFlags(zantor::kTcpRst); }},
    {"--psh", false, [](Options& o, View, View) { o.AddFlags(zantor::kTcpPsh); }},
    {"--urg", false, [](Options& o, View, View) { o.AddFlags(zantor::kTcpUrg); }},
    {"--flags", true,
     [](Options& o, View, View v) {
         std::uint8_t f;
         if (!zantor::ParseTcpFlags(v, f))
             throw UsageError{"--flags: '" + std::string(v) + "' is not F S R P A U"};
         o.AddFlags(f);
     }},
    {"--icmp-type", true,
     [](Options& o, View opt, View v) { o.fields.icmpType = Number<std::uint8_t>(opt, v, 255); }},
    {"--icmp-code", true,
     [](Options& o, View opt, View v) { o.fields.icmpCode = Number<std::uint8_t>(opt, v, 255); }},
    {"--ip-id", true,
     [](Options& o, View opt, View v) { o.fields.ipId = Number<std::uint16_t>(opt, v, 65535); }},
    {"--frag-offset", true,
     [](Options& o, View opt, View v) {
         o.fields.fragmentOffset = Number<std::uint16_t>(opt, v, 8191);
     }},
    {"--more-fragments", false, [](Options& o, View, View) { o.fields.moreFragments = true; }},
    {"--dont-fragment", false, [](Options& o, View, View) { o.fields.dontFragment = true; }},
    {"--ttl", true,
     [](Options& o, View opt, View v) { o.fields.ttl = Number<std::uint8_t>(opt, v, 255); }},
    {"--payload", true,
     [](Options& o, View opt, View v) {
         o.fields.payloadSize = Number<std::size_t>(opt, v, 65515);
     }},
    {"--hex", true, [](Options& o, View, View v) { o.raw = Hex(v); }},
    {"--timeout", true,
     [](Options& o, View opt, View v) { o.timeoutMs = Number<unsigned>(opt, v, 600000); }},
};

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        View arg = argv[i], value;
        bool inline_ = false;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != View::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_ = true;
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& r : kOptions)
            if (arg == r.name || (arg == "-h" && r.name == View("--help"))) row = &r;
        if (!row) throw UsageError{"unknown option '" + std::string(arg) + "'; see zpacket --help"};
        if (row->takesValue && !inline_) {
            if (i + 1 >= argc) throw UsageError{std::string(arg) + " needs a value"};
            value = argv[++i];
        } else if (!row->takesValue && inline_) {
            throw UsageError{std::string(arg) + " takes no value"};
        }
        row->apply(o, arg, value);
    }
    if (!o.flagsGiven) o.fields.tcpFlags = zantor::kTcpSyn;
    if (!o.local && !o.raw)
        o.local = o.direction == PacketDirection::kInput ? o.fields.dst : o.fields.src;
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
    std::vector<std::uint8_t> packet = o.raw ? *o.raw : zantor::BuildPacket(o.fields);
    platform::PFFORWARD_ACTION verdict;
    if (Win32Error e = platform::SendTestPacket(root, o.direction, *o.local, packet, verdict,
                                                std::chrono::milliseconds(o.timeoutMs)))
        return Report(e, "sending to " + platform::PacketSocketPath(root).string());
    bool forwarded = verdict == platform::PF_ACTION_FORWARD;
    std::puts(forwarded ? "forwarded" : "dropped");
    return forwarded ? 0 : 1;
}
