#include "platform/terminal.h"

#include <windows.h>

namespace platform {

// A console is a character device that answers console calls: NUL and a serial port are
// character devices too, but have no console mode.
bool IsTerminal(StandardStream stream) {
    const DWORD which = stream == StandardStream::kInput    ? STD_INPUT_HANDLE
                        : stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE
                                                            : STD_ERROR_HANDLE;
    HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0;
    return handle && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_CHAR &&
           ::GetConsoleMode(handle, &mode);
}

}  // namespace platform
