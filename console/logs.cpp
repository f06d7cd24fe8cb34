// The Logs menu: the service log and the deny log of a computer, read over its administrative
// share into the debug window, or deleted. Nothing goes over the control pipe, so the service
// need not run.
#include <string>

#include "console/console.h"
#include "console/oem.h"
#include "platform/files.h"
#include "shared/error_text.h"

namespace zantor::console {

namespace {

struct LogNames {
    std::string_view file;     // in the system directory
    std::string_view caption;  // of the debug window, before the computer's name
    std::string_view name;     // in messages
};

const LogNames& NamesOf(TLogFile log) {
    static const LogNames kService{"ZantorSvc.Log", "Zantor Service Log At ", "ZantorSvc"};
    static const LogNames kDeny{"IPDenyLog.Log", "IP Packets Deny Log At ", "IPDenyLog.Log"};
    return log == TLogFile::kService ? kService : kDeny;
}

// A log is read whole into the window; past this size it is refused rather than filling the
// memory (a service log grows by a line per command, a deny log by a line per denied packet).
constexpr std::size_t kMaxLogSize = 256u << 20;

// "Error (text). NAME on COMPUTER cant be accesses." for the thread's last error.
std::string ReadFailure(const LogNames& names, const std::string& computer) {
    return "Error (" + LastErrorText() + "). " + std::string(names.name) + " on " + computer +
           " cant be accesses.";
}

}  // namespace

std::string LogFileName(TLogFile log, std::string_view computer) {
    return "\\\\" + std::string(computer) + "\\ADMIN$\\system32\\" + std::string(NamesOf(log).file);
}

bool TConsole::ReadLog(TLogFile log, const std::string& computer) {
    const LogNames& names = NamesOf(log);
    DebugForm.Caption = std::string(names.caption) + computer;
    std::string contents;
    if (!platform::ReadFileContents(LogFileName(log, computer).c_str(), contents, kMaxLogSize)) {
        ShowError(ReadFailure(names, computer));
        return false;
    }
    DebugForm.DebugMemo.Lines = TTextLines::FromText(std::move(contents));
    return true;
}

bool TConsole::StreamLog(TLogFile log, const std::string& computer, const TLineStream::Out& out) {
    const LogNames& names = NamesOf(log);
    TLineStream lines;
    if (!platform::ReadFileInPieces(LogFileName(log, computer).c_str(),
                                    [&](std::string_view piece) {
                                        lines.Feed(piece, out);
                                        return true;
                                    })) {
        ShowError(ReadFailure(names, computer));
        return false;
    }
    lines.Finish(out);
    return true;
}

bool TConsole::ClearLog(TLogFile log, const std::string& computer) {
    const LogNames& names = NamesOf(log);
    if (!platform::DeleteFileA(LogFileName(log, computer).c_str())) {
        ShowError("Error (" + LastErrorText() + "). " + std::string(names.name) + " on " +
                  computer + " cant be deleted.");
        return false;
    }
    ShowInfo(std::string(names.name) + " log file on " + computer + " deleted successful.");
    return true;
}

namespace {

void ShowLog(TConsole& app, TLogFile log, const std::string& computer) {
    if (app.ReadLog(log, computer)) app.DebugForm.ShowModal();
}

}  // namespace

void TMainForm::Readlog1Click() {
    OnChosenComputer(false, [&](const std::string& c) { ShowLog(App, TLogFile::kService, c); });
}
void TMainForm::Clearlogat1Click() {
    OnChosenComputer(false, [&](const std::string& c) { App.ClearLog(TLogFile::kService, c); });
}
void TMainForm::Readfilterslog1Click() {
    OnChosenComputer(false, [&](const std::string& c) { ShowLog(App, TLogFile::kDeny, c); });
}
void TMainForm::ClearFiltersLog1Click() {
    OnChosenComputer(false, [&](const std::string& c) { App.ClearLog(TLogFile::kDeny, c); });
}

}  // namespace zantor::console
