// The system libraries the console needs now and then only: COM (for the picture's encoder and
// the file dialogs' shell parts) and the common dialogs. They are loaded the first time they are
// needed rather than at start: each is a chain of libraries whose loading would delay the first
// showing of the main window (under Wine, by far the most of it).
#pragma once

#include "console/win32/win.h"

#include <commdlg.h>

namespace zantor::console::win32 {

// COM in this thread (apartment threaded), started on the first call; false when the system
// has none to give.
bool StartCom();
// CoCreateInstance, once StartCom has succeeded.
HRESULT CreateComObject(REFCLSID type, REFIID face, void** object);

// GetOpenFileNameW or GetSaveFileNameW, and CommDlgExtendedError after a failure; a system
// without the common dialogs fails with CDERR_INITIALIZATION.
BOOL ChooseFileName(OPENFILENAMEW& choice, bool save);
DWORD FileDialogError();

}  // namespace zantor::console::win32
