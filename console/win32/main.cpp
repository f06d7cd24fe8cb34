// ZantorManager.exe: the administration console on Windows.
#include "console/win32/win.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/manager_options.h"
#include "console/win32/console_views.h"
#include "console/win32/main_window.h"
#include "console/win32/picture.h"
#include "console/win32/standard_streams.h"
#include "console/win32/text.h"

namespace {

namespace win32 = zantor::console::win32;
using zantor::console::TManagerCommand;

constexpr char kPictureNote[] = "on Windows, or under Wine on a virtual display";

// The arguments after the program's name, in the system's code page, as the C runtime split
// them.
std::vector<std::string> Arguments() {
    return std::vector<std::string>(__argv + std::min(__argc, 1), __argv + __argc);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    zantor::console::TManagerOptions options;
    std::string error;
    switch (zantor::console::ParseManagerOptions(Arguments(), options, error)) {
        case TManagerCommand::kHelp:
            win32::WriteOut(zantor::console::ManagerUsage(kPictureNote));
            return 0;
        case TManagerCommand::kBad:
            win32::WriteError(error.empty() ? zantor::console::ManagerUsage(kPictureNote)
                                            : "ZantorManager: " + error + "\n");
            return 2;
        case TManagerCommand::kRun:
            break;
    }
    int status = 0;
    {
        win32::ConsoleViews views(instance);
        win32::MainWindow& window = views.mainWindow();
        std::function<void()> afterFirstShow;
        if (!options.screenshot.empty()) {
            views.person().SetUnattended(true);
            views.console().ReplyTimeout = std::chrono::seconds(options.timeout);
            afterFirstShow = [&] {
                std::string why;
                const int code = zantor::console::FinishScreenshot(
                    views.console(), options.screenshot,
                    [&] {
                        return win32::SaveWindowPicture(window.Window(),
                                                        win32::Wide(options.screenshot), why);
                    },
                    [](const std::string& line) { win32::WriteError(line + "\n"); });
                if (!why.empty()) win32::WriteError("ZantorManager: " + why + "\n");
                ::PostQuitMessage(code);
            };
        }
        window.Show(show == SW_HIDE ? SW_SHOWNORMAL : show, afterFirstShow);
        status = views.Run();
    }
    return status;
}
