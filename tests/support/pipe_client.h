// A control connection to a running service, as a console makes it, for tests on every platform.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe.h"

namespace zantor::test {

// Polls `condition` until it holds or `timeout` passes.
template <class F>
bool Eventually(F condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A control connection as a console makes it: the greeting, then one command, one reply.
class Client {
  public:
    // Opens the pipe, retrying while it is missing or busy, up to `timeout`.
    explicit Client(const std::string& pipeName = "\\\\.\\Pipe\\qzw2kflt",
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool connected() const { return static_cast<bool>(pipe_); }
    platform::Win32Error openError() const { return openError_; }
    const std::vector<std::string>& greeting() const { return greeting_; }

    void Send(const std::string& text);            // raw bytes
    std::string ReadLine();                        // next line, or the end-of-connection line
    std::string Command(const std::string& line);  // Send(line + CRLF), then ReadLine()
    void Close() { pipe_.reset(); }

  private:
    std::unique_ptr<platform::Pipe> pipe_;
    platform::Win32Error openError_ = 0;
    std::vector<std::string> greeting_;
    std::string carry_;
};

}  // namespace zantor::test
