#include "console/filter_list.h"
#include "console/win32/console_views.h"
#include "console/win32/dialogs.h"
#include "console/win32/resource.h"

#include <commctrl.h>

namespace zantor::console::win32 {

namespace {

// The panel of buttons at the top.
constexpr int kPanel = 29;
constexpr int kButtonWidth = 70, kButtonHeight = 25;

constexpr UINT kSelectionTouched = WM_APP + 1;

}  // namespace

FilterListDialog::FilterListDialog(ConsoleViews& views, TFilterListForm& form)
    : DialogView(views, form, IDD_FilterListForm), filters_(form) {
    OnClick(IDC_AddBtn, [&form] { form.SpeedButton1Click(); });
    OnClick(IDC_DelBtn, [&form] { form.DelBtnClick(); });
    OnClick(IDC_ExitBtn, [&form] { form.SpeedButton2Click(); });
    OnClick(ID_AddFilter1, [&form] { form.AddFilter1Click(); });
    OnClick(ID_DeleteFilter1, [&form] { form.DeleteFilter1Click(); });
}

FilterListDialog::~FilterListDialog() {
    if (popup_) ::DestroyMenu(popup_);
}

void FilterListDialog::InitDialog() {
    list_.Attach(Item(IDC_FilterListView), kFilterListColumns, &filters_.FilterListView);
    popup_ = ::LoadMenuW(views_.instance(), MAKEINTRESOURCEW(IDM_FilterPopupMenu));
    // A status bar without panels.
    ::SendMessageW(Item(IDC_FilterStatusBar), SB_SIMPLE, TRUE, 0);
    SetPixelSize(Measure::kOuter, 722, 496);
}

void FilterListDialog::Layout(int width, int height) {
    HWND bar = Item(IDC_FilterStatusBar);
    ::SendMessageW(bar, WM_SIZE, 0, 0);
    RECT barRect{};
    ::GetWindowRect(bar, &barRect);
    const int top = (kPanel - kButtonHeight) / 2;
    int left = 2;
    for (int id : {IDC_AddBtn, IDC_DelBtn, IDC_ExitBtn}) {
        ::MoveWindow(Item(id), left, top, kButtonWidth, kButtonHeight, TRUE);
        left += kButtonWidth + 2;
    }
    ::MoveWindow(list_.Window(), 0, kPanel, width,
                 std::max(0, height - kPanel - static_cast<int>(barRect.bottom - barRect.top)),
                 TRUE);
}

void FilterListDialog::Load() {
    DialogView::Load();
    list_.Load();
    ::EnableWindow(Item(IDC_AddBtn), filters_.SpeedButton1.Enabled);
    ::EnableWindow(Item(IDC_DelBtn), filters_.DelBtn.Enabled);
    HMENU menu = ::GetSubMenu(popup_, 0);
    ::EnableMenuItem(menu, ID_AddFilter1,
                     MF_BYCOMMAND | (filters_.AddFilter1.Enabled ? MF_ENABLED : MF_GRAYED));
    ::EnableMenuItem(menu, ID_DeleteFilter1,
                     MF_BYCOMMAND | (filters_.DeleteFilter1.Enabled ? MF_ENABLED : MF_GRAYED));
}

void FilterListDialog::Store() {
    DialogView::Store();
    filters_.FilterListView.ItemIndex = list_.SelectedRow();
}

LRESULT FilterListDialog::Notify(NMHDR* header) {
    if (header->hwndFrom != list_.Window()) return 0;
    switch (header->code) {
        case LVN_GETDISPINFOW:
            list_.GetDispInfo(*reinterpret_cast<NMLVDISPINFOW*>(header));
            return 0;
        case LVN_ITEMCHANGED: {
            const auto* change = reinterpret_cast<NMLISTVIEW*>(header);
            if (!list_.Loading() && (change->uChanged & LVIF_STATE) &&
                ((change->uNewState ^ change->uOldState) & LVIS_SELECTED))
                SelectionTouched();
            return 0;
        }
        case LVN_KEYDOWN: {
            // Delete removes the selected filter, Insert adds one, as the buttons do.
            const WORD key = reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey;
            FollowSelection();
            if (key == VK_DELETE && filters_.DelBtn.Enabled) Command(IDC_DelBtn, BN_CLICKED);
            if (key == VK_INSERT && filters_.SpeedButton1.Enabled) Command(IDC_AddBtn, BN_CLICKED);
            return 0;
        }
        default:
            return 0;
    }
}

bool FilterListDialog::ContextMenu(HWND control, POINT at) {
    if (control != list_.Window()) return false;
    FollowSelection();
    at = list_.PopupPoint(at);
    ::TrackPopupMenuEx(::GetSubMenu(popup_, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, hwnd_,
                       nullptr);
    return true;
}

bool FilterListDialog::Posted(UINT message) {
    if (message != kSelectionTouched) return false;
    FollowSelection();
    return true;
}

void FilterListDialog::SelectionTouched() {
    if (selectionTouched_) return;
    selectionTouched_ = true;
    ::PostMessageW(hwnd_, kSelectionTouched, 0, 0);
}

void FilterListDialog::FollowSelection() {
    if (!selectionTouched_) return;
    selectionTouched_ = false;
    Handle([this] { filters_.FilterListViewClick(); });
}

}  // namespace zantor::console::win32
