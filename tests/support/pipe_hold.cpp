// Holds a connection to a control pipe, as an idle console does, until the pipe fails: opens
// argv[1] (a pipe name), reads the greeting to its end line, then waits in a read and prints
// "ended N after MS ms" with the error that ended the wait and how long the wait was. For the
// tests of connections that break under a console.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/pipe.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::unique_ptr<platform::Pipe> pipe;
    if (platform::Win32Error e = platform::OpenPipe(argv[1], &pipe)) {
        std::printf("open failed %u\n", static_cast<unsigned>(e));
        return 1;
    }
    std::string carry, line;
    for (;;) {
        zantor::ReadLnPipe(*pipe, zantor::kCrLf, carry, line);
        if (line == zantor::kEndOfConnection) return 1;
        if (zantor::GetWord(line, 2) == "End") break;
    }
    std::printf("greeted\n");
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    char byte = 0;
    std::size_t n = 0;
    platform::Win32Error e = platform::kErrorSuccess;
    while ((e = pipe->Read(&byte, 1, &n)) == platform::kErrorSuccess) {
    }
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("ended %u after %lld ms\n", static_cast<unsigned>(e),
                static_cast<long long>(waited.count()));
    return 0;
}
