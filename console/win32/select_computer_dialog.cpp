#include "console/select_computer.h"
#include "console/win32/dialogs.h"
#include "console/win32/resource.h"
#include "console/win32/text.h"

namespace zantor::console::win32 {

SelectComputerDialog::SelectComputerDialog(ConsoleViews& views, TSelectComputerForm& form)
    : DialogView(views, form, IDD_SelectComputerForm), select_(form) {
    OnClick(IDC_OkBtn, [&] { select_.OkBtnClick(); });
    OnClick(IDC_CancelBtn, [&] { select_.CancelBtnClick(); });
}

void SelectComputerDialog::InitDialog() {
    SetPixelSize(Measure::kClient, 257, 97);
    ::SendMessageW(Item(IDC_Label1), WM_SETFONT, reinterpret_cast<WPARAM>(BoldFont()), FALSE);
    RECT box{};
    ::GetWindowRect(Item(IDC_ComputerCB), &box);
    ::SetWindowPos(Item(IDC_ComputerCB), nullptr, 0, 0, 145, box.bottom - box.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SelectComputerDialog::Load() {
    DialogView::Load();
    HWND box = Item(IDC_ComputerCB);
    ::SendMessageW(box, CB_RESETCONTENT, 0, 0);
    for (const std::string& name : select_.ComputerCB.Items)
        ::SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(name).c_str()));
    ::SetWindowTextW(box, Wide(select_.ComputerCB.Text).c_str());
}

void SelectComputerDialog::Store() {
    DialogView::Store();
    HWND box = Item(IDC_ComputerCB);
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(box)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        std::max(0, ::GetWindowTextW(box, text.data(), static_cast<int>(text.size())))));
    select_.ComputerCB.Text = Narrow(text);
}

}  // namespace zantor::console::win32
