// The console as one object: its state, shared by every window (the current computer and the
// open control pipe to its service), its windows, and the routines that talk to the service.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "console/diagnostics.h"
#include "console/enable_filtering.h"
#include "console/filter_edit.h"
#include "console/filter_list.h"
#include "console/interface_properties.h"
#include "console/main_form.h"
#include "console/person.h"
#include "console/select_computer.h"
#include "platform/pipe.h"

namespace zantor::console {

// The control pipe's name on a computer: "\\" + computer + "\Pipe\qzw2kflt".
std::string ControlPipeName(std::string_view computer);

// A greeting is read up to this many address lines or bytes (a service lists at most
// kMaxAddresses, in about 20 KB); one that goes on beyond is refused and its connection closed.
inline constexpr std::size_t kMaxGreetingLines = 4096;
inline constexpr std::size_t kMaxGreetingBytes = 1u << 20;

// What a service can do beyond the protocol every service answers: the extensions the closing
// line of its greeting names ("IP End 0.9 confirm,lists,stats": a fourth word listing them,
// separated by commas, in any order). An older service names none. A code of an extension goes only
// to a service that named it (shared/commands.h): any other would never answer it.
class TServiceExtensions {
  public:
    TServiceExtensions() = default;
    // From the greeting's closing line; names this console does not know are kept, and mean
    // nothing to it.
    static TServiceExtensions FromGreetingEnd(std::string_view line);

    bool Has(std::string_view extension) const;
    // As the greeting named them.
    const std::vector<std::string>& Names() const { return names_; }
    // Whether the service answers a line that starts with `code` (IsAnswered, with what it named).
    bool Answers(std::string_view code) const;
    // "the service on PC1 cannot do that: it names no "confirm" extension in its greeting (an
    // older service)", for a message that says why nothing was sent.
    static std::string CannotText(std::string_view computer, std::string_view extension);

  private:
    std::vector<std::string> names_;
};

// The filter service as the console deploys it.
inline constexpr std::string_view kServiceName = "ZantorSvc";
inline constexpr std::string_view kServiceDisplayName = "Zantor";

// The service program the console copies: the file the build makes of ZantorSvc, taken from the
// console's current directory ("ZantorSvc.Exe" on Windows, "ZantorSvc" here).
std::string LocalProgramFile();
// The file Install To copies for the console program `consoleProgram`: LocalProgramFile() when the
// current directory has anything of that name; otherwise the service program installed beside an
// installed console (/usr/bin/ZantorManager, /usr/bin/zadmin: /usr/sbin/ZantorSvc) when there is
// one; otherwise LocalProgramFile(), whose copy then fails as it always has.
std::string ServiceProgramSource(std::string_view consoleProgram);
// Where the program goes on `computer`: "\\" + computer + "\ADMIN$\system32\" + its name.
std::string RemoteProgramFile(std::string_view computer);

// A file name typed into the save dialog without an extension gets ".INI".
std::string WithIniExtension(std::string name);

// Long work's progress as a window's status shows it: "Save Configuration: 2 of 5 addresses".
std::string ProgressText(std::string_view work, int done, int total);

// The two logs the service writes into its computer's system directory.
enum class TLogFile { kService, kDeny };
// "\\" + computer + "\ADMIN$\system32\" + "ZantorSvc.Log" or "IPDenyLog.Log".
std::string LogFileName(TLogFile log, std::string_view computer);

class TConsole {
  public:
    explicit TConsole(Person& person);
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    Person& person;

    // The computer the console works with; set for good only by the Select Computer dialog.
    std::string CurrentComputer = ".";
    // The open control pipe to CurrentComputer's service; null when there is none.
    std::unique_ptr<platform::Pipe> PipeHandle;
    // What that service named in its greeting beyond the base protocol; none until it ends its
    // greeting.
    TServiceExtensions ServiceExtensions;

    // The windows, in the order the program creates them.
    TMainForm MainForm;
    TTestForm TestForm;
    TIntMTForm IntMTForm;
    TEnableFilteringForm EnableFilteringForm;
    TFilterListForm FilterListForm;
    TEditFilterForm EditFilterForm;
    TSelectComputerForm SelectComputerForm;
    TDebugForm DebugForm;

    // Opens the control pipe on `computer` and appends one row per address of its greeting; the
    // caller clears the list first. Failures show in the status bar.
    void ConnectToComputer(const std::string& computer);

    // ConnectToComputer for a client that has just closed its connection to the same service:
    // the service offers its next connection about a second after the last one ended, so while
    // the pipe is missing or busy the open is tried again, for at most `patience`. The time spent
    // waiting adds up in ReconnectWaited.
    void ReconnectToComputer(const std::string& computer,
                             std::chrono::milliseconds patience = std::chrono::seconds(10));
    std::chrono::nanoseconds ReconnectWaited{0};

    // "staf ADDR IN OUT": true when the service replied exactly "0"; the selected row then shows
    // filtering on with the two actions. Closes the enable filtering dialog whatever happens.
    bool StartFilter(const std::string& address, int in, int out);

    // "stof ADDR": true when the service replied exactly "0"; the selected row then shows "Off".
    bool StopFilter(const std::string& address);

    // Any other command: true when the reply's first word is "0"; `result` is then the rest of
    // the reply, otherwise empty.
    bool SendCommand(const std::string& command, std::string& result);

    // One command line as typed and its whole reply line; false (with the failure shown) when
    // the pipe failed.
    bool SendLine(const std::string& line, std::string& reply) {
        return Exchange(line, reply) == Reply::kReceived;
    }
    // Lines that each get one reply line, sent a batch at a time: the service takes lines that
    // arrive together one after the other and answers them in order, so a batch costs one round
    // trip instead of one a line. `replies` holds a reply per line. False when the pipe failed
    // (shown as for one line: the pipe is closed); a line that cannot be sent (it holds a line
    // break) sends nothing.
    bool SendLines(const std::vector<std::string>& lines, std::vector<std::string>& replies);
    // One line written and no reply read, for the lines the service answers with nothing; false
    // when the write failed: the failure is shown, and the pipe closed unless the line was
    // refused before anything was sent.
    bool WriteLine(const std::string& line);

    // How long a connection's open, its greeting and each reply may take; zero (as in the
    // windows) waits without limit. Past it the read fails with kErrorTimeout, shown as any pipe
    // failure, the connection is closed, and TimedOut says what was not answered.
    std::chrono::milliseconds ReplyTimeout{0};
    // What the service did not do in time, once a limit passed: take the connection, end its
    // greeting, or answer `command`.
    struct TTimeout {
        enum class What { kNone, kConnection, kGreeting, kReply };
        What what = What::kNone;
        std::string command;
    };
    TTimeout TimedOut;
    // What timed out, in a sentence: "the service on PC1 did not answer "gif ..." within 30
    // seconds; the connection was closed."; empty when nothing did.
    std::string TimedOutText(const std::string& computer) const;

    // "gif ADDR DIRECTION POSITION" as the filter list and the save ask it: true with the
    // filter's text; a failed command, a negative code or an answer that is no filter is shown
    // as "Error while get filters list for ADDR..." (followed by `afterFailure`) and gives false.
    bool GetFilter(const std::string& address, std::string_view direction, int position,
                   std::string& text, std::string_view afterFailure = {});
    // The filter in `reply`, the answer to the "gif" line `command`, as GetFilter takes it: true
    // with its text; otherwise false with the failure shown in GetFilter's words.
    bool FilterFromReply(const std::string& address, const std::string& command,
                         const std::string& reply, std::string& text,
                         std::string_view afterFailure = {});

    // The configuration of every address in the list, written to `fileName` (an INI file) in
    // one step: after a failure the file is as it was. True when all was saved.
    bool SaveConfiguration(const std::string& fileName);
    // Clears the connected computer and re-creates the configuration `fileName` holds. A file
    // that cannot be read or is no configuration is refused before anything is sent. True when
    // no step failed.
    bool RestoreConfiguration(const std::string& fileName);

    // Deployment of the service on `computer`, with the messages of the Computer menu; true
    // when no step failed (the tolerated codes do not count as failures). Install refuses a
    // program file that others could have planted or changed (platform CheckProgramSource) with
    // the copy's message and the reason, before anything reaches the computer.
    bool InstallService(const std::string& computer);
    bool RemoveService(const std::string& computer);
    bool StartService(const std::string& computer);
    bool StopService(const std::string& computer);

    // Reads a log of `computer` into the debug window, its caption set first; true when read.
    bool ReadLog(TLogFile log, const std::string& computer);
    // Tells the lines of a log of `computer` to `out` as they are read, holding no more than a
    // piece of the file (no window, no size limit); failures as ReadLog. True when read whole.
    bool StreamLog(TLogFile log, const std::string& computer, const TLineStream::Out& out);
    // Deletes a log of `computer`, once; true when deleted.
    bool ClearLog(TLogFile log, const std::string& computer);

    // Long work (a save, a restore) tells here how far it is: `done` of `total` addresses.
    // Unset, nothing is told.
    std::function<void(std::string_view work, int done, int total)> Progress;

    // Error message boxes shown so far: a save or restore that adds none has succeeded.
    int ErrorsShown = 0;

    void ShowError(const std::string& text) {
        ++ErrorsShown;
        person.MessageBox(text, TMsgIcon::kError);
    }
    void ShowInfo(const std::string& text) { person.MessageBox(text, TMsgIcon::kInformation); }

  private:
    void Connect(const std::string& computer, std::chrono::milliseconds patience);
    void Report(std::string_view work, int done, int total) {
        if (Progress) Progress(work, done, total);
    }

    enum class Reply { kReceived, kPipeFailed };

    // One exchange on PipeHandle: the command out, one reply line in. A write or read failure is
    // shown and closes the pipe.
    Reply Exchange(const std::string& command, std::string& reply);
};

}  // namespace zantor::console
