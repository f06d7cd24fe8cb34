// The last-error value on Linux: a thread_local of ours, with our own message texts.
#include "platform/error_messages.h"

namespace platform {

namespace {
thread_local Win32Error tLastError = kErrorSuccess;
}  // namespace

Win32Error RawLastError() {
    return tLastError;
}

void SetRawLastError(Win32Error code) {
    tLastError = code;
}

std::string SystemMessageText(Win32Error code) {
    const char* text = OwnMessageText(code);
    return text ? text : std::string();
}

}  // namespace platform
