// The console as one object: its state, shared by every window (the current computer and the
// open control pipe to its service), its windows, and the routines that talk to the service.
#pragma once

#include <memory>
#include <string>
#include <string_view>

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

    // "staf ADDR IN OUT": true when the service replied exactly "0"; the selected row then shows
    // filtering on with the two actions. Closes the enable filtering dialog whatever happens.
    bool StartFilter(const std::string& address, int in, int out);

    // "stof ADDR": true when the service replied exactly "0"; the selected row then shows "Off".
    bool StopFilter(const std::string& address);

    // Any other command: true when the reply's first word is "0"; `result` is then the rest of
    // the reply, otherwise empty.
    bool SendCommand(const std::string& command, std::string& result);

    void ShowError(const std::string& text) { person.MessageBox(text, TMsgIcon::kError); }
    void ShowInfo(const std::string& text) { person.MessageBox(text, TMsgIcon::kInformation); }

  private:
    enum class Reply { kReceived, kPipeFailed };
    // One exchange on PipeHandle: the command out, one reply line in. A write or read failure is
    // shown and closes the pipe.
    Reply Exchange(const std::string& command, std::string& reply);
};

}  // namespace zantor::console
