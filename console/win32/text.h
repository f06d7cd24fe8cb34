// How the console's 8-bit text reaches the windows, decided once: the windows are Unicode (the W
// functions), and every text crosses at this one place. Names, addresses, messages and file names
// are in the system's ANSI code page, as the A functions of the platform layer, the registry and
// the service use them; logs are in the OEM code page (437) as the debug window draws them,
// converted by the console's own table so that every face shows a log alike.
#pragma once

#include <string>
#include <string_view>

namespace zantor::console::win32 {

// ANSI text as the windows show it, and back. A letter the code page has no place for becomes
// "?": a name with one is refused where it is used, never quietly changed into another name.
std::wstring Wide(std::string_view ansi);
std::string Narrow(std::wstring_view wide);

// Log text (OEM code page 437) as the window draws it.
std::wstring OemWide(std::string_view oem);

// UTF-8 as the window shows it (a copy of log lines for the clipboard).
std::wstring Utf8Wide(std::string_view utf8);

}  // namespace zantor::console::win32
