// Inside the registry port: the names, paths and data that every platform's registry takes, and
// the reads and writes built on the port's own calls (registry.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform::reg {

inline constexpr std::size_t kMaxKeyName = 255;
inline constexpr std::size_t kMaxValueName = 16383;
inline constexpr std::size_t kMaxDepth = 512;
inline constexpr std::size_t kMaxValueSize = std::size_t{16} << 20;

// 1 to 255 characters without a backslash or a control character.
inline bool ValidKeyName(std::string_view name) {
    if (name.empty() || name.size() > kMaxKeyName) return false;
    for (char c : name)
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

// At most 16383 characters without NUL, CR or LF.
inline bool ValidValueName(std::string_view name) {
    return name.size() <= kMaxValueName &&
           name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

// At most 16 MiB; a REG_DWORD is 4 bytes.
inline bool ValidData(DWORD type, std::string_view data) {
    return data.size() <= kMaxValueSize && (type != REG_DWORD || data.size() == 4);
}

// The key names of a backslash path (a leading and a trailing backslash ignored), each turned
// into the platform's form by `convert`; kErrorInvalidParameter for a bad name, an empty part, or
// more than kMaxDepth keys.
template <class Name, class Convert>
Win32Error SplitPath(std::string_view path, std::vector<Name>* names, Convert convert) {
    if (!path.empty() && path.front() == '\\') path.remove_prefix(1);
    if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    names->clear();
    while (!path.empty()) {
        auto slash = path.find('\\');
        std::string_view name = path.substr(0, slash);
        if (!ValidKeyName(name) || names->size() == kMaxDepth) return kErrorInvalidParameter;
        names->push_back(convert(name));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (slash != std::string_view::npos && path.empty()) return kErrorInvalidParameter;
    }
    return kErrorSuccess;
}

// The 4 little-endian bytes of a REG_DWORD.
std::string DwordBytes(DWORD value);

}  // namespace platform::reg
