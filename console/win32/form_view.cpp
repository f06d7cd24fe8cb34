#include "console/win32/form_view.h"

#include "console/win32/console_views.h"
#include "console/win32/text.h"

namespace zantor::console::win32 {

namespace {

std::wstring WindowText(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int n = ::GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    return text;
}

}  // namespace

void FormView::Load() {
    const std::wstring caption = Wide(form_.Caption);
    if (WindowText(hwnd_) != caption) ::SetWindowTextW(hwnd_, caption.c_str());
    LoadBound();
}

void FormView::Store() {
    StoreBound();
}

bool FormView::Command(int id, int code) {
    // A click, or a menu item's choice (both 0), or an accelerator (1).
    if (code != BN_CLICKED && code != 1) return false;
    const auto found = clicks_.find(id);
    if (found == clicks_.end()) return false;
    Handle(found->second);
    return true;
}

void FormView::Handle(const std::function<void()>& handler) {
    views_.StoreAll();
    handler();
    views_.RefreshAll();
}

void FormView::LoadBound() {
    for (auto [id, checked] : checks_)
        ::SendMessageW(Item(id), BM_SETCHECK, *checked ? BST_CHECKED : BST_UNCHECKED, 0);
    for (auto [id, state] : edits_) {
        HWND edit = Item(id);
        // Only a changed text is set again: the caret and the selection stay where the person
        // left them.
        const std::wstring text = Wide(state->Text);
        if (WindowText(edit) != text) ::SetWindowTextW(edit, text.c_str());
        ::EnableWindow(edit, state->Enabled);
    }
}

void FormView::StoreBound() {
    for (auto [id, checked] : checks_)
        *checked = ::SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
    for (auto [id, state] : edits_) state->Text = Narrow(WindowText(Item(id)));
}

DialogView::~DialogView() {
    if (hwnd_) ::DestroyWindow(hwnd_);
    if (bold_) ::DeleteObject(bold_);
}

void DialogView::Create(HINSTANCE instance, HWND owner) {
    ::CreateDialogParamW(instance, MAKEINTRESOURCEW(templateId_), owner, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK DialogView::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* view = reinterpret_cast<DialogView*>(::GetWindowLongPtrW(window, DWLP_USER));
    if (message == WM_INITDIALOG) {
        view = reinterpret_cast<DialogView*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        view->hwnd_ = window;
        view->InitDialog();
        view->Load();
        view->Centre();
        return FALSE;  // the focus is set when the window is shown
    }
    if (!view) return FALSE;
    switch (message) {
        case WM_COMMAND:
            return view->Command(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
        case WM_NOTIFY:
            ::SetWindowLongPtrW(window, DWLP_MSGRESULT,
                                view->Notify(reinterpret_cast<NMHDR*>(lParam)));
            return TRUE;
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED) view->Layout(LOWORD(lParam), HIWORD(lParam));
            return TRUE;
        case WM_TIMER:
            return view->Timer(static_cast<UINT_PTR>(wParam)) ? TRUE : FALSE;
        case WM_CONTEXTMENU: {
            const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            return view->ContextMenu(reinterpret_cast<HWND>(wParam), at) ? TRUE : FALSE;
        }
        default:
            return message >= WM_APP && message <= 0xBFFF && view->Posted(message) ? TRUE : FALSE;
    }
}

bool DialogView::Command(int id, int code) {
    if (FormView::Command(id, code)) return true;
    if (id == IDCANCEL) {
        // Escape, or the title bar's close, on a window whose cancel button has no handler of
        // its own: closed as the person left it.
        Store();
        form_.Close(TModalResult::kCancel);
        views_.RefreshAll();
        return true;
    }
    return false;
}

TModalResult DialogView::RunModal(HWND owner) {
    Load();
    modal_ = true;
    result_ = TModalResult::kCancel;
    ::SetWindowLongPtrW(hwnd_, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
    ::EnableWindow(owner, FALSE);
    ::ShowWindow(hwnd_, SW_SHOWNORMAL);
    ::SetActiveWindow(hwnd_);
    if (HWND first = ::GetNextDlgTabItem(hwnd_, nullptr, FALSE))
        ::SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
    ::UpdateWindow(hwnd_);

    MSG message;
    while (modal_) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got <= 0) {
            // The program is ending: the loops outside this one see it too.
            if (got == 0) ::PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (!::IsDialogMessageW(hwnd_, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    modal_ = false;
    // The owner first, so that the activation passes to it rather than to another program.
    ::EnableWindow(owner, TRUE);
    ::ShowWindow(hwnd_, SW_HIDE);
    ::SetActiveWindow(owner);
    return result_;
}

void DialogView::EndModal(TModalResult result) {
    if (!modal_) return;
    result_ = result;
    modal_ = false;
    // The loop sees the change at its next message.
    ::PostMessageW(hwnd_, WM_NULL, 0, 0);
}

void DialogView::SetPixelSize(Measure measure, int width, int height) {
    RECT frame{0, 0, width, height};
    if (measure == Measure::kClient)
        ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_STYLE)),
                             FALSE, static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
    ::SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void DialogView::Centre() {
    RECT work{}, window{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    ::GetWindowRect(hwnd_, &window);
    const int width = window.right - window.left, height = window.bottom - window.top;
    ::SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - width) / 2,
                   work.top + (work.bottom - work.top - height) / 2, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HFONT DialogView::Font() const {
    return reinterpret_cast<HFONT>(::SendMessageW(hwnd_, WM_GETFONT, 0, 0));
}

HFONT DialogView::BoldFont() {
    if (!bold_) {
        LOGFONTW font{};
        ::GetObjectW(Font(), sizeof font, &font);
        font.lfWeight = FW_BOLD;
        bold_ = ::CreateFontIndirectW(&font);
    }
    return bold_;
}

}  // namespace zantor::console::win32
