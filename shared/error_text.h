// The platform's message text for an error number, on one line.
#pragma once

#include <string>
#include <string_view>

#include "platform/errors.h"

namespace zantor {

// Text with every CR LF pair deleted (nothing put in its place): a two-line message becomes one.
std::string JoinLines(std::string_view text);

// The message for `code` on one line, or "Unknown error " + code + "." when the system has none.
std::string SysErrorText(platform::Win32Error code);

// The message for the calling thread's last error on one line, empty when the system has none.
// Call it before any other platform call on the thread that failed.
std::string LastErrorText();

}  // namespace zantor
