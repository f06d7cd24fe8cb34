#include <algorithm>

#include "console/enable_filtering.h"
#include "console/win32/dialogs.h"
#include "console/win32/resource.h"

namespace zantor::console::win32 {

namespace {

constexpr int kMargin = 4;
constexpr int kButtonHeight = 23;
// A group box draws its caption this far in from either edge.
constexpr int kCaptionInset = 7;

int TextWidth(HWND control) {
    wchar_t text[128] = {};
    const int length = ::GetWindowTextW(control, text, 128);
    HDC dc = ::GetDC(control);
    HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text, length, &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return size.cx;
}

}  // namespace

EnableFilteringDialog::EnableFilteringDialog(ConsoleViews& views, TEnableFilteringForm& form)
    : DialogView(views, form, IDD_EnableFilteringForm) {
    Bind(IDC_InFwRadioButton, form.InFwRadioButton.Checked);
    Bind(IDC_InDropRadioButton, form.InDropRadioButton.Checked);
    Bind(IDC_OutFwRadioButton, form.OutFwRadioButton.Checked);
    Bind(IDC_OutDropRadioButton, form.OutDropRadioButton.Checked);
    OnClick(IDC_EnableBtn, [&form] { form.SpeedButton1Click(); });
    OnClick(IDC_EnableCancelBtn, [&form] { form.SpeedButton2Click(); });
}

void EnableFilteringDialog::InitDialog() {
    ::SendMessageW(Item(IDC_EnableBtn), WM_SETFONT, reinterpret_cast<WPARAM>(BoldFont()), FALSE);
    // The size drawn for another system's fonts, or wider where a group's caption needs it: the
    // window grows rather than cut a caption off.
    const int caption = std::max(TextWidth(Item(IDC_GroupBox1)), TextWidth(Item(IDC_GroupBox2))) +
                        2 * kCaptionInset;
    RECT frame{0, 0, 0, 0};
    ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                         static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
    const int border = frame.right - frame.left;
    SetPixelSize(Measure::kOuter, std::max(321, 2 * caption + 3 * kMargin + border), 131);
}

void EnableFilteringDialog::Layout(int width, int height) {
    // The two groups side by side at the top, the two buttons below them, each half the width.
    const int half = (width - 3 * kMargin) / 2;
    const int buttonsTop = height - kMargin - kButtonHeight;
    const int groupHeight = std::max(0, buttonsTop - 2 * kMargin);
    const int lefts[] = {kMargin, 2 * kMargin + half};
    const int groups[] = {IDC_GroupBox1, IDC_GroupBox2};
    const int forwards[] = {IDC_InFwRadioButton, IDC_OutFwRadioButton};
    const int drops[] = {IDC_InDropRadioButton, IDC_OutDropRadioButton};
    const int buttons[] = {IDC_EnableBtn, IDC_EnableCancelBtn};
    for (int i = 0; i < 2; ++i) {
        ::MoveWindow(Item(groups[i]), lefts[i], kMargin, half, groupHeight, TRUE);
        ::MoveWindow(Item(forwards[i]), lefts[i] + 10, kMargin + 18, half - 20, 17, TRUE);
        ::MoveWindow(Item(drops[i]), lefts[i] + 10, kMargin + 40, half - 20, 17, TRUE);
        ::MoveWindow(Item(buttons[i]), lefts[i], buttonsTop, half, kButtonHeight, TRUE);
    }
}

}  // namespace zantor::console::win32
