#include "console/win32/console_views.h"

#include <commctrl.h>

#include "console/win32/dialogs.h"
#include "console/win32/late_libraries.h"
#include "console/win32/log_view.h"
#include "console/win32/main_window.h"
#include "console/win32/resource.h"
#include "console/win32/standard_streams.h"
#include "console/win32/text.h"

namespace zantor::console::win32 {

void WinPerson::ShowMessageBox(const std::string& text, TMsgIcon icon) {
    ::MessageBoxW(views_.ActiveWindow(), Wide(text).c_str(), kProgramTitle,
                  MB_OK | (icon == TMsgIcon::kError ? MB_ICONERROR : MB_ICONINFORMATION));
}

void WinPerson::WriteError(const std::string& line) {
    win32::WriteError(line);
}

TModalResult WinPerson::ShowModal(TForm& form) {
    return views_.ShowModal(form);
}

void WinPerson::CloseForm(TForm& form, TModalResult result) {
    // Only a shown form is closed, and a shown form's window is made.
    FormView* view = views_.ViewOf(form);
    if (!view) return;
    if (auto* dialog = dynamic_cast<DialogView*>(view))
        dialog->EndModal(result);
    else
        ::PostMessageW(view->Window(), WM_CLOSE, 0, 0);
}

bool WinPerson::Execute(TFileDialog& dialog) {
    // "INI files (*.ini)", then the pattern; the list ends with an empty pair.
    std::wstring filter = Wide(dialog.FilterName) + L" (" + Wide(dialog.FilterPattern) + L")";
    filter.push_back(L'\0');
    filter += Wide(dialog.FilterPattern);
    filter.push_back(L'\0');
    filter.push_back(L'\0');
    std::wstring file = Wide(dialog.FileName);
    file.resize(std::max<std::size_t>(file.size(), 32768), L'\0');

    OPENFILENAMEW choice{};
    choice.lStructSize = sizeof choice;
    choice.hwndOwner = views_.ActiveWindow();
    choice.lpstrFilter = filter.c_str();
    choice.lpstrFile = file.data();
    choice.nMaxFile = static_cast<DWORD>(file.size());
    // The current directory stays: Install To takes the service program from it. Saving merges
    // into an existing file and keeps the rest of it, so no question whether to replace it.
    choice.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
    const bool open = dialog.DialogKind == TFileDialog::Kind::kOpen;
    if (open) choice.Flags |= OFN_FILEMUSTEXIST;
    // The dialog's shell parts (the folder view) are COM objects.
    StartCom();
    if (!ChooseFileName(choice, !open)) {
        if (const DWORD failure = FileDialogError())
            MessageBox("The file dialog could not be shown (common dialog error " +
                           std::to_string(failure) + ").",
                       TMsgIcon::kError);
        return false;
    }
    dialog.FileName = Narrow(file.c_str());
    return true;
}

ConsoleViews::ConsoleViews(HINSTANCE instance)
    : instance_(instance), person_(*this), console_(person_) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    LogView::Register(instance);
    MainWindow::Register(instance);

    TConsole& c = console_;
    main_ = std::make_unique<MainWindow>(*this, c.MainForm);
    main_->Create(instance);
    dialogs_.push_back(std::make_unique<StatisticsWindow>(*this, c.TestForm));
    dialogs_.push_back(std::make_unique<InterfacePropertiesDialog>(*this, c.IntMTForm));
    dialogs_.push_back(std::make_unique<EnableFilteringDialog>(*this, c.EnableFilteringForm));
    dialogs_.push_back(std::make_unique<FilterListDialog>(*this, c.FilterListForm));
    dialogs_.push_back(std::make_unique<EditFilterDialog>(*this, c.EditFilterForm));
    dialogs_.push_back(std::make_unique<SelectComputerDialog>(*this, c.SelectComputerForm));
    dialogs_.push_back(std::make_unique<DebugWindow>(*this, c.DebugForm));
    views_[&c.MainForm] = main_.get();
    for (auto& dialog : dialogs_) views_[&dialog->Form()] = dialog.get();
    c.Progress = [this](std::string_view work, int done, int total) {
        main_->ShowProgress(ProgressText(work, done, total));
    };
}

ConsoleViews::~ConsoleViews() {
    // The dialogs are owned by the main window; they go first.
    dialogs_.clear();
    main_.reset();
}

FormView* ConsoleViews::ViewOf(const TForm& form) {
    auto found = views_.find(&form);
    if (found == views_.end()) return nullptr;
    if (auto* dialog = dynamic_cast<DialogView*>(found->second); dialog && !dialog->Window())
        dialog->Create(instance_, main_->Window());
    return found->second;
}

void ConsoleViews::MakeAllWindows() {
    for (auto& dialog : dialogs_)
        if (!dialog->Window()) dialog->Create(instance_, main_->Window());
}

HWND ConsoleViews::WindowOf(const TForm& form) {
    FormView* view = ViewOf(form);
    return view ? view->Window() : nullptr;
}

HWND ConsoleViews::ActiveWindow() const {
    return modal_.empty() ? main_->Window() : modal_.back()->Window();
}

TModalResult ConsoleViews::ShowModal(TForm& form) {
    auto* dialog = dynamic_cast<DialogView*>(ViewOf(form));
    if (!dialog) return TModalResult::kCancel;
    const HWND owner = ActiveWindow();
    modal_.push_back(dialog);
    const TModalResult result = dialog->RunModal(owner);
    modal_.pop_back();
    return result;
}

void ConsoleViews::StoreAll() {
    for (auto& [form, view] : views_)
        if (view->Window() && ::IsWindowVisible(view->Window())) view->Store();
}

void ConsoleViews::RefreshAll() {
    for (auto& [form, view] : views_)
        if (view == main_.get() || (view->Window() && ::IsWindowVisible(view->Window())))
            view->Load();
}

int ConsoleViews::Run() {
    MSG message{};
    BOOL got;
    while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) Dispatch(message);
    return got < 0 ? 1 : static_cast<int>(message.wParam);
}

void ConsoleViews::Dispatch(MSG& message) {
    if (main_->TranslateKeys(message)) return;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
}

}  // namespace zantor::console::win32
