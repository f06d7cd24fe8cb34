#include "console/console.h"

#include <algorithm>
#include <thread>

#include "platform/errors.h"
#include "shared/commands.h"
#include "shared/error_text.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"

namespace zantor::console {

namespace {

constexpr std::string_view kPipeName = "qzw2kflt";

// "Error [N] In WHAT. (text)" for the calling thread's last error.
std::string PipeFailure(std::string_view what) {
    const platform::Win32Error code = platform::GetLastError();
    return "Error [" + std::to_string(code) + "] In " + std::string(what) + ". (" +
           LastErrorText() + ")";
}

// ReadLnPipe that never throws: a line too long for the reader leaves the stream in the middle
// of a line, so the pipe is cancelled and reads as failed from here on, like a broken one.
void ReadLine(platform::Pipe& pipe, std::string& carry, std::string& line) {
    try {
        ReadLnPipe(pipe, kCrLf, carry, line);
    } catch (const LineTooLongError&) {
        pipe.Cancel();
        platform::SetLastError(platform::kErrorInvalidData);
        line.assign(kEndOfConnection);
    }
}

}  // namespace

TServiceExtensions TServiceExtensions::FromGreetingEnd(std::string_view line) {
    TServiceExtensions extensions;
    const std::string_view word = GetWord(line, 4);
    for (std::size_t start = 0; start < word.size();) {
        const std::size_t end = std::min(word.find(',', start), word.size());
        if (end > start) extensions.names_.emplace_back(word.substr(start, end - start));
        start = end + 1;
    }
    return extensions;
}

bool TServiceExtensions::Has(std::string_view extension) const {
    return !extension.empty() && std::find(names_.begin(), names_.end(), extension) != names_.end();
}

bool TServiceExtensions::Answers(std::string_view code) const {
    return IsAnswered(code, Has(CommandExtension(code)));
}

std::string TServiceExtensions::CannotText(std::string_view computer, std::string_view extension) {
    return "the service on " + std::string(computer) + " cannot do that: its greeting names no \"" +
           std::string(extension) + "\" extension (an older service)";
}

TModalResult TForm::ShowModal() {
    showing_ = true;
    FormShow();
    const TModalResult result = App.person.ShowModal(*this);
    showing_ = false;
    FormHide();
    return result;
}

void TForm::Close(TModalResult result) {
    if (!showing_) return;
    // From here the form is on its way out: a second Close, or a check, sees it closed.
    showing_ = false;
    App.person.CloseForm(*this, result);
}

std::string ProgressText(std::string_view work, int done, int total) {
    return std::string(work) + ": " + std::to_string(done) + " of " + std::to_string(total) +
           " addresses";
}

std::string ControlPipeName(std::string_view computer) {
    return "\\\\" + std::string(computer) + "\\Pipe\\" + std::string(kPipeName);
}

TConsole::TConsole(Person& p)
    : person(p),
      MainForm(*this),
      TestForm(*this),
      IntMTForm(*this),
      EnableFilteringForm(*this),
      FilterListForm(*this),
      EditFilterForm(*this),
      SelectComputerForm(*this),
      DebugForm(*this) {}

void TConsole::ConnectToComputer(const std::string& computer) {
    Connect(computer, std::chrono::milliseconds(0));
}

void TConsole::ReconnectToComputer(const std::string& computer,
                                   std::chrono::milliseconds patience) {
    Connect(computer, patience);
}

void TConsole::Connect(const std::string& computer, std::chrono::milliseconds patience) {
    ServiceExtensions = {};
    const std::string name = ControlPipeName(computer);
    std::unique_ptr<platform::Pipe> pipe;
    const auto start = std::chrono::steady_clock::now();
    platform::Win32Error opened;
    // Missing: the service has not made its next instance yet; busy: our old connection's
    // thread still holds it. Both pass within about a second.
    while ((opened = platform::OpenPipe(name, &pipe, ReplyTimeout)) ==
               platform::kErrorFileNotFound ||
           opened == platform::kErrorPipeBusy) {
        if (std::chrono::steady_clock::now() - start >= patience) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ReconnectWaited += std::chrono::steady_clock::now() - start;
    if (opened != platform::kErrorSuccess) {
        if (opened == platform::kErrorTimeout) TimedOut = {TTimeout::What::kConnection, {}};
        platform::SetLastError(opened);
        const platform::Win32Error code = platform::GetLastError();
        MainForm.StatusPanel1 = "Error [" + std::to_string(code) + ",(" + LastErrorText() +
                                ")] In CreateFile(" + name + ")";
        PipeHandle.reset();
        return;
    }
    MainForm.StatusPanel1 = "Connected to " + computer;
    PipeHandle = std::move(pipe);

    std::string carry, line;
    auto& rows = MainForm.IPListView.Items;
    std::size_t greeted = 0;  // bytes of the greeting so far
    for (;;) {
        ReadLine(*PipeHandle, carry, line);
        if (line == kEndOfConnection) {
            if (platform::GetLastError() == platform::kErrorTimeout) {
                TimedOut = {TTimeout::What::kGreeting, {}};
                PipeHandle.reset();
            }
            return;
        }
        // A service greets with one line per address, at most kMaxAddresses of them; one that
        // goes on far beyond that would only fill the memory.
        greeted += line.size() + kCrLf.size();
        if (rows.size() >= kMaxGreetingLines || greeted > kMaxGreetingBytes) {
            ShowError("The greeting of the service on " + computer + " did not end within " +
                      std::to_string(kMaxGreetingLines) + " lines or " +
                      std::to_string(kMaxGreetingBytes) + " bytes (a service lists at most " +
                      std::to_string(kMaxAddresses) + " addresses); the connection was closed.");
            PipeHandle.reset();
            return;
        }
        if (GetWord(line, 2) == "End") {
            MainForm.StatusPanel1 += " Service v" + std::string(GetWord(line, 3));
            ServiceExtensions = TServiceExtensions::FromGreetingEnd(line);
            return;
        }
        std::uint32_t set = 0;
        try {
            set = static_cast<std::uint32_t>(StrToInt(GetWord(line, 10)));
        } catch (const ConvertError& e) {
            ShowError(e.what());
            // The rest of the greeting is still on its way, so the next reply read would be an
            // address line: the connection is out of step and of no further use.
            PipeHandle.reset();
            return;
        }
        auto action = [&](int n) {
            return std::string(GetWord(line, n) == "0" ? kForward : kDrop);
        };
        TListItem row;
        row.Caption = GetWord(line, 2);
        row.SubItems = {std::string(GetWord(line, 3)),
                        std::string(GetWord(line, 4) == "0" ? kOff : kOn),
                        std::string(GetWord(line, 5)),
                        std::string(GetWord(line, 6)),
                        std::string(GetWord(line, 7)),
                        action(8),
                        action(9),
                        GlobalFilterText(set)};
        rows.push_back(std::move(row));
    }
}

bool TConsole::WriteLine(const std::string& command) {
    if (!PipeHandle) platform::SetLastError(platform::kErrorInvalidHandle);
    if (PipeHandle && WriteLnToPipe(*PipeHandle, kCrLf, command)) return true;
    // A line the writer refused (it holds a line break or NUL) was never sent: the connection is
    // still in step and stays open.
    const bool refused = PipeHandle && platform::GetLastError() == platform::kErrorInvalidParameter;
    if (platform::GetLastError() == platform::kErrorTimeout)
        TimedOut = {TTimeout::What::kReply, command};
    ShowError(PipeFailure("WriteLnToPipe"));
    if (!refused) PipeHandle.reset();
    return false;
}

TConsole::Reply TConsole::Exchange(const std::string& command, std::string& reply) {
    if (!WriteLine(command)) return Reply::kPipeFailed;
    std::string carry;  // whatever follows the reply line is dropped with it
    ReadLine(*PipeHandle, carry, reply);
    if (reply == kEndOfConnection) {
        if (platform::GetLastError() == platform::kErrorTimeout)
            TimedOut = {TTimeout::What::kReply, command};
        ShowError(PipeFailure("ReadLnPipe"));
        PipeHandle.reset();
        return Reply::kPipeFailed;
    }
    return Reply::kReceived;
}

bool TConsole::SendLines(const std::vector<std::string>& lines, std::vector<std::string>& replies) {
    // Small enough that neither side's buffer fills while the other writes: the replies of a
    // batch are read only once all of it is written.
    constexpr std::size_t kBatch = 64;
    replies.clear();
    for (const std::string& line : lines)
        if (line.find_first_of(kLineBreakers) != std::string::npos) {
            platform::SetLastError(platform::kErrorInvalidParameter);
            ShowError(PipeFailure("WriteLnToPipe"));
            return false;
        }
    for (std::size_t first = 0; first < lines.size(); first += kBatch) {
        const std::size_t last = std::min(lines.size(), first + kBatch);
        std::string batch;
        for (std::size_t i = first; i < last; ++i) (batch += lines[i]) += kCrLf;
        if (!PipeHandle) platform::SetLastError(platform::kErrorInvalidHandle);
        if (!PipeHandle ||
            PipeHandle->Write(batch.data(), batch.size()) != platform::kErrorSuccess) {
            if (platform::GetLastError() == platform::kErrorTimeout)
                TimedOut = {TTimeout::What::kReply, lines[first]};
            ShowError(PipeFailure("WriteLnToPipe"));
            PipeHandle.reset();
            return false;
        }
        std::string carry;  // the replies of one batch may come in one piece
        for (std::size_t i = first; i < last; ++i) {
            std::string reply;
            ReadLine(*PipeHandle, carry, reply);
            if (reply == kEndOfConnection) {
                if (platform::GetLastError() == platform::kErrorTimeout)
                    TimedOut = {TTimeout::What::kReply, lines[i]};
                ShowError(PipeFailure("ReadLnPipe"));
                PipeHandle.reset();
                return false;
            }
            replies.push_back(std::move(reply));
        }
    }
    return true;
}

std::string TConsole::TimedOutText(const std::string& computer) const {
    using What = TTimeout::What;
    if (TimedOut.what == What::kNone) return {};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(ReplyTimeout).count();
    const std::string within =
        " within " + std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
    const std::string closed = "; the connection was closed.";
    switch (TimedOut.what) {
        case What::kConnection:
            return "the service on " + computer + " did not take the connection" + within + ".";
        case What::kGreeting:
            return "the service on " + computer + " did not end its greeting" + within + closed;
        default:
            return "the service on " + computer + " did not answer \"" + TimedOut.command + "\"" +
                   within + closed;
    }
}

bool TConsole::StartFilter(const std::string& address, int in, int out) {
    const std::string args = address + " " + std::to_string(in) + " " + std::to_string(out);
    std::string reply;
    bool started = false;
    if (Exchange("staf " + args, reply) == Reply::kReceived) {
        if (reply != "0") {
            ShowError("Error [" + reply + "] while processing command StartFilter(" + address +
                      "," + std::to_string(in) + "," + std::to_string(out) + ")");
        } else {
            if (TListItem* row = MainForm.IPListView.Selected()) {
                row->SubItems[kColFiltering] = kOn;
                row->SubItems[kColDefInAction] = in != 0 ? kDrop : kForward;
                row->SubItems[kColDefOutAction] = out != 0 ? kDrop : kForward;
            }
            MainForm.IPListViewClick();
            started = true;
        }
    }
    EnableFilteringForm.Close(started ? TModalResult::kOk : TModalResult::kCancel);
    return started;
}

bool TConsole::StopFilter(const std::string& address) {
    std::string reply;
    if (Exchange("stof " + address, reply) != Reply::kReceived) return false;
    if (reply != "0") {
        ShowError("Error [" + reply + "] while processing command StopFilter(" + address + ")");
        return false;
    }
    if (TListItem* row = MainForm.IPListView.Selected()) row->SubItems[kColFiltering] = kOff;
    MainForm.IPListViewClick();
    return true;
}

bool TConsole::GetFilter(const std::string& address, std::string_view direction, int position,
                         std::string& text, std::string_view afterFailure) {
    const std::string command =
        "gif " + address + " " + std::string(direction) + " " + std::to_string(position);
    std::string reply;
    if (Exchange(command, reply) != Reply::kReceived) {
        text.clear();
        ShowError("Error while get filters list for " + address + "." + std::string(afterFailure));
        return false;
    }
    return FilterFromReply(address, command, reply, text, afterFailure);
}

bool TConsole::FilterFromReply(const std::string& address, const std::string& command,
                               const std::string& reply, std::string& text,
                               std::string_view afterFailure) {
    const std::string failed = "Error while get filters list for " + address;
    const std::string after(afterFailure);
    text.clear();
    if (GetWord(reply, 1) != "0") {
        ShowError("Error [" + reply + "] while processing command [" + command + "]");
        ShowError(failed + "." + after);
        return false;
    }
    text = GetWords(reply, 2, -1);
    if (WordsCount(text) != 1) return true;
    try {
        if (StrToInt(text) >= 0) return true;
        ShowError(failed + "." + after);
    } catch (const ConvertError&) {
        ShowError(failed + " (Answer unknown)." + after);
    }
    return false;
}

bool TConsole::SendCommand(const std::string& command, std::string& result) {
    result.clear();
    std::string reply;
    if (Exchange(command, reply) != Reply::kReceived) return false;
    if (GetWord(reply, 1) != "0") {
        ShowError("Error [" + reply + "] while processing command [" + command + "]");
        return false;
    }
    result = GetWords(reply, 2, -1);
    return true;
}

}  // namespace zantor::console
