#include "tests/support/pipe_client.h"

#include "shared/pipe_lines.h"
#include "shared/text.h"

namespace zantor::test {

Client::Client(const std::string& pipeName, std::chrono::milliseconds timeout) {
    Eventually(
        [&] {
            openError_ = platform::OpenPipe(pipeName, &pipe_);
            return openError_ == platform::kErrorSuccess ||
                   (openError_ != platform::kErrorFileNotFound &&
                    openError_ != platform::kErrorPipeBusy);
        },
        timeout);
    if (!pipe_) return;
    for (;;) {
        std::string line = ReadLine();
        if (line == kEndOfConnection) break;
        greeting_.push_back(line);
        if (GetWord(line, 2) == "End") break;
    }
}

void Client::Send(const std::string& text) {
    pipe_->Write(text.data(), text.size());
}

std::string Client::ReadLine() {
    std::string line;
    ReadLnPipe(*pipe_, kCrLf, carry_, line);
    return line;
}

std::string Client::Command(const std::string& line) {
    Send(line + "\r\n");
    return ReadLine();
}

}  // namespace zantor::test
