#include "tests/support/console_support.h"

#include <chrono>
#include <thread>

#include "shared/pipe_lines.h"

namespace zantor::test {

using console::TModalResult;

std::vector<std::string> ScriptedPerson::TakeMessages() {
    std::vector<std::string> texts;
    for (; taken_ < messages_.size(); ++taken_) texts.push_back(messages_[taken_].text);
    return texts;
}

void ScriptedPerson::MessageBox(const std::string& text, console::TMsgIcon icon) {
    messages_.push_back({text, icon});
}

TModalResult ScriptedPerson::ShowModal(console::TForm& form) {
    if (steps_.empty()) {
        ADD_FAILURE() << "the form \"" << form.Caption << "\" was shown, but no step expected it";
        return TModalResult::kCancel;
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (step.form != &form) {
        ADD_FAILURE() << "the form \"" << form.Caption << "\" was shown, another was expected";
        return TModalResult::kCancel;
    }
    closed_[&form] = TModalResult::kNone;
    step.act(form);
    const TModalResult result = closed_[&form];
    return result == TModalResult::kNone ? TModalResult::kCancel : result;
}

void ScriptedPerson::CloseForm(console::TForm& form, TModalResult result) {
    auto open = closed_.find(&form);
    if (open != closed_.end() && open->second == TModalResult::kNone) open->second = result;
}

bool ScriptedPerson::Execute(console::TFileDialog& dialog) {
    if (files_.empty()) {
        ADD_FAILURE() << "a file dialog was shown, but no answer was given";
        return false;
    }
    auto file = std::move(files_.front());
    files_.pop_front();
    if (!file) return false;
    dialog.FileName = *file;
    return true;
}

FakeService::FakeService(std::vector<std::string> greeting, Answer answer, int connections,
                         std::string pipeName)
    : answer_(std::move(answer)), pipeName_(std::move(pipeName)) {
    if (platform::CreateNamedPipeA(pipeName_, &pipe_) != platform::kErrorSuccess) {
        ADD_FAILURE() << "the stand-in service could not create its pipe";
        return;
    }
    thread_ = std::thread(
        [this, connections, greeting = std::move(greeting)] { Serve(greeting, connections); });
}

FakeService::~FakeService() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (pipe_) pipe_->Cancel();
    }
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> FakeService::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

int FakeService::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

void FakeService::Serve(const std::vector<std::string>& greeting, int connections) {
    for (int n = 0; n < connections; ++n) {
        if (n > 0) {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            pipe_.reset();  // the old instance goes before the next one can be made
            // A child process that the test forks at this moment holds the old instance's lock
            // until it runs its program; the service itself tries again a second later.
            platform::Win32Error made = platform::kErrorPipeBusy;
            for (int tries = 0; tries < 500 && made == platform::kErrorPipeBusy; ++tries) {
                if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                made = platform::CreateNamedPipeA(pipeName_, &pipe_);
            }
            if (made != platform::kErrorSuccess) return;
        }
        ServeOne(greeting);
        std::lock_guard lock(mutex_);
        ++ended_;
    }
}

void FakeService::ServeOne(const std::vector<std::string>& greeting) {
    if (pipe_->ConnectNamedPipe() != platform::kErrorSuccess) return;
    std::string all;
    for (const std::string& line : greeting) all += line + "\r\n";
    if (!all.empty() && pipe_->Write(all.data(), all.size()) != platform::kErrorSuccess) return;
    std::string carry, line;
    for (;;) {
        ReadLnPipe(*pipe_, kCrLf, carry, line);
        if (line == kEndOfConnection) return;
        {
            std::lock_guard lock(mutex_);
            received_.push_back(line);
        }
        auto reply = answer_(line);
        if (!reply) break;
        if (!WriteLnToPipe(*pipe_, kCrLf, *reply)) return;
    }
    pipe_->Cancel();  // ends the connection; the client's next read fails
}

}  // namespace zantor::test
