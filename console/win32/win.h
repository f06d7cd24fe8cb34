// windows.h as the console's views include it. The system names its functions by macros, and one
// of them, MessageBox, is also the name of the person's message box in the console's logic: the
// views call the system's by its full name (MessageBoxW), so the macro goes.
#pragma once

#include <windows.h>

#undef MessageBox
