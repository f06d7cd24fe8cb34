// The console with native windows: the logic, the person as Windows shows it, and one view per
// window, all made once at start-up in the documented order.
#pragma once

#include "console/win32/win.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/win32/form_view.h"

namespace zantor::console::win32 {

class MainWindow;
class DialogView;

// Message boxes, modal windows and the common file dialogs.
class WinPerson : public TPersonAtWindows {
  public:
    explicit WinPerson(ConsoleViews& views) : views_(views) {}
    TModalResult ShowModal(TForm& form) override;
    void CloseForm(TForm& form, TModalResult result) override;
    bool Execute(TFileDialog& dialog) override;

  protected:
    void ShowMessageBox(const std::string& text, TMsgIcon icon) override;
    // A windowed program on Windows has no standard error of its own (standard_streams.h).
    void WriteError(const std::string& line) override;

  private:
    ConsoleViews& views_;
};

// The caption of the console's message boxes.
inline constexpr wchar_t kProgramTitle[] = L"ZantorManager";

class ConsoleViews {
  public:
    // Registers the window classes, makes the main window (hidden) and a view for every other
    // window. The other windows are made, hidden, the first time they are needed or once the main
    // window's first showing has been painted (MakeAllWindows), whichever comes first: making
    // them all before would delay that first showing by more than it takes otherwise.
    explicit ConsoleViews(HINSTANCE instance);
    ~ConsoleViews();
    ConsoleViews(const ConsoleViews&) = delete;
    ConsoleViews& operator=(const ConsoleViews&) = delete;

    TConsole& console() { return console_; }
    WinPerson& person() { return person_; }
    MainWindow& mainWindow() { return *main_; }
    HINSTANCE instance() const { return instance_; }
    // The view of `form`, its window made.
    FormView* ViewOf(const TForm& form);
    HWND WindowOf(const TForm& form);
    // Makes the windows not made yet, in the order the console creates its windows.
    void MakeAllWindows();

    // The window the person acts in now: the modal window shown last, or the main window. Message
    // boxes, dialogs and file dialogs open over it.
    HWND ActiveWindow() const;

    TModalResult ShowModal(TForm& form);

    // What the person set in every shown window goes to its form.
    void StoreAll();
    // Every window shows the console's state again.
    void RefreshAll();

    // Runs the program's messages until the main window is gone; the exit code.
    int Run();
    // One message as the program's loop handles it outside the modal windows (the main window's
    // accelerators first).
    void Dispatch(MSG& message);

  private:
    HINSTANCE instance_;
    WinPerson person_;
    TConsole console_;
    std::unique_ptr<MainWindow> main_;
    std::vector<std::unique_ptr<DialogView>> dialogs_;  // in creation order
    std::map<const TForm*, FormView*> views_;
    std::vector<DialogView*> modal_;  // the modal showings, innermost last
};

}  // namespace zantor::console::win32
