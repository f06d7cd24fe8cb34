// ZantorManager's command line, the same for every face with windows: a person starts it bare,
// or with a picture to take (for a look at the console where nobody sits in front of it).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zantor::console {

class TConsole;

struct TManagerOptions {
    std::string screenshot;  // where to write the picture; empty: run as usual
    // How long the service may take to take the connection and greet before the picture is
    // taken without it. Nobody waits in front of a picture: the program ends whatever the
    // service does.
    int timeout = 30;
};

// Reads the arguments after the program's name. kRun with `options` filled; kHelp for --help;
// kBad with `error` saying what was wrong (the usage follows it on standard error).
enum class TManagerCommand { kRun, kHelp, kBad };
TManagerCommand ParseManagerOptions(const std::vector<std::string>& args, TManagerOptions& options,
                                    std::string& error);

// The end of a run with --screenshot, once the first showing has connected (or given up):
// tells `say` what the service did not do in time, writes the picture with `save` (false when it
// could not) and returns the program's exit code: 0 when all went well, 1 otherwise. Every line
// told starts "ZantorManager: ".
int FinishScreenshot(const TConsole& console, const std::string& file,
                     const std::function<bool()>& save,
                     const std::function<void(const std::string& line)>& say);

// The usage text; `pictureNote` tells what taking a picture needs where this face runs.
std::string ManagerUsage(const std::string& pictureNote);

}  // namespace zantor::console
