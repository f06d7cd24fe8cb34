#include "console/qt/console_views.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "console/qt/dialogs.h"
#include "console/qt/main_window.h"

namespace zantor::console::qt {

void QtPerson::ShowMessageBox(const std::string& text, TMsgIcon icon) {
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent) parent = &views_.mainWindow();
    QMessageBox box(icon == TMsgIcon::kError ? QMessageBox::Critical : QMessageBox::Information,
                    QApplication::applicationName(), Q(text), QMessageBox::Ok, parent);
    box.setObjectName("MessageBox");
    box.exec();
}

TModalResult QtPerson::ShowModal(TForm& form) {
    FormView* view = views_.ViewOf(form);
    auto* dialog = view ? qobject_cast<QDialog*>(view->Widget()) : nullptr;
    if (!dialog) return TModalResult::kCancel;
    view->Load();
    return dialog->exec() == QDialog::Accepted ? TModalResult::kOk : TModalResult::kCancel;
}

void QtPerson::CloseForm(TForm& form, TModalResult result) {
    FormView* view = views_.ViewOf(form);
    if (!view) return;
    if (auto* dialog = qobject_cast<QDialog*>(view->Widget()))
        dialog->done(result == TModalResult::kOk ? QDialog::Accepted : QDialog::Rejected);
    else
        view->Widget()->close();
}

bool QtPerson::Execute(TFileDialog& dialog) {
    const QString filter = Q(dialog.FilterName) + " (" + Q(dialog.FilterPattern) + ")";
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent) parent = &views_.mainWindow();
    // Saving merges into an existing file and keeps the rest of it: a question whether to
    // replace the file would say something false.
    const QString chosen =
        dialog.DialogKind == TFileDialog::Kind::kSave
            ? QFileDialog::getSaveFileName(parent, QString(), Q(dialog.FileName), filter, nullptr,
                                           QFileDialog::DontConfirmOverwrite)
            : QFileDialog::getOpenFileName(parent, QString(), Q(dialog.FileName), filter);
    if (chosen.isEmpty()) return false;
    dialog.FileName = S(chosen);
    return true;
}

ConsoleViews::ConsoleViews() : person_(*this), console_(person_) {
    TConsole& c = console_;
    main_ = std::make_unique<MainWindow>(*this, c.MainForm);
    QWidget* parent = main_.get();
    dialogs_.push_back(std::make_unique<StatisticsWindow>(*this, parent, c.TestForm));
    dialogs_.push_back(std::make_unique<InterfacePropertiesDialog>(*this, parent, c.IntMTForm));
    dialogs_.push_back(
        std::make_unique<EnableFilteringDialog>(*this, parent, c.EnableFilteringForm));
    dialogs_.push_back(std::make_unique<FilterListDialog>(*this, parent, c.FilterListForm));
    dialogs_.push_back(std::make_unique<EditFilterDialog>(*this, parent, c.EditFilterForm));
    dialogs_.push_back(std::make_unique<SelectComputerDialog>(*this, parent, c.SelectComputerForm));
    dialogs_.push_back(std::make_unique<DebugWindow>(*this, parent, c.DebugForm));
    const TForm* forms[] = {&c.TestForm,       &c.IntMTForm,      &c.EnableFilteringForm,
                            &c.FilterListForm, &c.EditFilterForm, &c.SelectComputerForm,
                            &c.DebugForm};
    views_[&c.MainForm] = main_.get();
    for (std::size_t i = 0; i < dialogs_.size(); ++i) views_[forms[i]] = dialogs_[i].get();
    for (auto& [form, view] : views_) view->Load();
    c.Progress = [this](std::string_view work, int done, int total) {
        main_->ShowProgress(Q(ProgressText(work, done, total)));
    };
}

ConsoleViews::~ConsoleViews() {
    // The dialogs are children of the main window; they go first, by their owner.
    dialogs_.clear();
}

FormView* ConsoleViews::ViewOf(const TForm& form) {
    auto found = views_.find(&form);
    return found == views_.end() ? nullptr : found->second;
}

void ConsoleViews::RefreshAll() {
    for (auto& [form, view] : views_)
        if (view->Widget()->isVisible() || view == main_.get()) view->Load();
}

DialogView::DialogView(ConsoleViews& views, QWidget* parent, const char* name)
    : QDialog(parent), FormView(views) {
    setObjectName(name);
    setModal(true);
}

void DialogView::reject() {
    Store();
    QDialog::reject();
}

}  // namespace zantor::console::qt
