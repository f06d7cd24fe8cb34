// The person in front of zadmin: message boxes go to standard error, each modal showing runs the
// step zadmin queued for that form (it sets controls and presses a button as a person would),
// and file dialogs are answered with the file named on the command line. Each computer zadmin
// works on has a person of its own, whose standard error is that computer's part of it.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "console/cli/output.h"
#include "console/form.h"
#include "console/person.h"

namespace zantor::console::cli {

class ShellPerson : public Person {
  public:
    using ErrorStream = std::function<void(std::string_view)>;
    explicit ShellPerson(ErrorStream toError) : toError_(std::move(toError)) {}

    // The next showing of `form` runs `act`; the form's own buttons close it.
    void Queue(TForm& form, std::function<void()> act) {
        steps_.push_back({&form, std::move(act)});
    }
    // How the last showing of `form` that ran a step ended; nullopt when none ran.
    std::optional<TModalResult> Result(const TForm& form) const {
        const auto found = results_.find(&form);
        if (found == results_.end()) return std::nullopt;
        return found->second;
    }
    // The file every file dialog is answered with; none: the dialogs are cancelled.
    void AnswerFiles(std::optional<std::string> file) { file_ = std::move(file); }

    // A line of zadmin's own on standard error; what it quotes is made visible.
    void Say(std::string_view text) {
        EndProgress();
        toError_(Visible(text) + "\n");
    }

    // Rewrites the progress line in place; only for a terminal, where a person watches it.
    void ShowProgress(const std::string& shown) {
        const std::string text = Visible(shown);
        std::string line = "\r" + text;
        if (text.size() < progressWidth_) line.append(progressWidth_ - text.size(), ' ');
        progressWidth_ = text.size();
        toError_(line);
    }
    // Ends a progress line that is showing, so that what follows starts on a line of its own.
    void EndProgress() {
        if (progressWidth_ == 0) return;
        toError_("\n");
        progressWidth_ = 0;
    }

    void MessageBox(const std::string& text, TMsgIcon) override { Say(text); }

    TModalResult ShowModal(TForm& form) override {
        auto step = steps_.begin();
        while (step != steps_.end() && step->form != &form) ++step;
        // A form zadmin did not ask for is closed unseen, as a person who wants none of it would.
        if (step == steps_.end()) return TModalResult::kCancel;
        const std::function<void()> act = std::move(step->act);
        steps_.erase(step);
        closing_[&form] = TModalResult::kNone;
        act();
        TModalResult result = closing_[&form];
        closing_.erase(&form);
        // A step that ends without closing its form stands for a person who closes the window.
        if (result == TModalResult::kNone) result = TModalResult::kCancel;
        results_[&form] = result;
        return result;
    }

    void CloseForm(TForm& form, TModalResult result) override {
        const auto open = closing_.find(&form);
        if (open != closing_.end() && open->second == TModalResult::kNone) open->second = result;
    }

    bool Execute(TFileDialog& dialog) override {
        if (!file_) return false;
        dialog.FileName = *file_;
        return true;
    }

  private:
    struct Step {
        TForm* form;
        std::function<void()> act;
    };
    ErrorStream toError_;
    std::list<Step> steps_;
    std::map<const TForm*, TModalResult> closing_;
    std::map<const TForm*, TModalResult> results_;
    std::optional<std::string> file_;
    std::size_t progressWidth_ = 0;
};

}  // namespace zantor::console::cli
