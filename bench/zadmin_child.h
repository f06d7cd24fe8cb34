// zadmin run to its end for the benchmarks, against the computer at a root (ZADMIN_PATH names the
// program), and the pause its service takes between two connections.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace zantor::bench {

// zadmin with `args`, waiting up to ten seconds for the service's pipe; its exit code. Its output
// goes to zadmin.out in the root.
inline int RunZadmin(const std::filesystem::path& root, const std::vector<std::string>& args) {
    platform::ChildProcessOptions options;
    options.program = ZADMIN_PATH;
    options.arguments = {"--wait", "10"};
    options.arguments.insert(options.arguments.end(), args.begin(), args.end());
    options.environment = {{"ZANTOR_ROOT", root.string()}};
    options.outputFile = root / "zadmin.out";
    std::uint32_t pid = 0;
    int code = -1;
    if (platform::CreateChildProcess(options, &pid) == platform::kErrorSuccess)
        platform::WaitForChildProcess(pid, std::chrono::minutes(5), &code);
    return code;
}

// The service takes its next connection about a second after the last one ended.
inline void NextConnection() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
}

}  // namespace zantor::bench
