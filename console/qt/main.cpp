// ZantorManager: the administration console.
#include <QApplication>
#include <QPixmap>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "console/manager_options.h"
#include "console/qt/console_views.h"
#include "console/qt/main_window.h"
#include "console/qt/qt_setup.h"

namespace {

constexpr char kNoDisplay[] =
    "ZantorManager: there is no display to show the console on (DISPLAY and WAYLAND_DISPLAY are "
    "not set).\n"
    "To see it anyway:\n"
    "  xvfb-run -a ZantorManager              run it on a virtual display\n"
    "  ZantorManager --screenshot FILE.png    write a picture of the connected main window\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    zantor::console::TManagerOptions options;
    std::string error;
    switch (zantor::console::ParseManagerOptions(args, options, error)) {
        case zantor::console::TManagerCommand::kHelp:
            std::fputs(zantor::console::ManagerUsage("needs no display").c_str(), stdout);
            return 0;
        case zantor::console::TManagerCommand::kBad:
            std::fputs(error.empty() ? zantor::console::ManagerUsage("needs no display").c_str()
                                     : ("ZantorManager: " + error + "\n").c_str(),
                       stderr);
            return 2;
        case zantor::console::TManagerCommand::kRun:
            break;
    }
    const std::string& screenshot = options.screenshot;
    const bool chosenPlatform = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    if (!screenshot.empty() && !chosenPlatform) {
        // A picture needs no screen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else if (!chosenPlatform && !qEnvironmentVariableIsSet("DISPLAY") &&
               !qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) {
        std::fputs(kNoDisplay, stderr);
        return 1;
    }

    zantor::console::qt::QuietenToolkit();
    QApplication app(argc, argv);
    zantor::console::qt::SetUpApplication(app);
    zantor::console::qt::ConsoleViews views;
    auto& window = views.mainWindow();
    if (!screenshot.empty()) {
        views.person().SetUnattended(true);
        views.console().ReplyTimeout = std::chrono::seconds(options.timeout);
        window.SetAfterFirstShow([&] {
            QApplication::exit(zantor::console::FinishScreenshot(
                views.console(), screenshot,
                [&] { return window.grab().save(QString::fromStdString(screenshot), "PNG"); },
                [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }));
        });
    }
    window.show();
    return QApplication::exec();
}
