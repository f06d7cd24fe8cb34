// The child of the Windows port tests: writes its arguments, as its C runtime split them from the
// command line, one per line to standard output. The environment asks for more:
//   ECHO_ARGS_SHOW  names separated by ';', each written as NAME=value ("." is the current folder)
//   ECHO_ARGS_WAIT  milliseconds to wait before ending
//   ECHO_ARGS_EXIT  the exit code
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Variable(const char* name) {
    char value[32768];
    const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

void Show(const std::string& name) {
    if (name == ".") {
        char folder[MAX_PATH];
        const DWORD n = ::GetCurrentDirectoryA(MAX_PATH, folder);
        std::printf(".=%s\n", n > 0 && n < MAX_PATH ? folder : "");
    } else {
        std::printf("%s=%s\n", name.c_str(), Variable(name.c_str()).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Lines end in LF alone, whatever the reader's platform.
    _setmode(_fileno(stdout), _O_BINARY);
    for (int i = 1; i < argc; ++i) std::printf("%s\n", argv[i]);
    const std::string show = Variable("ECHO_ARGS_SHOW");
    for (std::size_t start = 0; start < show.size();) {
        std::size_t end = show.find(';', start);
        if (end == std::string::npos) end = show.size();
        Show(show.substr(start, end - start));
        start = end + 1;
    }
    std::fflush(stdout);
    if (const std::string wait = Variable("ECHO_ARGS_WAIT"); !wait.empty())
        ::Sleep(static_cast<DWORD>(std::strtoul(wait.c_str(), nullptr, 10)));
    const std::string code = Variable("ECHO_ARGS_EXIT");
    return code.empty() ? 0 : std::atoi(code.c_str());
}
