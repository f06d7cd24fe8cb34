#include "console/diagnostics.h"
#include "console/win32/console_views.h"
#include "console/win32/dialogs.h"
#include "console/win32/log_view.h"
#include "console/win32/resource.h"
#include "console/win32/text.h"

#include <commctrl.h>

#include <algorithm>

namespace zantor::console::win32 {

DebugWindow::DebugWindow(ConsoleViews& views, TDebugForm& form)
    : DialogView(views, form, IDD_DebugForm), debug_(form) {}

void DebugWindow::InitDialog() {
    memo_ = LogView::Of(Item(IDC_DebugMemo));
    memo_->SetNotice([this](const std::string& text) {
        views_.person().MessageBox(text, TMsgIcon::kInformation);
    });
    SetPixelSize(Measure::kOuter, 652, 383);
}

void DebugWindow::Layout(int width, int height) {
    ::MoveWindow(memo_->Window(), 0, 0, width, height, TRUE);
}

void DebugWindow::Load() {
    DialogView::Load();
    memo_->SetLines(&debug_.DebugMemo.Lines);
}

StatisticsWindow::StatisticsWindow(ConsoleViews& views, TTestForm& form)
    : DialogView(views, form, IDD_TestForm), test_(form) {
    OnClick(IDC_InitFilterBtn, [&form] { form.InitFilterBtnClick(); });
    OnClick(IDC_StatisticsExitBtn, [&form] { form.ExitBtnClick(); });
    OnClick(IDC_StatisticsBitBtn1, [&form] { form.BitBtn1Click(); });
}

void StatisticsWindow::InitDialog() {
    ::SendMessageW(Item(IDC_StatisticsStatusBar), SB_SIMPLE, TRUE, 0);
    SetPixelSize(Measure::kOuter, 428, 512);
    ::SendMessageW(Item(IDC_StatisticsStatusBar), WM_SIZE, 0, 0);
    // The timer runs while the window exists; its ticks read only while the window shows.
    ::SetTimer(hwnd_, IDT_Timer1, TTestForm::kTimerInterval, nullptr);
}

bool StatisticsWindow::Timer(UINT_PTR id) {
    if (id != IDT_Timer1 || !test_.Showing()) return false;
    test_.Timer1Timer();
    Load();
    return true;
}

namespace {

// Sets a control's text when it differs, so that an unchanged field does not flicker.
void SetText(HWND control, const std::wstring& text) {
    const int length = ::GetWindowTextLengthW(control);
    std::wstring now(static_cast<std::size_t>(length) + 1, L'\0');
    now.resize(
        static_cast<std::size_t>(std::max(0, ::GetWindowTextW(control, now.data(), length + 1))));
    if (now != text) ::SetWindowTextW(control, text.c_str());
}

}  // namespace

void StatisticsWindow::Load() {
    DialogView::Load();
    for (int i = 0; i < kStatFieldCount; ++i)
        SetText(Item(IDC_FirstStatistic + i), Wide(test_.Values[static_cast<std::size_t>(i)].Text));
    std::string memo;
    for (std::string_view line : test_.Memo1.Lines) (memo += memo.empty() ? "" : "\r\n") += line;
    SetText(Item(IDC_Memo1), Wide(memo));
    const std::wstring status = Wide(test_.StatusText);
    ::SendMessageW(Item(IDC_StatisticsStatusBar), SB_SETTEXTW, SB_SIMPLEID,
                   reinterpret_cast<LPARAM>(status.c_str()));
}

}  // namespace zantor::console::win32
