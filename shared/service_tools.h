// Creating, starting, deleting and stopping a service through the service control manager of
// this or a named computer. Each operation returns 0 or -1; after -1 the thread's last error is
// the failed call's error number. With `showMessages` it prints exactly one line to standard
// output: its success line or the line of the step that failed.
#pragma once

#include <string_view>

namespace zantor {

// Registers the service. On another computer the program runs from that computer's system
// directory ("%SystemRoot%\system32\" + the file name part of `fileName`), where the caller has
// copied it; on this computer (empty machine name) from `fileName` itself.
int OrvCreateService(std::string_view serviceName, std::string_view displayName,
                     std::string_view fileName, std::string_view machineName, bool showMessages);

// Starts the service; does not wait for it to run.
int StartThisService(std::string_view serviceName, std::string_view machineName, bool showMessages);

// Deletes the service; a running one is only marked and goes when it stops.
int OrvDeleteService(std::string_view serviceName, std::string_view machineName, bool showMessages);

// Sends the stop control; does not wait for the service to stop.
int StopThisService(std::string_view serviceName, std::string_view machineName, bool showMessages);

}  // namespace zantor
