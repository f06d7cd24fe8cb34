#include "console/win32/standard_streams.h"

#include "console/win32/win.h"

#include <algorithm>

namespace zantor::console::win32 {

namespace {

HANDLE Stream(DWORD which) {
    HANDLE stream = ::GetStdHandle(which);
    if (stream && stream != INVALID_HANDLE_VALUE) return stream;
    // Started from a console without redirection: write to that console.
    static const bool attached = ::AttachConsole(ATTACH_PARENT_PROCESS) != FALSE;
    if (!attached) return nullptr;
    static HANDLE console =
        ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    return console == INVALID_HANDLE_VALUE ? nullptr : console;
}

void Write(DWORD which, std::string_view text) {
    HANDLE stream = Stream(which);
    if (!stream) return;
    while (!text.empty()) {
        DWORD written = 0;
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
        if (!::WriteFile(stream, text.data(), piece, &written, nullptr) || written == 0) return;
        text.remove_prefix(written);
    }
}

}  // namespace

void WriteOut(std::string_view text) {
    Write(STD_OUTPUT_HANDLE, text);
}

void WriteError(std::string_view text) {
    Write(STD_ERROR_HANDLE, text);
}

}  // namespace zantor::console::win32
