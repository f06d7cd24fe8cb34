// Process-wide state of the service.
#pragma once

#include <atomic>
#include <string_view>

namespace zantor::service {

// True when the program runs as a console application ("-run"): progress lines then go to
// standard output as well.
extern std::atomic<bool> ConsoleMode;

// Raised when the service is to stop: the listener, the open connection and the deny log end.
extern std::atomic<bool> StopRequested;

// Writes one line to standard output when ConsoleMode is set; lines from several threads never
// interleave and reach the terminal at once.
void ConsoleLine(std::string_view text);

}  // namespace zantor::service
