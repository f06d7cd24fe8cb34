// Text as the console shows it: log files are 8-bit text in the OEM code page (437).
#pragma once

#include <string>
#include <string_view>

namespace zantor::console {

// The bytes as code page 437 draws them, in UTF-8: 0x80 to 0xFF become their letters, lines and
// signs ("\x82" is "\u00e9", "\xC4" the box line "\u2500"), 0x7F the house sign; the rest is
// ASCII and stays as it is.
std::string OemToUtf8(std::string_view bytes);

}  // namespace zantor::console
