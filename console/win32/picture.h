// A picture of a window as the person sees it, frame and caption included, written as a PNG file
// by the system's own image encoder.
#pragma once

#include "console/win32/win.h"

#include <string>

namespace zantor::console::win32 {

// Paints `window` and whatever is due in it, then writes its whole outer rectangle to `file`.
// False when the picture could not be taken or written; `error` then says why, with the
// system's error number.
bool SaveWindowPicture(HWND window, const std::wstring& file, std::string& error);

// True when the program runs under Wine rather than Windows itself.
bool RunsUnderWine();

}  // namespace zantor::console::win32
