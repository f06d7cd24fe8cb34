// Why the service stops, in words. A run that ends in the middle of a test or a working day must
// leave a line that names what ended it, so that nobody has to hunt for the process that did.
#pragma once

#include <string>
#include <string_view>

#include "platform/process.h"

namespace zantor::service {

// What raised a console control event: "SIGTERM from process 4242 (kill -TERM 4242)",
// "Ctrl-C at the terminal".
std::string ConsoleCtrlText(const platform::ConsoleCtrlOrigin& origin);

// The stop control and who sent it: "the stop control from process 77 (ZantorSvc -stop PC1)".
std::string StopControlText(const platform::SenderProcess& sender);

// Writes "Stopping ZantorSvc ... on <what>." to the service log and to standard output, in every
// mode: under the service manager standard output is the service's output file, which outlives a
// service log that the next start deletes.
void StopLine(std::string_view what);

}  // namespace zantor::service
