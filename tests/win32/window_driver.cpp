#include "tests/win32/window_driver.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include "console/win32/console_views.h"
#include "console/win32/form_view.h"

namespace zantor::test::win {

namespace {

using Clock = std::chrono::steady_clock;

thread_local Script* gRunning = nullptr;

std::wstring ClassName(HWND window) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

struct Search {
    const std::function<bool(HWND)>* pick;
    HWND found = nullptr;
};

BOOL CALLBACK Pick(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    if (!(*search->pick)(window)) return TRUE;
    search->found = window;
    return FALSE;
}

// The first top-level window of this thread that `pick` takes.
HWND FindThreadWindow(const std::function<bool(HWND)>& pick) {
    Search search{&pick};
    ::EnumThreadWindows(::GetCurrentThreadId(), Pick, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The console's modal windows that are shown, by their forms.
std::vector<console::win32::DialogView*> ModalViews(console::win32::ConsoleViews& views) {
    console::TConsole& c = views.console();
    std::vector<console::win32::DialogView*> modal;
    for (const console::TForm* form : std::initializer_list<const console::TForm*>{
             &c.TestForm, &c.IntMTForm, &c.EnableFilteringForm, &c.FilterListForm,
             &c.EditFilterForm, &c.SelectComputerForm, &c.DebugForm})
        if (auto* view = dynamic_cast<console::win32::DialogView*>(views.ViewOf(*form)))
            if (view->Modal()) modal.push_back(view);
    return modal;
}

}  // namespace

Script& Script::When(std::string what, std::function<bool()> ready, std::function<void()> act) {
    steps_.push_back({std::move(what), std::move(ready), std::move(act)});
    return *this;
}

bool Script::Run(std::chrono::milliseconds timeout) {
    deadline_ = Clock::now() + timeout;
    abandoned_ = false;
    Script* outer = gRunning;
    gRunning = this;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 5, Tick);
    while (!steps_.empty()) {
        if (Clock::now() > deadline_) Abandon();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        Pump(views_);
    }
    // What a failure left open closes as the loops unwind.
    if (abandoned_) Pump(views_, std::chrono::milliseconds(300));
    ::KillTimer(nullptr, timer);
    gRunning = outer;
    return !abandoned_;
}

void CALLBACK Script::Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (gRunning) gRunning->Next();
}

void Script::Next() {
    if (abandoned_) return Abandon();
    if (steps_.empty()) return;
    if (Clock::now() > deadline_) return Abandon();
    if (!steps_.front().ready()) return;
    // Taken off first: a step whose act waits in a loop of its own lets the next ones run.
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (step.act) step.act();
}

void Script::Abandon() {
    if (!abandoned_) {
        abandoned_ = true;
        ADD_FAILURE() << "waited in vain for: "
                      << (steps_.empty() ? std::string("nothing") : steps_.front().what);
        steps_.clear();
    }
    ::EndMenu();
    if (HWND box = MessageBoxShowing()) ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    if (HWND files = FileDialogShowing()) ::PostMessageW(files, WM_COMMAND, IDCANCEL, 0);
    for (console::win32::DialogView* view : ModalViews(views_))
        view->EndModal(console::TModalResult::kCancel);
}

void Pump(console::win32::ConsoleViews& views, std::chrono::milliseconds time) {
    const auto until = Clock::now() + time;
    do {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                ADD_FAILURE() << "the program was told to end";
                return;
            }
            views.Dispatch(message);
        }
        if (Clock::now() >= until) break;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (true);
}

bool Showing(HWND window) {
    return window && ::IsWindowVisible(window) && ::IsWindowEnabled(window);
}

HWND MessageBoxShowing() {
    return FindThreadWindow([](HWND window) {
        return Showing(window) && ClassName(window) == L"#32770" &&
               Text(window) == console::win32::kProgramTitle;
    });
}

std::wstring MessageText(HWND box) {
    std::wstring text;
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        const auto style = ::GetWindowLongW(child, GWL_STYLE);
        if (ClassName(child) == L"Static" && (style & SS_TYPEMASK) != SS_ICON &&
            !Text(child).empty())
            text = Text(child);
    }
    return text;
}

bool HasIcon(HWND box, Icon icon) {
    // The system's shared icons: IDI_ERROR and IDI_INFORMATION.
    const HICON wanted =
        ::LoadIconW(nullptr, MAKEINTRESOURCEW(icon == Icon::kError ? 32513 : 32516));
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if (ClassName(child) == L"Static" &&
            reinterpret_cast<HICON>(::SendMessageW(child, STM_GETICON, 0, 0)) == wanted)
            return true;
    return false;
}

HWND FileDialogShowing() {
    return FindThreadWindow([](HWND window) {
        // The file name field: a combo box in the dialogs of today, an edit in older ones.
        return Showing(window) && ClassName(window) == L"#32770" &&
               (::GetDlgItem(window, 0x47C) || ::GetDlgItem(window, 0x480));
    });
}

HWND PopupMenuShowing() {
    HWND menu = ::FindWindowW(L"#32768", nullptr);
    return menu && ::IsWindowVisible(menu) ? menu : nullptr;
}

HMENU MenuOf(HWND popup) {
    return reinterpret_cast<HMENU>(::SendMessageW(popup, MN_GETHMENU, 0, 0));
}

std::wstring Text(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(
        static_cast<std::size_t>(std::max(0, ::GetWindowTextW(window, text.data(), length + 1))));
    return text;
}

bool Checked(HWND button) {
    return ::SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool ItemEnabled(HMENU menu, int command) {
    const UINT state = ::GetMenuState(menu, static_cast<UINT>(command), MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && !(state & (MF_GRAYED | MF_DISABLED));
}

int RowCount(HWND list) {
    return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring Cell(HWND list, int row, int column) {
    wchar_t text[512] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 512;
    ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(&item));
    return text;
}

int SelectedRow(HWND list) {
    return static_cast<int>(
        ::SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

std::wstring ColumnCaption(HWND list, int column) {
    wchar_t text[128] = {};
    LVCOLUMNW info{};
    info.mask = LVCF_TEXT;
    info.pszText = text;
    info.cchTextMax = 128;
    ::SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(column),
                   reinterpret_cast<LPARAM>(&info));
    return text;
}

int ColumnWidth(HWND list, int column) {
    return static_cast<int>(
        ::SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0));
}

std::wstring PanelText(HWND bar, int panel) {
    const auto length =
        LOWORD(::SendMessageW(bar, SB_GETTEXTLENGTHW, static_cast<WPARAM>(panel), 0));
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    ::SendMessageW(bar, SB_GETTEXTW, static_cast<WPARAM>(panel),
                   reinterpret_cast<LPARAM>(text.data()));
    text.resize(length);
    return text;
}

SIZE ClientSize(HWND window) {
    RECT r{};
    ::GetClientRect(window, &r);
    return {r.right - r.left, r.bottom - r.top};
}

SIZE OuterSize(HWND window) {
    RECT r{};
    ::GetWindowRect(window, &r);
    return {r.right - r.left, r.bottom - r.top};
}

std::vector<int> TabOrder(HWND dialog) {
    std::vector<int> order;
    HWND first = ::GetNextDlgTabItem(dialog, nullptr, FALSE);
    for (HWND control = first; control && order.size() < 64;) {
        order.push_back(::GetDlgCtrlID(control));
        control = ::GetNextDlgTabItem(dialog, control, FALSE);
        if (control == first) break;
    }
    return order;
}

void Press(HWND button) {
    ::PostMessageW(button, BM_CLICK, 0, 0);
}

void Choose(HWND window, int command) {
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(command, 0), 0);
}

void Type(HWND edit, std::wstring_view text) {
    ::SendMessageW(edit, EM_SETSEL, 0, -1);
    if (text.empty()) ::SendMessageW(edit, WM_CHAR, VK_BACK, 1);
    for (const wchar_t letter : text) ::SendMessageW(edit, WM_CHAR, letter, 1);
}

HWND EditOf(HWND combo) {
    return ::FindWindowExW(combo, nullptr, L"Edit", nullptr);
}

void Key(HWND window, UINT key) {
    ::PostMessageW(window, WM_KEYDOWN, key, 1);
    ::PostMessageW(window, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

void HoldControl(bool held) {
    BYTE keys[256] = {};
    ::GetKeyboardState(keys);
    keys[VK_CONTROL] = keys[VK_LCONTROL] = held ? 0x80 : 0;
    ::SetKeyboardState(keys);
}

void ControlKey(HWND window, UINT key) {
    HoldControl(true);
    ::SendMessageW(window, WM_KEYDOWN, key, 1);
    HoldControl(false);
}

void ClickRow(HWND list, int row, Click click) {
    RECT rect{};
    const int rows = RowCount(list);
    if (row < rows) {
        rect.left = LVIR_BOUNDS;
        ::SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(row),
                       reinterpret_cast<LPARAM>(&rect));
    } else {
        // Below the last row: the list's empty area.
        RECT client{};
        ::GetClientRect(list, &client);
        rect = {client.left + 20, client.bottom - 12, client.left + 40, client.bottom - 8};
    }
    const LPARAM at = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    switch (click) {
        case Click::kLeft:
            ::PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
            ::PostMessageW(list, WM_LBUTTONUP, 0, at);
            break;
        case Click::kDouble:
            ::PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
            ::PostMessageW(list, WM_LBUTTONUP, 0, at);
            ::PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
            ::PostMessageW(list, WM_LBUTTONUP, 0, at);
            break;
        case Click::kRight:
            ::PostMessageW(list, WM_RBUTTONDOWN, MK_RBUTTON, at);
            ::PostMessageW(list, WM_RBUTTONUP, 0, at);
            break;
    }
}

void ClickAt(HWND window, POINT point, bool shift) {
    const LPARAM at = MAKELPARAM(point.x, point.y);
    const WPARAM keys = shift ? MK_SHIFT : 0;
    ::PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON | keys, at);
    ::PostMessageW(window, WM_LBUTTONUP, keys, at);
}

void ChooseFile(HWND dialog, const std::wstring& file) {
    HWND name = ::GetDlgItem(dialog, 0x47C);
    if (!name) name = ::GetDlgItem(dialog, 0x480);
    ::SetWindowTextW(name, file.c_str());
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDOK)));
}

std::wstring Clipboard() {
    std::wstring text;
    if (!::OpenClipboard(nullptr)) return text;
    if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* letters = static_cast<const wchar_t*>(::GlobalLock(data))) {
            text = letters;
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return text;
}

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int need =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(need), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), need, nullptr, nullptr);
    return utf8;
}

}  // namespace zantor::test::win
