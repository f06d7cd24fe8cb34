#include "console/person.h"

#include <cstdio>

namespace zantor::console {

void TPersonAtWindows::MessageBox(const std::string& text, TMsgIcon icon) {
    if (unattended_)
        WriteError(text + "\n");
    else
        ShowMessageBox(text, icon);
}

void TPersonAtWindows::WriteError(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace zantor::console
