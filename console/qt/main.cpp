// ZantorManager: the administration console.
#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <string>

#include "console/qt/console_views.h"
#include "console/qt/main_window.h"
#include "console/qt/qt_setup.h"

namespace {

constexpr char kUsage[] =
    "usage: ZantorManager [--screenshot FILE]\n"
    "  --screenshot FILE   start as usual, connect, write a PNG of the main window once the\n"
    "                      greeting is in the list, and exit (needs no display)\n";

constexpr char kNoDisplay[] =
    "ZantorManager: there is no display to show the console on (DISPLAY and WAYLAND_DISPLAY are "
    "not set).\n"
    "To see it anyway:\n"
    "  xvfb-run -a ZantorManager              run it on a virtual display\n"
    "  ZantorManager --screenshot FILE.png    write a picture of the connected main window\n";

}  // namespace

int main(int argc, char** argv) {
    std::string screenshot;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--screenshot" && i + 1 < argc) {
            screenshot = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
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
        window.SetAfterFirstShow([&] {
            if (window.grab().save(QString::fromStdString(screenshot), "PNG")) {
                QApplication::exit(0);
            } else {
                std::fprintf(stderr, "ZantorManager: cannot write the screenshot to %s\n",
                             screenshot.c_str());
                QApplication::exit(1);
            }
        });
    }
    window.show();
    return QApplication::exec();
}
