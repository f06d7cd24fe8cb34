// The main window's view: the menus, the "Connect to" button, the address list and its pop-up
// menu, and the status bar's two panels.
#pragma once

#include "console/win32/win.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "console/win32/form_view.h"
#include "console/win32/report_list.h"

namespace zantor::console {
class TMainForm;
struct TMenuItem;
}  // namespace zantor::console

namespace zantor::console::win32 {

// The main window's class name, which a person's tools and the tests find it by.
inline constexpr wchar_t kMainWindowClass[] = L"TMainForm";

// The main window's outer size, centred on the desktop.
inline constexpr int kMainWidth = 727;
inline constexpr int kMainHeight = 536;

class MainWindow : public FormView {
  public:
    MainWindow(ConsoleViews& views, TMainForm& form);
    ~MainWindow() override;
    static void Register(HINSTANCE instance);
    // Makes the window, hidden, with its menus and controls.
    void Create(HINSTANCE instance);

    void Load() override;
    void Store() override;
    bool Command(int id, int code) override;

    // Shows the window; once it is painted, the first showing connects, then `afterFirstShow`
    // runs (with the address list filled and painted).
    void Show(int how, std::function<void()> afterFirstShow = {});

    // Long work's progress in the connection panel, painted at once: the work keeps the
    // window's thread until it ends.
    void ShowProgress(const std::string& text);

    // The main window's keys (the menu's accelerators); true when `message` was one.
    bool TranslateKeys(MSG& message);

    const ReportList& AddressList() const { return list_; }

    // The window procedure's (view_procedure.h).
    static MainWindow* Attach(HWND window, const CREATESTRUCTW& create);
    static void Detach(MainWindow* view);
    LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam);

  private:
    LRESULT Notify(NMHDR& header);
    void AddItem(int id, TMenuItem& item, std::function<void()> handler);
    void LayOut();
    void FirstShow();
    // The list's selection changed, or the list was clicked: the menu follows once the click is
    // over (the list tells of a click in several notifications).
    void SelectionTouched();
    void FollowSelection();
    void ShowPopup(POINT at);

    TMainForm& main_;
    HMENU menu_ = nullptr;
    HMENU popup_ = nullptr;  // the menu that holds the pop-up menu
    HACCEL keys_ = nullptr;
    HFONT font_ = nullptr;
    HWND connect_ = nullptr, bitBtn_ = nullptr, status_ = nullptr;
    ReportList list_;
    std::vector<std::pair<int, TMenuItem*>> items_;
    std::wstring statusText_;
    bool shown_ = false;
    bool closing_ = false;
    bool selectionTouched_ = false;
    std::function<void()> afterFirstShow_;
};

}  // namespace zantor::console::win32
