// ZantorManager: the administration console.
#include <QApplication>
#include <QPixmap>

#include <chrono>
#include <cstdio>
#include <string>

#include "console/qt/console_views.h"
#include "console/qt/main_window.h"
#include "console/qt/qt_setup.h"

namespace {

constexpr char kUsage[] =
    "usage: ZantorManager [--screenshot FILE [--timeout SECONDS]]\n"
    "  --screenshot FILE   start as usual, connect, write a PNG of the main window once the\n"
    "                      greeting is in the list, and exit (needs no display); messages go\n"
    "                      to standard error\n"
    "  --timeout SECONDS   how long the service may take to take the connection and greet\n"
    "                      before the picture is taken without it (exit 1); default 30\n";

constexpr char kNoDisplay[] =
    "ZantorManager: there is no display to show the console on (DISPLAY and WAYLAND_DISPLAY are "
    "not set).\n"
    "To see it anyway:\n"
    "  xvfb-run -a ZantorManager              run it on a virtual display\n"
    "  ZantorManager --screenshot FILE.png    write a picture of the connected main window\n";

}  // namespace

int main(int argc, char** argv) {
    std::string screenshot;
    // Nobody waits in front of a picture: the program ends whatever the service does.
    int timeout = 30;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--screenshot" && i + 1 < argc) {
            screenshot = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc) {
            const std::string value = argv[++i];
            if (value.empty() || value.size() > 4 ||
                value.find_first_not_of("0123456789") != std::string::npos ||
                (timeout = std::stoi(value)) < 1 || timeout > 3600) {
                std::fputs("ZantorManager: --timeout takes a number of seconds from 1 to 3600\n",
                           stderr);
                return 2;
            }
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
        views.person().SetUnattended(true);
        views.console().ReplyTimeout = std::chrono::seconds(timeout);
        window.SetAfterFirstShow([&] {
            const std::string late = views.console().TimedOutText(views.console().CurrentComputer);
            if (!late.empty()) std::fprintf(stderr, "ZantorManager: %s\n", late.c_str());
            if (window.grab().save(QString::fromStdString(screenshot), "PNG")) {
                QApplication::exit(late.empty() ? 0 : 1);
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
