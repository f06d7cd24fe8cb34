// zadmin run on the tests' side of a fleet's bridge, as an administrator runs it on their own
// machine against hosts reached over SSH.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/netlab.h"
#include "tests/support/fleet.h"

namespace zantor::test {

// A runtime directory for zadmin on the tests' side, its own user's alone (the fleet's "run").
inline std::filesystem::path ZadminRunDirectory(const Fleet& fleet) {
    const std::filesystem::path run = fleet.shareDir().parent_path() / "run";
    std::filesystem::create_directories(run);
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    return run;
}

// Runs `zadmin` with `args` in `work` (where `install` takes ZantorSvc from), its ssh reading the
// fleet's config (or `config`) and keeping its shared connections in `run` (its runtime
// directory). Its exit status, or -1 when it could not be run or did not end within `timeout`;
// `output` receives both its streams, `took` how long it ran.
inline int ZadminOnTheSide(const Fleet& fleet, const std::string& zadmin,
                           const std::vector<std::string>& args, std::string* output,
                           const std::string& config, const std::filesystem::path& run,
                           const std::filesystem::path& work,
                           std::chrono::milliseconds* took = nullptr,
                           std::chrono::seconds timeout = std::chrono::seconds(120)) {
    std::vector<std::string> command = {
        "env",
        "-C",
        work.string(),
        "ZANTOR_SSH_CONFIG=" + (config.empty() ? fleet.sshConfig() : config),
        "XDG_RUNTIME_DIR=" + run.string(),
        zadmin};
    command.insert(command.end(), args.begin(), args.end());
    int code = -1;
    std::string text;
    const auto start = std::chrono::steady_clock::now();
    const auto e = platform::lab::RunProgramFor(fleet.Wrap(command), timeout, &code, &text);
    if (took)
        *took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    if (output) *output = text;
    return e ? -1 : code;
}

}  // namespace zantor::test
