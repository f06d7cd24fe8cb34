// The console with windows: the logic, the person as Qt shows it, and one view per window,
// created once at start-up in the documented order.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "console/console.h"
#include "console/qt/form_view.h"

namespace zantor::console::qt {

class MainWindow;

// Message boxes, modal dialogs and file dialogs through Qt.
class QtPerson : public TPersonAtWindows {
  public:
    explicit QtPerson(ConsoleViews& views) : views_(views) {}
    TModalResult ShowModal(TForm& form) override;
    void CloseForm(TForm& form, TModalResult result) override;
    bool Execute(TFileDialog& dialog) override;

  protected:
    void ShowMessageBox(const std::string& text, TMsgIcon icon) override;

  private:
    ConsoleViews& views_;
};

class ConsoleViews {
  public:
    ConsoleViews();
    ~ConsoleViews();
    ConsoleViews(const ConsoleViews&) = delete;
    ConsoleViews& operator=(const ConsoleViews&) = delete;

    TConsole& console() { return console_; }
    QtPerson& person() { return person_; }
    MainWindow& mainWindow() { return *main_; }
    FormView* ViewOf(const TForm& form);

    // Every window shows the console's state again.
    void RefreshAll();

  private:
    QtPerson person_;
    TConsole console_;
    std::unique_ptr<MainWindow> main_;
    std::vector<std::unique_ptr<FormView>> dialogs_;  // in creation order
    std::map<const TForm*, FormView*> views_;
};

}  // namespace zantor::console::qt
