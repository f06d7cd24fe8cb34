// The views of the console's dialogs and plain windows, one class per window. Object names are
// the component names of the forms, so tests and screenshots find every control by its name.
#pragma once

#include <QDialog>

#include <vector>

#include "console/qt/form_view.h"

class QCheckBox;
class QPlainTextEdit;
class QStatusBar;
class QTimer;
class QComboBox;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace zantor::console {
class TDebugForm;
class TEditFilterForm;
class TEnableFilteringForm;
class TFilterListForm;
class TIntMTForm;
class TSelectComputerForm;
class TTestForm;
}  // namespace zantor::console

namespace zantor::console::qt {

class LogView;

// A modal window. Closing it with Escape or its title bar keeps what the person set, as the
// logic's own buttons do.
class DialogView : public QDialog, public FormView {
  public:
    DialogView(ConsoleViews& views, QWidget* parent, const char* name);
    QWidget* Widget() override { return this; }
    void reject() override;
};

class StatisticsWindow : public DialogView {
  public:
    StatisticsWindow(ConsoleViews& views, QWidget* parent, TTestForm& form);
    void Load() override;

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    TTestForm& form_;
    std::vector<QLineEdit*> values_;  // in the order of TStatisticField
    QPlainTextEdit* memo_;
    QStatusBar* status_;
    QTimer* timer_;
};

class InterfacePropertiesDialog : public DialogView {
  public:
    InterfacePropertiesDialog(ConsoleViews& views, QWidget* parent, TIntMTForm& form);
    void Load() override;
    void Store() override;

  private:
    TIntMTForm& form_;
    QRadioButton *forwardIn_, *dropIn_, *forwardOut_, *dropOut_;
    QCheckBox *fc_, *shc_, *cffc_;
};

class EnableFilteringDialog : public DialogView {
  public:
    EnableFilteringDialog(ConsoleViews& views, QWidget* parent, TEnableFilteringForm& form);
    void Load() override;
    void Store() override;

  private:
    TEnableFilteringForm& form_;
    QRadioButton *inForward_, *inDrop_, *outForward_, *outDrop_;
};

class FilterListDialog : public DialogView {
  public:
    FilterListDialog(ConsoleViews& views, QWidget* parent, TFilterListForm& form);
    void Load() override;
    void Store() override;

  private:
    TFilterListForm& form_;
    QTreeWidget* list_;
    QPushButton *add_, *delete_;
    QAction *addItem_, *deleteItem_;
    QMenu* popup_;
};

class EditFilterDialog : public DialogView {
  public:
    EditFilterDialog(ConsoleViews& views, QWidget* parent, TEditFilterForm& form);
    void Load() override;
    void Store() override;

  private:
    TEditFilterForm& form_;
    QCheckBox *source_, *destination_, *noSyn_;
    QLineEdit *fromIP_, *fromMask_, *toIP_, *toMask_, *protocol_;
    QLineEdit *fromPort_, *fromHighPort_, *toPort_, *toHighPort_;
    QRadioButton *tcp_, *udp_, *icmp_, *any_, *other_;
};

class SelectComputerDialog : public DialogView {
  public:
    SelectComputerDialog(ConsoleViews& views, QWidget* parent, TSelectComputerForm& form);
    void Load() override;
    void Store() override;

  private:
    TSelectComputerForm& form_;
    QComboBox* computer_;
};

class DebugWindow : public DialogView {
  public:
    DebugWindow(ConsoleViews& views, QWidget* parent, TDebugForm& form);
    void Load() override;

  private:
    TDebugForm& form_;
    LogView* memo_;
};

}  // namespace zantor::console::qt
