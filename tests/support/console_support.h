// What the console's tests need around the console: a person who answers in advance, and a
// stand-in service for replies that the real one never gives.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "platform/pipe.h"

namespace zantor::test {

// A row of a list view, column by column, as the console's tests compare them.
using Cells = std::vector<std::string>;

// Message boxes are recorded; each modal showing runs the next step that the test queued,
// which acts on the form as the person would (sets controls, presses a button). A step that ends
// without closing its form stands for the person closing it from its title bar.
class ScriptedPerson : public console::Person {
  public:
    struct Message {
        std::string text;
        console::TMsgIcon icon;
    };

    // The next modal showing must be of `form`; `act` runs while it shows.
    template <class F>
    void Expect(F& form, std::function<void(F&)> act) {
        steps_.push_back({&form, [&form, act = std::move(act)](console::TForm&) { act(form); }});
    }
    // The next file dialog is answered with `file`, or cancelled with nullopt.
    void AnswerFile(std::optional<std::string> file) { files_.push_back(std::move(file)); }

    // The texts of the message boxes shown since the last call, and forgets them.
    std::vector<std::string> TakeMessages();
    const std::vector<Message>& messages() const { return messages_; }
    bool AllStepsTaken() const { return steps_.empty(); }

    void MessageBox(const std::string& text, console::TMsgIcon icon) override;
    console::TModalResult ShowModal(console::TForm& form) override;
    void CloseForm(console::TForm& form, console::TModalResult result) override;
    bool Execute(console::TFileDialog& dialog) override;

  private:
    struct Step {
        console::TForm* form;
        std::function<void(console::TForm&)> act;
    };
    std::deque<Step> steps_;
    std::deque<std::optional<std::string>> files_;
    std::vector<Message> messages_;
    std::size_t taken_ = 0;
    std::map<console::TForm*, console::TModalResult> closed_;
};

// Control connections on a computer's pipe (the local computer's unless `pipeName` names
// another), served by the test: the greeting, then for each command line the reply that `answer`
// gives, or the end of the connection when it gives none. The pipe exists when the constructor
// returns. After a connection has ended the next instance is made at once, up to `connections`
// in all (a restore reconnects after each address).
class FakeService {
  public:
    using Answer = std::function<std::optional<std::string>(const std::string& line)>;
    FakeService(std::vector<std::string> greeting, Answer answer, int connections = 1,
                std::string pipeName = "\\\\.\\Pipe\\qzw2kflt");
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    std::vector<std::string> received() const;
    // How many connections have ended so far: the client closed them, or the answer did.
    int ended() const;

  private:
    void Serve(const std::vector<std::string>& greeting, int connections);
    void ServeOne(const std::vector<std::string>& greeting);

    std::unique_ptr<platform::PipeServer> pipe_;  // replaced under mutex_, used by the thread
    Answer answer_;
    const std::string pipeName_;
    int ended_ = 0;
    mutable std::mutex mutex_;
    bool stopping_ = false;
    std::vector<std::string> received_;
    std::thread thread_;
};

}  // namespace zantor::test
