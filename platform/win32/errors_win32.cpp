// The last-error value on Windows is the system's own (GetLastError), and message texts come from
// the system's message table; the packet filter's numbers, which the system table does not hold,
// keep our own wording.
#include "platform/error_messages.h"

#include <windows.h>

namespace platform {

Win32Error RawLastError() {
    return ::GetLastError();
}

void SetRawLastError(Win32Error code) {
    ::SetLastError(code);
}

std::string SystemMessageText(Win32Error code) {
    const Win32Error last = ::GetLastError();
    char* buffer = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&buffer),
        0, nullptr);
    std::string text;
    if (length != 0 && buffer) text.assign(buffer, length);
    if (buffer) ::LocalFree(buffer);
    // One line: the table ends its texts with CR LF, and a few span lines.
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (text.empty())
        if (const char* own = OwnMessageText(code)) text = own;
    ::SetLastError(last);
    return text;
}

}  // namespace platform
