// Inside the error port: what each platform's half of it provides to the shared half
// (errors.cpp: the detail texts and our own message table).
#pragma once

#include <string>

#include "platform/errors.h"

namespace platform {

// The thread's last-error value itself, without the detail bookkeeping: a thread_local of ours
// on Linux, the system's own value (::GetLastError) on Windows.
Win32Error RawLastError();
void SetRawLastError(Win32Error code);

// The platform's message text for `code`, one line without CR LF; empty when it has none.
std::string SystemMessageText(Win32Error code);

// Our own wording for the numbers the programs use (the packet filter's among them), or nullptr.
const char* OwnMessageText(Win32Error code);

}  // namespace platform
