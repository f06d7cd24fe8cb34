// The registry calls that every platform builds the same way on its own RegQueryValueExA and
// RegSetValueExA.
#include "platform/registry_names.h"

namespace platform {

std::string reg::DwordBytes(DWORD value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    return bytes;
}

Win32Error RegQueryDword(HKEY hKey, std::string_view valueName, std::int32_t* value) {
    DWORD type = REG_NONE;
    std::string data;
    if (Win32Error e = RegQueryValueExA(hKey, valueName, &type, &data)) return e;
    if (type != REG_DWORD || data.size() != 4) return Fail(kErrorUnsupportedType);
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(data[i]);
    if (value) *value = static_cast<std::int32_t>(v);
    return kErrorSuccess;
}

Win32Error RegQueryString(HKEY hKey, std::string_view valueName, std::string* value) {
    DWORD type = REG_NONE;
    std::string data;
    if (Win32Error e = RegQueryValueExA(hKey, valueName, &type, &data)) return e;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return Fail(kErrorUnsupportedType);
    // Windows programs store strings with their terminating NUL (and a .reg file's hex(1) and
    // hex(2) forms carry it): the string is the data up to it.
    while (!data.empty() && data.back() == '\0') data.pop_back();
    if (value) *value = std::move(data);
    return kErrorSuccess;
}

Win32Error RegSetDword(HKEY hKey, std::string_view valueName, DWORD value) {
    return RegSetValueExA(hKey, valueName, REG_DWORD, reg::DwordBytes(value));
}

}  // namespace platform
