// A person at the console's native windows, for the tests under Wine. A script's steps run on a
// thread timer, which fires inside whichever message loop the windows are in (the program's, a
// modal window's, a message box's, a pop-up menu's, a file dialog's); each step waits for what it
// needs to show, then acts as a click or a key would: messages posted to the control, which the
// window handles as it handles the person's.
#pragma once

#include "console/win32/win.h"

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zantor::console::win32 {
class ConsoleViews;
}

namespace zantor::test::win {

class Script {
  public:
    explicit Script(console::win32::ConsoleViews& views) : views_(views) {}
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    // The next step: `act` runs once `ready` holds. `what` names the step in a failure.
    Script& When(std::string what, std::function<bool()> ready, std::function<void()> act = {});
    // A step that is ready at once: it runs once the previous step's messages are handled.
    Script& Then(std::string what, std::function<void()> act) {
        return When(
            std::move(what), [] { return true; }, std::move(act));
    }

    // Handles the program's messages until every step has run. After `timeout` the step that
    // waits in vain is a test failure, and what it left open (modal windows, message boxes,
    // menus) is closed; false then.
    bool Run(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  private:
    struct Step {
        std::string what;
        std::function<bool()> ready;
        std::function<void()> act;
    };
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
    void Next();
    void Abandon();

    console::win32::ConsoleViews& views_;
    std::deque<Step> steps_;
    std::chrono::steady_clock::time_point deadline_;
    bool abandoned_ = false;
};

// Handles the messages waiting now, and those that come within `time`.
void Pump(console::win32::ConsoleViews& views,
          std::chrono::milliseconds time = std::chrono::milliseconds(0));

// --- What the person sees -----------------------------------------------------------------------

// Shown and taking input: the window the person acts in (a modal window's owner is disabled).
bool Showing(HWND window);
// The message box of this thread that is shown in front, or null.
HWND MessageBoxShowing();
// A message box's text, and whether it shows the system's error or information icon.
std::wstring MessageText(HWND box);
enum class Icon { kError, kInformation };
bool HasIcon(HWND box, Icon icon);
// The common Open or Save dialog shown in front, or null.
HWND FileDialogShowing();
// The pop-up menu shown, and the menu it shows.
HWND PopupMenuShowing();
HMENU MenuOf(HWND popup);

std::wstring Text(HWND window);
bool Checked(HWND button);
bool ItemEnabled(HMENU menu, int command);
// A list view's rows, a cell's text, its selected row (-1 for none), and a column's caption.
int RowCount(HWND list);
std::wstring Cell(HWND list, int row, int column);
int SelectedRow(HWND list);
std::wstring ColumnCaption(HWND list, int column);
int ColumnWidth(HWND list, int column);
// A status bar panel's text.
std::wstring PanelText(HWND bar, int panel);
SIZE ClientSize(HWND window);
SIZE OuterSize(HWND window);
// The controls Tab visits, in order, from the first, by their numbers.
std::vector<int> TabOrder(HWND dialog);

// --- What the person does -----------------------------------------------------------------------

// A click on a button, check box or radio button.
void Press(HWND button);
// A menu item chosen (or its accelerator pressed): the window gets its command.
void Choose(HWND window, int command);
// Selects the edit's text, then types `text` over it, character by character.
void Type(HWND edit, std::wstring_view text);
// The edit field of an editable combo box.
HWND EditOf(HWND combo);
// A key pressed and let go, as the message loop sees it (a dialog's Escape and Enter, a list's
// Delete, an accelerator's letter).
void Key(HWND window, UINT key);
// Ctrl held down or let go, for the keys that follow (the keyboard's state as the thread sees it).
void HoldControl(bool held);
// A key pressed with Ctrl held, handled by `window` at once.
void ControlKey(HWND window, UINT key);
// The mouse on a list view's row: a left click, a double click or a right click (which opens the
// pop-up menu), at the row's middle; a row past the last clicks the empty area below the rows.
enum class Click { kLeft, kDouble, kRight };
void ClickRow(HWND list, int row, Click click = Click::kLeft);
// A left click at `point` of `window`, with Shift held when `shift`.
void ClickAt(HWND window, POINT point, bool shift = false);

// Types `file` into the common Open or Save dialog `dialog` and presses its Ok button.
void ChooseFile(HWND dialog, const std::wstring& file);

// The text on the clipboard (what a paste would take).
std::wstring Clipboard();

// UTF-8 for test messages.
std::string Utf8(std::wstring_view text);

}  // namespace zantor::test::win
