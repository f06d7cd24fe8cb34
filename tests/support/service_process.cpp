#include "tests/support/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "shared/pipe_lines.h"
#include "shared/text.h"

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

Computer::Computer(const std::string& ipAddrTable) {
    fs::create_directories(system32());
    std::ofstream(root() / "ipaddrtable") << ipAddrTable;
}

std::string Computer::ServiceLog() const {
    return Slurp(system32() / "ZantorSvc.Log");
}

std::vector<std::string> Computer::ServiceLogMessages() const {
    // A line is "<date> <time> <message>\r\n"; in the C locale date and time hold no spaces, and
    // at midnight the time is left out, which the colon tells apart.
    std::vector<std::string> messages;
    std::istringstream in(ServiceLog());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t skip = line.find(' ') + 1;
        if (std::string_view(line).substr(skip, 8).find(':') == 2) skip = line.find(' ', skip) + 1;
        messages.push_back(line.substr(skip));
    }
    return messages;
}

ServiceProcess::ServiceProcess(const Computer& computer, std::vector<std::string> args)
    : computer_(computer), output_(computer.root() / "service-output.txt") {
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(computer.system32().c_str()) != 0) ::_exit(127);
        int fd = ::open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::setenv("ZANTOR_ROOT", computer.root().c_str(), 1);
        ::setenv("LC_ALL", "C", 1);
        std::vector<char*> argv;
        std::string program = ZANTORSVC_PATH;
        argv.push_back(program.data());
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
}

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0) {
        Kill(SIGKILL);
        Wait();
    }
}

std::string ServiceProcess::Output() const {
    return Slurp(output_);
}

bool ServiceProcess::WaitForOutput(const std::string& text,
                                   std::chrono::milliseconds timeout) const {
    return Eventually([&] { return Output().find(text) != std::string::npos; }, timeout);
}

void ServiceProcess::Kill(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

int ServiceProcess::Wait(std::chrono::milliseconds timeout) {
    int status = 0;
    bool ended = Eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Client::Client(const std::string& pipeName, std::chrono::milliseconds timeout) {
    Eventually(
        [&] {
            openError_ = platform::OpenPipe(pipeName, &pipe_);
            return openError_ == platform::kErrorSuccess ||
                   (openError_ != platform::kErrorFileNotFound &&
                    openError_ != platform::kErrorPipeBusy);
        },
        timeout);
    if (!pipe_) return;
    for (;;) {
        std::string line = ReadLine();
        if (line == kEndOfConnection) break;
        greeting_.push_back(line);
        if (GetWord(line, 2) == "End") break;
    }
}

void Client::Send(const std::string& text) {
    pipe_->Write(text.data(), text.size());
}

std::string Client::ReadLine() {
    std::string line;
    ReadLnPipe(*pipe_, kCrLf, carry_, line);
    return line;
}

std::string Client::Command(const std::string& line) {
    Send(line + "\r\n");
    return ReadLine();
}

}  // namespace zantor::test
