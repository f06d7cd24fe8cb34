// The control connection: one client of the control pipe, served on a thread of its own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/pipe.h"

namespace zantor::service {

// The reply line for one command line, or nothing for the lines that get no reply ("ca", unknown
// codes). Throws ConvertError (or another std::exception) when a handler's arguments do not
// convert; the connection then ends without a reply.
std::optional<std::string> DispatchCommand(std::string_view line);

// Serves one connected client: the greeting, then commands until the client goes away or sends
// the end-of-connection line. The thread owns itself and the pipe; destroying it closes the pipe
// instance, so the listener can create the next one.
class TFilterCommandsThread {
  public:
    // Creates the thread for a connected pipe and starts it. The creator keeps no reference.
    static void Start(std::unique_ptr<platform::PipeServer> pipe);

    // Ends the open connection's waits without waiting for its thread: for a caller that holds
    // what that thread may be waiting for.
    static void CancelActiveConnection();

    // Ends the open connection, if any, and waits until its thread has finished (service stop).
    static void EndActiveConnection();

    ~TFilterCommandsThread();

  private:
    explicit TFilterCommandsThread(std::unique_ptr<platform::PipeServer> pipe);
    void Execute();

    std::unique_ptr<platform::PipeServer> Pipe;
};

}  // namespace zantor::service
