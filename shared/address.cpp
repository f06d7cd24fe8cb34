#include "shared/address.h"

#include <cstring>

#include "shared/text.h"

namespace zantor {

IPAddr MakeIP(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    IPAddr addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

std::string IPToStr(IPAddr addr) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &addr, sizeof bytes);
    std::string text;
    text.reserve(15);
    for (int i = 0; i < 4; ++i) {
        if (i) text += '.';
        text += std::to_string(bytes[i]);
    }
    return text;
}

IPAddr StrToIP(std::string_view text) {
    std::uint8_t bytes[4];
    std::string_view rest = text;
    for (int i = 0; i < 4; ++i) {
        std::string_view part;
        if (i < 3) {
            auto dot = rest.find('.');
            // Fewer than three dots leave an empty part, which does not convert.
            part = dot == std::string_view::npos ? std::string_view{} : rest.substr(0, dot);
            rest = dot == std::string_view::npos ? std::string_view{} : rest.substr(dot + 1);
        } else {
            part = rest;
        }
        std::int32_t value = StrToInt(part);
        if (value < 0 || value > 255)
            throw ConvertError("'" + std::string(text) + "' has an octet outside 0..255");
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    IPAddr addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

}  // namespace zantor
