#include "service/service_state.h"

#include "shared/text.h"

namespace zantor::service {

std::atomic<bool> ConsoleMode{false};
std::atomic<bool> StopRequested{false};

void ConsoleLine(std::string_view text) {
    if (ConsoleMode) PrintLine(text);
}

}  // namespace zantor::service
