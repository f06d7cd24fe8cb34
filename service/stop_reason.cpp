#include "service/stop_reason.h"

#include "service/service_log.h"
#include "shared/text.h"

namespace zantor::service {

namespace {

// "process 4242 (kill)"; a sender that has ended is still worth its id, since the system may
// have logged it.
std::string SenderText(const platform::SenderProcess& sender) {
    std::string text = "process " + std::to_string(sender.processId);
    if (sender.program.empty()) return text + ", which had ended before it could be named";
    text += " (" + sender.program + ")";
    return sender.ended ? text + ", which has ended since" : text;
}

}  // namespace

std::string ConsoleCtrlText(const platform::ConsoleCtrlOrigin& origin) {
    if (origin.atTerminal)
        return origin.ctrlType == platform::CTRL_C_EVENT ? "Ctrl-C at the terminal"
                                                         : origin.event + " at the terminal";
    if (origin.sender.processId) return origin.event + " from " + SenderText(origin.sender);
    return origin.event + " (the system names no sender)";
}

std::string StopControlText(const platform::SenderProcess& sender) {
    if (sender.processId) return "the stop control from " + SenderText(sender);
    return "the stop control (the service control manager names no sender)";
}

void StopLine(std::string_view what) {
    const std::string line = "Stopping ZantorSvc ... on " + std::string(what) + ".";
    PrintLine(line);
    ServiceLog(line);
}

}  // namespace zantor::service
