#include "tests/support/service_process.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "platform/process.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"
#include "tests/win32/test_programs.h"

namespace zantor::test {

namespace fs = std::filesystem;

namespace {
std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

Computer::Computer(const std::string& ipAddrTable) : temp_(std::in_place), root_(temp_->path()) {
    fs::create_directories(system32());
    std::ofstream(root() / "ipaddrtable") << ipAddrTable;
}

Computer::Computer(HostAddresses) : temp_(std::in_place), root_(temp_->path()) {
    fs::create_directories(system32());
}

Computer::Computer(const std::filesystem::path& root, const std::string& ipAddrTable)
    : root_(root) {
    fs::create_directories(system32());
    std::ofstream(root_ / "ipaddrtable") << ipAddrTable;
}

Computer::Computer(const std::filesystem::path& root, HostAddresses) : root_(root) {
    fs::create_directories(system32());
}

std::string Computer::ServiceLog() const {
    return Slurp(system32() / "ZantorSvc.Log");
}

namespace {

std::vector<std::string> Messages(const std::string& log) {
    // A line is "<date> <time> <message>\r\n"; in the C locale date and time hold no spaces, and
    // at midnight the time is left out, which the colon tells apart.
    std::vector<std::string> messages;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t skip = line.find(' ') + 1;
        if (std::string_view(line).substr(skip, 8).find(':') == 2) skip = line.find(' ', skip) + 1;
        messages.push_back(line.substr(skip));
    }
    return messages;
}

}  // namespace

std::vector<std::string> Computer::ServiceLogMessages() const {
    return Messages(ServiceLog());
}

std::vector<std::string> Computer::DenyLogMessages() const {
    return Messages(Slurp(system32() / "IPDenyLog.Log"));
}

ServiceProcess::ServiceProcess(const Computer& computer, std::vector<std::string> args,
                               std::vector<std::string> wrapper)
    : computer_(computer), output_(computer.root() / "service-output.txt") {
    platform::ChildProcessOptions options;
    options.program = TestProgram(ZANTORSVC_PATH);
    options.arguments = std::move(args);
    if (!wrapper.empty()) {
        options.program = wrapper[0];
        wrapper.erase(wrapper.begin());
        wrapper.push_back(TestProgram(ZANTORSVC_PATH));
        options.arguments.insert(options.arguments.begin(), wrapper.begin(), wrapper.end());
    }
    options.workingDirectory = computer.system32();
    options.environment = {{"ZANTOR_ROOT", computer.root().string()}, {"LC_ALL", "C"}};
    options.outputFile = output_;
    if (platform::CreateChildProcess(options, &pid_) != platform::kErrorSuccess) pid_ = 0;
}

ServiceProcess::~ServiceProcess() {
    if (pid_) {
        Kill();
        Wait();
    }
}

std::string ServiceProcess::Output() const {
    return Slurp(output_);
}

std::vector<std::string> ServiceProcess::ReceivedCommands() const {
    constexpr std::string_view kPrefix = "Processing Command [";
    std::vector<std::string> commands;
    std::istringstream in(Output());
    std::string line;
    while (std::getline(in, line)) {
        // Windows writes its text output with CR LF.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with(kPrefix) && line.ends_with("]"))
            commands.push_back(line.substr(kPrefix.size(), line.size() - kPrefix.size() - 1));
    }
    return commands;
}

bool ServiceProcess::WaitForOutput(const std::string& text,
                                   std::chrono::milliseconds timeout) const {
    return Eventually([&] { return Output().find(text) != std::string::npos; }, timeout);
}

void ServiceProcess::Kill() {
    if (pid_) platform::TerminateProcessById(pid_, std::chrono::seconds(10));
}

void ServiceProcess::Signal(std::uint32_t ctrlEvent) {
    if (pid_) platform::GenerateConsoleCtrlEvent(ctrlEvent, pid_);
}

int ServiceProcess::Wait(std::chrono::milliseconds timeout) {
    int exitCode = -1;
    if (!pid_ || platform::WaitForChildProcess(pid_, timeout, &exitCode) != platform::kErrorSuccess)
        return -1;
    pid_ = 0;
    return exitCode;
}

ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::filesystem::path& scratch) {
    platform::ChildProcessOptions options;
    options.program = program;
    options.arguments = args;
    options.outputFile = scratch / "program-output.txt";
    ProgramRun run;
    std::uint32_t pid = 0;
    if (platform::CreateChildProcess(options, &pid) == platform::kErrorSuccess)
        platform::WaitForChildProcess(pid, std::chrono::minutes(2), &run.exitCode);
    run.output = Slurp(options.outputFile);
    return run;
}

}  // namespace zantor::test
