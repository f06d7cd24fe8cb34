// Named pipes: a byte stream between one server instance and one client.
//
// A pipe name is "\\.\Pipe\NAME" or "\\COMPUTER\Pipe\NAME" (platform/computer.h maps it into the
// computer's root). Each name has at most one instance, as the service creates it:
//
//   - CreateNamedPipeA makes the instance; a second create, in this or another process, fails with
//     kErrorPipeBusy while the instance exists (listening or connected).
//   - ConnectNamedPipe waits for one client. While that client is connected, another client's open
//     fails with kErrorPipeBusy.
//   - Closing (destroying) the server end ends the connection and removes the instance; until the
//     next create, a client's open fails with kErrorFileNotFound. A server process that died leaves
//     nothing that blocks the next create.
//
// Reads and writes wait without a time limit unless the owner sets one (SetTimeout; a limit is
// ours: the control protocol itself has none). A peer that has gone makes reads fail with
// kErrorBrokenPipe and writes with kErrorNoData. One thread reads and writes an end at a time;
// Cancel may be called from any other thread to end a wait (the waiting call fails with
// kErrorOperationAborted), which is how a stopping service ends its listener and connection.
//
// On Windows (win32/pipe_win32.cpp) these are the system's named pipes, and the system's numbers
// stand: a second CreateNamedPipeA of a name fails with kErrorAccessDenied (the first-instance
// flag), and a client learns of a busy instance from CreateFile itself, with no handshake byte.
// Names of other computers go to the system as they stand.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

#include "platform/errors.h"

namespace platform {

class Pipe {
  public:
    virtual ~Pipe() = default;

    // Reads at least one and at most `size` bytes into `buffer`; `*read` is the count.
    virtual Win32Error Read(void* buffer, std::size_t size, std::size_t* read) = 0;

    // Writes all `size` bytes.
    virtual Win32Error Write(const void* buffer, std::size_t size) = 0;

    // Ends a Read, Write or ConnectNamedPipe waiting on this end in another thread, and every
    // later one, with kErrorOperationAborted. Safe to call from any thread while the end lives.
    virtual void Cancel() = 0;

    // From now on a Read or Write that waits longer than `limit` fails with kErrorTimeout; zero
    // waits without limit, as every end does until this is called. A stream that timed out may
    // stand in the middle of a line: its owner ends the connection.
    virtual void SetTimeout(std::chrono::milliseconds limit) = 0;
};

// The server end: one instance of a named pipe.
class PipeServer : public Pipe {
  public:
    // Waits until a client has opened the pipe. Called once.
    virtual Win32Error ConnectNamedPipe() = 0;
};

// Creates the single instance of the local pipe `name` ("\\.\Pipe\NAME"). The socket is owner only.
Win32Error CreateNamedPipeA(std::string_view name, std::unique_ptr<PipeServer>* pipe);

// Opens the pipe `name` as a client, on this or a named computer (a host reached over SSH too:
// platform/linux/ssh/). With a `timeout`, the open
// waits at most that long for the instance to take the client (kErrorTimeout past it), and the
// pipe's reads and writes get the same limit (SetTimeout); zero waits without limit.
Win32Error OpenPipe(std::string_view name, std::unique_ptr<Pipe>* pipe,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

// The far side of a pipe opened over SSH, run by our program there (ZantorSvc -bridge ROOT):
// reads the pipe's name as a line from standard input, opens that pipe of this computer (whose
// root is `root`), writes the handshake byte the open got on standard output, and copies bytes
// both ways until either side ends. Run as root, it connects to nothing but the service's pipe:
// `root` must be one that ZANTOR_REMOTE_ROOT may name (CheckRootPath; kErrorInvalidName), and
// the pipe a socket of the bridge's own user, in a folder of that user's alone, reached through
// folders nobody else could change (kErrorAccessDenied, with the reason on standard error).
// Returns the exit code (0, or the Win32 error of the open when it fits one), or ends the process
// itself once the connection is over.
int RunPipeBridge(std::string_view root);

}  // namespace platform
