// The view half of a window on Windows: a native window that shows a form's state and hands the
// person's clicks and keys to its handlers. Load copies the form's state into the controls, Store
// copies what the person changed back; a handler always runs between the two, so the logic sees
// what the person sees, and every window shows the outcome after.
#pragma once

#include "console/win32/win.h"

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "console/form.h"

namespace zantor::console::win32 {

class ConsoleViews;

class FormView {
  public:
    FormView(ConsoleViews& views, TForm& form) : views_(views), form_(form) {}
    virtual ~FormView() = default;
    FormView(const FormView&) = delete;
    FormView& operator=(const FormView&) = delete;

    HWND Window() const { return hwnd_; }
    TForm& Form() const { return form_; }
    virtual void Load();
    virtual void Store();

    // A control's or menu item's command (WM_COMMAND): runs its handler; false when it has none.
    virtual bool Command(int id, int code);

  protected:
    // Runs a handler: what the person set in every shown window goes to the forms first (a
    // handler of one window refreshes the others, which must not lose what was typed there),
    // and every window shows the outcome after (a handler may change the address list under a
    // dialog, or close one).
    void Handle(const std::function<void()>& handler);
    // The handler of a button's click or a menu item's choice, by its number.
    void OnClick(int id, std::function<void()> handler) { clicks_[id] = std::move(handler); }

    // Ties a check box or radio button to its Checked, an edit to its text and Enabled:
    // LoadBound and StoreBound copy all of them one way or the other.
    void Bind(int id, bool& checked) { checks_.emplace_back(id, &checked); }
    void Bind(int id, TEdit& state) { edits_.emplace_back(id, &state); }
    void LoadBound();
    void StoreBound();

    HWND Item(int id) const { return ::GetDlgItem(hwnd_, id); }

    ConsoleViews& views_;
    TForm& form_;
    HWND hwnd_ = nullptr;

  private:
    std::map<int, std::function<void()>> clicks_;
    std::vector<std::pair<int, bool*>> checks_;
    std::vector<std::pair<int, TEdit*>> edits_;
};

// A modal window made once from its dialog template, hidden until the logic shows it. Escape and
// the title bar's close press its cancel button (IDCANCEL): what the person set is kept, as the
// logic's own buttons keep it.
class DialogView : public FormView {
  public:
    DialogView(ConsoleViews& views, TForm& form, int templateId)
        : FormView(views, form), templateId_(templateId) {}
    ~DialogView() override;

    // Makes the window from its template, owned by `owner`, and sizes it.
    void Create(HINSTANCE instance, HWND owner);

    // Shows the window modally over `owner` and returns once EndModal has been called (or the
    // program is ending).
    TModalResult RunModal(HWND owner);
    void EndModal(TModalResult result);
    bool Modal() const { return modal_; }

    bool Command(int id, int code) override;

  protected:
    // WM_INITDIALOG: sizes, fonts, what the template cannot say.
    virtual void InitDialog() {}
    // The client area's new size (the resizable windows lay their controls out again).
    virtual void Layout(int, int) {}
    virtual LRESULT Notify(NMHDR*) { return 0; }
    virtual bool ContextMenu(HWND, POINT) { return false; }
    // A message of the window's own (WM_APP and above) that it posted to itself.
    virtual bool Posted(UINT) { return false; }
    // A tick of one of the window's timers (WM_TIMER).
    virtual bool Timer(UINT_PTR) { return false; }

    // The window's size in pixels: of its client area, or of its whole frame; centred on the
    // desktop's work area.
    enum class Measure { kClient, kOuter };
    void SetPixelSize(Measure measure, int width, int height);

    // The dialog's font, and the same in bold.
    HFONT Font() const;
    HFONT BoldFont();

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Centre();

    int templateId_;
    bool modal_ = false;
    TModalResult result_ = TModalResult::kCancel;
    HFONT bold_ = nullptr;
};

}  // namespace zantor::console::win32
