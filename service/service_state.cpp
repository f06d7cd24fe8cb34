#include "service/service_state.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace zantor::service {

std::atomic<bool> ConsoleMode{false};
std::atomic<bool> StopRequested{false};

namespace {
std::mutex gStdoutMutex;
}

void ConsoleLine(std::string_view text) {
    if (!ConsoleMode) return;
    std::lock_guard lock(gStdoutMutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace zantor::service
