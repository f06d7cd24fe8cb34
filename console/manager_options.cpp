#include "console/manager_options.h"

#include "console/console.h"

namespace zantor::console {

TManagerCommand ParseManagerOptions(const std::vector<std::string>& args, TManagerOptions& options,
                                    std::string& error) {
    error.clear();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--screenshot" && i + 1 < args.size()) {
            options.screenshot = args[++i];
        } else if (arg == "--timeout" && i + 1 < args.size()) {
            const std::string& value = args[++i];
            if (value.empty() || value.size() > 4 ||
                value.find_first_not_of("0123456789") != std::string::npos ||
                (options.timeout = std::stoi(value)) < 1 || options.timeout > 3600) {
                error = "--timeout takes a number of seconds from 1 to 3600";
                return TManagerCommand::kBad;
            }
        } else if (arg == "--help" || arg == "-h") {
            return TManagerCommand::kHelp;
        } else {
            return TManagerCommand::kBad;
        }
    }
    return TManagerCommand::kRun;
}

int FinishScreenshot(const TConsole& console, const std::string& file,
                     const std::function<bool()>& save,
                     const std::function<void(const std::string& line)>& say) {
    const std::string late = console.TimedOutText(console.CurrentComputer);
    if (!late.empty()) say("ZantorManager: " + late);
    if (!save()) {
        say("ZantorManager: cannot write the screenshot to " + file);
        return 1;
    }
    return late.empty() ? 0 : 1;
}

std::string ManagerUsage(const std::string& pictureNote) {
    return "usage: ZantorManager [--screenshot FILE [--timeout SECONDS]]\n"
           "  --screenshot FILE   start as usual, connect, write a PNG of the main window once "
           "the\n"
           "                      greeting is in the list, and exit (" +
           pictureNote +
           "); messages go\n"
           "                      to standard error\n"
           "  --timeout SECONDS   how long the service may take to take the connection and greet\n"
           "                      before the picture is taken without it (exit 1); default 30\n";
}

}  // namespace zantor::console
