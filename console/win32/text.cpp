#include "console/win32/text.h"

#include "console/win32/win.h"

#include <algorithm>
#include <climits>

#include "console/oem.h"

namespace zantor::console::win32 {

namespace {

std::wstring ToWide(UINT codePage, std::string_view text) {
    if (text.empty()) return {};
    // A window takes no text beyond an int's count; a log line that long is cut, never wrapped.
    const int size = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 2));
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    const int n = ::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), size);
    wide.resize(static_cast<std::size_t>(std::max(n, 0)));
    return wide;
}

}  // namespace

std::wstring Wide(std::string_view ansi) {
    return ToWide(CP_ACP, ansi);
}

std::string Narrow(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int size = static_cast<int>(std::min<std::size_t>(wide.size(), INT_MAX / 4));
    // No best fit: a letter the code page lacks is not turned into a look-alike that names
    // something else.
    constexpr DWORD kFlags = WC_NO_BEST_FIT_CHARS;
    const int need =
        ::WideCharToMultiByte(CP_ACP, kFlags, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(std::max(need, 0)), '\0');
    const int n = ::WideCharToMultiByte(CP_ACP, kFlags, wide.data(), size, ansi.data(), need,
                                        nullptr, nullptr);
    ansi.resize(static_cast<std::size_t>(std::max(n, 0)));
    return ansi;
}

std::wstring OemWide(std::string_view oem) {
    return Utf8Wide(OemToUtf8(oem));
}

std::wstring Utf8Wide(std::string_view utf8) {
    return ToWide(CP_UTF8, utf8);
}

}  // namespace zantor::console::win32
