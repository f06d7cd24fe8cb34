#include "shared/filter_model.h"

#include <algorithm>
#include <cstring>

#include "shared/text.h"

namespace zantor {

namespace {

std::uint16_t StrToPort(std::string_view text) {
    std::int32_t value = StrToInt(text);
    if (value < 0 || value > 65535)
        throw ConvertError("'" + std::string(text) + "' is not a port from 0 to 65535");
    return static_cast<std::uint16_t>(value);
}

std::uint32_t Field(std::string_view text) {
    return static_cast<std::uint32_t>(StrToNonNegative(text));
}

std::uint8_t* Cell(IPAddr& addr) {
    return reinterpret_cast<std::uint8_t*>(&addr);
}

}  // namespace

platform::PF_FILTER_DESCRIPTOR FilterRecord::Descriptor() {
    return platform::PF_FILTER_DESCRIPTOR{
        dwFilterFlags,     dwRule,        static_cast<platform::PFADDRESSTYPE>(pfatType),
        Cell(SrcAddr),     Cell(SrcMask), Cell(DstAddr),
        Cell(DstMask),     dwProtocol,    fLateBound,
        wSrcPort,          wDstPort,      wSrcPortHighRange,
        wDstPortHighRange,
    };
}

FilterRecord FilterRecord::FromDescriptor(const platform::PF_FILTER_DESCRIPTOR& d) {
    auto cell = [](const std::uint8_t* p) {
        IPAddr a = 0;
        if (p) std::memcpy(&a, p, sizeof a);
        return a;
    };
    FilterRecord f;
    f.dwFilterFlags = d.dwFilterFlags;
    f.dwRule = d.dwRule;
    f.pfatType = d.pfatType;
    f.SrcAddr = cell(d.SrcAddr);
    f.SrcMask = cell(d.SrcMask);
    f.DstAddr = cell(d.DstAddr);
    f.DstMask = cell(d.DstMask);
    f.dwProtocol = d.dwProtocol;
    f.fLateBound = d.fLateBound;
    f.wSrcPort = d.wSrcPort;
    f.wDstPort = d.wDstPort;
    f.wSrcPortHighRange = d.wSrcPortHighRange;
    f.wDstPortHighRange = d.wDstPortHighRange;
    return f;
}

std::string FilterToStr(const FilterRecord& f) {
    std::string text;
    text.reserve(96);
    auto number = [&](std::uint32_t v) {
        text += std::to_string(v);
        text += ' ';
    };
    auto address = [&](IPAddr a) {
        text += IPToStr(a);
        text += ' ';
    };
    number(f.dwFilterFlags);
    number(f.dwRule);
    number(f.pfatType);
    address(f.SrcAddr);
    address(f.SrcMask);
    address(f.DstAddr);
    address(f.DstMask);
    number(f.dwProtocol);
    number(f.fLateBound);
    number(f.wSrcPort);
    number(f.wDstPort);
    number(f.wSrcPortHighRange);
    text += std::to_string(f.wDstPortHighRange);
    return text;
}

FilterRecord ParseFilterWords(std::string_view text, int first) {
    auto word = [&](int field) { return GetWord(text, first + field - 1); };
    FilterRecord f;
    f.SrcAddr = StrToIP(word(4));
    f.SrcMask = StrToIP(word(5));
    f.DstAddr = StrToIP(word(6));
    f.DstMask = StrToIP(word(7));
    f.dwFilterFlags = Field(word(1));
    f.dwRule = Field(word(2));
    f.pfatType = Field(word(3));
    f.dwProtocol = Field(word(8));
    f.fLateBound = Field(word(9));
    f.wSrcPort = StrToPort(word(10));
    f.wDstPort = StrToPort(word(11));
    f.wSrcPortHighRange = StrToPort(word(12));
    f.wDstPortHighRange = StrToPort(word(13));
    return f;
}

bool SameFilter(const FilterRecord& a, const FilterRecord& b) {
    return a.pfatType == b.pfatType && a.SrcAddr == b.SrcAddr && a.SrcMask == b.SrcMask &&
           a.DstAddr == b.DstAddr && a.DstMask == b.DstMask && a.dwProtocol == b.dwProtocol &&
           a.wSrcPort == b.wSrcPort && a.wDstPort == b.wDstPort &&
           a.wSrcPortHighRange == b.wSrcPortHighRange &&
           a.wDstPortHighRange == b.wDstPortHighRange && a.dwFilterFlags == b.dwFilterFlags &&
           a.dwRule == b.dwRule;
}

std::string ProtocolName(std::uint32_t protocol) {
    switch (protocol) {
        case 1:
            return "ICMP";
        case 6:
            return "TCP";
        case 17:
            return "UDP";
        default:
            return "Unkn [" + std::to_string(protocol) + "]";
    }
}

std::string ProtocolCaption(std::uint32_t protocol) {
    switch (protocol) {
        case 0:
            return "Any";
        case 1:
            return "ICMP";
        case 6:
            return "TCP";
        case 17:
            return "UDP";
        default:
            return "Unk";
    }
}

std::string FlagsCaption(std::uint32_t flags) {
    switch (flags) {
        case 0:
            return "-";
        case platform::FD_FLAGS_NOSYN:
            return "No SYN";
        default:
            return "Unk";
    }
}

std::string LogFrameToStr(const platform::PFLOGFRAME& frame) {
    // The packet data is what the frame says it logged, and never more than the frame holds.
    std::size_t length = std::size_t{frame.wSizeOfIpHeader} + frame.wSizeOfAdditionalData;
    if (frame.dwTotalSizeUsed >= platform::kPfLogFrameHeaderSize)
        length =
            std::min<std::size_t>(length, frame.dwTotalSizeUsed - platform::kPfLogFrameHeaderSize);
    else
        length = 0;
    const std::uint8_t* p = frame.bPacketData;
    auto address = [&](std::size_t at) {
        IPAddr a;
        std::memcpy(&a, p + at, sizeof a);
        return IPToStr(a);
    };
    auto port = [&](std::size_t at) { return std::to_string((p[at] << 8) | p[at + 1]); };

    const std::uint32_t protocol = length > 9 ? p[9] : 0;
    std::string text(" ");
    text += ProtocolName(protocol);
    const bool haveAddresses = length >= 20;
    if (protocol == 1 && haveAddresses) {
        text += " -> " + address(12) + " -> " + address(16);
    } else if ((protocol == 6 || protocol == 17) && haveAddresses) {
        text += ' ';
        text += address(12);
        if (length >= 22) (text += ':') += port(20);
        text += " -> ";
        text += address(16);
        if (length >= 24) (text += ':') += port(22);
    }
    text += " Data: ";
    for (std::size_t at = 20; at <= 40 && at < length; ++at) {
        text += ',';
        text += std::to_string(p[at]);
    }
    return text;
}

}  // namespace zantor
