// zadmin run as a person runs it from a shell, for the tests of zadmin: the real program, its
// standard output and standard error read apart, on a terminal of its own where that is asked.
// ZADMIN_PATH names the program.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/unit/temp_root.h"

namespace zantor::test {

struct ZadminRun {
    int exitCode = -1;
    std::string out, err;
};

// The computers a run of zadmin sees: the local one and, when given, a network.
struct World {
    std::filesystem::path local;
    std::filesystem::path network;
};

// zadmin with `args` in `cwd`; a shell in front of it sends its standard error to a file of its
// own, so the two streams are read apart. It runs in the SSH session `sshConnection` names
// ("client port server port"), or in none, whatever session the test runs in.
// `underSshd`: its parent is a program named sshd (a shell), which holds no connection, as an
// sshd whose connection cannot be read.
inline ZadminRun Zadmin(const World& world, const std::vector<std::string>& args,
                        const std::filesystem::path& cwd, const std::string& sshConnection = "",
                        bool underSshd = false) {
    const std::filesystem::path err = cwd / "zadmin-stderr.txt";
    platform::ChildProcessOptions options;
    options.program = "/bin/sh";
    options.arguments = {"-c", "exec \"$0\" \"$@\" 2>\"$ZADMIN_STDERR\"", ZADMIN_PATH};
    if (underSshd) {
        options.program = cwd / "sshd";
        if (!std::filesystem::exists(options.program))
            std::filesystem::copy_file("/bin/sh", options.program);
        // Not the last command: the shell stays zadmin's parent.
        options.arguments[1] = "\"$0\" \"$@\" 2>\"$ZADMIN_STDERR\"; exit $?";
    }
    options.arguments.insert(options.arguments.end(), args.begin(), args.end());
    options.workingDirectory = cwd;
    options.environment = {{"ZANTOR_ROOT", world.local.string()},
                           {"ZANTOR_NETWORK", world.network.string()},
                           {"ZADMIN_STDERR", err.string()},
                           {"SSH_CONNECTION", sshConnection},
                           {"LC_ALL", "C"}};
    options.outputFile = cwd / "zadmin-stdout.txt";
    ZadminRun run;
    std::uint32_t pid = 0;
    if (platform::CreateChildProcess(options, &pid) == platform::kErrorSuccess)
        platform::WaitForChildProcess(pid, std::chrono::minutes(2), &run.exitCode);
    run.out = ReadFile(options.outputFile);
    run.err = ReadFile(err);
    return run;
}

// zadmin on a terminal of its own (script(1) gives it one), with `typed` typed into it; what the
// terminal showed. Empty when there is no script(1) here.
inline std::string ZadminOnATerminal(const World& world, const std::vector<std::string>& args,
                                     const std::filesystem::path& cwd, const std::string& typed,
                                     const std::string& sshConnection = "") {
    std::string command = "exec \"$ZADMIN\"";
    for (std::size_t i = 0; i < args.size(); ++i) command += " \"$ARG" + std::to_string(i) + "\"";
    platform::ChildProcessOptions options;
    options.program = "/bin/sh";
    options.arguments = {"-c", "printf '%s' \"$TYPED\" | script -qec \"$COMMAND\" /dev/null"};
    options.workingDirectory = cwd;
    options.environment = {{"ZANTOR_ROOT", world.local.string()},
                           {"ZANTOR_NETWORK", world.network.string()},
                           {"SSH_CONNECTION", sshConnection},
                           {"ZADMIN", ZADMIN_PATH},
                           {"TYPED", typed},
                           {"COMMAND", command},
                           {"SHELL", "/bin/sh"},
                           {"LC_ALL", "C"}};
    for (std::size_t i = 0; i < args.size(); ++i)
        options.environment["ARG" + std::to_string(i)] = args[i];
    options.outputFile = cwd / "zadmin-terminal.txt";
    std::uint32_t pid = 0;
    int exitCode = -1;
    if (platform::CreateChildProcess(options, &pid) == platform::kErrorSuccess)
        platform::WaitForChildProcess(pid, std::chrono::minutes(2), &exitCode);
    return ReadFile(options.outputFile);
}

inline bool HasScript() {
    return std::filesystem::exists("/usr/bin/script");
}

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

}  // namespace zantor::test
