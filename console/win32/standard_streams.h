// Standard output and standard error of a program with windows. A windowed program started from
// a console on Windows has neither: it takes its parent's console for them, when there is one.
#pragma once

#include <string_view>

namespace zantor::console::win32 {

void WriteOut(std::string_view text);
void WriteError(std::string_view text);

}  // namespace zantor::console::win32
