#include "console/win32/main_window.h"

#include <commctrl.h>

#include "console/main_form.h"
#include "console/win32/console_views.h"
#include "console/win32/resource.h"
#include "console/win32/text.h"
#include "console/win32/view_procedure.h"

namespace zantor::console::win32 {

namespace {

// Posted to the window: its first showing has been painted; the list was clicked; time to make
// the other windows.
constexpr UINT kFirstShown = WM_APP + 1;
constexpr UINT kSelectionTouched = WM_APP + 2;
constexpr UINT kMakeWindows = WM_APP + 3;

// "Connect to" at the top left, the hidden button at the bottom right.
constexpr int kButtonBar = 26;
constexpr int kConnectWidth = 75, kButtonHeight = 22;
// The status bar's panels: the connection status, then the version caption.
constexpr int kStatusPanel1 = 550, kStatusPanel2 = 50;

// MS Sans Serif, 8 points, as in the dialogs (console.rc says why): one look in every window.
HFONT WindowFont() {
    HDC screen = ::GetDC(nullptr);
    const int height = -::MulDiv(8, ::GetDeviceCaps(screen, LOGPIXELSY), 72);
    ::ReleaseDC(nullptr, screen);
    return ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

HWND Child(HWND parent, const wchar_t* windowClass, const wchar_t* text, DWORD style, int id,
           DWORD exStyle = 0) {
    return ::CreateWindowExW(
        exStyle, windowClass, text, WS_CHILD | style, 0, 0, 0, 0, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
        reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(parent, GWLP_HINSTANCE)), nullptr);
}

}  // namespace

MainWindow::MainWindow(ConsoleViews& views, TMainForm& form) : FormView(views, form), main_(form) {}

MainWindow::~MainWindow() {
    // Gone with its views, not closed by the person: the program goes on (a test's next case).
    closing_ = false;
    if (hwnd_) ::DestroyWindow(hwnd_);
    if (popup_) ::DestroyMenu(popup_);
    if (font_) ::DeleteObject(font_);
}

void MainWindow::Register(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ViewProcedure<MainWindow>;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kMainWindowClass;
    ::RegisterClassExW(&windowClass);
}

void MainWindow::Create(HINSTANCE instance) {
    menu_ = ::LoadMenuW(instance, MAKEINTRESOURCEW(IDM_MainMenu));
    popup_ = ::LoadMenuW(instance, MAKEINTRESOURCEW(IDM_PopupMenu1));
    keys_ = ::LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDA_MainForm));
    font_ = WindowFont();

    TMainForm& f = main_;
    AddItem(ID_Connectto1, f.Connectto1, [&f] { f.Connectto1Click(); });
    AddItem(ID_Installto1, f.Installto1, [&f] { f.Installto1Click(); });
    AddItem(ID_Removefrom1, f.Removefrom1, [&f] { f.Removefrom1Click(); });
    AddItem(ID_Startat1, f.Startat1, [&f] { f.Startat1Click(); });
    AddItem(ID_Stopat1, f.Stopat1, [&f] { f.Stopat1Click(); });
    AddItem(ID_Exit1, f.Exit1, [&f] { f.Exit1Click(); });
    AddItem(ID_EnableF, f.EnableF, [&f] { f.EnableFClick(); });
    AddItem(ID_DisableF, f.DisableF, [&f] { f.DisableFClick(); });
    AddItem(ID_ConfigureF, f.ConfigureF, [&f] { f.ConfigureFClick(); });
    AddItem(ID_SaveF, f.SaveF, [&f] { f.SaveFClick(); });
    AddItem(ID_RestoreF, f.RestoreF, [&f] { f.RestoreFClick(); });
    AddItem(ID_Readlog1, f.Readlog1, [&f] { f.Readlog1Click(); });
    AddItem(ID_Clearlogat1, f.Clearlogat1, [&f] { f.Clearlogat1Click(); });
    AddItem(ID_Readfilterslog1, f.Readfilterslog1, [&f] { f.Readfilterslog1Click(); });
    AddItem(ID_ClearFiltersLog1, f.ClearFiltersLog1, [&f] { f.ClearFiltersLog1Click(); });
    AddItem(ID_About, f.About, [] {});
    AddItem(ID_EnableFiltering, f.EnableFiltering, [&f] { f.EnableFilteringClick(); });
    AddItem(ID_DisableFiltering, f.DisableFiltering, [&f] { f.DisableFilteringClick(); });
    AddItem(ID_EditFiltersList, f.EditFiltersList, [&f] { f.EditFiltersListClick(); });
    AddItem(ID_Statistics1, f.Statistics1, [&f] { f.Statistics1Click(); });
    OnClick(IDC_SpeedButton1, [&f] { f.SpeedButton1Click(); });
    OnClick(IDC_BitBtn1, [&f] { f.BitBtn1Click(); });

    RECT work{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const std::wstring caption = Wide(f.Caption);
    ::CreateWindowExW(0, kMainWindowClass, caption.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                      work.left + (work.right - work.left - kMainWidth) / 2,
                      work.top + (work.bottom - work.top - kMainHeight) / 2, kMainWidth,
                      kMainHeight, nullptr, menu_, instance, this);

    // A flat button, as a speed button is: it takes no focus, which stays in the list.
    connect_ = Child(hwnd_, WC_BUTTONW, L"Connect to", WS_VISIBLE | BS_PUSHBUTTON | BS_FLAT,
                     IDC_SpeedButton1);
    HWND list = Child(
        hwnd_, WC_LISTVIEWW, L"",
        WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_OWNERDATA,
        IDC_IPListView, WS_EX_CLIENTEDGE);
    bitBtn_ = Child(hwnd_, WC_BUTTONW, L"BitBtn1", BS_PUSHBUTTON, IDC_BitBtn1);
    status_ = Child(hwnd_, STATUSCLASSNAMEW, L"", WS_VISIBLE | SBARS_TOOLTIPS, IDC_StatusBar1);
    for (HWND control : {connect_, list, bitBtn_, status_})
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    list_.Attach(list, kIPListColumns, &main_.IPListView);
    int parts[] = {kStatusPanel1, kStatusPanel1 + kStatusPanel2};
    ::SendMessageW(status_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
    const std::wstring version = Wide(kVersionCaption);
    ::SendMessageW(status_, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(version.c_str()));
    const std::wstring tip = version + L" " + Wide(kAuthorLine);
    ::SendMessageW(status_, SB_SETTIPTEXTW, 1, reinterpret_cast<LPARAM>(tip.c_str()));
    LayOut();
    Load();
}

void MainWindow::AddItem(int id, TMenuItem& item, std::function<void()> handler) {
    items_.emplace_back(id, &item);
    OnClick(id, std::move(handler));
}

MainWindow* MainWindow::Attach(HWND window, const CREATESTRUCTW& create) {
    auto* view = static_cast<MainWindow*>(create.lpCreateParams);
    view->hwnd_ = window;
    return view;
}

void MainWindow::Detach(MainWindow* view) {
    view->hwnd_ = nullptr;
}

LRESULT MainWindow::Message(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            LayOut();
            return 0;
        case WM_SETFOCUS:
            ::SetFocus(list_.Window());
            return 0;
        case WM_COMMAND:
            if (Command(LOWORD(wParam), HIWORD(wParam))) return 0;
            break;
        case WM_NOTIFY:
            return Notify(*reinterpret_cast<NMHDR*>(lParam));
        case WM_CONTEXTMENU:
            if (reinterpret_cast<HWND>(wParam) == list_.Window()) {
                ShowPopup({static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
                return 0;
            }
            break;
        case kFirstShown:
            FirstShow();
            return 0;
        case kSelectionTouched:
            FollowSelection();
            return 0;
        case kMakeWindows:
            views_.MakeAllWindows();
            return 0;
        case WM_CLOSE:
            closing_ = true;
            break;
        case WM_DESTROY:
            // Closing the main window ends the program.
            if (closing_) ::PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return ::DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT MainWindow::Notify(NMHDR& header) {
    if (header.hwndFrom != list_.Window()) return 0;
    switch (header.code) {
        case LVN_GETDISPINFOW:
            list_.GetDispInfo(reinterpret_cast<NMLVDISPINFOW&>(header));
            return 0;
        case LVN_ITEMCHANGED: {
            const auto& change = reinterpret_cast<NMLISTVIEW&>(header);
            // The keyboard moves the selection too; what Load sets is the logic's own.
            if (!list_.Loading() && (change.uChanged & LVIF_STATE) &&
                ((change.uNewState ^ change.uOldState) & LVIS_SELECTED))
                SelectionTouched();
            return 0;
        }
        case NM_CLICK:
        case NM_RCLICK:
            // Also a click on an empty area, and one that changed nothing: after Connect To
            // refills the list the items keep their state until the list is clicked.
            SelectionTouched();
            return 0;
        case NM_DBLCLK:
        case NM_RETURN:
            FollowSelection();
            Handle([this] { main_.IPListViewDblClick(); });
            return 0;
        default:
            return 0;
    }
}

void MainWindow::SelectionTouched() {
    if (selectionTouched_) return;
    selectionTouched_ = true;
    ::PostMessageW(hwnd_, kSelectionTouched, 0, 0);
}

void MainWindow::FollowSelection() {
    if (!selectionTouched_) return;
    selectionTouched_ = false;
    Handle([this] { main_.IPListViewClick(); });
}

void MainWindow::ShowPopup(POINT at) {
    // The items follow the row the click selected (or the empty area that cleared it).
    selectionTouched_ = true;
    FollowSelection();
    at = list_.PopupPoint(at);
    ::TrackPopupMenuEx(::GetSubMenu(popup_, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, hwnd_,
                       nullptr);
}

bool MainWindow::Command(int id, int code) {
    for (const auto& [itemId, item] : items_)
        // A disabled item's accelerator does nothing, as the item does.
        if (itemId == id && !item->Enabled) return true;
    if ((id == IDC_SpeedButton1 && !main_.SpeedButton1.Enabled) ||
        (id == IDC_BitBtn1 && !main_.BitBtn1.Visible))
        return true;
    return FormView::Command(id, code);
}

bool MainWindow::TranslateKeys(MSG& message) {
    if (!hwnd_ || !::IsWindowEnabled(hwnd_)) return false;
    if (message.hwnd != hwnd_ && !::IsChild(hwnd_, message.hwnd)) return false;
    return ::TranslateAcceleratorW(hwnd_, keys_, &message) != 0;
}

void MainWindow::LayOut() {
    if (!status_) return;
    ::SendMessageW(status_, WM_SIZE, 0, 0);
    RECT client{}, bar{};
    ::GetClientRect(hwnd_, &client);
    ::GetWindowRect(status_, &bar);
    const int statusHeight = bar.bottom - bar.top;
    const int listBottom = std::max(client.bottom - statusHeight, static_cast<LONG>(kButtonBar));
    ::MoveWindow(connect_, 2, 2, kConnectWidth, kButtonHeight, TRUE);
    ::MoveWindow(list_.Window(), 0, kButtonBar, client.right, listBottom - kButtonBar, TRUE);
    ::MoveWindow(bitBtn_, client.right - kConnectWidth - 2, listBottom - kButtonHeight - 2,
                 kConnectWidth, kButtonHeight, TRUE);
}

void MainWindow::Load() {
    FormView::Load();
    bool menuChanged = false;
    for (const auto& [id, item] : items_) {
        const UINT state = item->Enabled ? MF_ENABLED : MF_GRAYED;
        for (HMENU menu : {menu_, ::GetSubMenu(popup_, 0)}) {
            const UINT was = ::GetMenuState(menu, static_cast<UINT>(id), MF_BYCOMMAND);
            if (was == static_cast<UINT>(-1) || (was & MF_GRAYED) == state) continue;
            ::EnableMenuItem(menu, static_cast<UINT>(id), MF_BYCOMMAND | state);
            menuChanged = menuChanged || menu == menu_;
        }
    }
    if (menuChanged) ::DrawMenuBar(hwnd_);
    ::EnableWindow(connect_, main_.SpeedButton1.Enabled);
    ::ShowWindow(bitBtn_, main_.BitBtn1.Visible ? SW_SHOWNA : SW_HIDE);
    list_.Load();
    const std::wstring status = Wide(main_.StatusPanel1);
    if (status != statusText_) {
        statusText_ = status;
        ::SendMessageW(status_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(status.c_str()));
        // A long error is cut by its panel; the tip shows it whole.
        ::SendMessageW(status_, SB_SETTIPTEXTW, 0, reinterpret_cast<LPARAM>(status.c_str()));
    }
}

void MainWindow::Store() {
    main_.IPListView.ItemIndex = list_.SelectedRow();
}

void MainWindow::Show(int how, std::function<void()> afterFirstShow) {
    afterFirstShow_ = std::move(afterFirstShow);
    ::ShowWindow(hwnd_, how);
    ::UpdateWindow(hwnd_);
    // After the window is painted: the connection blocks until the greeting is in.
    ::PostMessageW(hwnd_, kFirstShown, 0, 0);
}

void MainWindow::FirstShow() {
    if (shown_) return;
    shown_ = true;
    Handle([this] { main_.FormShowFirst(); });
    // What the connection changed (the list, the status) is painted now, the rest stays.
    ::RedrawWindow(hwnd_, nullptr, nullptr, RDW_ALLCHILDREN | RDW_UPDATENOW);
    if (afterFirstShow_) afterFirstShow_();
    ::PostMessageW(hwnd_, kMakeWindows, 0, 0);
}

void MainWindow::ShowProgress(const std::string& text) {
    statusText_ = Wide(text);
    ::SendMessageW(status_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(statusText_.c_str()));
    ::UpdateWindow(status_);
}

}  // namespace zantor::console::win32
