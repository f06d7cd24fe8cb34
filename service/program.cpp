#include "service/program.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "service/filter_service.h"
#include "service/service_state.h"

namespace zantor::service {

namespace {

void Print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void RunConsoleMode() {
    Print("Run ZantorSvc as console application ... ");
    ConsoleMode = true;
    RunFilterService();
}

}  // namespace

int ProgramMain(int argc, char** argv) {
    StopRequested = false;
    if (argc < 2) return 0;
    const std::string option = Lower(argv[1]);
    if (option == "-run") {
        RunConsoleMode();
        return 0;
    }
    Print("Wrong param " + std::string(argv[1]));
    return 0;
}

}  // namespace zantor::service
